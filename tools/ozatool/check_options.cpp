// Keys and device state for the checks, and the reports (check_options.h).
#include "tools/ozatool/check_options.h"

#include "core/byteorder.h"
#include "tools/ozatool/cli.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using json = nlohmann::json;

#ifndef OZATOOL_BUILTIN_DIR
#define OZATOOL_BUILTIN_DIR ""
#endif

enum {
    opt_key = 0x20000,
    opt_aes,
    opt_block,
    opt_mmc,
    opt_builtin,
    opt_box,
    opt_unit,
    opt_target,
    opt_params_file,
    opt_params_image,
    opt_update_path,
    opt_json,
    opt_strict,
};

const option check_long_options[] = {
    {"key", required_argument, nullptr, opt_key},
    {"aes", required_argument, nullptr, opt_aes},
    {"block", required_argument, nullptr, opt_block},
    {"mmc", required_argument, nullptr, opt_mmc},
    {"builtin", required_argument, nullptr, opt_builtin},
    {"box", required_argument, nullptr, opt_box},
    {"unit", required_argument, nullptr, opt_unit},
    {"target", required_argument, nullptr, opt_target},
    {"params-file", required_argument, nullptr, opt_params_file},
    {"params-image", required_argument, nullptr, opt_params_image},
    {"update-path", required_argument, nullptr, opt_update_path},
    {"json", no_argument, nullptr, opt_json},
    {"strict", no_argument, nullptr, opt_strict},
    {nullptr, 0, nullptr, 0},
};

std::vector<option> with_check_options(const option *own, const std::vector<std::string> &without) {
    std::vector<option> all;
    for (const option *o = own; o && o->name; o++) all.push_back(*o);
    for (const option *o = check_long_options; o->name; o++)
        if (std::find(without.begin(), without.end(), o->name) == without.end()) all.push_back(*o);
    all.push_back({nullptr, 0, nullptr, 0});
    return all;
}

