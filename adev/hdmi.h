// HDMI output (full build): picks a video mode from those the display
// reports through the display-composition driver, programs display 1 with it
// and routes frame buffer 0 through overlay 1 to the television output;
// routes it back to the panel when the display goes. Every operation holds
// one lock, so the start-up check and the event handler never interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/ioctl.h>

inline constexpr const char dsscomp_device[] = "/dev/dsscomp";
inline constexpr const char hdmi_state_file[] = "/sys/devices/virtual/switch/hdmi/state";

// The display information block exchanged with the query request: a 120-byte
// head (fields at the offsets below, little-endian) and the mode entries.
inline constexpr int hdmi_mode_capacity = 50;
inline constexpr size_t video_mode_size = 56;       // fourteen u32 words
inline constexpr size_t display_info_head = 120;    //
inline constexpr size_t display_setup_size = 60;    // display index and one mode entry
inline constexpr size_t info_display_index = 0;     // u32, always 1
inline constexpr size_t info_max_pixclock = 24;     // u32, kHz
inline constexpr size_t info_current_width = 28;    // u16
inline constexpr size_t info_current_height = 30;   // u16
inline constexpr size_t info_current_pixclock = 32; // u32, as a mode's pixel clock
inline constexpr size_t info_mode_count = 112;      // u32: capacity in, modes returned out

struct display_info {
    unsigned char head[display_info_head];
    unsigned char modes[hdmi_mode_capacity][video_mode_size];
};
static_assert(sizeof(display_info) == 2920);

// Requests on the display-composition device.
inline constexpr unsigned long dsscomp_query_display = 0xC0784F83;
inline constexpr unsigned long dsscomp_setup_display = 0x403C4F86;
static_assert(dsscomp_query_display == _IOWR('O', 131, unsigned char[display_info_head]));
static_assert(dsscomp_setup_display == _IOW('O', 134, unsigned char[display_setup_size]));

// Byte offsets of the words of a mode entry the program reads (u32 each).
inline constexpr size_t mode_refresh = 4;
inline constexpr size_t mode_width = 8;
inline constexpr size_t mode_height = 12;
inline constexpr size_t mode_pixclock = 16;
inline constexpr size_t mode_vmode = 48;

// Overlay 1's input size: the frame buffer's, which is 1920x1080 on the
// ZEMO board and 1280x720 on the others.
inline constexpr const char hdmi_input_size_zemo[] = "1920,1080";
inline constexpr const char hdmi_input_size[] = "1280,720";

// The words of a mode entry the program reads.
struct video_mode {
    uint32_t refresh;  // Hz
    uint32_t width;    // pixels
    uint32_t height;   // lines
    uint32_t pixclock; // picoseconds per pixel
    uint32_t vmode;    // 0 progressive; otherwise interlaced or double-scan
};

// Mode entry i of info, decoded.
video_mode mode_at(const display_info &info, int i);

// The number of entries the driver returned, at most the capacity.
int mode_count(const display_info &info);

// The index of the best mode of info: the widest, then tallest, then fastest
// (the later of equal modes), among progressive modes within the maximum
// pixel clock, leaving out the low-rate 1920x1080 modes. Prints why modes are
// refused and when none is left. -1 when there is none.
int best_mode_index(const display_info &info);

// -s: prints the display's modes. Returns the query's result.
int hdmi_list_modes();

// Daemon start: marks HDMI as not set up and starts the thread that sets it
// up for a display already plugged in. 0, or -1 when the thread cannot start.
int start_hdmi_check();
