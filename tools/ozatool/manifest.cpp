// Reading a pack manifest. Every field is checked for its type and range;
// the first fault ends the reading with a message that names the field by
// its line, column and JSON path ("line 7, column 12: chunks[3].index:
// ..."). A field that the object's kind does not know is a fault too (with
// the known name it is nearest to), and so is a key given twice, so that a
// misspelt or repeated name never goes unseen.
#include "tools/ozatool/manifest.h"

#include "core/byteorder.h"
#include "tools/ozatool/cli.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

using json = nlohmann::json;

namespace {

struct manifest {
    const pack_plan &plan; // its name and places, for messages
    std::string base;      // directory that relative paths start from
    std::string error;

    // Records the first fault, at the JSON path given; returns false.
    bool fail(const std::string &path, const std::string &text) {
        if (error.empty()) error = plan.message(path, text);
        return false;
    }
};

// A path of the manifest, relative to its folder unless absolute.
std::string resolve(const manifest &m, const std::string &path) {
    return path.empty() || path[0] == '/' ? path : m.base + "/" + path;
}

// Captures the syntax error of a text that does not parse; the other
// events are of no interest.
struct syntax_check : nlohmann::json_sax<json> {
    std::string message;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t &) override { return true; }
    bool string(string_t &) override { return true; }
    bool binary(binary_t &) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t &) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string &,
                     const nlohmann::detail::exception &e) override {
        message = e.what();
        // "[json.exception.parse_error.101] parse error at line 3, ...": keep what follows "] ".
        size_t bracket = message.find("] ");
        if (bracket != std::string::npos) message.erase(0, bracket + 2);
        return false;
    }
};

const char *kind_of(const json &v) {
    if (v.is_null()) return "null";
    if (v.is_boolean()) return "a boolean";
    if (v.is_number_unsigned()) return "a number";
    if (v.is_number_integer()) return "a negative number";
    if (v.is_number()) return "a fraction";
    if (v.is_string()) return "a string";
    if (v.is_array()) return "an array";
    return "an object";
}

// One JSON object read field by field; remembers the fields asked for so
// that done() can refuse the others.
struct fields {
    manifest &m;
    const json &j;
    std::string where; // JSON path of the object ("" at the top)
    std::vector<std::string> asked;
    std::string shorthand; // field given as the object itself ("unit": "a004")

    fields(manifest &owner, const json &object, std::string path)
        : m(owner), j(object), where(std::move(path)) {}

    std::string path_of(const char *name) const {
        if (name == shorthand) return where;
        return where.empty() ? std::string(name) : where + "." + name;
    }

    // Records a fault of field name; returns false for the caller to pass on.
    bool fail(const char *name, const std::string &text) { return m.fail(path_of(name), text); }

    // The field's value, or null when the object does not have it.
    const json *get(const char *name) {
        asked.emplace_back(name);
        auto it = j.find(name);
        return it == j.end() ? nullptr : &*it;
    }
    bool has(const char *name) const { return j.contains(name); }

    // An unsigned number of at most max: a JSON number, or a string in
    // decimal, 0x hexadecimal or 0 octal notation.
    bool number(const char *name, uint64_t *out, uint64_t max, bool required) {
        const json *v = get(name);
        if (!v) return !required || fail(name, "missing");
        bool ok = false;
        if (v->is_number_unsigned()) {
            *out = v->get<uint64_t>();
            ok = true;
        } else if (v->is_string()) {
            ok = parse_u64(v->get_ref<const std::string &>().c_str(), out);
        }
        if (!ok)
            return fail(name, std::string("expected an unsigned number (a JSON number or a string "
                                          "such as \"0x1f\"), not ") +
                                  kind_of(*v));
        if (*out > max)
            return fail(name, "value " + std::to_string(*out) + " is above " + std::to_string(max));
        return true;
    }
    bool u32(const char *name, uint32_t *out, bool required) {
        uint64_t v = *out;
        if (!number(name, &v, UINT32_MAX, required)) return false;
        *out = uint32_t(v);
        return true;
    }
    bool optional_u32(const char *name, std::optional<uint32_t> *out) {
        if (!has(name)) return get(name), true;
        uint32_t v = 0;
        if (!u32(name, &v, true)) return false;
        *out = v;
        return true;
    }

