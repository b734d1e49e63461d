#!/usr/bin/env bash
# Transfer benchmark: serves media on 127.0.0.1 with nginx and downloads it,
# several times each in the same run, with kavro-cli (through a stand-in
# extractor that prints the media's address), curl, wget, aria2c, yt-dlp, a
# tuned libcurl reference program (512 KiB receive buffer, 4 MiB writes) and a
# plain dd copy. Prints the median wall time, CPU time and peak memory of each,
# and Kavro's ratio against each peer (below 1.00 means Kavro needs less).
#   bench/transfer.sh [size in MiB, default 1024] [runs, default 5]
# BENCH_TOOLS picks tools (default: all but kavro1); BENCH_OUT names the folder
# written to (default: a temporary folder on disk; a tmpfs such as /dev/shm
# takes the disk's write-back out of the measurement).
# BENCH_RATE limits every connection (nginx limit_rate, e.g. 2m), as the video
# service does; BENCH_MERGE=1 makes the media a real video of about the size
# plus an audio stream, which kavro fetches and merges and the others fetch one
# after the other. kavro1 is kavro over one connection. A throttled merge:
#   BENCH_RATE=2m BENCH_MERGE=1 BENCH_TOOLS="kavro kavro1 yt-dlp" bench/transfer.sh 40 3
set -euo pipefail
cd "$(dirname "$0")/.."
SIZE_MIB=${1:-1024}
RUNS=${2:-5}

need=(nginx-light curl wget aria2 yt-dlp time bc ffmpeg libcurl4-openssl-dev)
missing=()
for p in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=(); [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
cmake --preset release >/dev/null
cmake --build build/release --target kavro-cli >/dev/null

work=$(mktemp -d)
out=""
trap 'kill "$(cat "$work/nginx.pid" 2>/dev/null)" 2>/dev/null || true; rm -rf "$work" ${out:+"$out"}' EXIT
out=$(mktemp -d "${BENCH_OUT:-$work}/kavro-bench.XXXXXX")
mkdir -p "$work/site" "$work/logs"
chmod 755 "$work" "$work/site"  # nginx workers may run as another user
if [ "${BENCH_MERGE:-0}" = 1 ]; then
    # Noise compresses badly, so the bit rate decides the size: 10 s of it.
    ffmpeg -v fatal -f lavfi -i "nullsrc=s=1280x720:r=25,geq=random(1)*255:128:128" -t 10 \
        -c:v mpeg4 -b:v "$((SIZE_MIB * 8 * 1024 / 10))k" "$work/site/media.mp4"
    ffmpeg -v fatal -f lavfi -i "sine=frequency=440:duration=10" -c:a aac "$work/site/audio.m4a"
    files=(media.mp4 audio.m4a)
    quality=mp4:1080
else
    fallocate -l "${SIZE_MIB}M" "$work/site/media.mp4" 2>/dev/null ||
        dd if=/dev/zero of="$work/site/media.mp4" bs=1M count="$SIZE_MIB" status=none
    files=(media.mp4)
    quality=mp4:720
fi
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<CONF
daemon on;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events {}
http {
    access_log off;
    sendfile on;
    client_body_temp_path $work/logs;
    types { video/mp4 mp4; audio/mp4 m4a; }
    server { listen 127.0.0.1:$port; root $work/site; limit_rate ${BENCH_RATE:-0}; }
}
CONF
nginx -c "$work/nginx.conf" -p "$work"
base="http://127.0.0.1:$port"
url="$base/media.mp4"
for _ in $(seq 50); do curl -sf -o /dev/null -r 0-0 "$url" && break; done
urls=("${files[@]/#/$base/}")

cat > "$work/extractor" <<EOS
#!/bin/sh
printf '%s\n' ${urls[*]} 'bench_(' '${quality#*:}' 'p)_x.mp4'
EOS
chmod +x "$work/extractor"

# The reference: libcurl as a tuned single-purpose program would use it.
cat > "$work/curlref.c" <<'EOC'
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <fcntl.h>
enum { Block = 4 << 20 };
static char *buffer;
static size_t used;
static int fd;
static void flush_all(void) {
    for (size_t done = 0; done < used;) {
        ssize_t n = write(fd, buffer + done, used - done);
        if (n <= 0) exit(1);
        done += (size_t)n;
    }
    used = 0;
}
static size_t take(char *data, size_t size, size_t count, void *unused) {
    (void)unused;
    size_t length = size * count;
    if (used + length > Block) flush_all();
    memcpy(buffer + used, data, length);
    used += length;
    return length;
}
int main(int argc, char **argv) {
    buffer = malloc(Block);
    for (int i = 2; i < argc; ++i) {
        char name[4096];
        snprintf(name, sizeof name, "%s.%d", argv[1], i);
        fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        CURL *curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_URL, argv[i]);
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, take);
        if (curl_easy_perform(curl) != CURLE_OK) return 1;
        flush_all();
        close(fd);
        curl_easy_cleanup(curl);
    }
    return 0;
}
EOC
cc -O2 -o "$work/curlref" "$work/curlref.c" -lcurl

