// The chunk table, searched in order by fourcc; "EXT4" to "EXTF" are allowed in every slot and
// skipped.
#include "update/chunks.h"

#include "update/results.h"

#include <cstring>

namespace {

constexpr uint8_t s1 = slot_bit(1), s2 = slot_bit(2), s3 = slot_bit(3), s4 = slot_bit(4),
                  s5 = slot_bit(5);
constexpr uint8_t s12 = s1 | s2;

using enum chunk_weight;

#define SKIPPED(c)                                                                                 \
    { c, all_slots, 0, oza_ok, none, nullptr, false, chunk_skip }

// Each row: fourcc, slots, fixed payload size, the result when it comes
// short, weight, the name the read is traced with, whether the flash layer is
// held, the handler.
// clang-format off
constexpr chunk_type table[] = {
    {"EXT0", all_slots, 4,   oza_flag_short,         one,     nullptr,    false, chunk_ext0},
    {"EXT2", all_slots, 264, oza_bad_chunk,          none,    nullptr,    false, chunk_chmod},
    {"EXT3", s12,       264, oza_flash_header_short, handler, "mmcpatch", false, chunk_mmcpatch},
    {"MSGB", all_slots, 256, oza_message_short,      always,  nullptr,    false, chunk_message},
    {"MOVE", s12 | s5,  520, oza_move_short,         handler, nullptr,    false, chunk_move},
    {"MMCF", s12,       264, oza_flash_header_short, handler, "mmcflash", false, chunk_mmcflash},
    {"FLSH", s12,       8,   oza_flash_header_short, handler, "flash",    true,  chunk_flash},
    {"HDDL", s1 | s4,   4,   oza_hddl_short,         one,     nullptr,    false, chunk_hddl},
    {"ADEL", all_slots, 4,   oza_autodelete_short,   one,     nullptr,    false, chunk_adel},
    {"SHEL", s12,       4,   oza_shell_short,        none,    nullptr,    false, chunk_shell},
    {"PARM", s12,       516, oza_parm_short,         one,     nullptr,    false, chunk_parm},
    {"TAGP", s12,       4,   oza_flash_header_short, handler, "tagpatch", false, chunk_tagpatch},
    {"FPAR", s12,       516, oza_fpar_short,         one,     nullptr,    false, chunk_fpar},
    {"MVER", s12 | s3,  12,  oza_version_short,      none,    nullptr,    false, chunk_mver},
    {"DLET", s12 | s5,  260, oza_delete_short,       one,     nullptr,    false, chunk_delete},
    {"FRMT", s12,       8,   oza_format_short,       always,  nullptr,    false, chunk_format},
    {"BOOT", all_slots, 4,   oza_flag_short,         one,     nullptr,    false, chunk_boot},
    {"COPY", s12 | s5,  264, oza_copy_header_short,  handler, nullptr,    false, chunk_copy},
    SKIPPED("EXT4"), SKIPPED("EXT5"), SKIPPED("EXT6"), SKIPPED("EXT7"),
    SKIPPED("EXT8"), SKIPPED("EXT9"), SKIPPED("EXTA"), SKIPPED("EXTB"),
    SKIPPED("EXTC"), SKIPPED("EXTD"), SKIPPED("EXTE"), SKIPPED("EXTF"),
};
// clang-format on

#undef SKIPPED

static_assert(
    [] {
        for (const chunk_type &type : table)
            if (type.fixed > chunk_fixed_max) return false;
        return true;
    }(),
    "a fixed payload larger than the walk's buffer");

} // namespace

const chunk_type *chunk_find(const unsigned char fourcc[4]) {
    for (const chunk_type &type : table)
        if (memcmp(type.fourcc, fourcc, 4) == 0) return &type;
    return nullptr;
}
