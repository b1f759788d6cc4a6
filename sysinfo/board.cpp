// The board table, its rows checked at compile time, and the lookup: the Hardware line's second
// word gives the product, the Revision line the newest row of its class not above it. An
// unknown product gets the default class.
#include "sysinfo/board.h"

#include "core/config.h"
#include "core/hostops.h"
#include "core/sysfile.h"

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

static_assert(sizeof(board_record) == 100);
static_assert(offsetof(board_record, product_name) == 8);
static_assert(offsetof(board_record, manufacturer) == 18);
static_assert(offsetof(board_record, oza_filename) == 34);
static_assert(offsetof(board_record, media_partitionlabel) == 54);
static_assert(offsetof(board_record, default_network_name) == 68);
static_assert(offsetof(board_record, brand_name) == 84);

// The models, in lookup order (rows of one class tie towards the later one).
// The basic build knows the first basic_rows rows; the full build adds the
// models after them. Labels are at most 11 characters, the longest FAT
// volume label, and contain only characters that need no quoting in a shell
// command line.
// clang-format off
constexpr board_record board_rows[] = {
    // class, version, product, manufacturer, firmware, media label, network name, brand
    {4000, 0, "DEVKIT4", "Chip vendor", "norvel_gx4",  "DEVKIT_DATA", "devkit4",         "Reference"},
    {5001, 0, "TAVRO",   "Norvel",      "norvel_gx3",  "TAVRO",       "Norvel-TAVRO",    "Norvel GX3"},
    {5002, 0, "KELMU",   "Norvel",      "norvel_gx3",  "KELMU",       "Norvel-KELMU",    "Norvel GX3"},
    {5003, 0, "DRENIK",  "Norvel",      "norvel_gx3",  "DRENIK",      "Norvel-DRENIK",   "Norvel GX3"},
    {5004, 0, "OSKALI",  "Norvel",      "norvel_gx3",  "OSKALI",      "Norvel-OSKALI",   "Norvel GX3"},
    {5005, 0, "FEBRIN",  "Norvel",      "norvel_gx3",  "FEBRIN",      "Norvel-FEBRIN",   "Norvel GX3"},
    {5006, 0, "GAVIRO",  "Norvel",      "norvel_gx3",  "GAVIRO",      "Norvel-GAVIRO",   "Norvel GX3"},
    {5007, 0, "PLINTU",  "Norvel",      "norvel_gx3",  "PLINTU",      "Norvel-PLINTU",   "Norvel GX3"},
    {5008, 0, "MORVAX",  "Norvel",      "norvel_gx3",  "MORVAX",      "Norvel-MORVAX",   "Norvel GX3"},
    {5010, 0, "MIRKEL",  "Norvel",      "norvel_gx4",  "MIRKEL",      "Norvel-MIRKEL",   "Norvel GX4"},
    {5011, 0, "PETRIL",  "Norvel",      "norvel_gx4",  "PETRIL",      "Norvel-PETRIL",   "Norvel GX4"},
    {5012, 0, "QUASKO",  "Norvel",      "norvel_gx4",  "QUASKO",      "Norvel-QUASKO",   "Norvel GX4"},
    {5013, 0, "SOLVIK",  "Norvel",      "norvel_gx4",  "SOLVIK",      "Norvel-SOLVIK",   "Norvel GX4"},
    {5014, 0, "TREMIL",  "Norvel",      "norvel_gx4",  "TREMIL",      "Norvel-TREMIL",   "Norvel GX4"},
    {5015, 0, "ORBELA",  "Norvel",      "norvel_gx4",  "ORBELA",      "Norvel-ORBELA",   "Norvel GX4"},
    {5016, 0, "VIRNAK",  "Norvel",      "norvel_gx4",  "VIRNAK",      "Norvel-VIRNAK",   "Norvel GX4"},
    {5017, 0, "LOMBIX",  "Norvel",      "norvel_gx4",  "LOMBIX",      "Norvel-LOMBIX",   "Norvel GX4"},
    {5018, 0, "DUVESK",  "Norvel",      "norvel_gx4",  "DUVESK",      "Norvel-DUVESK",   "Norvel GX4"},
    {5011, 0, "PETRIL",  "Norvel",      "norvel_gx4",  "PETRIL",      "Norvel-PETRIL",   "Norvel GX4"},
    {5020, 0, "ZEMO",    "Norvel",      "norvel_gx4",  "ZEMO_MEDIA",  "Norvel-ZEMO",     "Norvel GX4"},
    {5021, 0, "WESKO",   "Norvel",      "norvel_gx4",  "WESKO",       "Norvel-WESKO",    "Norvel GX4"},
    // full build only
    {5030, 0, "YARLO",   "Norvel",      "norvel_gx4x", "YARLO",       "Norvel-YARLO",    "Norvel GX4X"},
    {5031, 0, "LUDRAX",  "Norvel",      "norvel_gx4x", "LUDRAX",      "Norvel-LUDRAX",   "Norvel GX4X"},
    {5032, 0, "FENNIQ",  "Norvel",      "norvel_gx4x", "FENNIQ",      "Norvel-FENNIQ",   "Norvel GX4X"},
};
// clang-format on

constexpr size_t basic_rows = 21;
constexpr size_t full_rows = std::size(board_rows);
static_assert(full_rows == 24);

constexpr std::span<const board_record> configured_rows =
    std::span(board_rows).first(basic_build ? basic_rows : full_rows);

constexpr bool is_update_family(std::string_view name) {
    return name == "norvel_gx3" || name == "norvel_gx4" || name == "norvel_gx4x";
}

