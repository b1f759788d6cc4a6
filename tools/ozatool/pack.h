// Packing a manifest into an update file (pack.cpp), for the subcommands
// that make files from a manifest of their own (rotate).
#pragma once

#include "tools/ozatool/check_options.h"

#include <optional>
#include <string>

struct pack_settings {
    std::string output;                  // "-": standard output
    std::optional<std::string> key, aes; // replace the manifest's keys
    bool allow_refused = false;          // write a file the device would refuse
    check_options check;                 // the device it is checked against
};

// Packs the manifest text (named name, its relative paths from base),
// checks the file with the device's rules and, unless it is refused and
// that is not allowed, puts it in place. The subcommand's exit status.
int pack_text(const char *command, const std::string &name, const std::string &text,
              const std::string &base, pack_settings &settings);

// The folder of path, for a manifest's relative paths.
std::string directory_of(const std::string &path);
