// The device box tool: builds a tablet tree in a directory and runs commands
// with that tree as their root, in namespaces of their own.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// ---- small file helpers (box_files.cpp); each prints its own error ----

// Prints "devbox: " and the formatted message on standard error.
__attribute__((format(printf, 1, 2))) void box_error(const char *fmt, ...);

// Creates path and its missing parents with mode 0755.
bool make_dirs(const std::string &path);
// Writes data to path (created with mode, or truncated), creating parents.
bool put_file(const std::string &path, const std::string &data, mode_t mode = 0644);
// Writes data at offset of an existing file.
bool put_at(const std::string &path, off_t offset, const std::string &data);
// Creates path as a file of size bytes holding zeros (a sparse file).
bool make_sparse(const std::string &path, off_t size);
// Creates a symbolic link path -> target, replacing what was there.
bool make_link(const std::string &target, const std::string &path);
// The whole file ("" and false when unreadable).
bool get_file(const std::string &path, std::string &out);
bool exists(const std::string &path);
bool is_dir(const std::string &path);
// Copies from to to through a temporary file and a rename, so a running
// program that maps the old file keeps it.
bool install_file(const std::string &from, const std::string &to, mode_t mode);
// A 32-bit little-endian value as 4 bytes.
std::string le32(unsigned v);

// ---- building a box (box_tree.cpp) ----

struct init_options {
    std::string dir;
    std::string board = "ZEMO";
    std::string revision = "0020";
    std::string unit = "gx4dev";
    std::string keys; // folder of the development key records
    bool basic = false;
    std::string charger = "twl-usb";
    long voltage = 3900000;
    long current = 250000;
    std::string usb_switch = "ATTACHED_VBUS";
    unsigned fb_width = 800, fb_height = 480, fb_bpp = 32, fb_line = 0;
    int inputs = 2;
    std::vector<std::string> hdmi_modes; // "refresh,width,height,pixclock,vmode"
    unsigned hdmi_max_pixclock = 148500;
    std::string flash_protect; // "start:length"
    int boot_entry = 0;
    std::string wifi_mac = "02:00:00:b0:c5:01", eth_mac = "02:00:00:b0:c5:02";
    bool loop = false;
    bool allow_weak_key = false; // store weak public keys (tests of such records)
};

// Creates the box tree in o.dir, which must be empty or absent. 0 or 1.
int box_init(const init_options &o);

// ---- running a box (box_ns.cpp) ----

struct run_options {
    std::string dir;
    std::vector<std::string> binds;   // host paths made visible read-only
    std::vector<std::string> env;     // NAME=VALUE added to the command's environment
    std::string fault;                // run, exec: BOX_FAULT of the fault library
    std::vector<std::string> command; // argv of the command
    pid_t owner = 0;                  // start: stop the box when this process is gone
};

// Runs o.command in a new box and returns its exit status (128 + signal
// number when it was killed), or 125 when the box cannot be set up.
int box_run(const run_options &o);
// Starts a persistent box for exec. 0, or 125 when it cannot be set up.
int box_start(const run_options &o);
// Runs o.command in the running box of o.dir; its exit status, or 125.
int box_exec(const run_options &o);
// Stops the running box of dir and releases what it held. 0, or 1 when no
// box runs there.
int box_stop(const std::string &dir);
