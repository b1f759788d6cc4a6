// The device's rules on the fields of each chunk, beyond its layout: what
// the device refuses (with the result it ends the run with), what it skips
// or reads otherwise than a human meant (errors with code 0), and what it
// does but probably was not meant (warnings). The walk (inspect.cpp) calls
// check_chunk for every chunk it reads whole, in file order, then
// check_file once.
#pragma once

#include "tools/ozatool/fields.h"
#include "tools/ozatool/inspect.h"

#include <functional>
#include <string>

struct rule_sink {
    // Records a finding on the current chunk.
    std::function<void(severity level, int code, const std::string &field, const std::string &text,
                       const std::string &suggestion)>
        add;
};

struct rule_state {
    const device_state &device;
    int slot;
    uint64_t weighted = 0;     // weight-taking chunks so far
    bool have_time = false;    // the file has its "TIME" chunk
    uint64_t weight_count = 0; // its count
    uint64_t weight_total = 0; // the sum of its weights (when read)
    bool weights_read = false;
    int formats = 0;     // formatting FRMT chunks seen
    int time_chunk = -1; // index of the "TIME" chunk
};

// The fixed chunks: "UNIT" (unit name), "VERS" (version floor), "TIME".
void check_fixed(const payload_view &v, rule_state &s, const rule_sink &out);
// One operation chunk, read whole.
void check_chunk(const payload_view &v, rule_state &s, const rule_sink &out);
// After the last chunk: the progress weights against the chunks that take one.
void check_file(rule_state &s, const rule_sink &out);

// The device's reading of a PARM/FPAR value text of a type: true when the
// text means the value the device stores; otherwise why in *why.
bool parameter_value_ok(const std::string &type, const std::string &text, std::string *why);