    // A string of at most max bytes (max 0: any length).
    bool text(const char *name, std::string *out, size_t max, bool required) {
        const json *v = get(name);
        if (!v) return !required || fail(name, "missing");
        if (!v->is_string())
            return fail(name, std::string("expected a string, not ") + kind_of(*v));
        *out = v->get<std::string>();
        if (max && out->size() > max)
            return fail(name, "holds " + std::to_string(out->size()) + " bytes; at most " +
                                  std::to_string(max) + " fit");
        return true;
    }

    // Hexadecimal bytes, at most max of them.
    bool hex(const char *name, bytes *out, size_t max, bool required) {
        std::string t;
        if (!text(name, &t, 0, required)) return false;
        if (!has(name)) return true;
        if (!parse_hex(t, out)) return fail(name, "expected pairs of hexadecimal digits");
        if (max && out->size() > max)
            return fail(name, "holds " + std::to_string(out->size()) + " bytes; at most " +
                                  std::to_string(max) + " fit");
        return true;
    }

    // A version triple: "4.0.28" or [4, 0, 28].
    bool version(const char *name, uint32_t out[3]) {
        const json *v = get(name);
        if (!v) return fail(name, "missing");
        const char *expected = "expected a version such as \"4.0.28\" or [4, 0, 28]";
        if (v->is_string()) {
            const std::string &s = v->get_ref<const std::string &>();
            unsigned long long parts[3];
            char end;
            if (sscanf(s.c_str(), "%llu.%llu.%llu%c", &parts[0], &parts[1], &parts[2], &end) != 3 ||
                s.find_first_not_of("0123456789.") != std::string::npos)
                return fail(name, expected);
            for (int i = 0; i < 3; i++) {
                if (parts[i] > UINT32_MAX) return fail(name, "a part is above 4294967295");
                out[i] = uint32_t(parts[i]);
            }
            return true;
        }
        if (!v->is_array() || v->size() != 3) return fail(name, expected);
        for (int i = 0; i < 3; i++) {
            const json &p = (*v)[size_t(i)];
            if (!p.is_number_unsigned() || p.get<uint64_t>() > UINT32_MAX)
                return fail(name, expected);
            out[i] = uint32_t(p.get<uint64_t>());
        }
        return true;
    }

    // A mount-point index: a number, or one of the names "rawfs", "system",
    // "data", "storage", "cache".
    bool index(const char *name, uint32_t *out) {
        const json *v = get(name);
        if (v && v->is_string()) {
            int i = oza_mount_index(v->get_ref<const std::string &>());
            if (i >= 0) {
                *out = uint32_t(i);
                return true;
            }
            uint64_t n;
            if (!parse_u64(v->get_ref<const std::string &>().c_str(), &n)) {
                const std::string near = nearest_name(
                    v->get<std::string>(), {"rawfs", "system", "data", "storage", "cache"});
                return fail(
                    name, "expected a mount-point number or one of rawfs, system, data, "
                          "storage, cache" +
                              (near.empty() ? std::string() : " (did you mean \"" + near + "\"?)"));
            }
        }
        asked.pop_back();
        return u32(name, out, true);
    }

    // The bytes given by "file", "text" or "hex" (at most one of them),
    // repeated or cut to "size" when it is given; no source and no size is
    // no bytes, a size alone that many zero bytes. A file is only looked at
    // here: its bytes are read when the chunk is written.
    bool data(data_source *out) {
        *out = data_source();
        int sources = 0;
        for (const char *s : {"file", "text", "hex"}) sources += has(s);
        if (sources > 1) return fail("file", "give one of \"file\", \"text\" and \"hex\"");
        std::string t;
        if (has("file")) {
            if (!text("file", &t, 0, true)) return false;
            out->file = resolve(m, t);
            struct stat st;
            const int fd = open(out->file.c_str(), O_RDONLY | O_CLOEXEC);
            const bool ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
            const int saved = errno;
            if (fd >= 0) close(fd);
            if (!ok)
                return fail("file", "cannot read \"" + t + "\" (" + out->file +
                                        "): " + (fd >= 0 ? "not a regular file" : strerror(saved)));
            out->stored = uint64_t(st.st_size);
        } else {
            get("file");
        }
        if (has("text")) {
            if (!text("text", &t, 0, true)) return false;
            out->given.assign(t.begin(), t.end());
        } else {
            get("text");
        }
        if (!hex("hex", &out->given, 0, false)) return false;
        if (out->file.empty()) out->stored = out->given.size();
        out->size = out->stored;
        if (has("size")) {
            if (!number("size", &out->size, UINT32_MAX, true)) return false;
        } else {
            get("size");
        }
        if (out->size > UINT32_MAX)
            return fail("file", "holds " + std::to_string(out->size) +
                                    " bytes; a chunk holds at most 4294967295");
        return true;
    }

