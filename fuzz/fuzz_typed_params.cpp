// Fuzzes the typed-parameter record walk and the value store as a "PARM" or
// "FPAR" chunk drives them over a parameter file or ParamStore_3b. The first
// two bytes are the identifier, the third picks the type (and whether the
// records start at 4 or at 8 with an end offset at 4), the fourth the length
// of the value text that follows; the rest is the records.
#include "core/byteorder.h"
#include "formats/typed_params.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr const char *type_names[] = {"int8",  "int16",  "uint8",  "uint16",
                                      "int32", "uint32", "string", "float"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const uint32_t id = load_le16(data);
    const char *type_name = type_names[data[2] & 7];
    const bool record_form = (data[2] & 8) != 0;
    const size_t text_length = std::min<size_t>(data[3], size - 4);
    const std::string text(reinterpret_cast<const char *>(data + 4), text_length);
    const size_t n = size - 4 - text_length;

    // The records in a buffer of exactly their size, so that any read or
    // write past them is caught.
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[n > 0 ? n : 1]);
    memcpy(bytes.get(), data + 4 + text_length, n);

    c_atoi32(text.c_str());
    c_strtol32(text.c_str());
    c_strtoul32(text.c_str());

    param_type type;
    const bool known = param_type_of(type_name, type);
    size_t at = 4, end = n;
    if (record_form) {
        at = 8;
        end = n >= 8 ? std::min<size_t>(load_le32(bytes.get() + 4), n) : n;
    }
    size_t length = 0;
    for (int found = 0; typed_record_find(bytes.get(), end, id, at, length); at += length) {
        // A record found lies inside the bytes, header and all, and carries id.
        if (at + 4 > end || load_le16(bytes.get() + at + 2) != id || length == 0) abort();
        if (++found > 65536) abort(); // the walk moves on
        if (!known) continue;
        const size_t room = std::min(length, end - at);
        const size_t written = typed_value_store(bytes.get() + at, room, type, text.c_str());
        if (written > room) abort();
    }
    return 0;
}