namespace {

constexpr size_t typed_record_at = 16400, typed_record_size = 2032;

bool read_record(const char *name, const std::string &path, size_t size, bool exact,
                 std::optional<bytes> *out) {
    bytes record;
    if (!read_whole(path, &record))
        return fail(name, "cannot read %s: %s", path.c_str(), strerror(errno)), false;
    if (exact ? record.size() != size : record.size() < size)
        return fail(name, "%s holds %zu bytes, not the %zu of a key record", path.c_str(),
                    record.size(), size),
               false;
    *out = record;
    return true;
}

// ParamStore_3b from a "params" area image, or the record itself.
bool typed_records(const char *name, const std::string &path, device_state *d) {
    bytes b;
    if (!read_whole(path, &b))
        return fail(name, "cannot read %s: %s", path.c_str(), strerror(errno)), false;
    if (b.size() == typed_record_size) {
        d->typed_records = b;
    } else if (b.size() >= typed_record_at + typed_record_size) {
        d->typed_records = bytes(b.begin() + long(typed_record_at),
                                 b.begin() + long(typed_record_at + typed_record_size));
    } else {
        return fail(name,
                    "%s: neither a \"params\" area image (at least %zu bytes) nor the %zu-byte "
                    "record ParamStore_3b",
                    path.c_str(), typed_record_at + typed_record_size, typed_record_size),
               false;
    }
    d->typed_from = path;
    return true;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

} // namespace

int check_option(const char *name, int opt, const char *arg, check_options *o) {
    switch (opt) {
    case opt_key:
        o->keys.key_from = std::string("the key record ") + arg;
        o->inputs.push_back(arg);
        return read_record(name, arg, 144, true, &o->keys.key) ? 1 : -1;
    case opt_aes:
        o->keys.aes_from = std::string("the AES key record ") + arg;
        o->inputs.push_back(arg);
        return read_record(name, arg, 2, false, &o->keys.aes) ? 1 : -1;
    case opt_block: o->block = arg; break;
    case opt_mmc: o->mmc = arg; break;
    case opt_builtin: o->builtin = arg; break;
    case opt_box: o->box = arg; break;
    case opt_unit:
        if (strlen(arg) >= oza_unit_name_size)
            return fail(name, "--unit '%s': a unit name has at most 15 characters", arg), -1;
        o->device.unit = arg;
        o->device.unit_from = "--unit";
        break;
    case opt_target:
        o->device.target = oza_find_target(arg);
        if (!o->device.target) return fail(name, "--target '%s': full or basic", arg), -1;
        break;
    case opt_params_file: {
        bytes b;
        if (!read_whole(arg, &b)) return fail(name, "cannot read %s: %s", arg, strerror(errno)), -1;
        o->device.parameter_file = b;
        o->device.parameter_file_from = arg;
        break;
    }
    case opt_params_image: return typed_records(name, arg, &o->device) ? 1 : -1;
    case opt_update_path:
        if (arg[0] != '/')
            return fail(name, "--update-path '%s': an absolute path on the device", arg), -1;
        o->device.update_path = arg;
        break;
    case opt_json: o->json = true; break;
    case opt_strict: o->strict = true; break;
    default: return 0;
    }
    return 1;
}

bool check_finish(const char *name, check_options *o) {
    if (int(o->block != nullptr) + int(o->mmc != nullptr) + int(o->box != nullptr) > 1)
        return fail(name, "give one key store: --block, --mmc or --box"), false;
    std::string mmc = o->mmc ? o->mmc : "";
    if (o->box) {
        const std::string box = o->box;
        if (!exists(box + "/dev/mmcblk0"))
            return fail(name, "--box %s: not a device box (no dev/mmcblk0)", o->box), false;
        mmc = box + "/dev/mmcblk0";
        if (!o->device.typed_records && !typed_records(name, box + "/mnt/rawfs/params", &o->device))
            return false;
        o->device.typed_from = "the box's ParamStore_3b";
        const std::string system_bin = box + "/mnt/storage/System/System.bin";
        if (!o->device.parameter_file) {
            bytes b;
            if (read_whole(system_bin, &b)) {
                o->device.parameter_file = b;
            } else {
                o->device.parameter_file_missing = true;
            }
            o->device.parameter_file_from = "the box's /mnt/storage/System/System.bin";
        }
        bytes tags;
        if (read_whole(box + "/mnt/rawfs/tags", &tags)) {
            o->device.tags = tags;
            o->device.tags_from = "the box's tags area";
        }
        // A basic box has no display driver.
        if (!o->device.target)
            o->device.target = oza_find_target(exists(box + "/dev/dsscomp") ? "full" : "basic");
    }
    if (o->block || !mmc.empty()) {
        std::string error;
        if (!load_key_store(o->block, mmc.empty() ? nullptr : mmc.c_str(), &o->store, &error))
            return fail(name, "%s", error.c_str()), false;
        o->keys.store = &o->store;
        if (!o->device.unit) {
            unsigned char unit[oza_unit_name_size] = "a004";
            o->device.unit_from = "the key store of " + o->store.origin;
            if (store_read(o->store, store_unit, sizeof unit, unit))
                unit[15] = 0;
            else
                o->device.unit_from = "the default, since the key store cannot be read";
            o->device.unit = reinterpret_cast<char *>(unit);
        }
    }
    std::string dir = o->builtin ? o->builtin : OZATOOL_BUILTIN_DIR;
    o->keys.builtin_given = o->builtin != nullptr;
    if (!dir.empty() && (o->builtin || exists(dir + "/slot5.keyrec"))) {
        if (!read_record(name, dir + "/slot5.keyrec", 144, true, &o->keys.builtin_slot5) ||
            !read_record(name, dir + "/fallback.keyrec", 144, true, &o->keys.builtin_fallback) ||
            !read_record(name, dir + "/aes_default.keyrec", 18, true, &o->keys.builtin_aes))
            return false;
    }
    return true;
}

bool inspect_path(const char *name, const std::string &path, const check_options &o,
                  inspection *r) {
    const int fd = path == "-" ? dup(0) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int saved = errno;
        if (fd >= 0) close(fd);
        fail(name, "cannot read %s: %s", path.c_str(),
             fd >= 0 && saved == 0 ? "not a regular file" : strerror(saved));
        return false;
    }
    inspect_file(fd, uint64_t(st.st_size), o.keys, o.device, r);
    close(fd);
    return true;
}

