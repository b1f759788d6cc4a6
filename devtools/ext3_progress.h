// Progress of mke2fs and e2fsck for the UI daemon: their output, read from a
// stream, becomes progress bars and messages sent through a zui_client.
#pragma once

#include "core/zui.h"

#include <cstdio>

// e2fsck completion output is read in pieces of at most this many characters.
inline constexpr int fsck_piece_size = 32;

// The per-mille progress of e2fsck pass `pass` at current of maximum, as the
// integer part of the single-precision value 200 (pass - 1) + 200 current /
// maximum. Returns false when there is no value (maximum 0, or a value out of
// the int range).
bool fsck_progress_value(int pass, int current, int maximum, int &value);

// Parses one piece of e2fsck completion output ("pass current maximum device")
// and sends the progress command when all four fields are there. Returns true
// when a command was sent.
bool fsck_parse_piece(zui_client &client, bool banner, const char *piece);

// Reads e2fsck completion output from in until it ends, sending progress.
// Returns 0.
int fsck_parse_stream(FILE *in, zui_client &client, bool banner);

// mke2fs's numeric counter, followed byte by byte.
enum mkfs_state {
    mkfs_waiting = 0,    // before the first backspace
    mkfs_between = 1,    // between two counter texts
    mkfs_collecting = 2, // inside a counter text
    mkfs_done = 3,       // the inode-table phase is over
};

inline constexpr int mkfs_disk_name_size = 32;
inline constexpr int mkfs_text_size = 256;

struct mkfs_parser {
    zui_client *client;
    bool banner;
    char disk[mkfs_disk_name_size]; // at most 31 characters, terminated
    char text[mkfs_text_size];      // the counter text being collected
    int length;
    int state;
    int current, maximum; // the last counter values that parsed
};

// A parser in its first state that sends through client. The disk name (may
// be empty) is cut to 31 characters.
void mkfs_parser_init(mkfs_parser &p, zui_client &client, bool banner, const char *disk);

// Takes one byte of mke2fs output: the first backspace announces the
// formatting ("creating inodes" on standard output), every counter text ended
// by a backspace sends its progress, and the newline that ends the counter
// line sends 1000 and the please-wait message ("creating blocks").
void mkfs_parser_feed(mkfs_parser &p, unsigned char byte);

// Feeds every byte of in to p until the stream ends. Returns 0.
int mkfs_parse_stream(FILE *in, mkfs_parser &p);
