// The capture puts its own print and system into the host operations while it lives and
// registers the saved table again when it ends; one capture may be active at a time.
#include "tests/support/host_capture.h"

#include "core/hostops.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

host_capture *active = nullptr;
host_operations saved;

int capture_print(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char *text = nullptr;
    int n = vasprintf(&text, format, ap);
    va_end(ap);
    if (n >= 0) {
        active->printed.append(text, static_cast<size_t>(n));
        free(text);
    }
    return n;
}

int capture_system(const char *command) {
    active->commands.emplace_back(command);
    return active->system_status;
}

} // namespace

host_capture::host_capture() {
    if (active != nullptr) throw std::logic_error("host_capture already active");
    active = this;
    saved = host();
    host_operations ops = saved;
    ops.print = capture_print;
    ops.system = capture_system;
    register_host_operations(&ops);
}

host_capture::~host_capture() {
    register_host_operations(&saved);
    active = nullptr;
}
