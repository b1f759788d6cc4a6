# Installs the Debian packages the build and the tests need (through sudo
# when not root), skipping apt when they are all present already.
varitool_packages="build-essential cmake pkg-config git libgtest-dev libgmock-dev
    libbenchmark-dev libpng-dev zlib1g-dev libssl-dev openssl clang-format busybox
    dosfstools e2fsprogs faketime util-linux procps nlohmann-json3-dev time
    clang libclang-rt-dev"

# The armhf cross build (cmake/armhf-toolchain.cmake): Debian's cross
# compiler, the target's libraries through multiarch, and qemu-user to run the
# target's programs here. libstdc++6:armhf gives qemu one consistent armhf
# run-time (the multiarch libc6:armhf comes with the -dev packages).
varitool_armhf_packages="crossbuild-essential-armhf libpng-dev:armhf zlib1g-dev:armhf
    libgtest-dev:armhf libgmock-dev:armhf libssl-dev:armhf libstdc++6:armhf
    qemu-user-static binfmt-support"

install_deps() {
    missing=""
    for p in $varitool_packages $varitool_armhf_packages; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' ||
            missing="$missing $p"
    done
    [ -n "$missing" ] || return 0
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    case $missing in
    *:armhf*)
        dpkg --print-foreign-architectures | grep -qx armhf ||
            $sudo dpkg --add-architecture armhf
        ;;
    esac
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
    # shellcheck disable=SC2086
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
}
