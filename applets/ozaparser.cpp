// ozaparser: installs one update file. Waits until the device has enough
// power, runs the update engine, turns its progress and messages into UI
// daemon commands (or lines on standard error with --text) and shows the
// outcome; the exit status is the engine's result.
#include "core/applet.h"
#include "core/config.h"
#include "core/power.h"
#include "core/sysfile.h"
#include "core/zui.h"
#include "install/format_utility.h"
#include "install/user_messages.h"
#include "sysinfo/sysversion.h"
#include "update/engine.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

namespace {

constexpr const char applet_name[] = "ozaparser";

// Battery levels of the full build's power gate, in microvolts.
constexpr int battery_ready_uv = 3800000; // above it the run starts at once
constexpr int battery_bq_uv = 3600000;    // above it a BQ24167 device may start

// The applet context; it is also the engine's run context (path first).
struct ozaparser_context {
    oza_context run;   // path of the update file, from -f
    int result;        // the engine's result
    int text_mode;     // --text: lines on standard error instead of UI commands
    int banner_mode;   // --banner: the banner forms of the UI commands
    int force_dc;      // --force_dc: do not wait for a power source
    int last_message;  // index of the last table message shown
    int last_progress; // last progress value shown
};

static_assert(offsetof(ozaparser_context, run) == 0);

// The process's context, for the engine's callbacks.
ozaparser_context *context = nullptr;

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    fflush(stderr);
}

void show_progress(ozaparser_context &c, int v) {
    if (v != 0 && v == c.last_progress) return;
    if (c.text_mode)
        say("%s: progress %d\n", applet_name, v);
    else if (c.banner_mode)
        zui_send("/bin/zui -c bannerprogress -f %d", v);
    else
        zui_send("/bin/zui -c progress -f %d", v);
    c.last_progress = v;
}

// A text for the user, every time it is asked for.
void show_text(const ozaparser_context &c, const char *text) {
    if (c.text_mode)
        say("%s: %s\n", applet_name, text);
    else
        zui_send_text(c.banner_mode ? "/bin/zui -c bannerprogress -t  "
                                    : "/bin/zui -c message -a centered -t  ",
                      text);
}

// A message of the table, unless it is the one shown last.
void show_message(ozaparser_context &c, int i) {
    if (i == c.last_message) return;
    show_text(c, user_message_text(i));
    c.last_message = i;
}

// The failure of a run: a line in text mode, a blocking banner in banner
// mode, nothing otherwise.
void show_error(const ozaparser_context &c, int i) {
    if (c.text_mode)
        say("%s: error - %s\n", applet_name, user_message_text(i));
    else if (c.banner_mode) {
        char text[zui_command_size];
        snprintf(text, sizeof text, "%s (%d)", user_message_text(i), c.result);
        zui_send_text("/bin/zui --blocked -c bannerprogress -t  ", text);
    }
}

// ---- the engine's callbacks ----

void on_progress(int done, int total) {
    if (total <= 0) return;
    const long long v = static_cast<long long>(done) * 1000 / total;
    show_progress(*context, static_cast<int>(std::clamp(v, 0LL, 1000LL)));
}
void on_text(const char *) {}
void on_aux(const void *) {}
void on_nothing() {}
int on_message(const char *text) {
    show_text(*context, text);
    return 0;
}

constexpr oza_callbacks callbacks = {
    .progress = on_progress,
    .status = on_text,
    .trace = on_text,
    .message = on_message,
    .aux = on_aux,
    .removed = on_text,
    .create_file = on_text,
    .load_hdd_param = on_nothing,
    .load_flash_param = on_nothing,
    .format = format_utility,
    .get_min_sys_version = get_min_sys_version,
    .get_sys_version = get_sys_version,
    .get_mountpoint = nullptr, // the engine's own mount-point table
};

// ---- waiting for power ----

bool dc_charger(int type) {
    return type == charger_dcin || type == charger_twl_usb_dc;
}

