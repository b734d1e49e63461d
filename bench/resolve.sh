#!/usr/bin/env bash
# Builds the release tree's engine library and runs bench/resolve.py on it.
#   bench/resolve.sh [runs, default 7]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build build/release --target Kavro >/dev/null
# The extractor's warnings (standard error) are not part of the measurement.
exec /usr/bin/python3 bench/resolve.py build/release/bin/libKavro.so resources/MemDll2 "${1:-7}" 2>/dev/null
