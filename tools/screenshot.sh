#!/usr/bin/env bash
# Starts Kavro's window on a virtual X display and saves a picture of it.
#   tools/screenshot.sh [FILE.png]    default: kavro-window.png
# Needs a built tree (tools/kavro.sh run, or a release build) and installs the
# X server it uses (xvfb) when it is missing. The language is the locale's
# (LANG), or LangID in the Config.ini of a fresh home used for the picture.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-kavro-window.png}")
program=build/release/bin/kavro
[ -x "$program" ] || program=build/dev/bin/kavro
[ -x "$program" ] || { echo "build Kavro first: tools/kavro.sh run" >&2; exit 1; }
if ! command -v Xvfb >/dev/null; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends xvfb
fi

work=$(mktemp -d)
cleanup() {
    # Kavro first, so it closes its window while the display is still there.
    if [ -n "${kavro:-}" ]; then kill "$kavro" 2>/dev/null; wait "$kavro" 2>/dev/null; fi
    if [ -n "${xvfb:-}" ]; then kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

# A display number that is free, and a home of its own so no settings are touched.
display=99
while [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 800x400x24 -nolisten tcp &
xvfb=$!
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
# A picture needs no engine update: the daily check goes to a port where nothing answers.
env -u QT_QPA_PLATFORM DISPLAY=":$display" HOME="$work" XDG_RUNTIME_DIR="$work/runtime" \
    XDG_DATA_HOME="$work/data" KAVRO_ENGINE_RELEASES=http://127.0.0.1:9/ KAVRO_RUNTIME_RELEASES=http://127.0.0.1:9/ \
    XDG_CONFIG_HOME="$work/config" "$program" &
kavro=$!
# The window needs a moment to map and paint; ffmpeg grabs the whole display.
for _ in $(seq 50); do
    sleep 0.2
    [ -e "$work/config/Kavro" ] && break
done
sleep 1
ffmpeg -loglevel error -y -f x11grab -video_size 800x400 -i ":$display" -frames:v 1 "$out"
echo "saved $out"
