#!/bin/sh
# Times the download of a 1 GiB file from a local nginx with FileDownloader over 1, 4 and 8
# connections, and with curl and aria2c, and prints each time (best of two) as a ratio to curl's.
# Usage: bench/download_bench.sh [BUILD_DIR]   (default build/default, with bench_download_bench built)
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/default}
work=$(mktemp -d)
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then kill -QUIT "$nginx_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# nginx runs its workers as nobody when started as root: everything it serves is readable.
chmod 755 "$work"
mkdir -p "$work/www" "$work/nginx/logs" "$work/out"
truncate -s 1G "$work/www/big.bin"
chmod 644 "$work/www/big.bin"

program="$build/bin/bench_download_bench"
if [ ! -x "$program" ]; then echo "build bench_download_bench first" >&2; exit 1; fi

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
pid $work/nginx/nginx.pid;
worker_processes 2;
events { worker_connections 64; }
http {
    include /etc/nginx/mime.types;
    access_log off;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    sendfile on;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
}
CONF
nginx -e "$work/nginx/logs/error.log" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
url="http://127.0.0.1:$port/big.bin"
tries=0
until curl -sf -o /dev/null -I "$url"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 50 ]; then echo "nginx did not start" >&2; exit 1; fi
    sleep 0.1
done

# The first read of the served file fills the page cache; keep that out of every timing.
cat "$work/www/big.bin" >/dev/null

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }

timed() {
    rm -rf "$work/out" && mkdir -p "$work/out"
    sync
    begin=$(now)
    "$@" >/dev/null
    end=$(now)
    size=$(find "$work/out" -maxdepth 1 -name 'big*' -printf '%s\n' | sort -n | tail -1)
    if [ "$size" != 1073741824 ]; then echo "download by $1 has $size bytes" >&2; exit 1; fi
    elapsed "$begin" "$end"
}

# Best of two runs: the machine is shared, so a single run can catch someone else's build.
best() {
    first=$(timed "$@")
    second=$(timed "$@")
    echo "if ($first < $second) $first else $second" | bc -l
}

curl_time=$(best curl -sf -o "$work/out/big.bin" "$url")
aria_time=$(best aria2c -q -x 8 -s 8 -k 1M --file-allocation=none -d "$work/out" -o big.bin "$url")
fd1=$(best "$program" "$url" "$work/out/big.bin" 1)
fd4=$(best "$program" "$url" "$work/out/big.bin" 4)
fd8=$(best "$program" "$url" "$work/out/big.bin" 8)

printf '%-28s %10s %14s\n' "1 GiB from nginx, 127.0.0.1" "seconds" "ratio to curl"
row() { printf '%-28s %10.3f %14.2f\n' "$1" "$2" "$(echo "$2 / $curl_time" | bc -l)"; }
row "curl" "$curl_time"
row "aria2c, 8 connections" "$aria_time"
row "FileDownloader, 1 conn." "$fd1"
row "FileDownloader, 4 conn." "$fd4"
row "FileDownloader, 8 conn." "$fd8"
