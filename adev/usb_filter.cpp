// The charge level is written, with its NUL, on each USB switch change and once at start, but
// never while a DC charger is present. The gadget detector's online and offline events set the
// port's and the host controller's power control to "on" and back to "auto".
#include "adev/usb_filter.h"

#include "adev/event.h"
#include "adev/filter.h"
#include "core/config.h"
#include "core/power.h"
#include "core/sysfile.h"

#include <cstdio>

bool dc_charger_present() {
    char text[255];
    int n = read_file(power_files.charger_type, text, sizeof text);
    if (n < 0) return false;
    return charger_text_names(std::string_view(text, static_cast<size_t>(n)), charger_twl_usb_dc);
}

int charge_level_from_state(std::string_view state) {
    switch (parse_usb_switch(state)) {
    case switch_vbus: return charge_vbus;
    case switch_charger: return charge_charger;
    case switch_detached: return charge_detached;
    case switch_unknown: break;
    }
    fprintf(stderr, "%s HALP \"%.*s\"\n", "get_charge_level_from_mode",
            static_cast<int>(state.size()), state.data());
    fflush(stderr);
    return charge_detached;
}

int write_charge_level(int level) {
    char text[16];
    int n = snprintf(text, sizeof text, "%d", level);
    if (n < 0 || n >= static_cast<int>(sizeof text)) return -1;
    return write_file(charge_level_file, text, static_cast<size_t>(n) + 1); // with its NUL
}

namespace {

int follow_switch_state(std::string_view message) {
    if (dc_charger_present()) return -1;
    std::optional<std::string_view> state = event_value(message, "SWITCH_STATE");
    if (!state) return -1;
    return write_charge_level(charge_level_from_state(*state));
}

int apply_switch_state() {
    if (dc_charger_present()) return -1;
    char state[64];
    int n = read_file(usb_switch_state_file, state, sizeof state);
    if (n < 0) return -1;
    return write_charge_level(
        charge_level_from_state(std::string_view(state, static_cast<size_t>(n))));
}

// Runtime power management of the host port: off while the gadget detector
// is online (the port and its device stay powered), back on when it goes.
int follow_gadget(std::string_view message) {
    std::optional<std::string_view> action = event_value(message, "ACTION");
    std::string_view control;
    if (action == "online")
        control = "on";
    else if (action == "offline")
        control = "auto";
    else
        return 0;
    write_file(usb_port_control_file, control.data(), control.size());
    write_file(usb_host_control_file, control.data(), control.size());
    return 0;
}

constexpr filter_pair switch_pairs[] = {{"ACTION", "change"},
                                        {"SUBSYSTEM", "switch"},
                                        {"SWITCH_NAME", "USB_SWITCH"},
                                        {nullptr, nullptr}};

constexpr filter_pair gadget_pairs[] = {
    {"SUBSYSTEM", "platform"}, {"DRIVER", "norvel_gadget_detect"}, {nullptr, nullptr}};

} // namespace

ADEV_FILTER(usb_switch, true, "usb switch state monitor", follow_switch_state, apply_switch_state,
            switch_pairs);
ADEV_FILTER(gadget, !basic_build, "gadget_detect filter", follow_gadget, nullptr, gadget_pairs);
