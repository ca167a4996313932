#!/bin/sh
# Times a fresh module update (flags 3) by headless_update from a local nginx against the
# same files fetched by aria2c over five connections followed by a cp -r of the tree, and
# prints the ratio of the two wall times and the driver's peak memory.
# Usage: bench/update_bench.sh [BUILD_DIR] [FILES] [MEGABYTES]
#        (default build/default, 2000 files, 500 MB; publish and headless_update built)
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/default}
files=${2:-2000}
megabytes=${3:-500}
work=$(mktemp -d)
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then kill -QUIT "$nginx_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

for program in publish headless_update; do
    if [ ! -x "$build/bin/$program" ]; then echo "build $program first" >&2; exit 1; fi
done

# nginx runs its workers as nobody when started as root: everything it serves is readable.
chmod 755 "$work"
mkdir -p "$work/suite" "$work/www" "$work/nginx/logs" "$work/home" "$work/tmp"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
release_path=/files/apps/castmill/update
base="http://127.0.0.1:$port"

# The suite: files of random bytes spread over the folders of modules 1 and 2, sizes
# varying around the mean so that the total is the requested size.
python3 - "$work/suite" "$files" "$megabytes" <<'PY'
import os, random, sys
root, count, total = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) << 20
folders = ["VeloraBrowser/Browser", "VeloraBrowser/Browser/locales", "velora_cam", "Update",
           "VeloraOBS/bin/64bit", "VeloraOBS/data/obs-plugins/win-capture", "VeloraOBS/plugins",
           "dist"]
rng = random.Random(1)
weights = [rng.random() + 0.05 for _ in range(count)]
scale = total / sum(weights)
for i, w in enumerate(weights):
    folder = os.path.join(root, folders[i % len(folders)], "d%02d" % (i % 17))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as out:
        out.write(os.urandom(max(1, int(w * scale))))
PY

# Signed with the test key that the default build pins.
"$build/bin/publish" --source "$work/suite" --version 2.0.0 --out "$work/www$release_path" \
    --manifest-url "$base$release_path/manifest.json" --sign "$src/tests/keys/release_test.key" \
    >/dev/null
chmod -R a+rX "$work/www"

cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
pid $work/nginx/nginx.pid;
worker_processes 2;
events { worker_connections 128; }
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
        location = /app/getCastmillUpdate/mergedKit/windows {
            default_type application/json;
            alias $work/www$release_path/version.json;
        }
        location = /app/getCastmillUpdate/mergedKit/windows.sig {
            alias $work/www$release_path/version.json.sig;
        }
    }
}
CONF
nginx -e "$work/nginx/logs/error.log" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
tries=0
until curl -sf -o /dev/null "$base$release_path/manifest.json"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 50 ]; then echo "nginx did not start" >&2; exit 1; fi
    sleep 0.1
done

# Every read of the served files comes from the page cache in both runs.
find "$work/www" -type f -exec cat {} + >/dev/null

now() { date +%s.%N; }

# The installer: version check, manifest, download, install, in isolated home folders.
begin=$(now)
HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CONFIG_HOME="$work/home/.config" \
TMPDIR="$work/tmp" CASTMILL_UPDATE_HOST="$base" CASTMILL_DOWNLOAD_HOST="$base" \
CASTMILL_LOG_HOST="http://127.0.0.1:1" CASTMILL_WEB_HOST="http://127.0.0.1:1" \
    /usr/bin/time -v -o "$work/time.txt" "$build/bin/headless_update" \
    "$work/setup.exe;--install_dir=$work/install;--modules=3" >"$work/headless.txt" 2>&1 ||
    { cat "$work/headless.txt" >&2; exit 1; }
end=$(now)
engine=$(echo "$end - $begin" | bc -l)
installed=$(find "$work/install/Castmill" -type f -path '*/d[0-9][0-9]/*' | wc -l)
if [ "$installed" != "$files" ]; then echo "installed $installed of $files files" >&2; exit 1; fi
# On a fresh machine nearly everything is missing: the engine may take the package zip.
if grep -qs 'down zip file' "$work"/tmp/castmill/log/*.log; then mode="package zip"; else mode="file by file"; fi

# The yardstick: aria2c fetches the same files, five at a time, then the tree is copied.
python3 - "$work/www$release_path/manifest.json" "$base$release_path" "$work/aria.txt" <<'PY'
import json, sys
manifest, base, out = sys.argv[1:]
with open(manifest) as f, open(out, "w") as o:
    for entry in json.load(f)["fileList"]:
        o.write("%s/%s\n  out=%s\n" % (base, entry["filePath"], entry["filePath"]))
PY
begin=$(now)
aria2c -q -j 5 -x 1 --allow-overwrite=true --auto-file-renaming=false -d "$work/aria" \
    -i "$work/aria.txt"
cp -r "$work/aria" "$work/copy"
end=$(now)
yardstick=$(echo "$end - $begin" | bc -l)

peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
echo "release: $files files, $megabytes MB; headless_update downloaded $mode"
printf 'headless_update: %.2f s, peak memory %s kB\n' "$engine" "$peak"
printf 'aria2c -j5 + cp -r: %.2f s\n' "$yardstick"
printf 'ratio headless_update / yardstick: %.2f\n' "$(echo "$engine / $yardstick" | bc -l)"
