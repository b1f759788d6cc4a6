// The chunk table, searched in order by fourcc; "EXT4" to "EXTF" are allowed in every slot and
// skipped.
#include "update/chunks.h"

#include <cstring>

namespace {

constexpr uint8_t s1 = slot_bit(1), s2 = slot_bit(2), s3 = slot_bit(3), s4 = slot_bit(4),
                  s5 = slot_bit(5);
constexpr uint8_t s12 = s1 | s2;

#define SKIPPED(c)                                                                                 \
    { {c[0], c[1], c[2], c[3]}, chunk_skip, all_slots, chunk_weight::none }

constexpr chunk_type table[] = {
    {{'E', 'X', 'T', '0'}, chunk_ext0, all_slots, chunk_weight::one},
    {{'E', 'X', 'T', '2'}, chunk_chmod, all_slots, chunk_weight::none},
    {{'E', 'X', 'T', '3'}, chunk_mmcpatch, s12, chunk_weight::spread},
    {{'M', 'S', 'G', 'B'}, chunk_message, all_slots, chunk_weight::one},
    {{'M', 'O', 'V', 'E'}, chunk_move, s12 | s5, chunk_weight::one},
    {{'M', 'M', 'C', 'F'}, chunk_mmcflash, s12, chunk_weight::spread},
    {{'F', 'L', 'S', 'H'}, chunk_flash, s12, chunk_weight::spread},
    {{'H', 'D', 'D', 'L'}, chunk_hddl, s1 | s4, chunk_weight::one},
    {{'A', 'D', 'E', 'L'}, chunk_adel, all_slots, chunk_weight::one},
    {{'S', 'H', 'E', 'L'}, chunk_shell, s12, chunk_weight::none},
    {{'P', 'A', 'R', 'M'}, chunk_parm, s12, chunk_weight::one},
    {{'T', 'A', 'G', 'P'}, chunk_tagpatch, s12, chunk_weight::spread},
    {{'F', 'P', 'A', 'R'}, chunk_fpar, s12, chunk_weight::one},
    {{'M', 'V', 'E', 'R'}, chunk_mver, s12 | s3, chunk_weight::none},
    {{'D', 'L', 'E', 'T'}, chunk_delete, s12 | s5, chunk_weight::one},
    {{'F', 'R', 'M', 'T'}, chunk_format, s12, chunk_weight::one},
    {{'B', 'O', 'O', 'T'}, chunk_boot, all_slots, chunk_weight::one},
    {{'C', 'O', 'P', 'Y'}, chunk_copy, s12 | s5, chunk_weight::spread},
    SKIPPED("EXT4"),
    SKIPPED("EXT5"),
    SKIPPED("EXT6"),
    SKIPPED("EXT7"),
    SKIPPED("EXT8"),
    SKIPPED("EXT9"),
    SKIPPED("EXTA"),
    SKIPPED("EXTB"),
    SKIPPED("EXTC"),
    SKIPPED("EXTD"),
    SKIPPED("EXTE"),
    SKIPPED("EXTF"),
};

#undef SKIPPED

} // namespace

const chunk_type *chunk_find(const unsigned char fourcc[4]) {
    for (const chunk_type &type : table)
        if (memcmp(type.fourcc, fourcc, 4) == 0) return &type;
    return nullptr;
}