fetch_each() { # the command once per address: {u} is the address, {i} its number
    local i=0 u c
    for u in "${urls[@]}"; do
        i=$((i + 1)); c=${1//\{u\}/$u}; printf '%s; ' "${c//\{i\}/$i}"
    done
}
declare -A commands=(
    [kavro]="KAVRO_EXTRACTOR=$work/extractor build/release/bin/kavro-cli --quality $quality --output $out 'https://www.youtube.com/watch?v=x' >/dev/null"
    [kavro2]="KAVRO_EXTRACTOR=$work/extractor build/release/bin/kavro-cli --connections 2 --quality $quality --output $out 'https://www.youtube.com/watch?v=x' >/dev/null"
    [kavro1]="KAVRO_EXTRACTOR=$work/extractor build/release/bin/kavro-cli --connections 1 --quality $quality --output $out 'https://www.youtube.com/watch?v=x' >/dev/null"
    [curl]="$(fetch_each "curl -s -o $out/f{i} {u}")"
    [wget]="$(fetch_each "wget -q -O $out/f{i} {u}")"
    [aria2c]="$(fetch_each "aria2c -q --allow-overwrite=true --file-allocation=none -d $out -o f{i} {u}")"
    [yt-dlp]="$(fetch_each "yt-dlp -q --no-config -o $out/f{i} {u}")"
    [curlref]="$work/curlref $out/f ${urls[*]}"
    [dd-copy]="$(for f in "${files[@]}"; do printf 'dd if=%s of=%s bs=1M status=none; ' "$work/site/$f" "$out/$f"; done)"
)
read -r -a order <<< "${BENCH_TOOLS:-kavro curl curlref wget aria2c yt-dlp dd-copy}"

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

declare -A wall cpu mem
for name in "${order[@]}"; do
    : > "$work/$name.times"
    for _ in $(seq "$RUNS"); do
        rm -f "$out/"*
        sync
        /usr/bin/time -f '%e %U %S %M' -a -o "$work/$name.times" bash -c "${commands[$name]}"
    done
    wall[$name]=$(awk '{print $1}' "$work/$name.times" | median)
    cpu[$name]=$(awk '{print $2 + $3}' "$work/$name.times" | median)
    mem[$name]=$(awk '{print $4 / 1024}' "$work/$name.times" | median)
done

du -h "$work/site/"*
printf '\n%s MiB from nginx on 127.0.0.1%s%s, median of %s runs\n' "$SIZE_MIB" \
    "${BENCH_RATE:+, each connection limited to ${BENCH_RATE}B/s}" \
    "${BENCH_MERGE:+, video and audio merged by kavro}" "$RUNS"
printf '%-8s %9s %9s %10s   %s\n' tool 'wall s' 'cpu s' 'peak MiB' 'kavro/tool: wall cpu memory'
for name in "${order[@]}"; do
    printf '%-8s %9.2f %9.2f %10.1f   %.2f %.2f %.2f\n' "$name" "${wall[$name]}" "${cpu[$name]}" \
        "${mem[$name]}" \
        "$(echo "${wall[kavro]} / ${wall[$name]}" | bc -l)" \
        "$(echo "${cpu[kavro]} / (${cpu[$name]} + 0.001)" | bc -l)" \
        "$(echo "${mem[kavro]} / ${mem[$name]}" | bc -l)"
done
