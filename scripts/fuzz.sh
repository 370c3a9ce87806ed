#!/usr/bin/env bash
# Builds the fuzz targets (clang's libFuzzer, under AddressSanitizer and UBSan) and runs each for
# a bounded time on its seeds, what earlier runs found, and the regression cases in fuzz/.
#   scripts/fuzz.sh [SECONDS]    seconds for each target (default 10: a smoke run)
# A crash stops the script; its input is left in build-fuzz/crashes/ to become a regression case
# (copy it to fuzz/regressions/TARGET/ once fixed).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-10}"
build="$root/build-fuzz"
targets=(multipart_fuzzer range_fuzzer config_link_fuzzer manifest_fuzzer bundle_fuzzer
    media_input_fuzzer)

cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" >/dev/null

# Seeds: one well-formed input each, made here so that they always match the code.
seeds="$build/seeds"
mkdir -p "$seeds" "$build/crashes"
for target in "${targets[@]}"; do mkdir -p "$seeds/$target" "$build/corpus/$target"; done
printf '\005--B0undary\r\nContent-Disposition: form-data; name="seconds"\r\n\r\n30\r\n--B0undary\r\nContent-Disposition: form-data; name="file"; filename="a.mp4"\r\nContent-Type: video/mp4\r\n\r\nsegment bytes\r\n--B0undary--\r\n' \
    >"$seeds/multipart_fuzzer/replay"
printf '\x00\x10\x00\x00\x00\x00\x00\x00bytes=0-1023' >"$seeds/range_fuzzer/partial"
printf '\x00\x10\x00\x00\x00\x00\x00\x00bytes=-500' >"$seeds/range_fuzzer/suffix"
printf 'shotlark://configure?server=https%%3A%%2F%%2Fmedia.example.org&token=slk_abc' \
    >"$seeds/config_link_fuzzer/link"
printf '%s  VERSION\n%s  bin/shotlark\n' "$(printf '2.0.0\n' | sha256sum | cut -c1-64)" \
    "$(printf 'program' | sha256sum | cut -c1-64)" >"$seeds/manifest_fuzzer/manifest"
(
    stage="$(mktemp -d)"
    trap 'rm -rf "$stage"' EXIT
    mkdir -p "$stage/Shotlark.app/bin"
    printf 'program' >"$stage/Shotlark.app/bin/shotlark"
    cd "$stage" && cmake -E tar cf "$seeds/bundle_fuzzer/bundle.zip" --format=zip Shotlark.app
)
if [[ ! -s "$seeds/media_input_fuzzer/clip.mp4" ]]; then
    ffmpeg -v error -y -f lavfi -i testsrc=size=32x32:rate=10 -t 0.3 -c:v libx264 \
        -pix_fmt yuv420p "$seeds/media_input_fuzzer/clip.mp4"
    ffmpeg -v error -y -f lavfi -i testsrc=size=32x32:rate=10 -t 0.3 -c:v libx264 \
        -pix_fmt yuv420p "$seeds/media_input_fuzzer/clip.mkv"
fi

for target in "${targets[@]}"; do
    inputs=("$build/corpus/$target" "$seeds/$target")
    if [[ -d "$root/fuzz/regressions/$target" ]]; then inputs+=("$root/fuzz/regressions/$target"); fi
    log="$build/$target.log"
    if ! "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/crashes/$target-" "${inputs[@]}" \
        >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz: $target failed; its input is in $build/crashes/" >&2
        exit 1
    fi
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    echo "fuzz: $target ran $runs inputs in ${seconds} s, nothing found"
done
