// adev: the hot-plug daemon. Listens to kernel uevents and passes each to
// the filter chain (storage links, device nodes, USB state, HDMI output).
#include "adev/daemon.h"
#include "adev/filter.h"
#include "adev/hdmi.h"
#include "adev/listener.h"
#include "core/applet.h"
#include "core/config.h"
#include "core/sysfile.h"

#include <csignal>
#include <cstdio>
#include <getopt.h>
#include <unistd.h>

namespace {

constexpr const char *adev_options = basic_build ? "dkv" : "dkvs";

int adev_usage(const char *self) {
    printf("Usage: %s -d\t: daemonize %s\n", self, self);
    printf("       %s -k\t: stop %s daemon\n", self, self);
    if constexpr (!basic_build) printf("       %s -s\t: show supported hdmi displays\n", self);
    printf("       %s -v\t: run (ultra) verbose\n", self);
    return -1;
}

// Daemon mode, in the child: pid file, listener, HDMI check, start handlers,
// then the listener until the process is killed. A listener that cannot set
// up its socket has printed why; the daemon then removes its pid file (so
// that -k cannot kill whatever process takes the number later) and ends
// with status 1.
int run_daemon() {
    // Output to a reader that has gone fails instead of ending the daemon.
    signal(SIGPIPE, SIG_IGN);
    write_pid_file(adev_pid_file);
    if (start_listener() != 0 || wait_listener_ready() != 0) {
        unlink(adev_pid_file);
        return 1;
    }
    if constexpr (!basic_build) start_hdmi_check();
    run_start_handlers(registered_filters());
    join_listener();
    return 0;
}

// Foreground mode: applies the start-time state and stops. -1 when the
// listener's socket cannot be set up.
int run_once() {
    if (start_listener() != 0 || wait_listener_ready() != 0) {
        stop_listener();
        return -1;
    }
    run_start_handlers(registered_filters());
    stop_listener();
    return 0;
}

int adev_main(int argc, char **argv) {
    // A daemon's output goes to files: every line as soon as it is printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    bool daemon = false, verbose = false;
    optind = 1;
    for (int c; (c = getopt(argc, argv, adev_options)) != -1;) {
        switch (c) {
        case 'd':
            if (daemon) return adev_usage(argv[0]);
            daemon = true;
            break;
        case 'k':
            if (daemon) return adev_usage(argv[0]);
            return kill_daemon(adev_pid_file);
        case 's':
            if constexpr (!basic_build) return hdmi_list_modes();
            return adev_usage(argv[0]);
        case 'v': verbose = true; break;
        default: return adev_usage(argv[0]);
        }
    }
    if constexpr (!basic_build) printf("Starting ADEV...\n");
    if (verbose) register_filter(&uevent_logger);
    if (!daemon) return run_once();
    int child = become_daemon();
    if (child < 0) return 1;
    if (child > 0) return 0;
    return run_daemon();
}

} // namespace

VARITOOL_APPLET(adev, adev_main);
