// Power probes: charger type, power source and battery readings from the
// kernel's power-supply files.
#pragma once

#include <string_view>

// The files the probes read. The device's are power_files; callers that work
// on another tree pass their own set.
struct power_paths {
    const char *charger_type;
    const char *ac_online;
    const char *twl_ac_online;
    const char *twl_usb_online;
    const char *usb_switch_state;
    const char *twl_battery_voltage;
    const char *twl_battery_current;
    const char *battery_voltage;
};

inline constexpr power_paths power_files{
    "/sys/devices/platform/battery/charger_type",
    "/sys/class/power_supply/ac/online",
    "/sys/class/power_supply/twl6030_ac/online",
    "/sys/class/power_supply/twl6030_usb/online",
    "/sys/class/switch/USB_SWITCH/state",
    "/sys/class/power_supply/twl6030_battery/voltage_now",
    "/sys/class/power_supply/twl6030_battery/current_now",
    "/sys/class/power_supply/battery/voltage_now",
};

// Charger types.
enum {
    charger_unknown = 0,    // the charger-type file cannot be read
    charger_other = 1,      // anything not below
    charger_dcin = 2,       // "CHARGER_DCIN\n"
    charger_twl_usb = 3,    // "CHARGER_TWL6030USB\n"
    charger_twl_usb_dc = 4, // "CHARGER_TWL6030USB_DC\n"
    charger_bq24167 = 5,    // "CHARGER_BQ24167\n" (full build only)
    charger_none = 6,       // "CHARGER_NONE\n" (full build only)
};

// Power sources.
enum {
    power_absent = 0,
    power_usb_host = 1,
    power_usb_charger = 2,
    power_adapter = 3,
};

// The charger type whose file contents are exactly text (newline included);
// charger_other for any other text. The basic build knows the first three.
int charger_type_of(std::string_view text);
// The same for a line without its newline.
int charger_type_of_line(std::string_view line);
// True when text holds the name of charger type anywhere in it (the file's
// text without its newline).
bool charger_text_names(std::string_view text, int type);

// USB switch states, as the switch's state file and events name them.
enum usb_switch_state {
    switch_unknown,
    switch_vbus,     // holds "ATTACHED_VBUS"
    switch_charger,  // holds "ATTACHED_CHARGER"
    switch_detached, // holds "DETACHED"
};
// The state text names, looked for in the order above.
usb_switch_state parse_usb_switch(std::string_view text);

// The charger type from the whole contents of the charger-type file. An
// unreadable file prints a line on standard error and gives charger_unknown.
int get_charger_type(const power_paths &paths = power_files);

// Which power source is present. An unreadable "online" file counts as present.
int power_source(const power_paths &paths = power_files);

// Battery voltage in microvolts.
int battery_voltage(const power_paths &paths = power_files);

// Battery current in microamperes (0 where the design does not report it).
int battery_current(const power_paths &paths = power_files);
