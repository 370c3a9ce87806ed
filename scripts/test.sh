#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the whole test suite: once as built for users and
# once under AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/test.sh            both passes, with a short fuzzing run between them
#   scripts/test.sh --quick    the plain pass only (and the fuzzing run)
# Ends with a line that says what ran, how long it took and where the logs are.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"
started=$SECONDS
passed=0
ran=()
logs=()

# Builds into $1 and runs its tests; their closing line is kept in the build's ctest.log.
run_suite() {
    local build="$1" name="$2"
    shift 2
    "$root/scripts/setup.sh" "$build" "$@"
    (cd "$build" && ctest --output-on-failure --no-tests=error -j "$jobs" "${ctest_extra[@]}" |
        tee ctest.log)
    local count
    count="$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$build/ctest.log")"
    passed=$((passed + ${count:-0}))
    ran+=("$name $count/$count")
    logs+=("${build#"$root/"}/ctest.log")
}

ctest_extra=()
echo "== tests"
run_suite "$root/build" "plain"

# A smoke run of the fuzz targets (longer runs by hand: scripts/fuzz.sh SECONDS).
echo "== fuzzing, 6 s a target"
"$root/scripts/fuzz.sh" 6
ran+=("fuzzing 6 targets")
logs+=("build-fuzz/*.log")

if [[ "${1:-}" != "--quick" ]]; then
    echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
    # Leaks are reported for our code only: system libraries (fontconfig, D-Bus) keep caches.
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
    export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    # Mesa's EGL driver, which Qt's Wayland plugin loads at start and unloads at exit, leaks a
    # little where LeakSanitizer can no longer name it. Our windows draw without OpenGL.
    export QT_WAYLAND_CLIENT_BUFFER_INTEGRATION=none
    # The server suite runs once here, on its own folder: its second run, on PostgreSQL and S3,
    # would find nothing the multi-server tests (SharedStoresTest) don't take through the same
    # code under the sanitizers, and would cost half a minute.
    ctest_extra=(-E '^shared\.')
    # Line tables (-g1) are all a sanitizer's report needs, and a quarter of the build time less.
    run_suite "$root/build-sanitize" "sanitizers" -DCMAKE_BUILD_TYPE=Debug -DSHOTLARK_SANITIZE=ON \
        -DCMAKE_CXX_FLAGS_DEBUG=-g1
fi

elapsed=$((SECONDS - started))
what="$(printf '%s, ' "${ran[@]}")"
where="$(printf '%s ' "${logs[@]}")"
echo "== test.sh: ${what%, } in $((elapsed / 60)) min $((elapsed % 60)) s; logs: ${where% }"
echo "tests: $passed passed, 0 failed"
