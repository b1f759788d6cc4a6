// Test support: records what the code under test prints and runs through the
// host operations.
#pragma once

#include <string>
#include <vector>

// While alive, the host operations print into printed and hand commands to
// commands (answering each with system_status) instead of the shell; the
// operations registered before are registered again on destruction. One at
// a time.
struct host_capture {
    std::string printed;
    std::vector<std::string> commands;
    int system_status = 0;

    host_capture();
    ~host_capture();
    host_capture(const host_capture &) = delete;
    host_capture &operator=(const host_capture &) = delete;
};
