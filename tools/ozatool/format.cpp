// The chunk table and the small lookups of the update-file layout.
#include "tools/ozatool/format.h"

#include "flash/rawmmc.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned all = 0x1f, s12 = 0x03, s125 = 0x13, s14 = 0x09, s123 = 0x07;

#define SKIPPED(c)                                                                                 \
    { c, all, 0, tail_none, 0, false, 0, 0, "skipped, no effect" }

constexpr oza_chunk_type types[] = {
    {"UNIT", 0, 32, tail_none, 0, false, 211, 0, "unit name the file is meant for"},
    {"VERS", 0, 12, tail_none, 0, false, 235, 0, "version of the file"},
    {"TIME", 0, 4, tail_words, 0, false, 245, 246, "progress weights"},
    {"EXT0", all, 4, tail_none, 0, true, 270, 0, "cold-flash flag"},
    {"BOOT", all, 4, tail_none, 0, true, 270, 0, "boot flag"},
    {"ADEL", all, 4, tail_none, 0, true, 222, 0, "remove the update file after the run"},
    {"HDDL", s14, 4, tail_none, 0, true, 253, 0, "invalidate the stored parameters"},
    {"MVER", s123, 12, tail_none, 0, false, 235, 0, "lowest system version to install on"},
    {"COPY", s125, 264, tail_bytes, 260, true, 215, 214, "write a file"},
    {"MOVE", s125, 520, tail_none, 0, true, 223, 0, "move a file"},
    {"DLET", s125, 260, tail_none, 0, true, 227, 0, "delete a file or tree"},
    {"EXT2", all, 264, tail_none, 0, false, 209, 0, "change a file's mode"},
    {"MSGB", all, 256, tail_none, 0, true, 229, 0, "show a message"},
    {"SHEL", s12, 4, tail_bytes, 0, false, 279, 279, "run a shell command"},
    {"FRMT", s12, 8, tail_none, 0, true, 237, 0, "format request"},
    {"FLSH", s12, 8, tail_bytes, 4, true, 217, 220, "write the sector flash"},
    {"MMCF", s12, 264, tail_bytes, 260, true, 217, 220, "write a raw area"},
    {"EXT3", s12, 264, tail_bytes, 260, true, 217, 220, "patch the parameter image"},
    {"TAGP", s12, 4, tail_bytes, 0, true, 217, 220, "patch the boot tag list"},
    {"PARM", s12, 516, tail_none, 0, true, 231, 0, "set a parameter in System.bin"},
    {"FPAR", s12, 516, tail_none, 0, true, 233, 0, "set a parameter in the parameter store"},
    SKIPPED("EXT4"),
    SKIPPED("EXT5"),
    SKIPPED("EXT6"),
    SKIPPED("EXT7"),
    SKIPPED("EXT8"),
    SKIPPED("EXT9"),
    SKIPPED("EXTA"),
    SKIPPED("EXTB"),
    SKIPPED("EXTC"),
    SKIPPED("EXTD"),
    SKIPPED("EXTE"),
    SKIPPED("EXTF"),
};

#undef SKIPPED

constexpr const char *mount_points[] = {"/mnt/rawfs", "/mnt/system/", "/data/", "/mnt/storage/",
                                        "/cache/"};
constexpr const char *mount_names[] = {"rawfs", "system", "data", "storage", "cache"};

} // namespace

const oza_chunk_type *oza_find_type(const char *fourcc) {
    for (const oza_chunk_type &t : types)
        if (memcmp(t.fourcc, fourcc, 4) == 0) return &t;
    return nullptr;
}

const oza_chunk_type *oza_types(size_t *count) {
    *count = sizeof types / sizeof types[0];
    return types;
}

int oza_slot_of(const char *fourcc) {
    if (memcmp(fourcc, "SIG", 3) == 0 && fourcc[3] >= '0' && fourcc[3] <= '4')
        return fourcc[3] - '0' + 1;
    return 0;
}

size_t oza_slot_key_offset(int slot) {
    return slot >= 1 && slot <= 4 ? size_t(keystore_slot_key_offsets[slot - 1]) : 0;
}

const char *oza_mount_point(uint32_t index) {
    return index < 5 ? mount_points[index] : nullptr;
}

int oza_mount_index(const std::string &name) {
    for (int i = 0; i < 5; i++)
        if (name == mount_names[i]) return i;
    return -1;
}

