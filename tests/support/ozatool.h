// Test support: runs the build tree's ozatool (VARITOOL_OZATOOL, defined by
// the test targets that use it).
#pragma once

#include "tests/support/oracle.h"
#include "tests/support/scratch.h"

#include <string>
#include <vector>

// Runs ozatool with args (its subcommand first).
inline run_result ozatool(const std::vector<std::string> &args, const std::string &input = "") {
    std::vector<std::string> argv = {"ozatool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(VARITOOL_OZATOOL, argv, input);
}

// A file of the repository's keys/development.
inline std::string key(const std::string &file) {
    return development_key(file);
}
