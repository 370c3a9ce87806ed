#!/usr/bin/env bash
# Sets up what is missing, builds, and starts Shotlark. With no server configured yet, it also
# starts the reference media server on loopback and hands the app its configuration link, so
# that connecting takes one click.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${SHOTLARK_BUILD_DIR:-$root/build}"
started=$SECONDS
"$root/scripts/setup.sh" "$build"
built=$((SECONDS - started))
server_note=""

app="$build/bin/shotlark"
server="$build/bin/shotlark-server"
port="${SHOTLARK_SERVER_PORT:-8477}"
local_url="http://127.0.0.1:$port"
server_data="${XDG_DATA_HOME:-$HOME/.local/share}/shotlark-server"
settings="${XDG_CONFIG_HOME:-$HOME/.config}/Shotlark/settings.json"
token_file="${XDG_DATA_HOME:-$HOME/.local/share}/Shotlark/token"

urlencode() {
    local LC_ALL=C text="$1" out="" c i
    for ((i = 0; i < ${#text}; i++)); do
        c="${text:i:1}"
        case "$c" in
        [A-Za-z0-9._~-]) out+="$c" ;;
        *) printf -v c '%%%02X' "'$c" && out+="$c" ;;
        esac
    done
    printf '%s' "$out"
}

configured_server=""
if [[ -s "$token_file" && -f "$settings" ]]; then
    configured_server="$(sed -n 's/.*"server": *"\([^"]*\)".*/\1/p' "$settings" | head -n 1)"
fi

links=() # handed over on standard input: a token in argv is readable by every local user
if [[ -z "$configured_server" || "$configured_server" == "$local_url" ]]; then
    user_token="$server_data/local-user-token"
    if [[ ! -s "$user_token" ]]; then
        mkdir -p "$server_data"
        chmod 700 "$server_data"
        (umask 077 && "$server" --data "$server_data" --create-user "${USER:-me}" >"$user_token")
    fi
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        "$server" --data "$server_data" --listen "127.0.0.1:$port" >>"$server_data/server.log" 2>&1 &
        server_pid=$!
        trap 'kill "$server_pid" 2>/dev/null || true' EXIT
        for _ in $(seq 50); do
            (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
            sleep 0.1
        done
        echo "Reference media server: $local_url/dashboard/ (data in $server_data)"
        server_note=", the reference server at $local_url (log: $server_data/server.log)"
    fi
    if [[ -z "$configured_server" ]]; then
        links+=("shotlark://configure?server=$(urlencode "$local_url")&token=$(urlencode "$(cat "$user_token")")")
    fi
fi

status=0
if ((${#links[@]})); then
    "$app" --stdin "$@" <<<"${links[*]}" || status=$?
else
    "$app" "$@" || status=$?
fi
ran=$((SECONDS - started - built))
echo "== run.sh: set up and built in ${built} s, Shotlark ran $((ran / 60)) min $((ran % 60)) s" \
    "(exit status $status)${server_note}; the app's messages are above"
exit "$status"
