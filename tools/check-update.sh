#!/usr/bin/env bash
# The update check from outside, as a user meets it: the built program asks a
# service on 127.0.0.1 (through KAVRO_UPDATE_URL), gets a newer version whose
# package is signed with the private half of the key built into it, shows its
# notice on a virtual X display, closes when it is answered, and starts the
# saved installer with the install switches. Runs in a network namespace of its
# own whose default route is a private address, so needs root (unshare).
#   tools/check-update.sh PRIVATE_KEY.pem [PROGRAM]   default PROGRAM: build/release/bin/kavro
set -euo pipefail
cd "$(dirname "$0")/.."
key=$(realpath "$1")
program=$(realpath "${2:-build/release/bin/kavro}")
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/site" "$work/home" "$work/tmp" "$work/runtime" && chmod 700 "$work/runtime"

# The installer: a shell reads it ("MZP=1" is an assignment) and records its arguments.
printf 'MZP=1\nprintf "%%s\\n" "$@" > %s/started\n' "$work" > "$work/installer"
tools/sign-update.sh "$key" "$work/installer" "$work/site/package"

exec unshare --net bash -s "$work" "$program" <<'INNER'
set -euo pipefail
work=$1 program=$2
ip link set lo up
ip link add private0 type dummy && ip addr add 10.77.0.5/24 dev private0 && ip link set private0 up
ip route add default dev private0
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf '<p>###!2015073002http://127.0.0.1:%s/package!###</p>' "$port" > "$work/site/zephupdate.php"
( cd "$work/site" && exec /usr/bin/python3 -m http.server "$port" --bind 127.0.0.1 ) 2> "$work/requests" &
Xvfb :97 -screen 0 800x400x24 -nolisten tcp & 
for _ in $(seq 100); do [ -e /tmp/.X11-unix/X97 ] && break; sleep 0.1; done
env -u QT_QPA_PLATFORM DISPLAY=:97 HOME="$work/home" TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/runtime" \
    KAVRO_UPDATE_URL="http://127.0.0.1:$port/zephupdate.php" \
    KAVRO_ENGINE_RELEASES=http://127.0.0.1:9/ KAVRO_RUNTIME_RELEASES=http://127.0.0.1:9/ "$program" &
kavro=$!
# Once the package has been fetched and checked the notice shows; Return
# answers its only button.
for _ in $(seq 300); do grep -q 'GET /package' "$work/requests" && break; sleep 0.1; done
sleep 2
DISPLAY=:97 xdotool key Return
for _ in $(seq 100); do kill -0 "$kavro" 2>/dev/null || break; sleep 0.1; done
wait "$kavro"; echo "kavro exited with $?"
for _ in $(seq 100); do [ -s "$work/started" ] && break; sleep 0.1; done
echo "requests:"; grep -o '"GET [^"]*"' "$work/requests"
echo "saved:"; find "$work/tmp" -printf '%M %p\n'
echo "installer started with:"; cat "$work/started"
INNER
