// Decoding the payloads of every chunk type (fields.h).
#include "tools/ozatool/fields.h"

#include "core/byteorder.h"

#include <cstdio>
#include <cstring>

using json = nlohmann::json;

std::string field_text(const unsigned char *p, size_t n) {
    size_t i = 0;
    while (i < n && p[i]) i++;
    return std::string(reinterpret_cast<const char *>(p), i);
}

std::string quoted(const unsigned char *p, size_t n, size_t limit) {
    std::string text = "\"";
    size_t i = 0;
    for (; i < n && p[i] && i < limit; i++) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            text += '\\';
            text += char(c);
        } else if (c == '\n') {
            text += "\\n";
        } else if (c >= 0x20 && c < 0x7f) {
            text += char(c);
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02x", c);
            text += escape;
        }
    }
    text += '"';
    if (i == limit && i < n && p[i]) text += "...";
    return text;
}

namespace {

std::string number(uint64_t v) {
    return std::to_string(v);
}

std::string hex32(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

std::string version_text(const unsigned char *p) {
    return number(load_le32(p)) + "." + number(load_le32(p + 4)) + "." + number(load_le32(p + 8));
}

std::string target_text(const unsigned char *p) {
    const uint32_t index = load_le32(p);
    const char *mount = oza_mount_point(index);
    return "index " + number(index) + " (" + (mount ? mount : "unknown: the device skips it") +
           ") path " + quoted(p + 4, oza_text_field);
}

// The entries of a TAGP patch as manifest entries; false when the bytes
// are not a clean list (an entry of fewer than 2 words, or one that runs
// past the patch).
bool tag_entries(const bytes &patch, json *entries, bool *terminated) {
    *entries = json::array();
    *terminated = false;
    size_t at = 0;
    while (at + 8 <= patch.size()) {
        const uint32_t size = load_le32(patch.data() + at), tag = load_le32(patch.data() + at + 4);
        if (size == 0) {
            *terminated = at + 8 == patch.size() && load_le32(patch.data() + at + 4) == 0;
            return *terminated;
        }
        if (size < 2 || size > (patch.size() - at) / 4) return false;
        json words = json::array();
        for (uint32_t w = 2; w < size; w++) words.push_back(load_le32(patch.data() + at + 4 * w));
        entries->push_back({{"tag", hex32(tag)}, {"words", words}});
        at += size_t(size) * 4;
    }
    return at == patch.size();
}

std::string tag_summary(const bytes &patch) {
    std::string text;
    size_t at = 0;
    while (at + 8 <= patch.size()) {
        const uint32_t size = load_le32(patch.data() + at), tag = load_le32(patch.data() + at + 4);
        if (size == 0) return text + " end";
        char entry[48];
        snprintf(entry, sizeof entry, " 0x%08x(%u words)", tag, size);
        text += entry;
        if (size > (patch.size() - at) / 4) return text + " [runs past the patch]";
        if (size < 2) return text + " [shorter than its header]";
        at += size_t(size) * 4;
    }
    return text + " [no end entry]";
}

} // namespace

json payload_fields(const payload_view &v) {
    const std::string f = v.type->fourcc;
    const unsigned char *p = v.fixed;
    json j = {{"type", f}};
    if (f == "UNIT") {
        j["name"] = field_text(p, oza_unit_name_size);
        bool reserved = false;
        for (size_t i = 16; i < 32; i++) reserved = reserved || p[i];
        if (reserved) j["reserved"] = hex_text(p + 16, 16);
    } else if (f == "VERS" || f == "MVER") {
        j["version"] = version_text(p);
    } else if (f == "TIME") {
        if (v.tail) {
            json w = json::array();
            for (size_t i = 0; i + 4 <= v.tail->size(); i += 4)
                w.push_back(load_le32(v.tail->data() + i));
            j["weights"] = w;
        } else {
            j["count"] = load_le32(p);
        }
    } else if (f == "EXT0" || f == "BOOT" || f == "ADEL" || f == "HDDL") {
        j["value"] = load_le32(p);
    } else if (f == "COPY" || f == "DLET" || f == "EXT2") {
        j["index"] = load_le32(p);
        j["path"] = field_text(p + 4, oza_text_field);
        if (f == "COPY") j["size"] = load_le32(p + 260);
        if (f == "EXT2") {
            char mode[16];
            snprintf(mode, sizeof mode, "0%o", load_le32(p + 260));
            j["mode"] = mode;
        }
    } else if (f == "MOVE") {
        j["from_index"] = load_le32(p);
        j["from_path"] = field_text(p + 4, oza_text_field);
        j["to_index"] = load_le32(p + 260);
        j["to_path"] = field_text(p + 264, oza_text_field);
    } else if (f == "MSGB") {
        j["text"] = field_text(p, oza_text_field);
    } else if (f == "SHEL") {
        if (v.tail)
            j["command"] = std::string(v.tail->begin(), v.tail->end());
        else
            j["size"] = load_le32(p);
    } else if (f == "FRMT") {
        j["format"] = load_le32(p);
        j["cleanup"] = load_le32(p + 4);
    } else if (f == "FLSH") {
        j["address"] = hex32(load_le32(p));
        j["size"] = load_le32(p + 4);
    } else if (f == "MMCF" || f == "EXT3") {
        j["area"] = field_text(p, oza_text_field);
        j["offset"] = load_le32(p + 256);
        j["size"] = load_le32(p + 260);
    } else if (f == "TAGP") {
        json entries;
        bool terminated = false;
        if (v.tail && tag_entries(*v.tail, &entries, &terminated)) {
            j["entries"] = entries;
            if (!terminated) j["terminator"] = false;
        } else if (v.tail) {
            j["hex"] = hex_text(v.tail->data(), v.tail->size());
        } else {
            j["size"] = load_le32(p);
        }
    } else if (f == "PARM" || f == "FPAR") {
        j["id"] = load_le32(p);
        j["value_type"] = field_text(p + 4, oza_text_field);
        j["value"] = field_text(p + 260, oza_text_field);
    }
    return j;
}

std::string payload_summary(const payload_view &v) {
    const std::string f = v.type->fourcc;
    const unsigned char *p = v.fixed;
    if (f == "UNIT") return "name " + quoted(p, oza_unit_name_size);
    if (f == "VERS" || f == "MVER") return version_text(p);
    if (f == "TIME") {
        const uint32_t n = load_le32(p);
        if (!v.tail) return number(n) + " weights";
        uint64_t total = 0;
        std::string list;
        for (size_t i = 0; i + 4 <= v.tail->size(); i += 4) {
            total += load_le32(v.tail->data() + i);
            if (i < 48) list.append(" ").append(number(load_le32(v.tail->data() + i)));
        }
        return number(n) + " weights:" + list + (n > 12 ? " ..." : "") + " (total " +
               number(total) + ")";
    }
    if (f == "EXT0" || f == "BOOT" || f == "ADEL" || f == "HDDL")
        return "value " + number(load_le32(p));
    if (f == "COPY") return target_text(p) + ", " + number(load_le32(p + 260)) + " bytes";
    if (f == "MOVE") return "from " + target_text(p) + " to " + target_text(p + 260);
    if (f == "DLET") return target_text(p);
    if (f == "EXT2") {
        char mode[24];
        snprintf(mode, sizeof mode, ", mode 0%o", load_le32(p + 260));
        return target_text(p) + mode;
    }
    if (f == "MSGB") return quoted(p, oza_text_field);
    if (f == "FRMT")
        return "format " + number(load_le32(p)) + ", cleanup " + number(load_le32(p + 4));
    if (f == "FLSH")
        return "address " + hex32(load_le32(p)) + ", " + number(load_le32(p + 4)) + " bytes";
    if (f == "MMCF" || f == "EXT3")
        return "area " + quoted(p, oza_text_field) + ", offset " + number(load_le32(p + 256)) +
               ", " + number(load_le32(p + 260)) + " bytes";
    if (f == "PARM" || f == "FPAR")
        return "id " + number(load_le32(p)) + ", type " + quoted(p + 4, oza_text_field) +
               ", value " + quoted(p + 260, oza_text_field);
    if (f == "SHEL") {
        if (!v.tail) return number(load_le32(p)) + " bytes";
        std::string command(v.tail->begin(), v.tail->end());
        return quoted(reinterpret_cast<const unsigned char *>(command.c_str()), command.size() + 1);
    }
    if (f == "TAGP") {
        const std::string head = number(load_le32(p)) + " bytes";
        return v.tail ? head + ":" + tag_summary(*v.tail) : head;
    }
    return v.type->what;
}
