#!/usr/bin/env bash
# Makes OUT/Shotlark-VERSION-linux.zip, the bundle the updater installs: a relocatable
# Shotlark.app/ (bin/, lib/, share/, VERSION) with a MANIFEST of every file's SHA-256 and MANIFEST.sig,
# its Ed25519 signature by KEY (a PEM private key that never lives in the repository).
#   scripts/make-bundle.sh --version V --key KEY.pem --out DIR --build BUILD_DIR [--app PROGRAM]
# PROGRAM defaults to BUILD_DIR/bin/shotlark; the helper tool and the modules are taken
# from BUILD_DIR.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
version="" key="" out="" build="" program=""
while (($#)); do
    case "$1" in
    --version) version="$2" ;;
    --key) key="$2" ;;
    --out) out="$2" ;;
    --build) build="$2" ;;
    --app) program="$2" ;;
    *) echo "make-bundle.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift 2
done
if [[ -z "$version" || -z "$key" || -z "$out" || -z "$build" ]]; then
    echo "usage: make-bundle.sh --version V --key KEY.pem --out DIR --build BUILD_DIR [--app PROGRAM]" >&2
    exit 2
fi
program="${program:-$build/bin/shotlark}"

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
app="$stage/Shotlark.app"
install -D -m 0755 "$program" "$app/bin/shotlark"
install -D -m 0755 "$build/bin/shotlark-screencapture" "$app/bin/shotlark-screencapture"
for module in main recording ocr archive; do
    install -D -m 0644 "$build/lib/shotlark/libshotlark-$module.so" "$app/lib/shotlark/libshotlark-$module.so"
done
install -D -m 0644 "$root/data/shotlark.desktop" "$app/share/applications/shotlark.desktop"
install -D -m 0644 "$root/data/shotlark-mime.xml" "$app/share/mime/packages/shotlark.xml"
install -D -m 0644 "$root/data/shotlark.svg" "$app/share/icons/hicolor/scalable/apps/shotlark.svg"
# The version, as a file of the signed manifest: the updater refuses a bundle whose signed
# version is not newer than the one running, whatever number the server announced.
printf '%s\n' "$version" >"$stage/VERSION"
install -D -m 0644 "$stage/VERSION" "$app/VERSION"
# Debug information stays with the build; users download the code only.
strip --strip-unneeded "$app/bin/shotlark" "$app/bin/shotlark-screencapture" \
    "$app/lib/shotlark/libshotlark-main.so" "$app/lib/shotlark/libshotlark-recording.so" "$app/lib/shotlark/libshotlark-ocr.so" \
    "$app/lib/shotlark/libshotlark-archive.so"

(cd "$app" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | while IFS= read -r file; do
    sha256sum -- "$file"
done) >"$stage/MANIFEST"
mv "$stage/MANIFEST" "$app/MANIFEST"
openssl pkeyutl -sign -inkey "$key" -rawin -in "$app/MANIFEST" | base64 -w0 >"$app/MANIFEST.sig"

mkdir -p "$out"
out="$(cd "$out" && pwd)"
rm -f "$out/Shotlark-$version-linux.zip"
(cd "$stage" && cmake -E tar cf "$out/Shotlark-$version-linux.zip" --format=zip Shotlark.app)
echo "$out/Shotlark-$version-linux.zip"
