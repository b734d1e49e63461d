#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, as `cmake --install` would for a
# user, and checks the layout and that the launchers run from the path.
#   check-install.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

for file in lib/kavro/kavro lib/kavro/kavro-cli lib/kavro/libKavro.so \
            lib/kavro/language/English.ini lib/kavro/language/georgian.ini \
            share/applications/kavro.desktop share/icons/hicolor/scalable/apps/kavro.svg; do
    [ -f "$prefix/$file" ] || { echo "missing: $file" >&2; exit 1; }
done
[ "$(ls "$prefix/lib/kavro/language" | wc -l)" -eq 27 ] || { echo "not 27 language files" >&2; exit 1; }
[ "$(readlink "$prefix/bin/kavro")" = ../lib/kavro/kavro ] || { echo "no kavro launcher" >&2; exit 1; }
grep -qx 'Exec=kavro' "$prefix/share/applications/kavro.desktop"
grep -qx 'Icon=kavro' "$prefix/share/applications/kavro.desktop"

# Through the launcher on the path, the program finds its language files.
home=$(mktemp -d)
trap 'rm -rf "$prefix" "$home"' EXIT
list=$(env -i PATH="$prefix/bin:/usr/bin:/bin" HOME="$home" LC_ALL=de_AT.UTF-8 kavro-cli --list)
[ "$(printf '%s\n' "$list" | wc -l)" -eq 23 ] || { echo "kavro-cli --list failed" >&2; exit 1; }
printf '%s\n' "$list" | head -1 | grep -q 'Auflösung' || { echo "no German texts: $list" >&2; exit 1; }
echo "install layout complete"
