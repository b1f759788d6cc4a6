#!/bin/sh
# Runs a fuzz target for the tests in fuzz/CMakeLists.txt.
#
#   run-target.sh [--box DEVBOX_TOOL] [--artifacts DIR] replay TARGET CORPUS
#   run-target.sh [--box DEVBOX_TOOL] [--artifacts DIR] fuzz TARGET CORPUS SECONDS
#
# replay runs every seed of CORPUS once; fuzz fuzzes a copy of CORPUS for
# SECONDS seconds (the repository's corpus stays as it is) and copies what it
# finds (crash-*, leak-*, timeout-*, oom-*) into DIR. With --box the target
# runs in a fresh device box made with that box tool; it sees the box's tree
# and the project's (read-only), nothing else of this machine.
set -eu
box_tool=""
artifacts=""
while :; do
    case ${1:-} in
    --box) box_tool=$2; shift 2 ;;
    --artifacts) artifacts=$2; shift 2 ;;
    *) break ;;
    esac
done
mode=$1
# Absolute paths: the box starts the target in a folder of its own.
target=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
corpus=$(cd "$3" && pwd)
seconds=${4:-0}
name=$(basename "$target")
root=$(cd "$(dirname "$0")/.." && pwd)

base=$(mktemp -d "${TMPDIR:-/tmp}/$name.XXXXXX")
trap 'rm -rf "$base"' EXIT
# The work folder: in the box's own tree when there is a box (the box sees
# the folders it is given read-only): $inside is its path for the target,
# $work the same folder from here.
if [ -n "$box_tool" ]; then
    DEVBOX_TOOL=$box_tool "$root/tools/devbox" init "$base/box" >/dev/null
    inside=/tmp/fuzz-work
    work=$base/box$inside
else
    inside=$base/work
    work=$inside
fi
mkdir -p "$work/out"

case $mode in
replay) set -- "$target" -runs=0 "$corpus" ;;
fuzz)
    cp -R "$corpus" "$work/corpus"
    # -timeout: one input running longer is a hang; -rss_limit_mb: the
    # default (2 GiB) on a machine shared with other builds.
    set -- "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1536 \
        -print_final_stats=1 -artifact_prefix="$inside/out/" "$inside/corpus"
    ;;
*) echo "run-target.sh: unknown mode $mode" >&2; exit 2 ;;
esac

status=0
if [ -n "$box_tool" ]; then
    DEVBOX_TOOL=$box_tool "$root/tools/devbox" run "$base/box" -- "$@" </dev/null || status=$?
else
    "$@" </dev/null || status=$?
fi

if [ -n "$artifacts" ] && [ -n "$(ls "$work/out")" ]; then
    mkdir -p "$artifacts"
    cp "$work/out/"* "$artifacts/"
    echo "run-target.sh: what $name found is in $artifacts" >&2
fi
exit $status
