// The display-composition device's ioctls and the display subsystem's sysfs attributes, most
// of them read back after they are written. The best mode goes by width, then height, then
// refresh, among the modes with vmode 0 that the maximum pixel clock allows.
#include "adev/hdmi.h"

#include "adev/event.h"
#include "adev/filter.h"
#include "core/byteorder.h"
#include "core/config.h"
#include "core/sysfile.h"
#include "core/unique.h"
#include "sysinfo/board.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

namespace {

constexpr const char overlay0[] = "/sys/devices/platform/omapdss/overlay0";
constexpr const char overlay1[] = "/sys/devices/platform/omapdss/overlay1";
constexpr const char *overlays[] = {overlay0, overlay1, "/sys/devices/platform/omapdss/overlay2",
                                    "/sys/devices/platform/omapdss/overlay3"};
constexpr const char display1[] = "/sys/devices/platform/omapdss/display1";
constexpr const char fb0_overlays[] = "/sys/class/graphics/fb0/overlays";

// Everything the HDMI operations share; lock is held around each whole
// operation.
struct hdmi_state {
    std::mutex lock;
    display_info info;
    unique_fd device;     // open during an operation only
    bool enabled = false; // set up and not restored since
};

hdmi_state hdmi;

// The path of attribute of a sysfs object.
struct attribute_path {
    char text[128];
    attribute_path(const char *object, const char *attribute) {
        snprintf(text, sizeof text, "%s/%s", object, attribute);
    }
    operator const char *() const { return text; }
};

int write_verify_text(const char *path, std::string_view text) {
    char back[32];
    if (text.size() > sizeof back) return -1;
    if (write_file(path, text.data(), text.size()) < 0) return -1;
    int n = read_file(path, back, text.size());
    if (n != static_cast<int>(text.size()) || memcmp(back, text.data(), text.size()) != 0)
        return -1;
    return 0;
}

int write_verify_int(const char *path, int value) {
    if (write_int(path, value) < 0) return -1;
    return read_int(path) == value ? 0 : -1;
}

int open_device() {
    if (hdmi.device.valid()) return 0;
    hdmi.device.reset(open(dsscomp_device, O_RDWR | O_CLOEXEC));
    if (!hdmi.device.valid()) {
        printf("Error : failed to open dsscomp\n");
        return -1;
    }
    return 0;
}

// Opens the device and fills the information block. 0, or the failure.
int query_display() {
    if (open_device() != 0) return -1;
    store_le32(hdmi.info.head + info_display_index, 1);
    store_le32(hdmi.info.head + info_mode_count, hdmi_mode_capacity);
    int r = ioctl(hdmi.device.get(), dsscomp_query_display, &hdmi.info);
    if (r != 0) printf("Error : failed to get display info : %s\n", strerror(errno));
    return r;
}

// The mode equal to the display's current timing, or -1.
int find_current_mode(int &index) {
    index = -1;
    int r = query_display();
    hdmi.device.reset();
    if (r != 0) return r;
    const unsigned char *head = hdmi.info.head;
    uint32_t width = load_le16(head + info_current_width);
    uint32_t height = load_le16(head + info_current_height);
    uint32_t pixclock = load_le32(head + info_current_pixclock);
    for (int i = 0; i < mode_count(hdmi.info); ++i) {
        video_mode m = mode_at(hdmi.info, i);
        if (m.pixclock == pixclock && m.width == width && m.height == height) {
            index = i;
            break;
        }
    }
    return 0;
}

int choose_best_mode(int &index) {
    index = -1;
    int r = query_display();
    hdmi.device.reset();
    if (r != 0) return r;
    index = best_mode_index(hdmi.info);
    return index < 0 ? -1 : 0;
}

// Steps 5 to 8 of the set-up: program the display with the mode, then scale
// overlay 1 to 90 % of it with a 5 % border.
int program_display(int index) {
    video_mode m = mode_at(hdmi.info, index);
    unsigned char setup[display_setup_size];
    store_le32(setup, 1);
    memcpy(setup + 4, hdmi.info.modes[index], video_mode_size);
    printf("ADEV: Setup HDMI to mode %dx%d@%d\n", m.width, m.height, m.refresh);
    if (open_device() != 0) return -1;
    int r = ioctl(hdmi.device.get(), dsscomp_setup_display, setup);
    if (r != 0) {
        printf("ADEV : HDMI Error failed to set modedb : %s\n", strerror(errno));
    } else {
        unsigned x = m.width * 10 / 200, y = m.height * 10 / 200;
        unsigned w = m.width - m.width * 10 / 100, h = m.height - m.height * 10 / 100;
        printf("%d,%d %d,%d\n", x, y, w, h);
        char text[32];
        int n = snprintf(text, sizeof text, "%d,%d\n", w, h);
        r = write_file(attribute_path(overlay1, "output_size"), text, static_cast<size_t>(n));
        if (r >= 0) {
            n = snprintf(text, sizeof text, "%d,%d\n", x, y);
            write_file(attribute_path(overlay1, "position"), text, static_cast<size_t>(n));
            r = 0;
        }
    }
    hdmi.device.reset();
    return r;
}

int setup_steps(int index) {
    for (const char *overlay : overlays)
        if (write_int(attribute_path(overlay, "enabled"), 0) < 0) return -1;
    for (const char *overlay : overlays)
        if (write_file(attribute_path(overlay, "manager"), "", 0) < 0) return -1;
    const bool zemo = strcmp(board_product_name(), "ZEMO") == 0;
    const std::string_view input = zemo ? hdmi_input_size_zemo : hdmi_input_size;
    if (write_verify_text(attribute_path(overlay1, "input_size"), input) != 0 ||
        write_verify_text(attribute_path(overlay1, "position"), "0,0") != 0 ||
        write_verify_text(attribute_path(overlay1, "output_size"), "0,0") != 0)
        return -1;
    if (int r = program_display(index); r != 0) return r;
    if (write_verify_int(attribute_path(overlay1, "zorder"), 0) != 0 ||
        write_verify_int(fb0_overlays, 1) != 0 ||
        write_verify_text(attribute_path(overlay1, "manager"), "tv") != 0)
        return -1;
    if (!zemo && write_verify_text(attribute_path(overlay1, "input_size"), hdmi_input_size) != 0)
        return -1;
    return write_verify_int(attribute_path(overlay1, "enabled"), 1);
}

int setup_hdmi(int index) {
    if (hdmi.enabled) return 0;
    if (index < 0 || index >= mode_count(hdmi.info)) return -1;
    int r = setup_steps(index);
    hdmi.device.reset();
    if (r != 0) {
        printf("ADEV : Couldn't properly enable HDMI\n");
        return r;
    }
    hdmi.enabled = true;
    return 0;
}

int restore_lcd() {
    int r = write_verify_int(attribute_path(display1, "enabled"), 1);
    if (r == 0) r = write_verify_text(attribute_path(overlay1, "position"), "0,0");
    if (r == 0) r = write_verify_text(attribute_path(overlay1, "output_size"), "0,0");
    if (r == 0) r = write_verify_text(attribute_path(overlay1, "x_decim"), "1..16");
    if (r == 0) r = write_verify_text(attribute_path(overlay1, "y_decim"), "1..16");
    if (r == 0) r = write_verify_text(attribute_path(overlay1, "manager"), "lcd2");
    if (r == 0) r = write_verify_int(attribute_path(overlay1, "enabled"), 0);
    if (r == 0) r = write_verify_int(fb0_overlays, 0);
    if (r == 0) r = write_verify_int(attribute_path(display1, "enabled"), 1);
    if (r == 0) r = write_verify_int(fb0_overlays, 1);
    if (r == 0) r = write_verify_int(attribute_path(overlay0, "enabled"), 1);
    if (r == 0) hdmi.enabled = false;
    return r;
}

// Sets HDMI up for HDMI switch state 1 (the display's current timing) or 2
// (the best mode it offers).
int setup_for_state(int state) {
    int index = -1;
    if (state == 2)
        choose_best_mode(index);
    else if (state == 1)
        find_current_mode(index);
    return index >= 0 ? setup_hdmi(index) : 0;
}

int follow_hdmi_switch(std::string_view message) {
    std::optional<std::string_view> state = event_value(message, "SWITCH_STATE");
    if (!state) return 0;
    std::lock_guard hold(hdmi.lock);
    if (*state == "0") {
        printf("ADEV : Disabling HDMI\n");
        return restore_lcd();
    }
    if (*state == "1") return setup_for_state(1);
    if (*state == "2") return setup_for_state(2);
    return 0;
}

void *check_hdmi_at_start(void *) {
    std::lock_guard hold(hdmi.lock);
    setup_for_state(read_int(hdmi_state_file));
    return nullptr;
}

constexpr filter_pair hdmi_pairs[] = {{"SUBSYSTEM", "switch"},
                                      {"DEVPATH", "/devices/virtual/switch/hdmi"},
                                      {"ACTION", "change"},
                                      {nullptr, nullptr}};

} // namespace