constexpr bool is_plain_label(std::string_view label) {
    if (label.empty() || label.size() > 11) return false;
    for (char c : label)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return false;
    return true;
}

// Facts the lookup and the formatter rely on, checked for the rows each
// build knows.
constexpr bool rows_are_sound(std::span<const board_record> rows) {
    bool has_default = false;
    for (const board_record &r : rows) {
        if (r.board_version != 0 || std::string_view(r.product_name).empty()) return false;
        if (!is_update_family(r.oza_filename) || !is_plain_label(r.media_partitionlabel))
            return false;
        if (r.board_class == default_board_class) has_default = true;
    }
    return has_default;
}
static_assert(rows_are_sound(std::span(board_rows).first(basic_rows)));
static_assert(rows_are_sound(board_rows));

// The bytes of the cpuinfo file read, with room for the terminator.
constexpr size_t cpuinfo_buffer_size = 1024;

// Reads at most cpuinfo_buffer_size - 1 bytes of the cpuinfo file into text
// and terminates them.
bool read_cpuinfo(const char *path, char (&text)[cpuinfo_buffer_size]) {
    int n = read_file(path, text, sizeof text - 1);
    if (n < 0) return false;
    text[n] = '\0';
    return true;
}

// Finds the line of the cpuinfo text that starts with key (key begins with
// the newline before it) and sets value to the text after the line's ": ",
// up to the end of that line. False when there is no such line or no ": "
// on it.
bool cpuinfo_value(const char *text, const char *key, std::string_view &value) {
    const char *line = strstr(text, key);
    if (line == nullptr) return false;
    const char *end = strchr(line + 1, '\n');
    std::string_view rest(line, end ? static_cast<size_t>(end - line) : strlen(line));
    size_t colon = rest.find(": ");
    if (colon == std::string_view::npos) return false;
    value = rest.substr(colon + 2);
    return true;
}

bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Copies the leading non-white characters of s, at most board_name_max.
void copy_word(std::string_view s, char (&out)[board_name_max + 1]) {
    size_t n = 0;
    while (n < s.size() && n < static_cast<size_t>(board_name_max) && !is_white(s[n])) ++n;
    if (n > 0) memcpy(out, s.data(), n);
    out[n] = '\0';
}

board_identity process_board;

} // namespace

std::span<const board_record> board_table() {
    return configured_rows;
}

int board_name_from_cpuinfo(const char *text, char (&name)[board_name_max + 1]) {
    // Only the Hardware line itself is searched for its ": " and the space
    // before the second word, so a one-word value gives an empty name.
    std::string_view value;
    if (!cpuinfo_value(text, "\nHardware", value)) return -1;
    size_t space = value.find(' ');
    copy_word(space == std::string_view::npos ? std::string_view{} : value.substr(space + 1), name);
    return 0;
}

int board_revision_from_cpuinfo(const char *text) {
    std::string_view value;
    if (!cpuinfo_value(text, "\nRevision", value)) return 0;
    char digits[board_name_max + 1];
    copy_word(value, digits);
    long v = strtol(digits, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

int read_board_revision(const char *cpuinfo) {
    char text[cpuinfo_buffer_size];
    if (!read_cpuinfo(cpuinfo, text)) return 0;
    return board_revision_from_cpuinfo(text);
}

const board_record *select_board(std::span<const board_record> table, uint32_t cls, int revision) {
    const board_record *chosen = nullptr;
    for (const board_record &r : table) {
        if (r.board_class != cls || r.board_version > revision) continue;
        if (chosen == nullptr || r.board_version >= chosen->board_version) chosen = &r;
    }
    return chosen;
}

void find_board(board_identity &id, std::span<const board_record> table, uint32_t cls,
                int revision) {
    id.current = select_board(table, cls, revision);
    if (id.current == nullptr) host().print("%s failed - unknown board\n", "_find_board_str");
}

int identify_board(board_identity &id, std::span<const board_record> table, const char *cpuinfo) {
    id.identified = true;
    char text[cpuinfo_buffer_size];
    if (read_cpuinfo(cpuinfo, text)) board_name_from_cpuinfo(text, id.name);

    std::string_view name(id.name, strnlen(id.name, sizeof id.name));
    for (const board_record &r : table) {
        if (std::string_view(r.product_name, strnlen(r.product_name, sizeof r.product_name)) !=
            name)
            continue;
        find_board(id, table, r.board_class, read_board_revision(cpuinfo));
        return 0;
    }
    find_board(id, table, default_board_class, 0);
    host().print("_get_board_id failed - unknown board -> default board (%d)\n",
                 static_cast<int>(id.current ? id.current->board_class : default_board_class));
    return -1;
}

const board_record &board_or_default(const board_identity &id,
                                     std::span<const board_record> table) {
    static constexpr board_record no_board{};
    if (id.current != nullptr) return *id.current;
    // The program's tables always have a default row (checked when built).
    const board_record *fallback = select_board(table, default_board_class, 0);
    return fallback ? *fallback : no_board;
}

int identify_board(const char *cpuinfo) {
    return identify_board(process_board, board_table(), cpuinfo);
}

const board_record &current_board() {
    if (!process_board.identified) identify_board();
    return board_or_default(process_board, board_table());
}

const char *board_product_name() {
    return current_board().product_name;
}

const char *board_manufacturer() {
    return current_board().manufacturer;
}

const char *board_oza_filename() {
    return current_board().oza_filename;
}

const char *board_media_partitionlabel() {
    return current_board().media_partitionlabel;
}