    // Refuses the fields nobody asked for.
    bool done() {
        if (!m.error.empty()) return false;
        for (auto it = j.begin(); it != j.end(); ++it) {
            bool known = false;
            for (const std::string &a : asked) known = known || a == it.key();
            if (known) continue;
            std::string list;
            std::vector<std::string> unique;
            for (const std::string &a : asked)
                if (std::find(unique.begin(), unique.end(), a) == unique.end()) {
                    unique.push_back(a);
                    list += (list.empty() ? "" : ", ") + a;
                }
            const std::string near = nearest_name(it.key(), unique);
            return fail(it.key().c_str(),
                        "unknown field (" +
                            (near.empty() ? std::string() : "did you mean \"" + near + "\"? ") +
                            "known here: " + list + ")");
        }
        return true;
    }
};

// A fixed-size text field, NUL-padded.
void put_field(bytes &payload, const std::string &text, size_t size) {
    const size_t at = payload.size();
    payload.resize(at + size, 0);
    memcpy(payload.data() + at, text.data(), std::min(text.size(), size));
}

void put_u32(bytes &payload, uint32_t v) {
    unsigned char b[4];
    store_le32(b, v);
    payload.insert(payload.end(), b, b + 4);
}

// A mount-point index and a relative path of the file chunks.
bool index_and_path(fields &f, bytes &payload, const char *index_name, const char *path_name) {
    uint32_t index = 0;
    std::string path;
    if (!f.index(index_name, &index) || !f.text(path_name, &path, oza_text_field - 1, true))
        return false;
    put_u32(payload, index);
    put_field(payload, path, oza_text_field);
    return true;
}

// Payload builders, one per chunk type: each reads its fields and appends
// the payload (the tail's size field included, computed from the data).

bool build_unit(fields &f, bytes &p, data_source &) {
    std::string name;
    bytes reserved;
    if (!f.text("name", &name, oza_unit_name_size - 1, true) ||
        !f.hex("reserved", &reserved, 16, false))
        return false;
    put_field(p, name, oza_unit_name_size);
    reserved.resize(16, 0);
    p.insert(p.end(), reserved.begin(), reserved.end());
    return true;
}

bool build_version(fields &f, bytes &p, data_source &) {
    uint32_t v[3];
    if (!f.version("version", v)) return false;
    for (uint32_t part : v) put_u32(p, part);
    return true;
}

// The weights are written when every chunk is known (pack_plan assembly);
// here only an explicit list.
bool build_time(fields &f, bytes &p, data_source &) {
    const json *w = f.get("weights");
    if (!w || (w->is_string() && w->get<std::string>() == "auto")) return true;
    if (!w->is_array())
        return f.fail("weights",
                      std::string("expected \"auto\" or an array of numbers, not ") + kind_of(*w));
    put_u32(p, uint32_t(w->size()));
    for (size_t i = 0; i < w->size(); i++) {
        const json &v = (*w)[i];
        if (!v.is_number_unsigned() || v.get<uint64_t>() > UINT32_MAX)
            return f.fail(("weights[" + std::to_string(i) + "]").c_str(),
                          "expected an unsigned 32-bit number");
        put_u32(p, uint32_t(v.get<uint64_t>()));
    }
    return true;
}

