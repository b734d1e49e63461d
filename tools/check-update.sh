#!/usr/bin/env bash
# The update check from outside, as a user meets it: the built program asks a
# service on 127.0.0.1 (through KAVRO_UPDATE_URL), gets a newer version whose
# package is signed with the private half of the key built into it, shows its
# notice on a virtual X display, closes when it is answered, and starts the
# saved installer with the install switches. Runs in a network namespace of its
# own whose default route is a private address, so needs root (unshare, mount).
#   tools/check-update.sh PRIVATE_KEY.pem [PROGRAM]   default PROGRAM: build/release/bin/kavro
# CHECK_TAMPER=1 changes one byte of the signed package: then no notice may
# show and nothing may be saved.
set -euo pipefail
cd "$(dirname "$0")/.."
key=$(realpath "$1")
program=$(realpath "${2:-build/release/bin/kavro}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/site" "$work/home" "$work/tmp" "$work/runtime" && chmod 700 "$work/runtime"

# The installer: a shell reads it ("MZP=1" is an assignment) and records its arguments.
printf 'MZP=1\nprintf "%%s\\n" "$@" > %s/started\n' "$work" > "$work/installer"
tools/sign-update.sh "$key" "$work/installer" "$work/site/package"
if [ "${CHECK_TAMPER:-0}" = 1 ]; then
    printf 'Q' | dd of="$work/site/package" bs=1 seek=8 conv=notrunc status=none
fi

unshare --net --mount bash -s "$work" "$program" <<'INNER'
set -euo pipefail
# Kavro first, so it closes its window while the display is still there.
trap 'set +e; [ -z "${kavro:-}" ] || { kill "$kavro"; wait "$kavro"; } 2>/dev/null
      kill $(jobs -p) 2>/dev/null' EXIT
work=$1 program=$2
# The namespace's own view of its interfaces, where the machine lookup reads them.
mount -t sysfs sysfs /sys
ip link set lo up
ip link add private0 type veth peer name private1
ip addr add 10.77.0.5/24 dev private0 && ip link set private1 up && ip link set private0 up
ip route add default dev private0
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf '<p>###!2015073002http://127.0.0.1:%s/package!###</p>' "$port" > "$work/site/zephupdate.php"
( cd "$work/site" && exec /usr/bin/python3 -m http.server "$port" --bind 127.0.0.1 ) 2> "$work/requests" &
display=90
while [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 800x400x24 -nolisten tcp &
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
env -u QT_QPA_PLATFORM DISPLAY=":$display" HOME="$work/home" TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/runtime" \
    KAVRO_UPDATE_URL="http://127.0.0.1:$port/zephupdate.php" \
    KAVRO_ENGINE_RELEASES=http://127.0.0.1:9/ KAVRO_RUNTIME_RELEASES=http://127.0.0.1:9/ "$program" &
kavro=$!
# Once the package has been fetched and checked the notice shows; Return
# answers its only button.
for _ in $(seq 300); do grep -q 'GET /package' "$work/requests" && break; sleep 0.1; done
sleep 2
# No window manager gives the notice the focus: it is the visible window that
# is not the main window (whose title is "Kavro").
dialog=
for window in $(DISPLAY=":$display" xdotool search --onlyvisible --name .); do
    [ "$(DISPLAY=":$display" xdotool getwindowname "$window")" = Kavro ] || dialog=$window
done
if [ "${CHECK_TAMPER:-0}" = 1 ]; then
    [ -z "$dialog" ] || { echo "a tampered package was offered" >&2; exit 1; }
    echo "no notice; saved: $(find "$work/tmp" -mindepth 1 | wc -l) files"
    [ -z "$(find "$work/tmp" -mindepth 1)" ] || exit 1
    exit 0
fi
[ -n "$dialog" ] || { echo "no notice shown" >&2; exit 1; }
echo "notice: $(DISPLAY=":$display" xdotool getwindowname "$dialog")"
DISPLAY=":$display" xdotool windowfocus --sync "$dialog" key Return
for _ in $(seq 100); do kill -0 "$kavro" 2>/dev/null || break; sleep 0.1; done
status=0; wait "$kavro" || status=$?; echo "kavro exited with $status"
for _ in $(seq 100); do [ -s "$work/started" ] && break; sleep 0.1; done
echo "requests:"; grep -o '"GET [^"]*"' "$work/requests"
echo "saved:"; find "$work/tmp" -printf '%M %p\n'
echo "installer started with:"; cat "$work/started"
[ -s "$work/started" ] || exit 1
exit 0
INNER
