# Installs the Debian packages the build and the tests need (through sudo
# when not root), skipping apt when they are all present already.
varitool_packages="build-essential cmake pkg-config git libgtest-dev libgmock-dev
    libbenchmark-dev libpng-dev zlib1g-dev libssl-dev openssl clang-format busybox
    dosfstools e2fsprogs faketime util-linux procps nlohmann-json3-dev"

install_deps() {
    missing=""
    for p in $varitool_packages; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' ||
            missing="$missing $p"
    done
    [ -n "$missing" ] || return 0
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
    # shellcheck disable=SC2086
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
}
