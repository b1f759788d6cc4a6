// The device's rules on chunk fields (rules.h). The conversions of
// parameter values and the boot tag patch are the product's own code
// (formats/typed_params.cpp, formats/tagpatch.cpp), so what a check says the
// device stores is what it stores.
#include "tools/ozatool/rules.h"

#include "core/byteorder.h"
#include "formats/tagpatch.h"
#include "formats/typed_params.h"
#include "tools/ozatool/cli.h"

#include <algorithm>
#include <cstring>

namespace {

std::string number(uint64_t v) {
    return std::to_string(v);
}

bool older(const version_triple &a, const uint32_t b[3]) {
    return a < version_triple{b[0], b[1], b[2]};
}

std::string triple_text(const version_triple &v) {
    return number(v.major) + "." + number(v.minor) + "." + number(v.revision);
}

const oza_target &target_of(const device_state &d) {
    return d.target ? *d.target : *oza_find_target("full");
}

// The staged copy the format utility keeps on the system partition.
constexpr char staged_update[] = "/mnt/system/temporary.oza";

// One mount-point index and path field of a file chunk.
struct path_field {
    const char *index_name; // manifest field names
    const char *path_name;
    const unsigned char *at; // index (4 bytes), path (256 bytes)
};

// Checks an index and path; role says what the chunk does with the file.
// open_code: the device's result when the path cannot be opened for that
// role (0 when it does not fail).
void check_path(const path_field &f, const char *role, int open_code, bool names_a_file,
                const rule_sink &out) {
    const uint32_t index = load_le32(f.at);
    const char *mount = oza_mount_point(index);
    if (!mount) {
        out.add(severity_error, 0, f.index_name,
                "index " + number(index) +
                    " names no mount point (0 rawfs, 1 system, 2 data, 3 storage, 4 cache): the "
                    "device skips the chunk",
                "");
        return;
    }
    const unsigned char *field = f.at + 4;
    if (memchr(field, 0, oza_text_field) == nullptr)
        out.add(severity_warning, 0, f.path_name,
                "the 256-byte path field has no terminating NUL byte", "");
    const std::string path = field_text(field, oza_text_field);
    const std::string full = std::string(mount) + path;
    if (path.empty()) {
        if (strcmp(role, "delete") == 0)
            out.add(severity_error, 0, f.path_name,
                    std::string("an empty path: the device removes everything under ") + mount, "");
        else
            out.add(severity_error, open_code, f.path_name,
                    std::string("an empty path: the device would ") + role + " the mount point " +
                        mount + " itself",
                    "");
        return;
    }
    if (index == 0 && path[0] != '/') {
        out.add(severity_error, 0, f.path_name,
                "paths of index 0 start with \"/\" (its mount point /mnt/rawfs has no trailing "
                "slash): the device reads " +
                    full,
                "/" + path);
        return;
    }
    if (index != 0 && path[0] == '/') {
        out.add(severity_error, 0, f.path_name,
                "an absolute path: paths are relative to the mount point, so the device reads " +
                    full,
                path.substr(path.find_first_not_of('/') == std::string::npos
                                ? path.size()
                                : path.find_first_not_of('/')));
        return;
    }
    // The steps of the path after the mount point.
    const std::string steps = index == 0 ? path.substr(1) : path;
    bool dotdot = false, odd = false;
    size_t start = 0;
    for (;;) {
        const size_t slash = steps.find('/', start);
        const std::string step = steps.substr(start, slash - start);
        dotdot = dotdot || step == "..";
        odd = odd || step == "." || (step.empty() && slash != std::string::npos);
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (dotdot) {
        out.add(severity_error, 0, f.path_name,
                "the path steps out of its mount point with \"..\": the device acts on " + full,
                "");
        return;
    }
    if (names_a_file && path.back() == '/') {
        out.add(severity_error, open_code, f.path_name,
                "the path ends in \"/\": the device cannot " + std::string(role) +
                    " a file of that name",
                path.substr(0, path.find_last_not_of('/') + 1));
        return;
    }
    if (odd)
        out.add(severity_warning, 0, f.path_name,
                "the path holds \"//\" or \".\" steps: the device uses it as it stands (" + full +
                    ")",
                "");
}

bool strict_number(const std::string &text, bool decimal_only, bool allow_minus, long long *value) {
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        if (negative && !allow_minus) return false;
        at++;
    }
    unsigned base = 10;
    if (!decimal_only && at + 1 < text.size() && text[at] == '0' &&
        (text[at + 1] == 'x' || text[at + 1] == 'X')) {
        base = 16;
        at += 2;
    } else if (!decimal_only && at + 1 < text.size() && text[at] == '0') {
        base = 8;
        at += 1;
    }
    if (at >= text.size()) return false;
    unsigned long long v = 0;
    for (; at < text.size(); at++) {
        const char c = text[at];
        unsigned d = c >= '0' && c <= '9'   ? unsigned(c - '0')
                     : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                     : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                            : 99;
        if (d >= base) return false;
        v = v * base + d;
        if (v > (1ull << 40)) v = 1ull << 40; // far out of range of every type
    }
    *value = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
    return true;
}

} // namespace