bool build_value(fields &f, bytes &p, data_source &) {
    uint32_t v = 0;
    if (!f.u32("value", &v, true)) return false;
    put_u32(p, v);
    return true;
}

bool build_nothing(fields &, bytes &, data_source &) {
    return true;
}

bool build_copy(fields &f, bytes &p, data_source &data) {
    if (!index_and_path(f, p, "index", "path") || !f.data(&data)) return false;
    put_u32(p, uint32_t(data.size));
    return true;
}

bool build_move(fields &f, bytes &p, data_source &) {
    return index_and_path(f, p, "from_index", "from_path") &&
           index_and_path(f, p, "to_index", "to_path");
}

bool build_delete(fields &f, bytes &p, data_source &) {
    return index_and_path(f, p, "index", "path");
}

// The mode is octal: a string of octal digits ("0755") or a number whose
// decimal digits are read as octal (755).
bool build_chmod(fields &f, bytes &p, data_source &) {
    if (!index_and_path(f, p, "index", "path")) return false;
    const json *v = f.get("mode");
    if (!v) return f.fail("mode", "missing");
    std::string digits = v->is_string()            ? v->get<std::string>()
                         : v->is_number_unsigned() ? std::to_string(v->get<uint64_t>())
                                                   : std::string();
    char *end = nullptr;
    errno = 0;
    unsigned long mode = digits.empty() ? 0 : strtoul(digits.c_str(), &end, 8);
    if (digits.empty() || *end || errno || mode > UINT32_MAX || digits[0] == '-')
        return f.fail("mode", "expected octal permission bits such as \"0755\"");
    put_u32(p, uint32_t(mode));
    return true;
}

bool build_message(fields &f, bytes &p, data_source &) {
    std::string text;
    if (!f.text("text", &text, oza_text_field - 1, true)) return false;
    put_field(p, text, oza_text_field);
    return true;
}

bool build_shell(fields &f, bytes &p, data_source &data) {
    std::string command;
    if (!f.text("command", &command, 0, true)) return false;
    put_u32(p, uint32_t(command.size()));
    data.given.assign(command.begin(), command.end());
    data.size = data.stored = data.given.size();
    return true;
}

bool build_format(fields &f, bytes &p, data_source &) {
    uint32_t type = 0, cleanup = 0;
    const json *c = f.get("cleanup");
    if (c && c->is_boolean()) {
        cleanup = c->get<bool>();
    } else if (c) {
        f.asked.pop_back();
        if (!f.u32("cleanup", &cleanup, true)) return false;
    }
    if (!f.u32("format", &type, true)) return false;
    put_u32(p, type);
    put_u32(p, cleanup);
    return true;
}

bool build_flash(fields &f, bytes &p, data_source &data) {
    uint32_t address = 0;
    if (!f.u32("address", &address, true) || !f.data(&data)) return false;
    put_u32(p, address);
    put_u32(p, uint32_t(data.size));
    return true;
}

// MMCF and EXT3: area name, offset, data (EXT3's area defaults to "params").
bool build_area(fields &f, bytes &p, data_source &data, const char *default_area) {
    std::string area = default_area ? default_area : "";
    uint32_t offset = 0;
    if (!f.text("area", &area, oza_text_field - 1, !default_area) ||
        !f.u32("offset", &offset, false) || !f.data(&data))
        return false;
    put_field(p, area, oza_text_field);
    put_u32(p, offset);
    put_u32(p, uint32_t(data.size));
    return true;
}
bool build_mmcflash(fields &f, bytes &p, data_source &data) {
    return build_area(f, p, data, nullptr);
}
bool build_mmcpatch(fields &f, bytes &p, data_source &data) {
    return build_area(f, p, data, "params");
}

