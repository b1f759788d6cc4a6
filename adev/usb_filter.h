// The USB filters: the charger driver's charge level from the USB switch
// state, and the host port's runtime power management from the gadget
// detector.
#pragma once

#include <string_view>

inline constexpr const char usb_switch_state_file[] = "/sys/class/switch/USB_SWITCH/state";
inline constexpr const char charge_level_file[] =
    "/sys/devices/platform/omap/omap_i2c.1/i2c-1/1-0049/twl6030_bci/charge_level";
inline constexpr const char usb_port_control_file[] = "/sys/bus/usb/devices/1-1/power/control";
inline constexpr const char usb_host_control_file[] = "/sys/bus/usb/devices/usb1/power/control";

// Charge levels written to the charger driver.
enum { charge_detached = 0, charge_vbus = 2, charge_charger = 3 };

// True when the charger-type file names a USB-DC charger, which sets its own
// level; false also when the file cannot be read.
bool dc_charger_present();

// The charge level for a USB switch state text: VBUS 2, charger 3, detached
// 0; any other text prints the "HALP" line on standard error and gives 0.
int charge_level_from_state(std::string_view state);

// Writes level in decimal followed by its NUL byte to the charge-level file.
// Returns the bytes written, or -1.
int write_charge_level(int level);
