#!/usr/bin/env bash
# Builds a release in build-release and writes to OUT_DIR (default: dist/):
#   Shotlark-VERSION-linux.zip   the bundle installed copies update themselves to
#   shotlark_VERSION_amd64.deb, shotlark-server_VERSION_amd64.deb
# KEY is the Ed25519 private key (PEM) that matches the public key built into the app
# (packaging/release-key.pub, or -DSHOTLARK_UPDATE_PUBLIC_KEY); it never lives in the repository.
#   scripts/release.sh KEY.pem [OUT_DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if (($# < 1)); then
    echo "usage: scripts/release.sh KEY.pem [OUT_DIR]" >&2
    exit 2
fi
key="$(realpath "$1")"
out="${2:-$root/dist}"
build="$root/build-release"

"$root/scripts/setup.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DSHOTLARK_TESTS=OFF

# A bundle signed with another key would be refused by every installed copy.
trusted="$(cmake -L -N "$build" | sed -n 's/^SHOTLARK_UPDATE_PUBLIC_KEY:FILEPATH=//p')"
if [[ "$(openssl pkey -in "$key" -pubout)" != "$(openssl pkey -pubin -in "$trusted")" ]]; then
    echo "release.sh: $key is not the private half of $trusted" >&2
    exit 1
fi

version="$("$build/bin/shotlark" --version | cut -d' ' -f2)"
mkdir -p "$out"
"$root/scripts/make-bundle.sh" --version "$version" --key "$key" --out "$out" --build "$build"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
mv "$work"/*.deb "$out/"
ls -l "$out"
