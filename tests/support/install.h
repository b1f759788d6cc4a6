// Test support: installs this build tree's executable and applet links the
// way `cmake --install` does on a device image.
#pragma once

#include "tests/support/scratch.h"

#include <string>

// Where the install puts the executable and the links, below DESTDIR
// ("/sbin" with the default prefix).
extern const char *const install_dir;

// Runs `cmake --install` on this build tree for component ("varitool" or
// "varitool-basic") with DESTDIR set to destdir.
run_result install_component(const std::string &destdir, const std::string &component);
