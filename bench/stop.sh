#!/usr/bin/env bash
# Stop benchmark: the time from SIGINT to kavro-cli's process group (what Ctrl-C
# sends) to kavro-cli's exit, with the job held in each phase by a stand-in
# that would run for minutes:
#   extraction  a one-shot extractor named by KAVRO_EXTRACTOR
#   worker      the same through the resident worker (a single-file yt-dlp on
#               PATH whose yt_dlp package is the stand-in)
#   transfer    half a body from tests/support/testserver.py's stall route,
#               then silence
#   merge       a muxer named by KAVRO_FFMPEG, after both streams arrived
# Each stop comes once the phase is seen to run (the stand-in's marker file,
# or the progress line), not after a fixed sleep, and then after a pause that
# each run sets elsewhere in the next second (spread evenly), as Ctrl-C comes at
# any moment: the progress line is written on a timer, and a stop right after
# it would always meet libcurl's once-a-second check of a stalled transfer at
# the same point.
# The peer, measured in the same run, is a plain `sleep 600` process group
# stopped and reaped the same way, so the ratio is Kavro's own overhead.
# Prints the median and the worst time per phase, the goal and the ratio; exits
# non-zero when a stop did not end the job (exit 130, its stand-in gone) within
# BOUND seconds, but not for missing the goal.
#   bench/stop.sh [runs, default 5]
# BOUND (default 10) is how long a phase may take to be reached, and to stop.
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-5}
BOUND=${BOUND:-10}
GOAL=0.2

command -v bc >/dev/null || { echo "stop.sh: needs bc" >&2; exit 1; }
cmake --preset release >/dev/null
cmake --build build/release --target kavro-cli Kavro >/dev/null
cli=$PWD/build/release/bin/kavro-cli

