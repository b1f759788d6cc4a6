// Every charger-type and USB switch text is parsed here. The charger type is the exact text of
// its file (the basic build knows the first three types); the power source and battery readings
// follow from it: the TWL files, the USB switch state or the plain supply files, and a fixed
// 4.2 V when there is no charger.
#include "core/power.h"

#include "core/config.h"
#include "core/sysfile.h"

#include <cstdio>

namespace {

struct charger_text {
    const char *contents;
    int type;
};

constexpr charger_text charger_texts[] = {
    {"CHARGER_DCIN\n", charger_dcin},
    {"CHARGER_TWL6030USB\n", charger_twl_usb},
    {"CHARGER_TWL6030USB_DC\n", charger_twl_usb_dc},
    {"CHARGER_BQ24167\n", charger_bq24167},
    {"CHARGER_NONE\n", charger_none},
};

// Source named by the USB switch state text (up to its NUL).
int source_from_switch_text(const char *text) {
    switch (parse_usb_switch(text)) {
    case switch_vbus: return power_usb_host;
    case switch_charger: return power_usb_charger;
    default: return power_absent;
    }
}

// Reads the USB switch state into a terminated buffer; the byte count or -1.
int read_switch_state(const power_paths &paths, char (&text)[33]) {
    int n = read_file(paths.usb_switch_state, text, 32);
    text[n > 0 ? n : 0] = '\0';
    return n;
}

int usb_power_source(const power_paths &paths) {
    char text[33];
    if (read_switch_state(paths, text) > 0) return source_from_switch_text(text);
    switch (read_int(paths.twl_usb_online)) {
    case 3: return power_usb_host;
    case 4: return power_usb_charger;
    default: return power_absent;
    }
}

} // namespace

int charger_type_of(std::string_view text) {
    for (const charger_text &c : charger_texts) {
        if (basic_build && c.type > charger_twl_usb_dc) break;
        if (text == c.contents) return c.type;
    }
    return charger_other;
}

int charger_type_of_line(std::string_view line) {
    for (const charger_text &c : charger_texts) {
        if (basic_build && c.type > charger_twl_usb_dc) break;
        const std::string_view contents(c.contents);
        if (line == contents.substr(0, contents.size() - 1)) return c.type;
    }
    return charger_other;
}

bool charger_text_names(std::string_view text, int type) {
    for (const charger_text &c : charger_texts) {
        if (c.type != type) continue;
        const std::string_view contents(c.contents);
        return text.find(contents.substr(0, contents.size() - 1)) != std::string_view::npos;
    }
    return false;
}

usb_switch_state parse_usb_switch(std::string_view text) {
    if (text.find("ATTACHED_VBUS") != std::string_view::npos) return switch_vbus;
    if (text.find("ATTACHED_CHARGER") != std::string_view::npos) return switch_charger;
    if (text.find("DETACHED") != std::string_view::npos) return switch_detached;
    return switch_unknown;
}

int get_charger_type(const power_paths &paths) {
    char text[33] = {};
    if (read_file(paths.charger_type, text, 32) < 0) {
        fprintf(stderr, "%s : could not determine charger type : allow flashing\n",
                basic_build ? "_get_charger_type" : "get_charger_type");
        return charger_unknown;
    }
    return charger_type_of(text);
}

int power_source(const power_paths &paths) {
    switch (get_charger_type(paths)) {
    case charger_unknown: return power_usb_host;
    case charger_dcin: return read_int(paths.ac_online) != 0 ? power_adapter : power_absent;
    case charger_twl_usb_dc:
        return read_int(paths.twl_ac_online) != 0 ? power_adapter : power_absent;
    case charger_bq24167:
        if (read_int(paths.twl_ac_online) != 0) return power_adapter;
        return usb_power_source(paths);
    case charger_twl_usb: return usb_power_source(paths);
    case charger_none: return power_adapter;
    default: {
        char text[33];
        if (read_switch_state(paths, text) < 0) return power_absent;
        return source_from_switch_text(text);
    }
    }
}

int battery_voltage(const power_paths &paths) {
    switch (get_charger_type(paths)) {
    case charger_twl_usb:
    case charger_twl_usb_dc:
    case charger_bq24167: return read_int(paths.twl_battery_voltage);
    case charger_none: return 4200000;
    default: return read_int(paths.battery_voltage);
    }
}

int battery_current(const power_paths &paths) {
    switch (get_charger_type(paths)) {
    case charger_twl_usb:
    case charger_twl_usb_dc:
    case charger_bq24167: return read_int(paths.twl_battery_current);
    default: return 0;
    }
}
