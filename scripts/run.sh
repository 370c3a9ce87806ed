#!/usr/bin/env bash
# Sets up what is missing, builds, and starts Shotlark.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh" "$root/build"

app="$root/build/src/app/shotlark"
if [[ ! -x "$app" ]]; then
    cat >&2 <<'MSG'
Shotlark's tray app is not part of this version yet: so far it has its settings store and
upload history, which the test suite exercises (scripts/test.sh). This command starts the
app as soon as it exists.
MSG
    exit 1
fi
exec "$app" "$@"