bool parameter_value_ok(const std::string &type, const std::string &text, std::string *why) {
    param_type t;
    if (!param_type_of(type.c_str(), t)) {
        *why = "unknown type";
        return false;
    }
    if (t == param_type::string) return true;
    struct range {
        long long low, high;
        bool decimal_only;
    };
    const range r = t == param_type::int8     ? range{-128, 127, true}
                    : t == param_type::uint8  ? range{0, 255, true}
                    : t == param_type::int16  ? range{-32768, 32767, true}
                    : t == param_type::uint16 ? range{0, 65535, false}
                    : t == param_type::int32  ? range{INT32_MIN, INT32_MAX, false}
                                              : range{0, UINT32_MAX, false};
    // What the device stores: its conversion, cut to the stored width.
    unsigned char record[8 + 256] = {};
    store_le16(record, uint16_t(sizeof record));
    typed_value_store(record, sizeof record, t, text.c_str());
    const uint64_t stored = t == param_type::int32 || t == param_type::uint32
                                ? load_le32(record + 4)
                                : load_le16(record + 4);
    std::string stored_text = number(stored);
    if (t == param_type::int32) stored_text = std::to_string(int32_t(uint32_t(stored)));
    long long v = 0;
    if (!strict_number(text, r.decimal_only, r.low < 0, &v)) {
        *why = "\"" + text + "\" is not " +
               (r.decimal_only ? std::string("a decimal number")
                               : std::string("a number (decimal, 0x hexadecimal or 0 octal)")) +
               (r.low < 0 ? "" : " without a sign") + ": the device reads it as " + stored_text;
        return false;
    }
    if (v < r.low || v > r.high) {
        *why = "\"" + text + "\" is out of the range of " + type + " (" + std::to_string(r.low) +
               " to " + std::to_string(r.high) + "): the device stores " + stored_text;
        return false;
    }
    return true;
}

void check_fixed(const payload_view &v, rule_state &s, const rule_sink &out) {
    const std::string f = v.type->fourcc;
    const device_state &d = s.device;
    if (f == "UNIT") {
        const std::string name = field_text(v.fixed, oza_unit_name_size);
        if (d.unit) {
            if (name != *d.unit)
                out.add(severity_error, 212, "name",
                        "the unit name \"" + name + "\" is not the device's \"" + *d.unit + "\" (" +
                            d.unit_from + ")",
                        "");
        } else if (name.size() >= oza_unit_name_size) {
            out.add(severity_error, 212, "name",
                    "a unit name of 16 characters matches no device (theirs have at most 15)", "");
        }
    } else if (f == "VERS") {
        const oza_target &t = target_of(d);
        const uint32_t version[3] = {load_le32(v.fixed), load_le32(v.fixed + 4),
                                     load_le32(v.fixed + 8)};
        // The file's version must be at least the device's lowest accepted one.
        const uint32_t floor[3] = {t.min.major, t.min.minor, t.min.revision};
        bool below = false;
        for (int i = 0; i < 3; i++)
            if (version[i] != floor[i]) {
                below = version[i] < floor[i];
                break;
            }
        if (below)
            out.add(severity_error, 221, "version",
                    "version " + number(version[0]) + "." + number(version[1]) + "." +
                        number(version[2]) + " is below " + triple_text(t.min) +
                        ", the oldest the " + t.name + " build accepts",
                    "");
    } else if (f == "TIME") {
        s.have_time = true;
        s.weight_count = load_le32(v.fixed);
        if (v.tail) {
            s.weights_read = true;
            for (size_t i = 0; i + 4 <= v.tail->size(); i += 4)
                s.weight_total += load_le32(v.tail->data() + i);
        }
    }
}