int inspection_status(const inspection &r, bool strict) {
    if (r.result != 0 || r.faults(strict)) return 1;
    return !r.readable || r.signature != signature_valid ? 2 : 0;
}

std::string chunk_place(const inspection &r, const finding &f) {
    if (f.chunk < 0) return "the file";
    const inspected_chunk &c = r.chunks[size_t(f.chunk)];
    return (c.fourcc.empty() ? std::string("the chunk") : c.fourcc) + " at offset " +
           std::to_string(c.offset);
}

namespace {

const char *level_name(severity s) {
    return s == severity_error ? "error" : s == severity_warning ? "warning" : "note";
}

} // namespace

std::string findings_text(const inspection &r,
                          const std::function<std::string(const finding &)> &where) {
    std::string text;
    for (const finding &f : r.findings) {
        text += std::string(level_name(f.level));
        if (f.code) text += " " + std::to_string(f.code);
        text +=
            ": " + where(f) + (f.field.empty() ? std::string() : ", " + f.field) + ": " + f.text;
        if (!f.suggestion.empty()) text += " (did you mean \"" + f.suggestion + "\"?)";
        text += "\n";
    }
    for (const std::string &d : r.diagnoses) text += "likely cause: " + d + "\n";
    for (const std::string &u : r.unchecked) text += "unchecked: " + u + "\n";
    return text;
}

json inspection_json(const std::string &file, const inspection &r, bool strict,
                     const oza_target *target) {
    json chunks = json::array();
    for (size_t i = 0; i < r.chunks.size(); i++) {
        const inspected_chunk &c = r.chunks[i];
        json j = {{"index", i},
                  {"offset", c.offset},
                  {"fourcc", c.fourcc},
                  {"length", c.length},
                  {"summary", c.summary}};
        if (!c.fields.is_null()) j["fields"] = c.fields;
        chunks.push_back(j);
    }
    json findings = json::array();
    for (const finding &f : r.findings) {
        json j = {{"severity", level_name(f.level)},
                  {"code", f.code},
                  {"chunk", f.chunk},
                  {"offset", f.chunk >= 0 ? json(r.chunks[size_t(f.chunk)].offset) : json()},
                  {"field", f.field},
                  {"text", f.text}};
        if (!f.suggestion.empty()) j["suggestion"] = f.suggestion;
        findings.push_back(j);
    }
    const int status = inspection_status(r, strict);
    return {
        {"file", file},
        {"size", r.size},
        {"target", target ? target->name : "full"},
        {"status", status},
        {"verdict", status == 0   ? "valid"
                    : status == 1 ? "refused"
                                  : "unknown"},
        {"accepted", r.accepted()},
        {"enciphered", r.enciphered},
        {"head", r.head},
        {"chunks", chunks},
        {"result",
         {{"code", r.result},
          {"text", oza_result_text(r.result)},
          {"chunk", r.result ? json(r.result_chunk) : json()},
          {"offset", r.result ? json(r.result_offset) : json()},
          {"reason", r.result_text}}},
        {"findings", findings},
        {"diagnoses", r.diagnoses},
        {"unchecked", r.unchecked},
    };
}

void print_json(const json &j) {
    const std::string text = j.dump(2, ' ', false, json::error_handler_t::replace);
    fwrite(text.data(), 1, text.size(), stdout);
    fputc('\n', stdout);
}
