// led: switch the power LED on or off, or make it blink.
#include "core/applet.h"
#include "core/sysfile.h"

#include <cstdio>
#include <cstdlib>
#include <getopt.h>

namespace {

constexpr const char led_trigger[] = "/sys/class/leds/power/trigger";
constexpr const char led_delay_on[] = "/sys/class/leds/power/delay_on";
constexpr const char led_delay_off[] = "/sys/class/leds/power/delay_off";

int led_usage(const char *self) {
    printf("Usage: %s -s <boolean>\t: turn on/off led\n", self);
    printf("       %s -b\t\t: make the led blink (T=1s)\n", self);
    return -1;
}

int led_main(int argc, char **argv) {
    optind = 1;
    // Only the first option is acted on.
    switch (getopt(argc, argv, "s:hb")) {
    case 'b':
        write_file(led_trigger, "timer", 5);
        write_int(led_delay_on, 1000);
        write_int(led_delay_off, 1000);
        return 0;
    case 's':
        switch (atoi(optarg)) {
        case 1: return write_file(led_trigger, "default-on", 10);
        case 0: return write_file(led_trigger, "none", 4);
        default: return -1;
        }
    case -1: return -1;
    default: return led_usage(argv[0]);
    }
}

} // namespace

VARITOOL_APPLET(led, led_main);
