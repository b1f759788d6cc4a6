// ozatool params: the typed parameter records of a device, decoded. They
// live in two places (docs/parameters.md): the record ParamStore_3b of the
// parameter store (at 16400 of the "params" area; records from byte 8 to
// the end offset at byte 4) and the file /mnt/storage/System/System.bin
// (records from byte 4 to its end). A record is u16 length (header
// included), u16 identifier, value; a length of 0 is a gap of 2 bytes. The
// records carry no type: each value is shown the ways the device's types
// store it.
#include "tools/ozatool/cli.h"
#include "tools/ozatool/ozatool.h"

#include "core/byteorder.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

using json = nlohmann::json;

namespace {

constexpr size_t typed_record_at = 16400, typed_record_size = 2032;
constexpr size_t parameter_file_max = 32768;

struct source {
    std::string name; // "ParamStore_3b" or "System.bin"
    std::string from; // where it was read
    bytes data;
    size_t start, end; // where the records lie
};

// The value of a record as the device's types store it.
json value_of(const unsigned char *v, size_t n) {
    json j = {{"hex", hex_text(v, n)}};
    if (n >= 2) {
        j["u16"] = load_le16(v);
        j["i16"] = int16_t(load_le16(v));
    }
    if (n >= 4) {
        j["u32"] = load_le32(v);
        j["i32"] = int32_t(load_le32(v));
    }
    const void *nul = memchr(v, 0, n);
    if (nul && nul != v) {
        const size_t len = size_t(static_cast<const unsigned char *>(nul) - v);
        bool text = true;
        for (size_t i = 0; i < len; i++) text = text && v[i] >= 0x20 && v[i] < 0x7f;
        if (text) j["string"] = std::string(reinterpret_cast<const char *>(v), len);
    }
    return j;
}

std::string value_text(const json &v) {
    std::string t = "0x" + v["hex"].get<std::string>();
    if (v.contains("string")) t += " \"" + v["string"].get<std::string>() + "\"";
    if (v.contains("u32"))
        t += " (u32 " + std::to_string(v["u32"].get<uint32_t>()) + ", u16 " +
             std::to_string(v["u16"].get<unsigned>()) + ")";
    else if (v.contains("u16"))
        t += " (u16 " + std::to_string(v["u16"].get<unsigned>()) + ", i16 " +
             std::to_string(v["i16"].get<int>()) + ")";
    return t;
}

json decode(const source &s, long id) {
    json records = json::array();
    json notes = json::array();
    size_t at = s.start;
    while (at + 4 <= s.end) {
        const size_t length = load_le16(s.data.data() + at);
        if (length == 0) {
            at += 2;
            continue;
        }
        const unsigned rid = load_le16(s.data.data() + at + 2);
        if (length < 4 || length > s.end - at) {
            notes.push_back("the record at " + std::to_string(at) + " (id " + std::to_string(rid) +
                            ", " + std::to_string(length) + " bytes) runs past the end at " +
                            std::to_string(s.end));
            break;
        }
        if (id < 0 || unsigned(id) == rid)
            records.push_back({{"offset", at},
                               {"id", rid},
                               {"length", length},
                               {"value", value_of(s.data.data() + at + 4, length - 4)}});
        at += length;
    }
    return {{"record", s.name}, {"from", s.from}, {"records", records}, {"notes", notes}};
}

bool load(const std::string &path, const std::string &as, bool box, std::vector<source> *out,
          std::string *error) {
    bytes b;
    if (!read_whole(path, &b)) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    const bool record = as == "record" || (as.empty() && b.size() == typed_record_size);
    const bool image =
        as == "image" || (as.empty() && b.size() >= typed_record_at + typed_record_size);
    if (record || image) {
        if (image && b.size() < typed_record_at + typed_record_size) {
            *error = path + ": a \"params\" area image holds at least 18432 bytes";
            return false;
        }
        bytes r = image ? bytes(b.begin() + long(typed_record_at),
                                b.begin() + long(typed_record_at + typed_record_size))
                        : b;
        if (r.size() < 8) {
            *error = path + ": shorter than the 8-byte head of ParamStore_3b";
            return false;
        }
        const size_t end = std::min<size_t>(load_le32(r.data() + 4), r.size());
        out->push_back({"ParamStore_3b",
                        box     ? "the box's params area at 16400"
                        : image ? path + " at 16400"
                                : path,
                        r, 8, end});
        return true;
    }
    if (b.size() > parameter_file_max) {
        *error = path + ": larger than the 32768 bytes of a parameter file (give --as image or "
                        "--as record)";
        return false;
    }
    if (b.size() < 4) {
        *error = path + ": shorter than the 4-byte head of a parameter file";
        return false;
    }
    out->push_back(
        {"System.bin", box ? "the box's /mnt/storage/System/System.bin" : path, b, 4, b.size()});
    return true;
}

} // namespace

int params_main(int argc, char **argv) {
    const char *name = argv[0];
    bool as_json = false;
    long id = -1;
    std::string as;
    enum { opt_json = 0x30000, opt_id, opt_as };
    static const option options[] = {{"json", no_argument, nullptr, opt_json},
                                     {"id", required_argument, nullptr, opt_id},
                                     {"as", required_argument, nullptr, opt_as},
                                     {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = cli_option(argc, argv, "", options)) != -1) {
        switch (opt) {
        case cli_help: return help(name);
        case opt_json: as_json = true; break;
        case opt_id: {
            uint64_t v;
            if (!parse_u64(optarg, &v) || v > 65535)
                return fail(name, "--id '%s': 0 to 65535", optarg), 2;
            id = long(v);
            break;
        }
        case opt_as:
            as = optarg;
            if (as != "image" && as != "record" && as != "file")
                return fail(name, "--as '%s': image, record or file", optarg), 2;
            break;
        default: return usage(name);
        }
    }
    if (argc - optind != 1) return usage(name);
    const std::string target = argv[optind];
    std::vector<source> sources;
    std::string error;
    struct stat st;
    if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (!load(target + "/mnt/rawfs/params", "image", true, &sources, &error))
            return fail(name, "%s: not a device box: %s", target.c_str(), error.c_str()), 2;
        const std::string file = target + "/mnt/storage/System/System.bin";
        if (stat(file.c_str(), &st) == 0 && !load(file, "file", true, &sources, &error))
            return fail(name, "%s", error.c_str());
    } else if (!load(target, as, false, &sources, &error)) {
        return fail(name, "%s", error.c_str()), 2;
    }
    json all = json::array();
    for (const source &s : sources) all.push_back(decode(s, id));
    if (as_json) {
        const std::string text =
            json({{"sources", all}}).dump(2, ' ', false, json::error_handler_t::replace);
        printf("%s\n", text.c_str());
        return 0;
    }
    for (const json &s : all) {
        printf("%s (%s): %zu record%s\n", s["record"].get<std::string>().c_str(),
               s["from"].get<std::string>().c_str(), s["records"].size(),
               s["records"].size() == 1 ? "" : "s");
        for (const json &r : s["records"])
            printf("  id %-5u at %-5zu %3zu bytes  %s\n", r["id"].get<unsigned>(),
                   r["offset"].get<size_t>(), r["length"].get<size_t>(),
                   value_text(r["value"]).c_str());
        for (const json &n : s["notes"]) printf("  note: %s\n", n.get<std::string>().c_str());
    }
    return 0;
}
