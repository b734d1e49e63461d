#!/usr/bin/env bash
# Set-up for a fresh Debian 12 machine: installs the Debian packages Kavro needs
# that are missing, builds, then starts Kavro or runs the whole test suite.
#   tools/kavro.sh run               build the release tree and start Kavro's
#                                    window
#   tools/kavro.sh test              format check, full suite under ASan+UBSan,
#                                    UI-free suite under TSan, a bounded run of
#                                    the INI reader's fuzz target
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(cmake ninja-build g++ pkg-config python3 qt6-base-dev qt6-base-dev-tools
          libcurl4-openssl-dev libgtest-dev ffmpeg yt-dlp clang-format clang libclang-rt-14-dev
          libqt6svg6 gpgv gpg gpg-agent openssl)

install_packages() {
    local missing=() package
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

check_format() {
    git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
}

build() {
    cmake --preset "$1" >/dev/null
    shift
    cmake --build "$@"
}

case "${1:-}" in
run)
    shift
    install_packages
    build release build/release
    exec build/release/bin/kavro "$@"
    ;;
test)
    install_packages
    check_format
    build asan build/asan
    ctest --test-dir build/asan --output-on-failure -j2
    # An uninstrumented Qt gives ThreadSanitizer false alarms in widget code, so
    # this leg builds and runs the UI-free tests only.
    cmake --preset tsan >/dev/null
    cmake --build build/tsan --target kavro_core_tests
    ctest --test-dir build/tsan --output-on-failure -j2 -L core
    # Hand-written and damaged settings files: the INI reader and writer under
    # libFuzzer, seeded with the shipped language files.
    cmake --preset fuzz >/dev/null
    cmake --build build/fuzz --target ini_fuzz
    corpus=$(mktemp -d)
    trap 'rm -rf "$corpus"' EXIT
    build/fuzz/bin/ini_fuzz -max_total_time=60 -max_len=65536 -print_final_stats=1 \
        "$corpus" language/
    ;;
*)
    echo "usage: $0 run | test" >&2
    exit 2
    ;;
esac