// One boot tag entry: {"tag": T, "words": [...]} or {"tag": T, "hex": "..."}
// (padded with zero bytes to whole words); "size" replaces the size in words
// that is otherwise 2 + the data words.
bool tag_entry(manifest &m, const json &e, const std::string &where, bytes &p) {
    if (!e.is_object())
        return m.fail(where, "expected an object with \"tag\" and \"words\" or \"hex\"");
    fields f(m, e, where);
    uint32_t tag = 0;
    std::optional<uint32_t> size;
    bytes data;
    if (!f.u32("tag", &tag, true) || !f.optional_u32("size", &size) ||
        !f.hex("hex", &data, 0, false))
        return false;
    if (const json *w = f.get("words")) {
        if (f.has("hex")) return f.fail("words", "give \"words\" or \"hex\", not both");
        if (!w->is_array()) return f.fail("words", "expected an array of numbers");
        for (size_t i = 0; i < w->size(); i++) {
            const json &v = (*w)[i];
            if (!v.is_number_unsigned() || v.get<uint64_t>() > UINT32_MAX)
                return f.fail(("words[" + std::to_string(i) + "]").c_str(),
                              "expected an unsigned 32-bit number");
            put_u32(data, uint32_t(v.get<uint64_t>()));
        }
    }
    if (!f.done()) return false;
    data.resize((data.size() + 3) / 4 * 4, 0);
    put_u32(p, size ? *size : uint32_t(2 + data.size() / 4));
    put_u32(p, tag);
    p.insert(p.end(), data.begin(), data.end());
    return true;
}

// The tag entries and, unless "terminator" is false, the ending entry of
// size 0 (two zero words); or the raw patch bytes from a data source.
bool build_tagpatch(fields &f, bytes &p, data_source &data) {
    put_u32(p, 0);
    bytes &patch = data.given;
    const json *entries = f.get("entries");
    const json *terminator = f.get("terminator");
    if (terminator && !terminator->is_boolean())
        return f.fail("terminator", "expected true or false");
    if (entries) {
        if (f.has("file") || f.has("text") || f.has("hex"))
            return f.fail("entries", "give \"entries\" or the patch bytes, not both");
        if (!entries->is_array()) return f.fail("entries", "expected an array of tag entries");
        for (size_t i = 0; i < entries->size(); i++)
            if (!tag_entry(f.m, (*entries)[i], f.path_of("entries") + "[" + std::to_string(i) + "]",
                           patch))
                return false;
        if (!terminator || terminator->get<bool>()) patch.resize(patch.size() + 8, 0);
        data.size = data.stored = patch.size();
    } else {
        if (terminator) return f.fail("terminator", "only with \"entries\"");
        if (!f.data(&data)) return false;
    }
    store_le32(p.data(), uint32_t(data.size));
    return true;
}

// PARM and FPAR: identifier, type name, value text (a number is written in
// decimal). The type name is not checked: the device decides what it takes.
bool build_parameter(fields &f, bytes &p, data_source &) {
    uint32_t id = 0;
    std::string type, value;
    if (!f.u32("id", &id, true) || !f.text("value_type", &type, oza_text_field - 1, true))
        return false;
    const json *v = f.get("value");
    if (v && v->is_number_integer()) {
        value = v->dump();
    } else {
        f.asked.pop_back();
        if (!f.text("value", &value, oza_text_field - 1, true)) return false;
    }
    put_u32(p, id);
    put_field(p, type, oza_text_field);
    put_field(p, value, oza_text_field);
    return true;
}

struct chunk_builder {
    const char *fourcc;
    bool (*build)(fields &f, bytes &fixed, data_source &data);
};

constexpr chunk_builder builders[] = {
    {"UNIT", build_unit},     {"VERS", build_version},   {"TIME", build_time},
    {"EXT0", build_value},    {"BOOT", build_value},     {"ADEL", build_value},
    {"HDDL", build_value},    {"MVER", build_version},   {"COPY", build_copy},
    {"MOVE", build_move},     {"DLET", build_delete},    {"EXT2", build_chmod},
    {"MSGB", build_message},  {"SHEL", build_shell},     {"FRMT", build_format},
    {"FLSH", build_flash},    {"MMCF", build_mmcflash},  {"EXT3", build_mmcpatch},
    {"TAGP", build_tagpatch}, {"PARM", build_parameter}, {"FPAR", build_parameter},
};

bool known_types_text(std::string *list) {
    size_t n;
    const oza_chunk_type *t = oza_types(&n);
    for (size_t i = 0; i < n; i++) *list += std::string(i ? ", " : "") + t[i].fourcc;
    *list += ", raw";
    return true;
}

