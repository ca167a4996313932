#!/bin/sh
# Runs the real setup --silent against a local nginx: a fresh install against aria2c -j5 +
# cp -r, a rerun with nothing changed, and an update with 1 % of the files changed against
# rsync -a --delete from a local rsync daemon; then the binary case: real consecutive builds
# of two libraries (../shared/data/binary-pairs, CASTMILL_BINARY_PAIRS) published as two
# releases, the update patched against rsync -z and zstd -d --patch-from alone. Prints
# seconds, bytes fetched, peak memory, the ratios and PASS/FAIL against the targets.
# Usage: [CASTMILL_BENCH_KEEP=1] bench/delta_bench.sh [BUILD_DIR] [FILES] [MEGABYTES]
#        (default build/default, 2000 files, 500 MB; setup and publish built)
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/default}
files=${2:-2000}
megabytes=${3:-500}
work=$(mktemp -d)
nginx_pid=
rsync_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then kill -QUIT "$nginx_pid" 2>/dev/null || true; fi
    if [ -n "$rsync_pid" ]; then kill "$rsync_pid" 2>/dev/null || true; fi
    wait 2>/dev/null || true
    # CASTMILL_BENCH_KEEP=1 keeps the work folder (setup's logs, nginx's access log).
    if [ "${CASTMILL_BENCH_KEEP:-0}" = 1 ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT INT TERM

# The default build pins the test release key: releases are signed with it.
key=$src/tests/keys/release_test.key
for program in publish setup; do
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

"$build/bin/publish" --source "$work/suite" --version 2.0.0 --out "$work/www$release_path" \
    --manifest-url "$base$release_path/manifest.json" --sign "$key" >/dev/null
chmod -R a+rX "$work/www"

cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
pid $work/nginx/nginx.pid;
worker_processes 2;
events { worker_connections 128; }
http {
    include /etc/nginx/mime.types;
    log_format bytes '\$body_bytes_sent \$uri';
    access_log $work/nginx/logs/access.log bytes;
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
fetched() { awk '{s += $1} END {print s + 0}' "$work/nginx/logs/access.log"; }
# Bytes of the release's own description: version answer, manifest and their signatures.
described() {
    awk '$2 ~ /(manifest\.json|mergedKit\/windows)(\.sig)?$/ {s += $1} END {print s + 0}' \
        "$work/nginx/logs/access.log"
}
# Runs setup as the suite starts it; sets secs, bytes (fetched from nginx) and peak (kB).
run_setup() {
    : >"$work/nginx/logs/access.log"
    kill -USR1 "$nginx_pid" 2>/dev/null || true
    sleep 0.2
    : >"$work/nginx/logs/access.log"
    # Every timed step starts with nothing of the bench's own writing left to flush:
    # setup makes its tree durable before the switch, and would pay for it otherwise.
    sync
    begin=$(now)
    HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CONFIG_HOME="$work/home/.config" \
    XDG_CACHE_HOME="$work/home/.cache" XDG_RUNTIME_DIR="$work/run" \
    TMPDIR="$work/tmp" CASTMILL_UPDATE_HOST="$base" CASTMILL_DOWNLOAD_HOST="$base" \
    CASTMILL_LOG_HOST="http://127.0.0.1:1" CASTMILL_WEB_HOST="http://127.0.0.1:1" \
        /usr/bin/time -v -o "$work/time.txt" "$build/bin/setup" --exit-pause-ms=0 \
        "$build/bin/setup;--install_dir=${install:-$work/install};--modules=3;--silent;--no-launch" \
        >"$work/setup-$1.txt" 2>&1 || { echo "setup ($1) failed" >&2; cat "$work/setup-$1.txt" >&2; exit 1; }
    end=$(now)
    secs=$(echo "$end - $begin" | bc -l)
    bytes=$(fetched)
    meta=$(described)
    peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
}
verdict() { if [ "$(echo "$1" | bc -l)" = 1 ]; then echo PASS; else echo FAIL; fi; }
mkdir -p "$work/run"; chmod 700 "$work/run"

# (a) fresh install
run_setup fresh
fresh_s=$secs fresh_b=$bytes fresh_peak=$peak
installed=$(find "$work/install/Castmill" -type f -path '*/d[0-9][0-9]/*' | wc -l)
if [ "$installed" != "$files" ]; then echo "installed $installed of $files files" >&2; exit 1; fi

python3 - "$work/www$release_path/manifest.json" "$base$release_path" "$work/aria.txt" <<'PY'
import json, sys
manifest, base, out = sys.argv[1:]
with open(manifest) as f, open(out, "w") as o:
    for entry in json.load(f)["fileList"]:
        o.write("%s/%s\n  out=%s\n" % (base, entry["filePath"], entry["filePath"]))
PY
: >"$work/nginx/logs/access.log"
sync
begin=$(now)
aria2c -q -j 5 -x 1 --allow-overwrite=true --auto-file-renaming=false -d "$work/aria" \
    -i "$work/aria.txt"
cp -r "$work/aria" "$work/copy"
end=$(now)
aria_s=$(echo "$end - $begin" | bc -l)
aria_b=$(fetched)
rm -rf "$work/aria" "$work/copy"

# (b) rerun, nothing changed
run_setup rerun
rerun_s=$secs rerun_b=$bytes rerun_meta=$meta rerun_peak=$peak
manifest_b=$(stat -c %s "$work/www$release_path/manifest.json")
version_b=$(stat -c %s "$work/www$release_path/version.json")

# (c) 1 % of the files (every 100th) get new content of the same size; version 2.0.1.
cp -a "$work/suite" "$work/old"
changed_b=$(python3 - "$work/suite" <<'PY'
import os, sys
paths = sorted(os.path.join(d, f) for d, _, fs in os.walk(sys.argv[1]) for f in fs if "/d" in d)
total = 0
for p in paths[::100]:
    size = os.path.getsize(p)
    with open(p, "wb") as out:
        out.write(os.urandom(size))
    total += size
print(total)
PY
)
rm -rf "$work/www$release_path"
"$build/bin/publish" --source "$work/suite" --version 2.0.1 --out "$work/www$release_path" \
    --manifest-url "$base$release_path/manifest.json" --sign "$key" >/dev/null
chmod -R a+rX "$work/www"
find "$work/www" -type f -exec cat {} + >/dev/null
manifest_b=$(stat -c %s "$work/www$release_path/manifest.json")
run_setup update
update_s=$secs update_b=$bytes update_peak=$peak

# rsync_pull SOURCE DEST OPTIONS: DEST brought up to SOURCE through an rsync daemon on
# loopback; sets rsync_s (seconds) and rsync_b (bytes received).
rsync_pull() {
    local port
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$work/rsyncd.conf" <<CONF
pid file = $work/rsyncd.pid
use chroot = no
[suite]
    path = $1
    read only = yes
    uid = root
    gid = root
CONF
    rsync --daemon --no-detach --address=127.0.0.1 --port="$port" --config="$work/rsyncd.conf" &
    rsync_pid=$!
    sleep 0.5
    sync
    local begin
    begin=$(now)
    rsync "$3" --delete --stats "rsync://127.0.0.1:$port/suite/" "$2/" >"$work/rsync.txt"
    rsync_s=$(echo "$(now) - $begin" | bc -l)
    # rsync leaves its writes to the page cache; setup's tree is on disk before it is used.
    sync
    rsync_sync_s=$(echo "$(now) - $begin" | bc -l)
    rsync_b=$(sed -n 's/^Total bytes received: \([0-9,]*\).*/\1/p' "$work/rsync.txt" | tr -d ,)
    kill "$rsync_pid" 2>/dev/null || true
    wait "$rsync_pid" 2>/dev/null || true
    rsync_pid=
}

rsync_pull "$work/suite" "$work/old" -a

mb() { echo "scale=2; $1 / 1048576" | bc -l; }
r() { echo "scale=3; $1 / $2" | bc -l; }
echo "release: $files files, $megabytes MB; changed: $((files / 100)) files, $(mb "$changed_b") MB"
printf 'fresh:  setup %.2f s, %s MB fetched, peak %s kB | aria2c+cp %.2f s, %s MB\n' \
    "$fresh_s" "$(mb "$fresh_b")" "$fresh_peak" "$aria_s" "$(mb "$aria_b")"
echo "  time ratio $(r "$fresh_s" "$aria_s") (target <= 1.1): $(verdict "$fresh_s <= 1.1 * $aria_s")"
printf 'rerun:  setup %.2f s, %s bytes fetched (%s of them version, manifest and signatures), peak %s kB\n' \
    "$rerun_s" "$rerun_b" "$rerun_meta" "$rerun_peak"
echo "  file bytes $((rerun_b - rerun_meta)) (target 0): $(verdict "$rerun_b - $rerun_meta == 0")"
echo "  time vs fresh $(r "$rerun_s" "$fresh_s") (target <= 0.30): $(verdict "$rerun_s <= 0.30 * $fresh_s")"
printf 'update: setup %.2f s, %s MB fetched, peak %s kB | rsync %.2f s, %s MB\n' \
    "$update_s" "$(mb "$update_b")" "$update_peak" "$rsync_s" "$(mb "$rsync_b")"
echo "  bytes vs changed+manifest $(r "$update_b" "$((changed_b + manifest_b))") (target <= 1.1): $(verdict "$update_b <= 1.1 * ($changed_b + $manifest_b) + $version_b")"
echo "  time vs rsync $(r "$update_s" "$rsync_s") (target <= 1.5): $(verdict "$update_s <= 1.5 * $rsync_s")"
printf '  rsync and then sync, which makes its tree as durable as setup makes its own: %.2f s, setup %s of it\n' \
    "$rsync_sync_s" "$(r "$update_s" "$rsync_sync_s")"
for p in "$fresh_peak" "$rerun_peak" "$update_peak"; do
    echo "peak memory $p kB (target < 65536): $(verdict "$p < 65536")"
done
# (d) binary pairs: release 1 holds the older builds, release 2 the newer ones (patched
# from release 1) and a library that is new.
pairs=${CASTMILL_BINARY_PAIRS:-$src/../shared/data/binary-pairs}
if [ ! -d "$pairs" ]; then pairs=/work/shared/data/binary-pairs; fi
if [ ! -d "$pairs" ]; then echo "binary case: no $pairs, skipped"; exit 0; fi
mkdir -p "$work/debs"
for deb in "$pairs"/*.deb; do dpkg-deb -x "$deb" "$work/debs/$(basename "$deb" .deb)"; done
lib=usr/lib/x86_64-linux-gnu
place() {  # place SUITE OPENSSL NODE
    mkdir -p "$1/VeloraOBS/bin/64bit" "$1/VeloraBrowser/Browser"
    cp "$work/debs/$2/$lib/libcrypto.so.3" "$work/debs/$2/$lib/libssl.so.3" "$1/VeloraOBS/bin/64bit/"
    cp "$work/debs/$3/$lib/libnode.so.108" "$1/VeloraBrowser/Browser/"
}
place "$work/bin1" "libssl3_3.0.20-1~deb12u2_amd64" "libnode108_18.20.4+dfsg-1~deb12u2_amd64"
place "$work/bin2" "libssl3_3.0.22-1~deb12u2_amd64" "libnode108_18.20.4+dfsg-1~deb12u3_amd64"
cp "$work/debs/libssl3_3.0.22-1~deb12u2_amd64/$lib/ossl-modules/legacy.so" "$work/bin2/VeloraOBS/bin/64bit/"
rm -rf "$work/www$release_path" "$work/release1"
"$build/bin/publish" --source "$work/bin1" --version 3.0.0 --out "$work/release1" \
    --manifest-url "$base$release_path/manifest.json" --sign "$key" >/dev/null
cp -a "$work/release1" "$work/www$release_path"
chmod -R a+rX "$work/www"
install=$work/binstall
run_setup binary-fresh
begin=$(now)
"$build/bin/publish" --source "$work/bin2" --version 3.0.1 --out "$work/release2" \
    --manifest-url "$base$release_path/manifest.json" --sign "$key" --previous "$work/release1" \
    >"$work/publish2.txt"
publish_s=$(echo "$(now) - $begin" | bc -l)
rm -rf "$work/www$release_path"
cp -a "$work/release2" "$work/www$release_path"
chmod -R a+rX "$work/www"
find "$work/www" -type f -exec cat {} + >/dev/null
manifest_b=$(stat -c %s "$work/www$release_path/manifest.json")
run_setup binary
bin_s=$secs bin_b=$bytes bin_meta=$meta bin_peak=$peak
for f in libcrypto.so.3 libssl.so.3 legacy.so; do
    cmp "$work/bin2/VeloraOBS/bin/64bit/$f" "$install/Castmill/VeloraOBS/bin/64bit/$f"
done
cmp "$work/bin2/VeloraBrowser/Browser/libnode.so.108" "$install/Castmill/VeloraBrowser/Browser/libnode.so.108"
patch_b=$(find "$work/www$release_path/patches" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
new_b=$(awk '$2 ~ /legacy\.so/ {s += $1} END {print s + 0}' "$work/nginx/logs/access.log")
new_zstd=$(zstd -19 -c "$work/bin2/VeloraOBS/bin/64bit/legacy.so" | wc -c)

# zstd alone: the patches fetched, then decoded against the old files.
sync
begin=$(now)
mkdir -p "$work/zstd"
for p in "$work/www$release_path"/patches/*.zst; do
    curl -s -o "$work/zstd/$(basename "$p")" "$base$release_path/patches/$(basename "$p")"
done
zstd_peak=0
for f in VeloraOBS/bin/64bit/libcrypto.so.3 VeloraOBS/bin/64bit/libssl.so.3 VeloraBrowser/Browser/libnode.so.108; do
    sha_old=$(sha256sum "$work/bin1/$f" | cut -d' ' -f1)
    patch=$(ls "$work/zstd/$sha_old"-*.zst)
    /usr/bin/time -v -o "$work/ztime.txt" zstd -q -d -f --long=31 --patch-from="$work/bin1/$f" \
        "$patch" -o "$work/zstd/out"
    p=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/ztime.txt")
    [ "$p" -gt "$zstd_peak" ] && zstd_peak=$p
done
zstd_s=$(echo "$(now) - $begin" | bc -l)

cp -a "$work/bin1" "$work/rsync-old"
rsync_pull "$work/bin2" "$work/rsync-old" -az

echo "binary: $(sed -n 's/^patches: //p' "$work/publish2.txt"); published in $(printf %.1f "$publish_s") s"
printf 'binary: setup %.2f s, %s bytes fetched (%s version, manifest and signatures), peak %s kB\n' \
    "$bin_s" "$bin_b" "$bin_meta" "$bin_peak"
printf '        patches %s + new file %s + manifest %s bytes | rsync -z %.2f s, %s bytes | zstd --patch-from with its transfer %.2f s, peak %s kB\n' \
    "$patch_b" "$new_b" "$manifest_b" "$rsync_s" "$rsync_b" "$zstd_s" "$zstd_peak"
echo "  bytes vs patches+new+manifest $(r "$bin_b" "$((patch_b + new_b + manifest_b))") (target <= 1.1): $(verdict "$bin_b - $bin_meta + $manifest_b <= 1.1 * ($patch_b + $new_b + $manifest_b)")"
echo "  patches+manifest vs rsync -z $(r "$((patch_b + manifest_b))" "$rsync_b") (target <= 0.25): $(verdict "$patch_b + $manifest_b <= 0.25 * $rsync_b")"
echo "  new file vs its zstd -19 $(r "$new_b" "$new_zstd") (target <= 1.05): $(verdict "$new_b <= 1.05 * $new_zstd")"
echo "  time vs zstd alone $(r "$bin_s" "$zstd_s") (target <= 1.5): $(verdict "$bin_s <= 1.5 * $zstd_s")"
echo "  peak memory $bin_peak kB (target < 65536): $(verdict "$bin_peak < 65536")"
if [ -n "${KEEP_LOGS:-}" ]; then cp -r "$work/tmp/castmill/log" "$KEEP_LOGS"; fi
