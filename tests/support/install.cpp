// cmake --install of one component of the build tree, with DESTDIR set.
#include "tests/support/install.h"

const char *const install_dir = VARITOOL_INSTALL_DIR;

run_result install_component(const std::string &destdir, const std::string &component) {
    return run_program("/usr/bin/env",
                       {"env", "DESTDIR=" + destdir, VARITOOL_CMAKE_COMMAND, "--install",
                        VARITOOL_BINARY_DIR, "--component", component});
}
