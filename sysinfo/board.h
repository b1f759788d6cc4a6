// Board identification: which tablet model the program runs on, from the
// board name and revision the kernel reports in /proc/cpuinfo, looked up in
// the built-in board table.
#pragma once

#include <cstdint>
#include <span>

inline constexpr const char cpuinfo_file[] = "/proc/cpuinfo";

// One row of the board table. Text fields are NUL-terminated within their
// fixed size.
struct board_record {
    uint32_t board_class;          // board identifier
    int32_t board_version;         // lowest CPU revision the row applies to
    char product_name[10];         // short name, as in the cpuinfo Hardware line
    char manufacturer[16];         //
    char oza_filename[20];         // base name of the board's update files
    char media_partitionlabel[14]; // volume label of the FAT data partition
    char default_network_name[16]; //
    char brand_name[16];           //
};

// The class of the board taken when the name from cpuinfo is unknown.
inline constexpr uint32_t default_board_class = 5021;

// The longest board name kept from cpuinfo.
inline constexpr int board_name_max = 31;

// The board table of this build configuration.
std::span<const board_record> board_table();

// Identification state: the current board and the name read from cpuinfo.
struct board_identity {
    const board_record *current = nullptr; // the current board, or none
    char name[board_name_max + 1] = {};    // board name from cpuinfo
    bool identified = false;               // identification has run
};

// Copies the second word of the Hardware value of the cpuinfo text into name
// (at most board_name_max characters; empty for a one-word value). Returns 0,
// or -1 without touching name when the text has no Hardware line with ": ".
int board_name_from_cpuinfo(const char *text, char (&name)[board_name_max + 1]);

// The Revision value of the cpuinfo text read as a decimal number; 0 when the
// text has no Revision line.
int board_revision_from_cpuinfo(const char *text);

// Reads the board revision from the cpuinfo file anew on every call; 0 when
// the file cannot be read or has no Revision line.
int read_board_revision(const char *cpuinfo = cpuinfo_file);

// Among the rows of table with board_class cls and board_version at most
// revision, the one with the greatest version (the later row on a tie); none
// when no row qualifies. Prints nothing.
const board_record *select_board(std::span<const board_record> table, uint32_t cls, int revision);

// Sets id.current to select_board's choice; prints the "unknown board"
// message through the host print operation when there is none.
void find_board(board_identity &id, std::span<const board_record> table, uint32_t cls,
                int revision);

// Reads the board name from the cpuinfo file (an unreadable file leaves
// id.name as it was) and sets id.current: the board of the row whose
// product_name equals the name, at the file's revision; else the default
// board, with a message. Returns 0 when the name was in the table, -1 when
// the default board was taken.
int identify_board(board_identity &id, std::span<const board_record> table,
                   const char *cpuinfo = cpuinfo_file);

// The row the accessors read: id.current, or the table's default board when
// identification left no current board (an empty record when table has none).
const board_record &board_or_default(const board_identity &id, std::span<const board_record> table);

// Identifies this process's board from cpuinfo (again, if it already was).
int identify_board(const char *cpuinfo = cpuinfo_file);

// This process's board, identified from /proc/cpuinfo on the first call.
const board_record &current_board();

// Fields of this process's board.
const char *board_product_name();
const char *board_manufacturer();
const char *board_oza_filename();
const char *board_media_partitionlabel();
