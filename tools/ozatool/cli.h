// The command-line conventions every ozatool subcommand keeps: -h/--help
// prints the subcommand's help on standard output and exits 0; -q/--quiet
// and -v/--verbose set how much it says; a bad option or a missing value is
// named in the error, followed by the synopsis (exit status 2); "-" as an
// output writes standard output; an output is written beside its final
// name and renamed into place only once the storage holds it, and never
// over one of the command's inputs; a progress line on standard error for
// long runs when standard error is a terminal.
#pragma once

#include "tools/ozatool/ozatool.h"

#include <cstdint>
#include <getopt.h>
#include <string>
#include <vector>

// 0 with -q (errors only), 1 by default, 2 with -v.
extern int verbosity;

// What cli_option returns besides the subcommand's own options.
enum : int {
    cli_help = 0x10000, // -h or --help was given
    cli_bad = 0x10001,  // a bad option; the error is printed
};

// getopt_long over the subcommand's arguments (argv[0] is its name), with
// -h/--help, -q/--quiet and -v/--verbose added (a letter the subcommand
// uses itself keeps its meaning there, and only the long form is added).
// Returns the option, -1 after the last one, cli_help or cli_bad.
int cli_option(int argc, char **argv, const char *shortopts, const option *longopts);

// The version of the tools ("ozatool 4.0.28").
const char *ozatool_version();

// True when a and b name the same existing file.
bool same_file(const std::string &a, const std::string &b);

// An output written safely: the bytes go to a temporary file in the
// output's folder (in $TMPDIR for "-"), and commit() syncs it and renames it
// over the output, or copies it to standard output for "-". Until then the
// old output stays as it was; a destructor without commit removes the
// temporary file.
struct output_file {
    std::string path;      // as given ("-": standard output)
    std::string temporary; // where the bytes go meanwhile
    int fd = -1;

    output_file() = default;
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;
    ~output_file();

    // Refuses (false, with a message) an output that names one of inputs,
    // then creates the temporary file with mode.
    bool open(const std::string &output, const std::vector<std::string> &inputs, unsigned mode,
              std::string *error);
    bool write(const void *data, size_t n);
    bool write_at(uint64_t offset, const void *data, size_t n);
    // Syncs and closes the temporary file and puts it in place.
    bool commit(std::string *error);
};

// A progress line "NAME: 42%" on standard error, shown only when standard
// error is a terminal, the work is larger than a few MiB and -q was not
// given; cleared by done() or the destructor.
struct progress_line {
    const char *name;
    uint64_t total;
    bool shown = false;
    int last = -1;

    progress_line(const char *command, uint64_t work);
    ~progress_line();
    void update(uint64_t done);
    void done();
};

// Writes n bytes to a file through output_file (the common case of one small
// output): the subcommand's status, 0 or 1 with a message.
int write_small_output(const char *name, const std::string &path,
                       const std::vector<std::string> &inputs, const void *data, size_t n,
                       unsigned mode = 0644);

// The nearest of candidates to word when it is close enough to be a likely
// misspelling ("" otherwise): at most two edits (a swap of neighbours is one).
std::string nearest_name(const std::string &word, const std::vector<std::string> &candidates);