// Reads one chunk object. forced_type names the type of the head's
// shorthand objects ("unit", "version", "time"), whose "type" is optional.
bool read_chunk(manifest &m, const json &j, const std::string &where, const char *forced_type,
                const char *shorthand, packed_chunk *c) {
    if (!j.is_object()) return m.fail(where, std::string("expected an object, not ") + kind_of(j));
    fields f(m, j, where);
    if (shorthand) f.shorthand = shorthand;
    std::string type = forced_type ? forced_type : "";
    if (!f.text("type", &type, 0, !forced_type)) return false;
    if (forced_type && type != forced_type)
        return f.fail("type", std::string("this place takes a ") + forced_type + " chunk");
    std::string comment;
    if (!f.text("comment", &comment, 0, false)) return false;

    c->where = where;
    c->shorthand = shorthand ? shorthand : "";
    c->type = nullptr;
    c->auto_weights = false;
    if (type == "raw") {
        std::string fourcc;
        if (!f.text("fourcc", &fourcc, 0, true)) return false;
        if (fourcc.size() != 4) return f.fail("fourcc", "expected four characters");
        memcpy(c->fourcc, fourcc.data(), 4);
        if (!f.data(&c->data)) return false;
        c->type = oza_find_type(fourcc.c_str());
        c->weighted = f.has("weight");
    } else {
        const chunk_builder *b = nullptr;
        for (const chunk_builder &row : builders)
            if (type == row.fourcc) b = &row;
        if (type.size() == 4 && oza_find_type(type.c_str())) {
            c->type = oza_find_type(type.c_str());
        }
        if (!c->type) {
            std::string list;
            known_types_text(&list);
            size_t n;
            const oza_chunk_type *all = oza_types(&n);
            std::vector<std::string> names = {"raw"};
            for (size_t i = 0; i < n; i++) names.emplace_back(all[i].fourcc);
            const std::string near = nearest_name(type, names);
            return f.fail("type",
                          "unknown chunk type \"" + type + "\" (" +
                              (near.empty() ? std::string() : "did you mean \"" + near + "\"? ") +
                              "known: " + list + ")");
        }
        memcpy(c->fourcc, c->type->fourcc, 4);
        c->weighted = c->type->weighted;
        if (!(b ? b->build : build_nothing)(f, c->fixed, c->data)) return false;
        c->auto_weights = type == "TIME" && c->fixed.empty();
    }

    // Overrides of the computed fields, for files the device must refuse.
    if (c->type && c->type->tail != tail_none && (type != "raw")) {
        if (!f.optional_u32("declared", &c->declared)) return false;
        if (c->declared && !c->auto_weights) {
            if (c->fixed.size() < c->type->size_field + 4)
                return f.fail("declared", "no size field");
            store_le32(c->fixed.data() + c->type->size_field, *c->declared);
        }
    }
    uint64_t pad = 0;
    if (!f.number("pad", &pad, UINT32_MAX, false) || !f.optional_u32("length", &c->length) ||
        !f.optional_u32("weight", &c->weight))
        return false;
    if (c->weight && !c->weighted)
        return f.fail("weight", std::string(c->type ? c->type->fourcc : "this chunk") +
                                    " takes no progress weight");
    c->pad = pad;
    return f.done();
}

// The head's shorthand for a fixed chunk: absent (an error naming what to
// give), null (left out), a plain value (the chunk's main field) or an object.
bool read_fixed(manifest &m, fields &top, const char *name, const char *type, const char *field,
                std::vector<packed_chunk> &chunks) {
    const json *v = top.get(name);
    if (!v) {
        if (strcmp(type, "TIME") != 0)
            return top.fail(name, std::string("missing (give it, or null to leave the ") + type +
                                      " chunk out)");
    } else if (v->is_null()) {
        return true;
    }
    json object = v && v->is_object() ? *v : json::object();
    if (v && !v->is_object()) object[field] = *v;
    packed_chunk c;
    if (!read_chunk(m, object, name, type, v && !v->is_object() ? field : nullptr, &c))
        return false;
    chunks.push_back(std::move(c));
    return true;
}

