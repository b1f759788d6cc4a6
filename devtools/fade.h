// Backlight fading for the dimmer: brightness changes in small steps, with the
// framebuffer blanked while the backlight is off.
#pragma once

// A stepped fade writes at most this many values, pausing after each.
inline constexpr int fade_max_steps = 25;
inline constexpr unsigned fade_pause_us = 10000;

// How the fade reaches the hardware; the device's table is backlight_device.
struct backlight_operations {
    int (*read_brightness)(const char *path);             // the current value, or negative
    int (*write_brightness)(const char *path, int value); // write one value
    void (*blank)(int mode);                              // FBIOBLANK on the framebuffer
    void (*pause)(unsigned usec);
};

// read_int, write_int, FBIOBLANK on /dev/fb0 (failures ignored) and usleep.
extern const backlight_operations backlight_device;

// One backlight: its brightness file and whether the framebuffer follows it.
struct backlight {
    const backlight_operations *ops;
    const char *brightness_path;
    bool blanking; // blank the framebuffer at brightness 0, unblank when leaving 0
};

// Brings the brightness to target. Nothing happens when it is there already.
// With steps, at most fade_max_steps values from the current one towards the
// target come first, fade_pause_us apart; the target is always written last.
// Leaving 0 unblanks the framebuffer first and reaching 0 blanks it (when
// blanking is on). An unreadable brightness is taken as unknown: the target is
// written directly.
void fade(const backlight &light, int target, bool with_steps);
