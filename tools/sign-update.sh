#!/usr/bin/env bash
# Signs an update package for Kavro's updater with the maker's private key.
#   tools/sign-update.sh PRIVATE_KEY.pem INSTALLER OUT
#       writes OUT: the installer followed by its 256-byte RSASSA-PKCS1-v1_5
#       signature with SHA-1 over the installer's bytes
#   tools/sign-update.sh --public-key PRIVATE_KEY.pem
#       prints the public half in the form the program is built with
#       (PKCS#1 "RSA PUBLIC KEY" PEM, for -DKAVRO_UPDATE_PUBLIC_KEY=FILE)
# The key must be a 2048-bit RSA key: the updater takes exactly the last 256
# bytes of a package as its signature.
set -euo pipefail

usage() {
    echo "usage: $0 PRIVATE_KEY.pem INSTALLER OUT" >&2
    echo "       $0 --public-key PRIVATE_KEY.pem" >&2
    exit 2
}

fail() {
    echo "$0: $*" >&2
    exit 1
}

# Refuses anything but a 2048-bit RSA private key.
check_key() {
    local key=$1 text
    [ -f "$key" ] || fail "no key file: $key"
    text=$(openssl rsa -in "$key" -noout -text 2>/dev/null) || fail "not an RSA private key: $key"
    [[ "$(head -n 1 <<<"$text")" == *"(2048 bit"* ]] || fail "not a 2048-bit RSA key: $key"
}

if [ "${1:-}" = "--public-key" ]; then
    [ $# -eq 2 ] || usage
    check_key "$2"
    openssl rsa -in "$2" -RSAPublicKey_out 2>/dev/null
    exit 0
fi

[ $# -eq 3 ] || usage
key=$1 installer=$2 out=$3
check_key "$key"
[ -f "$installer" ] || fail "no installer: $installer"
# An empty installer would leave a package the updater cannot split.
[ -s "$installer" ] || fail "empty installer: $installer"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl dgst -sha1 -sign "$key" -out "$work/signature" "$installer"
size=$(stat -c %s "$work/signature")
[ "$size" -eq 256 ] || fail "the signature has $size bytes, not 256"
cat "$installer" "$work/signature" >"$work/package"
# Moved into place only when complete, so OUT never holds half a package.
mv -f "$work/package" "$out"