bool read_signature(manifest &m, const json *j, pack_plan *plan) {
    if (!j) return m.fail("signature", "missing (an object with \"slot\" and \"key\")");
    if (!j->is_object()) return m.fail("signature", "expected an object with \"slot\" and \"key\"");
    fields f(m, *j, "signature");
    uint32_t slot = 0;
    std::string fourcc;
    if (!f.u32("slot", &slot, false) || !f.text("fourcc", &fourcc, 0, false)) return false;
    if (f.has("slot") == f.has("fourcc"))
        return f.fail("slot", "give the slot (1 to 5) or the fourcc, one of them");
    if (f.has("slot")) {
        if (slot < 1 || slot > oza_slots) return f.fail("slot", "expected 1 to 5");
        fourcc = "SIG" + std::to_string(slot - 1);
    } else if (fourcc.size() != 4) {
        return f.fail("fourcc", "expected four characters");
    }
    memcpy(plan->signature_fourcc, fourcc.data(), 4);
    if (!f.u32("length", &plan->signature_length, false)) return false;
    std::string key;
    bytes block;
    if (!f.text("key", &key, 0, false) || !f.hex("block", &block, oza_signature_block_size, false))
        return false;
    if (f.has("key") == f.has("block"))
        return f.fail("key",
                      "give the signing key (a PEM file) or the block to store, one of them");
    if (f.has("key")) {
        plan->signing_key = resolve(m, key);
        plan->signing_key_as = key;
    }
    if (f.has("block")) {
        block.resize(oza_signature_block_size, 0);
        plan->block = block;
    }
    return f.done();
}

bool read_cipher(manifest &m, const json &j, pack_plan *plan) {
    if (!j.is_object()) return m.fail("cipher", "expected an object with \"key\" and \"iv\"");
    fields f(m, j, "cipher");
    plan->has_cipher = true;
    bytes iv;
    std::string key;
    if (!f.u32("marker", &plan->marker, false) || !f.u32("length", &plan->cipher_length, false) ||
        !f.hex("iv", &iv, oza_iv_size, true) || !f.text("key", &key, 0, false))
        return false;
    if (iv.size() != oza_iv_size) return f.fail("iv", "expected 16 bytes (32 hexadecimal digits)");
    memcpy(plan->iv, iv.data(), oza_iv_size);
    if (!key.empty()) {
        plan->aes_key = resolve(m, key);
        plan->aes_key_as = key;
    }
    return f.done();
}

bool read_tamper(manifest &m, const json &j, pack_plan *plan) {
    if (!j.is_array()) return m.fail("tamper", "expected an array of {\"offset\", \"hex\"}");
    for (size_t i = 0; i < j.size(); i++) {
        const std::string where = "tamper[" + std::to_string(i) + "]";
        if (!j[i].is_object()) return m.fail(where, "expected an object");
        fields f(m, j[i], where);
        pack_plan::patch p;
        if (!f.number("offset", &p.offset, UINT64_MAX, true) || !f.hex("hex", &p.data, 0, true) ||
            !f.done())
            return false;
        plan->tamper.push_back(std::move(p));
    }
    return true;
}

} // namespace

