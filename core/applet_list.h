// The applets of the multi-call executable, in dispatch order: one line per
// applet with its identifier, the name it is invoked by and its one-line
// description. The registry orders the applets by this list and the install
// rule makes one link per name in it; adding an applet takes its file in
// applets/ (ending in VARITOOL_APPLET(identifier, entry)) and one line here.
#pragma once

#include "core/config.h"

// clang-format off
#define VARITOOL_APPLET_LIST(X) \
    X(acat, "acat", "cat style tool, with zui progress bar support") \
    X(adev, "adev", "udev style tool") \
    X(ozaparser, "ozaparser", "oza parser") \
    X(autodim, "autodim", "automatic backlight dimmer") \
    X(bat, "bat", "primloader's bat is back") \
    X(cramfschecker, "cramfschecker", "check cramfs integrity") \
    X(create_nvs, "create_nvs", "extract nvs calibration parameters") \
    X(create_sysid, "create_sysid", "-") \
    X(fsck_ext3_parser, "fsck.ext3_parser", "e2fsck progress parser for zuibox") \
    X(fb_write, "fb_write", basic_build ? "fb writer tool, for fb soft rotation." : "fb img writer tool.") \
    X(flash_partition_erase, "flash_partition_erase", "unvalidate partition") \
    X(get_info, "get_info", "get system info") \
    X(kd_flasher, "kd_flasher", "custom kernel flasher") \
    X(kx_checker, "kx_checker", "signed kernel checker") \
    X(led, "led", "led tool") \
    X(mactool, "mactool", "mac address store/tag manipulation tool.") \
    X(mkfs_ext3_parser, "mkfs.ext3_parser", "mke2fs progress parser for zuibox") \
    X(reboot_into, "reboot_into", "reboot into a particular system")
// clang-format on