video_mode mode_at(const display_info &info, int i) {
    const unsigned char *e = info.modes[i];
    return {load_le32(e + mode_refresh), load_le32(e + mode_width), load_le32(e + mode_height),
            load_le32(e + mode_pixclock), load_le32(e + mode_vmode)};
}

int mode_count(const display_info &info) {
    uint32_t n = load_le32(info.head + info_mode_count);
    return n < hdmi_mode_capacity ? static_cast<int>(n) : hdmi_mode_capacity;
}

int best_mode_index(const display_info &info) {
    int count = mode_count(info);
    if (count == 0) {
        printf("ADEV HDMI Error EDID is empty\n");
        return -1;
    }
    const uint32_t max_khz = load_le32(info.head + info_max_pixclock);
    int best = -1;
    video_mode b{};
    for (int i = 0; i < count; ++i) {
        video_mode m = mode_at(info, i);
        if (m.pixclock == 0) continue; // no rate: nothing to compare or show
        uint32_t khz = 1000000000u / m.pixclock;
        if (khz > max_khz) {
            printf("Pixel Clock %d kHz bigger than fclk %d kHz - Not supported\n", khz, max_khz);
            continue;
        }
        if (m.width == 1920 && m.height == 1080 && m.pixclock == 13468) continue;
        if (m.vmode != 0) continue;
        bool take;
        if (best < 0)
            take = true;
        else if (m.width != b.width)
            take = m.width > b.width && m.height >= b.height;
        else if (m.height != b.height)
            take = m.height > b.height;
        else
            take = m.refresh >= b.refresh;
        if (take) {
            best = i;
            b = m;
        }
    }
    if (best < 0) printf("ADEV : HDMI Error couldn't find any proper HDMI mode.\n");
    return best;
}

int hdmi_list_modes() {
    std::lock_guard hold(hdmi.lock);
    int r = query_display();
    hdmi.device.reset();
    if (r != 0) return r;
    for (int i = 0; i < mode_count(hdmi.info); ++i) {
        video_mode m = mode_at(hdmi.info, i);
        printf("ADEV : HDMI (%d) x:%d y:%d pixclock:%d vmode:%d\n", i, m.width, m.height,
               m.pixclock, m.vmode);
    }
    return r;
}

int start_hdmi_check() {
    {
        std::lock_guard hold(hdmi.lock);
        hdmi.enabled = false;
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, check_hdmi_at_start, nullptr) != 0) return -1;
    pthread_detach(thread);
    return 0;
}

ADEV_FILTER(hdmi, !basic_build, "hdmi_insert_remove filter", follow_hdmi_switch, nullptr,
            hdmi_pairs);