bool data_source::stream(const std::function<bool(const unsigned char *, size_t)> &sink) const {
    unsigned char piece[65536];
    if (file.empty() || stored == 0) {
        // Given bytes, repeated; or zero bytes when none are given.
        if (given.empty()) memset(piece, 0, sizeof piece);
        for (uint64_t done = 0; done < size;) {
            size_t n;
            const unsigned char *from;
            if (given.empty()) {
                n = size_t(std::min<uint64_t>(sizeof piece, size - done));
                from = piece;
            } else {
                const size_t at = size_t(done % given.size());
                n = size_t(std::min<uint64_t>(given.size() - at, size - done));
                from = given.data() + at;
            }
            if (!sink(from, n)) return false;
            done += n;
        }
        return true;
    }
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    for (uint64_t done = 0; ok && done < size;) {
        if (done % stored == 0 && lseek(fd, 0, SEEK_SET) != 0) ok = false;
        const size_t want = size_t(
            std::min<uint64_t>({uint64_t(sizeof piece), size - done, stored - done % stored}));
        ssize_t n = 0;
        while (ok && (n = read(fd, piece, want)) < 0 && errno == EINTR) {
        }
        if (n <= 0) {
            // The file shrank since the manifest was read.
            if (n == 0) errno = EIO;
            ok = false;
        } else {
            ok = sink(piece, size_t(n));
            done += uint64_t(n);
        }
    }
    const int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

std::vector<std::string> pack_plan::inputs() const {
    std::vector<std::string> all = {signing_key, aes_key, trailer.file};
    for (const packed_chunk &c : chunks) all.push_back(c.data.file);
    return all;
}

std::string pack_plan::message(const std::string &path, const std::string &text) const {
    const std::string place = json_place_text(places.find(path));
    return name + ": " + (place.empty() ? "" : place + ": ") + (path.empty() ? "" : path + ": ") +
           text;
}

bool read_manifest(const std::string &name, const std::string &text, const std::string &base_dir,
                   pack_plan *plan, std::string *error) {
    plan->name = name;
    manifest m{*plan, base_dir, ""};
    json j = json::parse(text, nullptr, false, true);
    if (j.is_discarded()) {
        syntax_check check;
        json::sax_parse(text, &check, nlohmann::detail::input_format_t::json, true, true);
        *error = name + ": " + check.message;
        return false;
    }
    plan->places = json_scan(text);
    // nlohmann-json keeps the last of two values of a key: a repeated key
    // would silently lose the first.
    if (!plan->places.duplicates.empty()) {
        const json_duplicate &d = plan->places.duplicates.front();
        *error = name + ": " + json_place_text(d.again) + ": " + d.path +
                 ": given a second time (first at " + json_place_text(d.first) + ")";
        return false;
    }
    fields top(m, j, "");
    if (!j.is_object()) {
        *error = name + ": expected a JSON object at the top";
        return false;
    }
    std::string comment;
    bool ok = top.text("comment", &comment, 0, false) &&
              read_signature(m, top.get("signature"), plan) &&
              read_fixed(m, top, "unit", "UNIT", "name", plan->chunks) &&
              read_fixed(m, top, "version", "VERS", "version", plan->chunks) &&
              read_fixed(m, top, "time", "TIME", "weights", plan->chunks);
    if (ok && top.get("cipher")) ok = read_cipher(m, j["cipher"], plan);
    if (ok) {
        const json *chunks = top.get("chunks");
        if (chunks && !chunks->is_array()) ok = top.fail("chunks", "expected an array of chunks");
        for (size_t i = 0; ok && chunks && i < chunks->size(); i++) {
            packed_chunk c;
            ok = read_chunk(m, (*chunks)[i], "chunks[" + std::to_string(i) + "]", nullptr, nullptr,
                            &c);
            if (ok) plan->chunks.push_back(std::move(c));
        }
    }
    if (ok && top.get("trailer")) {
        fields f(m, j["trailer"], "trailer");
        ok = j["trailer"].is_object()
                 ? f.data(&plan->trailer) && f.done()
                 : m.fail("trailer", "expected an object such as {\"hex\": \"ff\"}");
    }
    if (ok && top.has("truncate")) {
        uint64_t size = 0;
        ok = top.number("truncate", &size, UINT64_MAX, true);
        plan->truncate = size;
    } else {
        top.get("truncate");
    }
    if (ok && top.get("tamper")) ok = read_tamper(m, j["tamper"], plan);
    ok = ok && top.done();
    // The key files, once the manifest itself holds no fault.
    if (ok && !plan->signing_key.empty() && access(plan->signing_key.c_str(), R_OK) != 0)
        ok = m.fail("signature.key", "cannot read the signing key \"" + plan->signing_key_as +
                                         "\" (" + plan->signing_key + "): " + strerror(errno));
    if (ok && !plan->aes_key.empty() && access(plan->aes_key.c_str(), R_OK) != 0)
        ok = m.fail("cipher.key", "cannot read the AES key record \"" + plan->aes_key_as + "\" (" +
                                      plan->aes_key + "): " + strerror(errno));
    if (!ok) *error = m.error;
    return ok;
}
