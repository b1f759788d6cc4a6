# Shell helpers for scripts that work with device boxes (tools/devbox).
# Source this file, then:
#
#   box=$(box_new [INIT OPTION]...)   make a box in a new temporary folder
#   box_run "$box" COMMAND [ARG]...    run a command in a new box on it
#   box_start "$box"                   start the persistent box
#   box_exec "$box" COMMAND [ARG]...   run a command in the persistent box
#   box_stop "$box"                    stop it
#   box_read "$box" /BOX/PATH          print a file of the box tree
#   box_log "$box"                     print the stand-ins' log
#   box_rm "$box"                      stop the box if it runs, remove the folder
#
# Paths given to box_read are paths inside the box (/sys/class/leds/power/
# trigger). The persistent box stops by itself when the shell that started it
# ends.

# The devbox command: $box_devbox when set, else tools/devbox of the current
# folder or beside the sourcing script.
if [ -z "${box_devbox:-}" ]; then
    for _box_try in "$PWD/tools/devbox" "$(dirname "$0")/devbox" "$(dirname "$0")/../tools/devbox"; do
        if [ -x "$_box_try" ]; then
            box_devbox=$_box_try
            break
        fi
    done
fi

box_new() {
    _box_dir=$(mktemp -d "${TMPDIR:-/tmp}/devbox.XXXXXX") || return 1
    "$box_devbox" init "$_box_dir/root" "$@" || {
        rm -rf "$_box_dir"
        return 1
    }
    echo "$_box_dir/root"
}

box_run() {
    _box=$1
    shift
    "$box_devbox" run "$_box" -- "$@"
}

box_start() { "$box_devbox" start --owner $$ "$1"; }

box_exec() {
    _box=$1
    shift
    "$box_devbox" exec "$_box" -- "$@"
}

box_stop() { "$box_devbox" stop "$1"; }

box_read() { cat "$1$2"; }

box_log() { cat "$1/box/log"; }

box_rm() {
    [ -e "$1/box/run/state" ] && "$box_devbox" stop "$1" 2>/dev/null
    case $1 in
    */devbox.*/root) rm -rf "${1%/root}" ;;
    esac
}
