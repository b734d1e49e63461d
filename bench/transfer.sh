#!/usr/bin/env bash
# Transfer benchmark: serves a file on 127.0.0.1 with nginx and downloads it,
# several times each in the same run, with kavro-cli (through a stand-in
# extractor that prints the file's address), curl, wget, aria2c, yt-dlp and a
# plain dd copy. Prints the median wall time, CPU time and peak memory of each,
# and Kavro's ratio against each peer (below 1.00 means Kavro needs less).
#   bench/transfer.sh [size in MiB, default 1024] [runs, default 5]
# BENCH_TOOLS picks tools (default: all); BENCH_OUT names the folder written to
# (default: a temporary folder on disk; a tmpfs such as /dev/shm takes the
# disk's write-back out of the measurement).
set -euo pipefail
cd "$(dirname "$0")/.."
SIZE_MIB=${1:-1024}
RUNS=${2:-5}

need=(nginx-light curl wget aria2 yt-dlp time bc)
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
fallocate -l "${SIZE_MIB}M" "$work/site/media.mp4" 2>/dev/null ||
    dd if=/dev/zero of="$work/site/media.mp4" bs=1M count="$SIZE_MIB" status=none
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
    types { video/mp4 mp4; }
    server { listen 127.0.0.1:$port; root $work/site; }
}
CONF
nginx -c "$work/nginx.conf" -p "$work"
url="http://127.0.0.1:$port/media.mp4"
for _ in $(seq 50); do curl -sf -o /dev/null -r 0-0 "$url" && break; done

cat > "$work/extractor" <<EOS
#!/bin/sh
printf '%s\n' '$url' 'bench_(' '720' 'p)_x.mp4'
EOS
chmod +x "$work/extractor"

declare -A commands=(
    [kavro]="KAVRO_EXTRACTOR=$work/extractor build/release/bin/kavro-cli --quality mp4:720 --output $out 'https://www.youtube.com/watch?v=x' >/dev/null"
    [curl]="curl -s -o $out/f $url"
    [wget]="wget -q -O $out/f $url"
    [aria2c]="aria2c -q --allow-overwrite=true --file-allocation=none -d $out -o f $url"
    [yt-dlp]="yt-dlp -q --no-config -o $out/f $url"
    [dd-copy]="dd if=$work/site/media.mp4 of=$out/f bs=1M status=none"
)
read -r -a order <<< "${BENCH_TOOLS:-kavro curl wget aria2c yt-dlp dd-copy}"

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

printf '\n%s MiB from nginx on 127.0.0.1, median of %s runs\n' "$SIZE_MIB" "$RUNS"
printf '%-8s %9s %9s %10s   %s\n' tool 'wall s' 'cpu s' 'peak MiB' 'kavro/tool: wall cpu memory'
for name in "${order[@]}"; do
    printf '%-8s %9.2f %9.2f %10.1f   %.2f %.2f %.2f\n' "$name" "${wall[$name]}" "${cpu[$name]}" \
        "${mem[$name]}" \
        "$(echo "${wall[kavro]} / ${wall[$name]}" | bc -l)" \
        "$(echo "${cpu[kavro]} / (${cpu[$name]} + 0.001)" | bc -l)" \
        "$(echo "${mem[kavro]} / ${mem[$name]}" | bc -l)"
done
