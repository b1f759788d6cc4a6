// Typed parameter records, as the parameter file System.bin and the record
// ParamStore_3b hold them: u16 record length in bytes (header included),
// u16 identifier, then the value. A record of length 0 is stepped over by
// 2 bytes. Conversions of value texts follow the device's C library, whose
// long is 32 bits wide: out-of-range numbers saturate before they are cut.
#pragma once

#include <cstddef>
#include <cstdint>

enum class param_type { int8, int16, uint8, uint16, int32, uint32, string };

// The type called name ("int8" ... "string"); false for any other name.
bool param_type_of(const char *name, param_type &type);

// Finds the next record carrying id in bytes[at, end), starting at at:
// stores its offset in at and its length field in length. False when no
// further record carries it. Identifiers above 65535 match no record.
bool typed_record_find(const unsigned char *bytes, size_t end, uint32_t id, size_t &at,
                       size_t &length);

// Stores text converted as type into the record at record (room bytes of it
// can be changed): 8- and 16-bit types as a u16 at offset 4, 32-bit types as
// a u32 at 4, a string with its terminator at 4. The number of the record's
// first bytes to write back (6, 8, or 5 + the string's length), or 0, with
// nothing changed, when the value does not fit in room.
size_t typed_value_store(unsigned char *record, size_t room, param_type type, const char *text);

// The conversions: atoi (decimal), strtol and strtoul (base 0) of a C
// library whose long has 32 bits.
int32_t c_atoi32(const char *text);
int32_t c_strtol32(const char *text);
uint32_t c_strtoul32(const char *text);
