// bat: print the battery voltage or current (the basic build also reports the
// charger type and the matching supply's online state).
#include "core/applet.h"
#include "core/config.h"
#include "core/power.h"
#include "core/sysfile.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace {

int bat_full(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "-i") == 0)
        printf("%d", battery_current());
    else
        printf("%d", battery_voltage());
    return 0;
}

int bat_basic_usage(const char *self) {
    printf("Usage: %s \t: voltage\n", self);
    printf("       %s -c\t: charger type\n", self);
    printf("       %s -p\t: power supply (type) (-1 to 5)\n", self);
    return -1;
}

// -p: the online value of the supply that the charger-type file names.
int bat_basic_supply() {
    char text[33] = {};
    int n = read_file(power_files.charger_type, text, 32);
    if (n < 0) {
        printf("-1\n");
        return n;
    }
    if (n > 0) text[n - 1] = '\0'; // drop the newline
    const char *online = nullptr;
    switch (charger_type_of_line(text)) {
    case charger_dcin: online = power_files.ac_online; break;
    case charger_twl_usb: online = power_files.twl_usb_online; break;
    case charger_twl_usb_dc: online = power_files.twl_ac_online; break;
    default: break;
    }
    if (online == nullptr) {
        printf("-1");
        return -1;
    }
    printf("%d\n", read_int(online));
    return n;
}

int bat_basic(int argc, char **argv) {
    optind = 1;
    switch (getopt(argc, argv, "hcp")) {
    case -1: printf("%d", read_int(power_files.twl_battery_voltage)); return 0;
    case 'c': {
        char text[256] = {};
        int n = read_file(power_files.charger_type, text, sizeof text - 1);
        if (n > 0) printf("%s", text);
        return n;
    }
    case 'p': return bat_basic_supply();
    default: return bat_basic_usage(argv[0]);
    }
}

int bat_main(int argc, char **argv) {
    if constexpr (basic_build)
        return bat_basic(argc, argv);
    else
        return bat_full(argc, argv);
}

} // namespace

VARITOOL_APPLET(bat, bat_main);