work=$(mktemp -d)
server_pid=""
cleanup() {
    exec 7>&- # end of input ends the test server
    [ -z "$server_pid" ] || wait "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/site" "$work/out" "$work/bin" "$work/config" "$work/data" "$work/package/yt_dlp"
mark=$work/mark

# Media for the transfer (half of it arrives) and for the merge.
head -c $((8 * 1024 * 1024)) /dev/zero > "$work/site/big.bin"
head -c $((1024 * 1024)) /dev/zero > "$work/site/v.bin"
head -c $((1024 * 1024)) /dev/zero > "$work/site/a.bin"
mkfifo "$work/server.in"
/usr/bin/python3 tests/support/testserver.py "$work/site" < "$work/server.in" > "$work/server.port" &
server_pid=$!
exec 7> "$work/server.in"
for _ in $(seq 100); do [ -s "$work/server.port" ] && break; sleep 0.05; done
[ -s "$work/server.port" ] || { echo "stop.sh: the test server did not start" >&2; exit 1; }
site="http://127.0.0.1:$(head -n 1 "$work/server.port")"

# A stand-in that says it runs (its process id, in the marker file), then
# lingers as that same process.
lingering='echo $$ > '"'$mark.new'"' && mv '"'$mark.new'"' '"'$mark'"' && exec sleep 600'
printf '#!/bin/sh\n%s\n' "$lingering" > "$work/extractor-lingers"
printf '#!/bin/sh\n%s\n' "$lingering" > "$work/muxer-lingers"
printf '#!/bin/sh\nprintf "%%s\\n" %s\n' \
    "'$site/stall/big.bin' 'Stall_(' '720' 'p)_x.mp4'" > "$work/extractor-stall"
printf '#!/bin/sh\nprintf "%%s\\n" %s\n' \
    "'$site/files/v.bin' '$site/files/a.bin' 'Merge_(' '1012' 'p)_x.mp4'" > "$work/extractor-merge"
chmod +x "$work"/extractor-* "$work/muxer-lingers"
cat > "$work/package/yt_dlp/__init__.py" <<PY
import os, time
def main(argv=None):
    with open("$mark.new", "w") as f:
        f.write("%d\n" % os.getpid())
    os.rename("$mark.new", "$mark")
    time.sleep(600)
PY
printf 'import yt_dlp\nyt_dlp.main()\n' > "$work/package/__main__.py"
/usr/bin/python3 -m zipapp "$work/package" -p /usr/bin/python3 -o "$work/bin/yt-dlp"

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
failures=()
fail() { failures+=("$1"); echo "stop.sh: $1" >&2; }

# Waits up to BOUND seconds for a command to succeed.
await() {
    local deadline=$((SECONDS + BOUND))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.01
    done
}
marked() { [ -s "$mark" ]; }
progress_shown() { grep -q '%\]' "$work/cli.out"; }
exec_done() { [ "$(cat "/proc/$1/comm" 2>/dev/null)" = sleep ]; }

# Starts a command in a process group of its own with default signal
# dispositions, as a shell with job control starts a foreground command.
launch() {
    set -m
    "$@" < /dev/null > "$work/cli.out" 2> "$work/cli.err" &
    job=$!
    set +m
}

# SIGINT to the job's process group, then the wait for its end; sets `took`
# (seconds) and `status`. A job still there after BOUND seconds is killed.
stop_and_reap() {
    local pid=$1 t0 t1
    set -m
    { sleep "$BOUND"; kill -KILL -- "-$pid"; } 2>/dev/null &
    local watchdog=$!
    set +m
    t0=$EPOCHREALTIME
    kill -INT -- "-$pid"
    status=0
    wait "$pid" || status=$?
    t1=$EPOCHREALTIME
    kill -KILL -- "-$watchdog" 2>/dev/null || true
    wait "$watchdog" 2>/dev/null || true
    took=$(echo "$t1 - $t0" | bc -l)
}

# One run of a phase: kavro-cli started with the environment given, stopped
# once `ready` holds. Appends the time to $work/NAME.times.
kavro_run() {
    local name=$1 ready=$2 mode=$3
    shift 3
    rm -f "$mark" "$work/out/"*
    launch env XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" LC_ALL=C.UTF-8 "$@" \
        "$cli" --quality "$mode" --output "$work/out" 'https://www.youtube.com/watch?v=x'
    if ! await "$ready"; then
        fail "$name: the phase was not reached within ${BOUND}s: $(tr '\r\n' '  ' < "$work/cli.err")"
        kill -KILL -- "-$job" 2>/dev/null || true
        wait "$job" 2>/dev/null || true
        return
    fi
    sleep "$(echo "($run - 0.5) / $RUNS" | bc -l)"
    local stand_in=""
    [ ! -s "$mark" ] || stand_in=$(cat "$mark")
    if [ "$name" = worker ] && ! tr '\0' ' ' < "/proc/$stand_in/cmdline" | grep -q 'extractor worker'; then
        fail "worker: the extractor ran one-shot, not in the resident worker"
    fi
    stop_and_reap "$job"
    echo "$took" >> "$work/$name.times"
    if [ "$(echo "$took >= $BOUND" | bc)" -eq 1 ]; then
        fail "$name: kavro-cli had not ended ${BOUND}s after the stop and was killed"
    elif [ "$status" -ne 130 ]; then
        fail "$name: kavro-cli exited $status after ${took}s, not 130 (stopped)"
    fi
    if [ -n "$stand_in" ] && [ -e "/proc/$stand_in" ] &&
        [ "$(awk '{print $3}' "/proc/$stand_in/stat" 2>/dev/null)" != Z ]; then
        fail "$name: the stand-in (process $stand_in) outlived kavro-cli"
        kill -KILL -- "-$stand_in" 2>/dev/null || true
    fi
}

peer_run() {
    launch sleep 600
    await exec_done "$job" || fail "peer: sleep did not start"
    stop_and_reap "$job"
    echo "$took" >> "$work/peer.times"
    if [ "$(echo "$took >= $BOUND" | bc)" -eq 1 ]; then
        fail "peer: sleep had not ended ${BOUND}s after the stop and was killed"
    elif [ "$status" -ne 130 ]; then
        fail "peer: sleep exited $status, not 130"
    fi
}

phases=(extraction worker transfer merge)
for run in $(seq "$RUNS"); do
    peer_run
    kavro_run extraction marked mp4:720 KAVRO_EXTRACTOR="$work/extractor-lingers"
    kavro_run worker marked mp4:720 PATH="$work/bin:$PATH"
    kavro_run transfer progress_shown mp4:720 KAVRO_EXTRACTOR="$work/extractor-stall"
    kavro_run merge marked mp4:1080 KAVRO_EXTRACTOR="$work/extractor-merge" \
        KAVRO_FFMPEG="$work/muxer-lingers"
done

printf '\nSIGINT to exit of kavro-cli, median of %s runs (goal %.2f s)\n' "$RUNS" "$GOAL"
peer=$(median < "$work/peer.times")
printf '%-11s %9s %6s %9s   %s\n' phase 'stop s' goal 'worst s' 'kavro/peer'
for name in "${phases[@]}"; do
    [ -s "$work/$name.times" ] || { printf '%-11s %9s\n' "$name" 'n/a'; continue; }
    t=$(median < "$work/$name.times")
    printf '%-11s %9.4f %6s %9.4f   %.1f\n' "$name" "$t" \
        "$([ "$(echo "$t <= $GOAL" | bc -l)" -eq 1 ] && echo met || echo missed)" \
        "$(sort -g "$work/$name.times" | tail -n 1)" "$(echo "$t / $peer" | bc -l)"
done
printf '%-11s %9.4f %6s %9.4f\n' 'peer sleep' "$peer" '' "$(sort -g "$work/peer.times" | tail -n 1)"
if [ ${#failures[@]} -gt 0 ]; then
    printf '\n%s problem(s):\n' "${#failures[@]}" >&2
    printf '  %s\n' "${failures[@]}" >&2
    exit 1
fi