// Full build: the battery is enough, or a power source is present; a
// BQ24167 device on a low battery charges first unless it has USB host power.
void power_gate_full(ozaparser_context &c) {
    if (c.force_dc) show_message(c, message_in_progress);
    if (battery_voltage() > battery_ready_uv) {
        show_message(c, message_in_progress);
        return;
    }
    if (c.force_dc) return;
    for (;;) {
        const int v = battery_voltage();
        for (bool first = true; power_source() == power_absent; first = false) {
            say("%s: waiting charger. (vbat = %d)\n", applet_name, v);
            if (first)
                show_message(c, dc_charger(get_charger_type()) ? message_connect_dc
                                                               : message_connect_dc_or_usb);
            sleep(1);
        }
        switch (get_charger_type()) {
        case charger_dcin:
        case charger_twl_usb_dc: show_message(c, message_keep_power); return;
        case charger_twl_usb: show_message(c, message_keep_usb); return;
        case charger_bq24167:
            if (power_source() == power_usb_host) {
                show_message(c, message_keep_usb);
                return;
            }
            if (v > battery_bq_uv) {
                show_message(c, message_keep_power);
                return;
            }
            say("vbat too low, looping (%d)\n", v);
            show_message(c, message_battery_low);
            sleep(1);
            break;
        case charger_none: return;
        default: show_message(c, message_keep_usb); return;
        }
    }
}

// Basic build: whether the supply that the charger type names is present.
bool basic_power_present(int type) {
    switch (type) {
    case charger_unknown: return true;
    case charger_dcin: return read_int(power_files.ac_online) != 0;
    case charger_twl_usb: return read_int(power_files.twl_usb_online) != 0;
    case charger_twl_usb_dc: return read_int(power_files.twl_ac_online) != 0;
    default: {
        char state[33] = {};
        if (read_file(power_files.usb_switch_state, state, 32) < 0) return false;
        const usb_switch_state now = parse_usb_switch(state);
        return now == switch_vbus || now == switch_charger;
    }
    }
}

// Basic build: waits for the charger's supply, without looking at the battery.
void power_gate_basic(ozaparser_context &c) {
    if (c.force_dc) return;
    for (bool first = true;; first = false) {
        const int type = get_charger_type();
        if (basic_power_present(type)) {
            show_message(c, dc_charger(type) ? message_keep_power : message_keep_usb);
            return;
        }
        if (first)
            show_message(c, dc_charger(type) ? message_connect_dc : message_connect_dc_or_usb);
        sleep(1);
    }
}

// ---- the command line ----

// The exit status for a result. The system keeps the low 8 bits, which
// would turn a failure code of 256 into success: such a result exits with 1.
int exit_status(int result) {
    if (result != 0 && result % 256 == 0) return 1;
    return result;
}

int ozaparser_main(int argc, char **argv) {
    static ozaparser_context c;
    c = ozaparser_context{};
    context = &c;

    static const option long_options[] = {
        {"force_dc", no_argument, &c.force_dc, 1},
        {"banner", no_argument, &c.banner_mode, 1},
        {"text", no_argument, &c.text_mode, 1},
        {nullptr, 0, nullptr, 0},
    };
    optind = 1;
    for (int o; (o = getopt_long(argc, argv, "f:", long_options, nullptr)) != -1;) {
        if (o != 'f') continue;
        // A path that does not fit is not cut to another file's name: the
        // run then has no file to open.
        if (strlen(optarg) < sizeof c.run.path)
            strcpy(c.run.path, optarg);
        else
            c.run.path[0] = '\0';
    }

    if constexpr (basic_build)
        power_gate_basic(c);
    else
        power_gate_full(c);

    c.result = OZA_run(&c.run, &callbacks);
    if (c.result == 0) {
        show_progress(c, 1000);
        if (c.banner_mode) {
            show_message(c, message_update_ok);
            sleep(5);
        }
        return 0;
    }
    show_error(c, failure_message(c.result));
    return exit_status(c.result);
}

} // namespace

VARITOOL_APPLET(ozaparser, ozaparser_main);
