// Result codes of the update engine, every one in this table: 0 for success
// (and, inside a chunk handler, "go on with the next chunk"), 201 to 283 for
// the first failure.
#pragma once

enum oza_result : int {
    oza_ok = 0,
    // Opening the file.
    oza_open_failed = 201,
    oza_bad_magic = 203,
    oza_bad_signature_fourcc = 204,
    oza_signature_short = 205,
    oza_digest_read_short = 206,
    oza_signature_mismatch = 207,
    oza_cipher_short = 247,
    oza_cipher_key = 250,
    oza_callbacks_incomplete = 255,
    // The fixed chunks and the walk.
    oza_bad_chunk = 209, // short header, unknown type, length below 8, EXT2 short
    oza_unit_missing = 210,
    oza_unit_short = 211,
    oza_unit_mismatch = 212,
    oza_version_too_old = 221,
    oza_version_short = 235,
    oza_version_missing = 236,
    oza_time_missing = 244,
    oza_time_count_short = 245,
    oza_time_list_short = 246,
    oza_end_of_file = 252,
    oza_chunk_not_allowed = 256,
    oza_system_too_old = 283,
    // Flag chunks.
    oza_flag_short = 270, // EXT0, BOOT
    oza_autodelete_short = 222,
    oza_hddl_short = 253,
    oza_hddl_failed = 254,
    // File chunks.
    oza_copy_failed = 214,
    oza_copy_header_short = 215,
    oza_move_short = 223,
    oza_move_source = 224,
    oza_move_destination = 225,
    oza_move_remove = 226,
    oza_delete_short = 227,
    oza_message_short = 229,
    oza_format_short = 237,
    oza_shell_short = 279,
    oza_shell_no_memory = 280,
    oza_shell_fork = 281,
    oza_shell_status = 282,
    // Flash and parameter chunks.
    oza_flash_header_short = 217,
    oza_flash_no_memory = 218,
    oza_flash_failed = 219,
    oza_flash_data_short = 220,
    oza_parm_short = 231,
    oza_parm_failed = 232,
    oza_fpar_short = 233,
    oza_fpar_failed = 234,
    // The host's format step behind FRMT (install/format_utility.h): its
    // result becomes the chunk's, 201 when the file cannot be reopened.
    oza_format_copy_failed = 238,
    oza_format_table_failed = 239,
    oza_format_media_failed = 240,
    oza_format_dirs_failed = 241,
};