void check_chunk(const payload_view &v, rule_state &s, const rule_sink &out) {
    const std::string f = v.type->fourcc;
    const unsigned char *p = v.fixed;
    const device_state &d = s.device;
    if (v.type->weighted) s.weighted++;

    if (f == "COPY") {
        check_path({"index", "path", p}, "write", 214, true, out);
    } else if (f == "MOVE") {
        check_path({"from_index", "from_path", p}, "move", 224, true, out);
        check_path({"to_index", "to_path", p + 260}, "write", 225, true, out);
        if (memcmp(p, p + 260, 260) == 0)
            out.add(severity_warning, 0, "to_path",
                    "the file is moved onto itself: the device leaves it as it is", "");
        if (d.update_path && load_le32(p) < 5 &&
            oza_mount_point(load_le32(p)) + field_text(p + 4, oza_text_field) == *d.update_path)
            out.add(severity_warning, 0, "from_path",
                    "moves the update file away while the device still reads it", "");
    } else if (f == "DLET") {
        check_path({"index", "path", p}, "delete", 0, false, out);
        if (d.update_path && load_le32(p) < 5) {
            const std::string gone =
                std::string(oza_mount_point(load_le32(p))) + field_text(p + 4, oza_text_field);
            if (*d.update_path == gone || d.update_path->rfind(gone + "/", 0) == 0)
                out.add(severity_warning, 0, "path",
                        "removes the update file while the device still reads it", "");
        }
    } else if (f == "EXT2") {
        check_path({"index", "path", p}, "chmod", 0, false, out);
        const uint32_t mode = load_le32(p + 260);
        if (mode > 07777)
            out.add(severity_warning, 0, "mode",
                    "mode " + number(mode) + " has bits above the permission bits (07777)", "");
    } else if (f == "MSGB") {
        if (p[0] == 0) out.add(severity_warning, 0, "text", "an empty message", "");
    } else if (f == "SHEL") {
        if (v.tail) {
            const auto nul = std::find(v.tail->begin(), v.tail->end(), 0);
            if (nul != v.tail->end())
                out.add(severity_error, 0, "command",
                        "the command holds a NUL byte at " +
                            number(uint64_t(nul - v.tail->begin())) +
                            ": the shell runs only what comes before it",
                        "");
            else if (v.tail->empty())
                out.add(severity_warning, 0, "command", "an empty command", "");
        }
    } else if (f == "FRMT") {
        const uint32_t type = load_le32(p), cleanup = load_le32(p + 4);
        if (type == 0)
            out.add(severity_warning, 0, "format", "format type 0 formats nothing", "");
        else if (type > 3)
            out.add(severity_warning, 0, "format",
                    "format type " + number(type) +
                        " copies the update file aside and back but formats nothing (1 makes "
                        "the storage directories, 2 formats the storage partition, 3 also "
                        "rewrites the partition table)",
                    "");
        if (type >= 2) s.formats++;
        if (d.update_path && *d.update_path == staged_update && (type >= 2 || cleanup))
            out.add(severity_error, type >= 2 ? 238 : 0, "format",
                    std::string("the update file is ") + staged_update +
                        ", the place the device keeps its copy aside: the copy overwrites or "
                        "removes it",
                    "");
    } else if (f == "FLSH") {
        const uint64_t address = load_le32(p), n = load_le32(p + 4);
        if (address + n > (uint64_t(1) << 32))
            out.add(severity_error, 219, "address",
                    "the range runs past the last flash address (2^32 - 1)", "");
        else if (n == 0)
            out.add(severity_warning, 0, "size", "no data: the chunk writes nothing", "");
    } else if (f == "MMCF" || f == "EXT3") {
        const std::string area = field_text(p, oza_text_field);
        const uint64_t offset = load_le32(p + 256), n = load_le32(p + 260);
        if (f == "MMCF") {
            if (!oza_area_known(area)) {
                out.add(severity_error, 220, "area",
                        "the device has no raw area \"" + area + "\": its write fails",
                        nearest_name(area, oza_area_names()));
                return;
            }
            if (offset > INT32_MAX || n > INT32_MAX)
                out.add(severity_error, 220, offset > INT32_MAX ? "offset" : "size",
                        "offsets and lengths of a raw area stop at 2^31 - 1", "");
            const bool data_fs = area == "data" || area == "Data File System";
            if (data_fs && d.update_path && d.update_path->rfind("/data/", 0) == 0)
                out.add(severity_error, 0, "area",
                        "overwrites the file system that holds the update file (" + *d.update_path +
                            ") without the copy aside that a FRMT makes: the rest of the file "
                            "is lost",
                        "");
            else if (data_fs && !d.update_path)
                out.add(severity_warning, 0, "area",
                        "overwrites the data file system (/data/): the update file must not lie "
                        "there (give --update-path to check)",
                        "");
        } else {
            if (area != "params")
                out.add(severity_error, 0, "area",
                        "EXT3 patches only the area \"params\": the device leaves \"" + area +
                            "\" unchanged",
                        "params");
            else if (offset + n > 32768)
                out.add(severity_error, 0, "offset",
                        "the patch runs past the 32768-byte parameter image: the device patches "
                        "nothing",
                        "");
        }
    } else if (f == "TAGP") {
        if (v.tail) {
            unsigned char list[tag_area_size] = {};
            size_t limit = tag_area_size;
            if (d.tags) {
                limit = std::min(d.tags->size(), tag_area_size);
                if (limit) memcpy(list, d.tags->data(), limit);
            }
            if (!tag_patch_apply(list, limit, v.tail->data(), v.tail->size()))
                out.add(severity_error, 0, "entries",
                        d.tags ? "the patch does not apply to the tags area (" + d.tags_from +
                                     "): an entry's size differs from the one it replaces, or "
                                     "the list has no room: the device leaves the area unchanged"
                               : std::string("the patch does not apply even to an empty tag "
                                             "list (an entry is malformed or the list has no "
                                             "room): the device leaves the area unchanged"),
                        "");
        }
    } else if (f == "PARM" || f == "FPAR") {
        const bool file = f == "PARM";
        const uint32_t id = load_le32(p);
        const std::string type = field_text(p + 4, oza_text_field);
        const std::string value = field_text(p + 260, oza_text_field);
        param_type t;
        if (id > 65535) {
            out.add(severity_error, 0, "id",
                    "identifier " + number(id) +
                        " is above 65535: it matches no record, so nothing is written",
                    "");
            return;
        }
        if (!param_type_of(type.c_str(), t)) {
            out.add(severity_error, file ? 232 : 0, "value_type",
                    "unknown value type \"" + type + "\"" +
                        (file ? std::string("") : ": the device leaves the record unchanged"),
                    nearest_name(type, oza_value_types()));
            return;
        }
        std::string why;
        if (!parameter_value_ok(type, value, &why)) out.add(severity_error, 0, "value", why, "");
        const std::optional<bytes> &records = file ? d.parameter_file : d.typed_records;
        const std::string &from = file ? d.parameter_file_from : d.typed_from;
        if (file && d.parameter_file_missing) {
            out.add(severity_error, 232, "",
                    "the device has no parameter file /mnt/storage/System/System.bin (" + from +
                        ")",
                    "");
            return;
        }
        if (!records) return;
        const size_t start = file ? 4 : 8;
        size_t end = records->size();
        if (!file && end >= 8) end = std::min<size_t>(end, load_le32(records->data() + 4));
        size_t at = start, length = 0;
        int found = 0, fitting = 0;
        for (; typed_record_find(records->data(), end, id, at, length); at += length) {
            found++;
            bytes copy(records->data() + at, records->data() + std::min(end, at + length));
            if (typed_value_store(copy.data(), copy.size(), t, value.c_str()) != 0) fitting++;
        }
        if (found == 0)
            out.add(severity_error, 0, "id",
                    "the device holds no parameter " + number(id) + " (" + from +
                        "): nothing is written",
                    "");
        else if (fitting < found)
            out.add(severity_error, 0, "value",
                    "the record of parameter " + number(id) + " (" + from +
                        ") is too short for a " + type + " value: the device leaves it as it is",
                    "");
    } else if (f == "HDDL") {
        if (load_le32(p) == 0)
            out.add(severity_warning, 0, "value", "HDDL with value 0 changes nothing", "");
    } else if (f == "MVER") {
        const oza_target &t = target_of(d);
        const uint32_t version[3] = {load_le32(p), load_le32(p + 4), load_le32(p + 8)};
        if (older(t.own, version))
            out.add(severity_error, 283, "version",
                    "the " + std::string(t.name) + " build is version " + triple_text(t.own) +
                        ", below the " + number(version[0]) + "." + number(version[1]) + "." +
                        number(version[2]) + " this chunk requires",
                    "");
    }
}

void check_file(rule_state &s, const rule_sink &out) {
    if (!s.have_time) return;
    if (s.weight_count != s.weighted)
        out.add(severity_error, 0, "weights",
                "\"TIME\" holds " + number(s.weight_count) + " weights for the " +
                    number(s.weighted) + " chunks that take one: the device's progress " +
                    (s.weight_count < s.weighted ? "runs out of weights" : "never reaches its end"),
                "");
    else if (s.weights_read && s.weighted > 0 && s.weight_total == 0)
        out.add(severity_error, 0, "weights",
                "the weights sum to 0: the device cannot show progress", "");
}
