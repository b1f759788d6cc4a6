// The fade: up to fade_max_steps writes from the current brightness towards the target, a pause
// after each, then the target itself. The framebuffer is unblanked before the backlight leaves
// 0 and powered down when it reaches 0; the device's operations blank /dev/fb0 by FBIOBLANK.
#include "devtools/fade.h"

#include "core/sysfile.h"
#include "core/unique.h"

#include <cstdlib>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

void framebuffer_blank(int mode) {
    unique_fd fb(open("/dev/fb0", O_RDWR | O_CLOEXEC));
    if (fb.valid()) ioctl(fb.get(), FBIOBLANK, mode);
}

void pause_us(unsigned usec) {
    usleep(usec);
}

} // namespace

const backlight_operations backlight_device{read_int, write_int, framebuffer_blank, pause_us};

void fade(const backlight &light, int target, bool with_steps) {
    const backlight_operations &ops = *light.ops;
    int cur = ops.read_brightness(light.brightness_path);
    if (cur == target) return;
    bool known = cur >= 0;
    if (light.blanking && (known ? cur == 0 : target != 0)) ops.blank(FB_BLANK_UNBLANK);
    if (known && with_steps) {
        long long diff = static_cast<long long>(target) - cur; // no overflow for any target
        int step = static_cast<int>(diff / fade_max_steps);
        int n = fade_max_steps;
        if (step == 0) {
            n = static_cast<int>(llabs(diff));
            step = static_cast<int>(diff / n);
        }
        for (int k = 0; k < n; ++k) {
            ops.write_brightness(light.brightness_path,
                                 static_cast<int>(cur + static_cast<long long>(k) * step));
            ops.pause(fade_pause_us);
        }
    }
    ops.write_brightness(light.brightness_path, target);
    if (light.blanking && target == 0) ops.blank(FB_BLANK_POWERDOWN);
}
