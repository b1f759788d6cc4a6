// Numbers converted as a 32-bit long would hold them: strtoll saturated to 32 bits, and for
// unsigned types strtoul's negation of a negative text. 8 and 16-bit values take 2 bytes,
// strings their terminating zero too.
#include "formats/typed_params.h"

#include "core/byteorder.h"
#include "core/trace.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr struct {
    const char *name;
    param_type type;
} type_names[] = {
    {"int8", param_type::int8},     {"int16", param_type::int16}, {"uint8", param_type::uint8},
    {"uint16", param_type::uint16}, {"int32", param_type::int32}, {"uint32", param_type::uint32},
    {"string", param_type::string},
};

constexpr size_t record_header = 4;

int32_t saturate(long long v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

} // namespace

bool param_type_of(const char *name, param_type &type) {
    for (const auto &t : type_names) {
        if (std::string_view(name) == t.name) {
            type = t.type;
            return true;
        }
    }
    return false;
}

bool typed_record_find(const unsigned char *bytes, size_t end, uint32_t id, size_t &at,
                       size_t &length) {
    while (at + record_header <= end) {
        const size_t record_length = load_le16(bytes + at);
        if (record_length == 0) {
            at += 2;
            continue;
        }
        if (load_le16(bytes + at + 2) == id) {
            length = record_length;
            return true;
        }
        at += record_length;
    }
    return false;
}

int32_t c_atoi32(const char *text) {
    return saturate(strtoll(text, nullptr, 10));
}

int32_t c_strtol32(const char *text) {
    return saturate(strtoll(text, nullptr, 0));
}

uint32_t c_strtoul32(const char *text) {
    while (isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    if (*text == '+' || *text == '-') return 0; // a second sign: no number
    errno = 0;
    const unsigned long long v = strtoull(text, nullptr, 0);
    if (errno == ERANGE || v > UINT32_MAX) return UINT32_MAX;
    const uint32_t magnitude = static_cast<uint32_t>(v);
    return negative ? 0u - magnitude : magnitude;
}

size_t typed_value_store(unsigned char *record, size_t room, param_type type, const char *text) {
    switch (type) {
    case param_type::int8:
    case param_type::uint8:
    case param_type::int16:
    case param_type::uint16: {
        if (room < record_header + 2) return 0;
        uint16_t v;
        if (type == param_type::uint16)
            v = static_cast<uint16_t>(c_strtoul32(text));
        else if (type == param_type::int16)
            v = static_cast<uint16_t>(c_atoi32(text));
        else
            v = static_cast<uint8_t>(c_atoi32(text));
        store_le16(record + record_header, v);
        return record_header + 2;
    }
    case param_type::int32:
    case param_type::uint32: {
        if (room < record_header + 4) return 0;
        const uint32_t v = type == param_type::uint32 ? c_strtoul32(text)
                                                      : static_cast<uint32_t>(c_strtol32(text));
        store_le32(record + record_header, v);
        return record_header + 4;
    }
    case param_type::string: {
        oza_debug("Value string : %s\r\n", text);
        const size_t n = strlen(text) + 1;
        if (room < record_header || n > room - record_header) return 0;
        memcpy(record + record_header, text, n);
        return record_header + n;
    }
    }
    return 0;
}
