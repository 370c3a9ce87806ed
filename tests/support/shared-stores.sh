#!/usr/bin/env bash
# The stores several servers share, started for the tests and stopped after them:
# PostgreSQL 15 in a private folder on a Unix socket (no TCP), and an S3-compatible server
# (s3rver, from the npm registry) on loopback with one bucket.
#   shared-stores.sh start DIR    writes DIR/env with what the tests need to reach them
#   shared-stores.sh stop DIR
set -euo pipefail
action="$1"
dir="$2"
pgbin=/usr/lib/postgresql/15/bin
cache="${XDG_CACHE_HOME:-$HOME/.cache}/shotlark-tests"
s3rver_version=3.7.1

stop() {
    if [[ -f "$dir/pg/postmaster.pid" ]]; then
        as_owner "$pgbin/pg_ctl" -D "$dir/pg" -m immediate stop >/dev/null 2>&1 || true
    fi
    if [[ -f "$dir/s3rver.pid" ]]; then
        kill "$(cat "$dir/s3rver.pid")" 2>/dev/null || true
    fi
    if [[ -f "$dir/run" ]]; then rm -rf "$(cat "$dir/run")"; fi
    rm -rf "$dir"
}

# PostgreSQL refuses to run as root: as root, its folder and processes are postgres's.
as_owner() {
    if ((EUID == 0)); then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

case "$action" in
stop)
    stop
    exit 0
    ;;
start) ;;
*)
    echo "usage: shared-stores.sh start|stop DIR" >&2
    exit 2
    ;;
esac

stop
# A short path: a Unix socket's path has room for about 100 characters.
mkdir -p "$dir"
run="$(mktemp -d /tmp/shotlark-pg.XXXXXX)"
echo "$run" >"$dir/run"
chmod 755 "$run"
if ((EUID == 0)); then chown postgres: "$run"; fi
as_owner "$pgbin/initdb" -D "$run/pg" -U shotlark --auth=trust -E UTF8 --no-sync \
    >"$dir/initdb.log" 2>&1
ln -s "$run/pg" "$dir/pg"
# Durability is not what is tested; max_connections: two servers' pools and the tests.
as_owner "$pgbin/pg_ctl" -D "$run/pg" -w -t 60 -l "$run/pg.log" \
    -o "-c listen_addresses='' -c unix_socket_directories='$run' -c fsync=off \
        -c synchronous_commit=off -c full_page_writes=off -c max_connections=300" \
    start >/dev/null

if [[ ! -x "$cache/node_modules/.bin/s3rver" ]]; then
    mkdir -p "$cache"
    # The registry is across the network: a dropped connection is tried again.
    for attempt in 1 2 3; do
        npm install --prefix "$cache" --no-audit --no-fund --loglevel=error \
            "s3rver@$s3rver_version" >"$dir/npm.log" 2>&1 && break
        if ((attempt == 3)); then
            cat "$dir/npm.log" >&2
            exit 1
        fi
        sleep 5
    done
fi
mkdir -p "$dir/s3"
# Its continuation tokens (a listing in pages) are DES, which Node's OpenSSL 3 keeps apart.
NODE_OPTIONS=--openssl-legacy-provider "$cache/node_modules/.bin/s3rver" -d "$dir/s3" \
    -a 127.0.0.1 -p 0 \
    --configure-bucket shotlark >"$dir/s3rver.log" 2>&1 &
echo $! >"$dir/s3rver.pid"
for _ in $(seq 100); do
    port="$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$dir/s3rver.log")"
    [[ -n "$port" ]] && break
    sleep 0.1
done
if [[ -z "${port:-}" ]]; then
    cat "$dir/s3rver.log" >&2
    exit 1
fi

cat >"$dir/env" <<END
SHOTLARK_TEST_PG_SOCKET=$run
SHOTLARK_TEST_S3_ENDPOINT=http://127.0.0.1:$port
SHOTLARK_TEST_S3_DIR=$dir/s3/shotlark
AWS_ACCESS_KEY_ID=S3RVER
AWS_SECRET_ACCESS_KEY=S3RVER
END
echo "shared stores: PostgreSQL on $run, s3rver on port $port"
