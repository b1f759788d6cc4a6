// cramfschecker: checks a signed cramfs image against this system's version.
#include "core/applet.h"
#include "devtools/signed_image.h"
#include "sysinfo/sysversion.h"

#include <cstdio>

namespace {

int cramfschecker_main(int argc, char **argv) {
    if (argc < 2) {
        printf("USAGE: %s FILENAME\n", argv[0]);
        return 1;
    }
    version_triple own;
    get_sys_version(&own.major, &own.minor, &own.revision);
    // The image carries each number as one byte.
    const uint8_t version[3] = {uint8_t(own.major), uint8_t(own.minor), uint8_t(own.revision)};
    printf("%s : check against %d.%d.%d\n", "cramfschecker", version[0], version[1], version[2]);

    const int code = cramfs_image_verify(argv[1], cramfs_sampling_step, version);
    if (code != image_valid) {
        printf("\ncramfschecker verification NOK : %d\n\n", code);
        return 1;
    }
    printf("\ncramfschecker verification OK\n\n");
    return 0;
}

} // namespace

VARITOOL_APPLET(cramfschecker, cramfschecker_main);
