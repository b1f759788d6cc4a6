// The checksum is lookup3 over the bytes in front of the checksum field, with the record seed;
// a record is valid when the little-endian word stored there equals it.
#include "crypto/keyrec.h"

#include "core/byteorder.h"
#include "crypto/lookup3.h"

uint32_t key_record_checksum(const unsigned char *record) {
    return hashlittle(record, key_record_checksum_offset, key_record_seed);
}

bool key_record_valid(const unsigned char *record) {
    return key_record_checksum(record) == load_le32(record + key_record_checksum_offset);
}