namespace {

constexpr oza_target targets[] = {
    {"full", full_min_version, full_own_version},
    {"basic", basic_min_version, basic_own_version},
};

// The areas the program names itself, beside the table of display and short
// names. The device box makes one file for each (tools/devbox-src), and a box
// test holds this list against them.
constexpr const char *own_areas[] = {"params", "prod", "banner", "tags", "custom", "rawmmc"};

} // namespace

const oza_target *oza_find_target(const std::string &name) {
    for (const oza_target &t : targets)
        if (name == t.name) return &t;
    return nullptr;
}

std::vector<std::string> oza_area_names() {
    std::vector<std::string> names;
    for (const raw_area_row &row : raw_areas) {
        names.emplace_back(row.display);
        names.emplace_back(row.short_name);
    }
    names.insert(names.end(), std::begin(own_areas), std::end(own_areas));
    return names;
}

bool oza_area_known(const std::string &name) {
    for (const std::string &n : oza_area_names())
        if (n == name) return true;
    return false;
}

std::vector<std::string> oza_value_types() {
    return {"int8", "int16", "uint8", "uint16", "int32", "uint32", "string"};
}

std::string oza_fourcc_text(const unsigned char *fourcc) {
    std::string text;
    for (int i = 0; i < 4; i++) {
        if (fourcc[i] >= 0x20 && fourcc[i] < 0x7f && fourcc[i] != '\\') {
            text += char(fourcc[i]);
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02X", fourcc[i]);
            text += escape;
        }
    }
    return text;
}

namespace {

struct result_text {
    int code;
    const char *text;
};

constexpr result_text results[] = {
    {0, "success"},
    {201, "the update file cannot be opened"},
    {203, "the magic \"OZA2\" is missing"},
    {204, "unknown signature fourcc"},
    {205, "the signature chunk is shorter than 136 bytes"},
    {206, "short read while digesting the signed region"},
    {207, "the digest does not match the signature"},
    {209, "short chunk header, unknown chunk type, or EXT2 payload short"},
    {210, "\"UNIT\" missing"},
    {211, "\"UNIT\" shorter than 40 bytes"},
    {212, "the unit name differs from the device's"},
    {214, "COPY: destination cannot be opened, data short, or short write"},
    {215, "COPY: header shorter than 264 bytes"},
    {217, "FLSH, MMCF, EXT3, TAGP: header short"},
    {218, "FLSH, MMCF, EXT3, TAGP: no memory for the data"},
    {219, "FLSH: flash layer failed"},
    {220, "FLSH, MMCF, EXT3, TAGP: data short; MMCF: area write failed"},
    {221, "the file's version is below the device's minimum"},
    {222, "ADEL: payload short"},
    {223, "MOVE: payload shorter than 520 bytes"},
    {224, "MOVE: source cannot be opened"},
    {225, "MOVE: destination cannot be opened"},
    {226, "MOVE: source cannot be read or removed"},
    {227, "DLET: payload shorter than 260 bytes"},
    {229, "MSGB: payload shorter than 256 bytes"},
    {231, "PARM: payload shorter than 516 bytes"},
    {232, "PARM: parameter file missing, unreadable, too large, or unknown type name"},
    {233, "FPAR: payload shorter than 516 bytes"},
    {234, "FPAR: the parameter record cannot be sized, read or written"},
    {235, "\"VERS\" or \"MVER\" payload short"},
    {236, "\"VERS\" missing, or a version callback failed"},
    {237, "FRMT: payload shorter than 8 bytes"},
    {238, "FRMT: the update file cannot be kept aside or copied back"},
    {239, "FRMT: the partition table cannot be written"},
    {240, "FRMT: the storage partition cannot be formatted"},
    {241, "FRMT: the directories cannot be created"},
    {244, "\"TIME\" missing, or no memory for the weights"},
    {245, "\"TIME\" count short"},
    {246, "\"TIME\" weight list short"},
    {247, "the cipher chunk is shorter than 28 bytes"},
    {250, "AES key size not accepted"},
    {252, "end of file before \"VERS\" or \"TIME\""},
    {253, "HDDL: payload short"},
    {254, "HDDL: parameter-store write failed"},
    {255, "the engine's callback table is incomplete"},
    {256, "chunk not allowed for the file's signature slot"},
    {270, "EXT0 or BOOT: payload short"},
    {279, "SHEL: length or command text short"},
    {280, "SHEL: no memory for the command"},
    {281, "SHEL: fork failed"},
    {282, "SHEL: the command did not exit with status 0"},
    {283, "the device's version is below an \"MVER\" requirement"},
};

} // namespace

const char *oza_result_text(int code) {
    for (const result_text &r : results)
        if (r.code == code) return r.text;
    return "";
}
