// Test support: a scratch directory owned by the test, small file helpers and
// a runner that captures a program's output.
#pragma once

#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the owner goes out of scope.
struct scratch_dir {
    std::string path;

    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    // path + "/" + name
    std::string at(const std::string &name) const;
};

// Writes text to path (creating or truncating it, and its parent directories).
void write_text(const std::string &path, const std::string &text);
// The whole contents of path ("" when it cannot be read).
std::string read_text(const std::string &path);
bool file_exists(const std::string &path);

struct run_result {
    int status = -1;      // exit status, or 128 + signal number
    std::string out, err; // standard output and standard error
};

// Runs the program at path with the argument vector argv (argv[0] included,
// so it may differ from path), feeding input on standard input. In a cross
// build, programs for the target processor run through the build's emulator.
run_result run_program(const std::string &path, const std::vector<std::string> &argv,
                       const std::string &input = "");
