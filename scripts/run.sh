#!/usr/bin/env bash
# Sets up what is missing, builds, and starts Shotlark.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh" "$root/build"

app="$root/build/src/app/shotlark"
server="$root/build/mediaserver/shotlark-server"
if [[ -x "$app" ]]; then
    exec "$app" "$@"
fi

# The tray app is not part of this version yet: run the reference media server it will
# upload to, on loopback, with one user created on first start.
data="${XDG_DATA_HOME:-$HOME/.local/share}/shotlark-server"
port="${SHOTLARK_SERVER_PORT:-8477}"
token_file="$data/local-user-token"
if [[ ! -s "$token_file" ]]; then
    mkdir -p "$data"
    chmod 700 "$data"
    (umask 077 && "$server" --data "$data" --create-user "${USER:-me}" >"$token_file")
fi
cat <<MSG
Shotlark's tray app is not part of this version yet; starting the reference media server.
  dashboard:    http://127.0.0.1:$port/dashboard/
  upload token: $(cat "$token_file")   (sign in with it; also in $token_file)
Stop it with Ctrl+C.
MSG
exec "$server" --data "$data" --listen "127.0.0.1:$port"
