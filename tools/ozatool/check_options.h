// The options that say which keys and which device a file is checked
// against, shared by info, verify, pack, resign and extract; and the report
// of an inspection, as text or as one JSON document.
#pragma once

#include "tools/ozatool/inspect.h"

#include <getopt.h>
#include <string>
#include <vector>

struct check_options {
    inspect_keys keys;
    device_state device;
    key_store store;
    const char *block = nullptr, *mmc = nullptr, *box = nullptr, *builtin = nullptr;
    bool strict = false;
    bool json = false;
    std::vector<std::string> inputs; // files read, which no output may replace
};

// The long options of check_options, ended by a null entry.
extern const option check_long_options[];
// The options of a command followed by check_long_options (but those named
// in without).
std::vector<option> with_check_options(const option *own,
                                       const std::vector<std::string> &without = {});

// Handles opt when it is one of check_long_options: 1 when handled, 0 when
// it is not one of them, -1 after an error was printed.
int check_option(const char *name, int opt, const char *arg, check_options *o);
// After the options: loads the key store and the box's state, and the
// built-in records of this build when --builtin was not given. False after
// an error was printed.
bool check_finish(const char *name, check_options *o);

// Inspects the file at path; false (with a message) when it cannot be read.
bool inspect_path(const char *name, const std::string &path, const check_options &o, inspection *r);

// The exit status for an inspection: 0 the device accepts the file and
// every check passed (warnings too, when strict), 1 it refuses it or a
// check failed, 2 otherwise: whether the device accepts it could not be
// told (no key for the signature or the cipher).
int inspection_status(const inspection &r, bool strict);

// The text lines of the findings, diagnoses and unchecked checks; where
// names the chunk of a finding (for pack: its manifest place).
std::string findings_text(const inspection &r,
                          const std::function<std::string(const finding &)> &where);
// The place of a finding in the file: "MMCF at offset 1234".
std::string chunk_place(const inspection &r, const finding &f);

// The whole inspection as one JSON document.
nlohmann::json inspection_json(const std::string &file, const inspection &r, bool strict,
                               const oza_target *target);
// Writes the document on standard output.
void print_json(const nlohmann::json &j);
