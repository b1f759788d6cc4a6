# Cross build for the tablet: 32-bit ARM Linux, hard-float ABI, with Debian's
# cross compiler (crossbuild-essential-armhf) and the armhf libraries of the
# distribution installed through multiarch (libpng-dev:armhf, zlib1g-dev:armhf,
# and for the tests libgtest-dev:armhf and libssl-dev:armhf).
#
#   cmake -S . -B build/armhf --toolchain cmake/armhf-toolchain.cmake
#   cmake --preset armhf
#
# Programs of the tree run on this machine through qemu-user
# (CMAKE_CROSSCOMPILING_EMULATOR): ctest, test discovery and the tests that
# start the program use it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VARITOOL_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${VARITOOL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VARITOOL_TRIPLET}-g++)

# Multiarch: headers and libraries of the target come from the host's /usr,
# in the arm-linux-gnueabihf folders, beside the cross compiler's own sysroot.
set(CMAKE_LIBRARY_ARCHITECTURE ${VARITOOL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${VARITOOL_TRIPLET} /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config (which FindOpenSSL asks first) reads the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VARITOOL_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# qemu-user runs the target's programs here with the armhf run-time of the
# multiarch folders (libc6:armhf, libstdc++6:armhf, libpng16-16:armhf ...).
# Not with -L on the cross compiler's sysroot: its loader is another build of
# the C library than the multiarch libc.so.6 it would then load, and
# programs crash in fork.
find_program(VARITOOL_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(VARITOOL_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARITOOL_QEMU_ARM})
endif()
