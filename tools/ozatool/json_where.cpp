// A small recursive scan of a JSON text that records positions only; the
// values themselves are parsed by nlohmann-json.
#include "tools/ozatool/json_where.h"

#include <cstdint>

namespace {

struct scanner {
    const std::string &text;
    json_places &out;
    size_t at = 0;
    unsigned line = 1, column = 1;
    int depth = 0;

    bool end() const { return at >= text.size(); }
    char peek() const { return end() ? '\0' : text[at]; }
    void step() {
        if (end()) return;
        if (text[at] == '\n') {
            line++;
            column = 1;
        } else {
            column++;
        }
        at++;
    }
    json_place here() const { return {line, column}; }

    // Skips blanks and comments.
    void blank() {
        for (;;) {
            const char c = peek();
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                step();
            } else if (c == '/' && at + 1 < text.size() && text[at + 1] == '/') {
                while (!end() && peek() != '\n') step();
            } else if (c == '/' && at + 1 < text.size() && text[at + 1] == '*') {
                step(), step();
                while (!end() && !(peek() == '*' && at + 1 < text.size() && text[at + 1] == '/'))
                    step();
                step(), step();
            } else {
                return;
            }
        }
    }

    static void put_utf8(std::string &s, uint32_t c) {
        if (c < 0x80) {
            s += char(c);
        } else if (c < 0x800) {
            s += char(0xC0 | c >> 6);
            s += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            s += char(0xE0 | c >> 12);
            s += char(0x80 | (c >> 6 & 0x3F));
            s += char(0x80 | (c & 0x3F));
        } else {
            s += char(0xF0 | c >> 18);
            s += char(0x80 | (c >> 12 & 0x3F));
            s += char(0x80 | (c >> 6 & 0x3F));
            s += char(0x80 | (c & 0x3F));
        }
    }

    bool hex4(uint32_t *v) {
        *v = 0;
        for (int i = 0; i < 4; i++) {
            const char c = peek();
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return false;
            *v = *v << 4 | uint32_t(d);
            step();
        }
        return true;
    }

    // A string at the quote; its decoded text in s.
    bool string(std::string *s) {
        step(); // the opening quote
        while (!end()) {
            const char c = peek();
            if (c == '"') {
                step();
                return true;
            }
            if (c != '\\') {
                *s += c;
                step();
                continue;
            }
            step();
            const char e = peek();
            step();
            switch (e) {
            case 'n': *s += '\n'; break;
            case 't': *s += '\t'; break;
            case 'r': *s += '\r'; break;
            case 'b': *s += '\b'; break;
            case 'f': *s += '\f'; break;
            case 'u': {
                uint32_t c1;
                if (!hex4(&c1)) return false;
                if (c1 >= 0xD800 && c1 < 0xDC00 && peek() == '\\') {
                    step();
                    step(); // 'u'
                    uint32_t c2;
                    if (!hex4(&c2)) return false;
                    c1 = 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00);
                }
                put_utf8(*s, c1);
                break;
            }
            default: *s += e;
            }
        }
        return false;
    }

    bool value(const std::string &path) {
        blank();
        if (end() || ++depth > 512) return false;
        out.values.emplace(path, here());
        bool ok = true;
        const char c = peek();
        if (c == '{') {
            step();
            std::map<std::string, json_place> keys;
            blank();
            if (peek() == '}') {
                step();
            } else {
                for (;;) {
                    blank();
                    if (peek() != '"') {
                        ok = false;
                        break;
                    }
                    const json_place key_at = here();
                    std::string key;
                    if (!string(&key)) {
                        ok = false;
                        break;
                    }
                    const std::string child = path.empty() ? key : path + "." + key;
                    const bool fresh = keys.emplace(key, key_at).second;
                    blank();
                    if (peek() != ':') {
                        ok = false;
                        break;
                    }
                    step();
                    blank();
                    // A repeated key is named where its second value stands.
                    if (!fresh) out.duplicates.push_back({child, out.values[child], here()});
                    // The first place of a key given twice stays the one of its first value.
                    if (!fresh) {
                        json_places ignored;
                        scanner again{text, ignored, at, line, column, depth};
                        ok = again.value(child);
                        at = again.at, line = again.line, column = again.column;
                    } else {
                        ok = value(child);
                    }
                    if (!ok) break;
                    blank();
                    if (peek() == ',') {
                        step();
                        continue;
                    }
                    ok = peek() == '}';
                    step();
                    break;
                }
            }
        } else if (c == '[') {
            step();
            blank();
            if (peek() == ']') {
                step();
            } else {
                for (size_t i = 0;; i++) {
                    if (!(ok = value(path + "[" + std::to_string(i) + "]"))) break;
                    blank();
                    if (peek() == ',') {
                        step();
                        continue;
                    }
                    ok = peek() == ']';
                    step();
                    break;
                }
            }
        } else if (c == '"') {
            std::string ignored;
            ok = string(&ignored);
        } else {
            // A number or a literal: everything up to a delimiter.
            while (!end() && std::string(",]} \t\r\n/").find(peek()) == std::string::npos) step();
        }
        depth--;
        return ok;
    }
};

} // namespace

json_place json_places::find(const std::string &path) const {
    std::string p = path;
    for (;;) {
        auto it = values.find(p);
        if (it != values.end()) return it->second;
        if (p.empty()) return {};
        const size_t cut = p.find_last_of(".[");
        p = cut == std::string::npos ? "" : p.substr(0, cut);
    }
}

json_places json_scan(const std::string &text) {
    json_places out;
    scanner s{text, out};
    s.value("");
    return out;
}

std::string json_place_text(const json_place &p) {
    if (p.line == 0) return "";
    return "line " + std::to_string(p.line) + ", column " + std::to_string(p.column);
}
