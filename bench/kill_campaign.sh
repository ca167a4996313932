#!/usr/bin/env bash
# Kills the real `setup --silent` with SIGKILL at random moments of its install step and
# checks after every kill that a complete installation, old or new, is still there: at the
# install folder's path, and somewhere on disk. Some reruns are killed again. A last run
# must then end with the new release, byte for byte, and leave nothing beside it.
#
#   bench/kill_campaign.sh [KILLS] [SECOND_KILLS]      defaults: 30 and 20
#
# Everything lies under build/kill-campaign; the suite is about 30 MB.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
kills=${1:-30}
second_kills=${2:-20}

export CCACHE_BASEDIR="$root"
cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target setup distserver publish logkey testprog_demo_app >/dev/null

bin="$root/build/default/bin"
work="$root/build/kill-campaign"
rm -rf "$work"
mkdir -p "$work"/{home,data,config,cache,runtime,tmp}
chmod 700 "$work/runtime"
export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
export XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp"

"$bin/logkey" --out "$work/log.key" --plain "$work/credentials.json" \
    --entry 1.0.0 kill-campaign secret --entry 2.0.0 kill-campaign secret >/dev/null

# make_suite DIR VERSION: about 30 MB in 300 files.
make_suite() {
    local dir=$1 version=$2 i
    mkdir -p "$dir"/{VeloraBrowser/Browser/locales,velora_cam,VeloraOBS/bin/64bit,VeloraOBS/log-upload,dist,Update,Connect}
    cp "$root/build/default/testprograms/demo_app" "$dir/VeloraBrowser/Browser/chrome.exe"
    for i in $(seq -w 1 100); do head -c $((4096 + 97 * 10#$i)) /dev/urandom >"$dir/VeloraBrowser/Browser/locales/l$i.pak"; done
    for i in 1 2 3 4; do head -c $((4 * 1048576)) /dev/urandom >"$dir/VeloraBrowser/Browser/chunk$i.bin"; done
    for i in $(seq -w 1 100); do head -c $((8192 + 131 * 10#$i)) /dev/urandom >"$dir/VeloraOBS/bin/64bit/mod$i.dll"; done
    for i in 1 2; do head -c $((4 * 1048576)) /dev/urandom >"$dir/VeloraOBS/bin/64bit/core$i.dll"; done
    for i in $(seq -w 1 50); do head -c $((1024 * 10#$i)) /dev/urandom >"$dir/dist/part$i.js"; done
    head -c 2097152 /dev/urandom >"$dir/Connect/connect.dll"
    cp "$work/log.key" "$dir/VeloraOBS/log-upload/log.key"
    printf '{"gver":"%s"}\n' "$version" >"$dir/Update/config.json"
}

make_suite "$work/suite-2.0.0" 2.0.0
make_suite "$work/pristine/Castmill" 1.0.0
mkdir -p "$work/release"

"$bin/distserver" --release "$work/release" --credentials "$work/credentials.json" \
    --reports "$work/reports.jsonl" >"$work/distserver.out" 2>"$work/distserver.log" &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
port=""
for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/distserver.out")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "distserver did not come up" >&2; exit 1; }
host="http://127.0.0.1:$port"
export CASTMILL_UPDATE_HOST="$host" CASTMILL_DOWNLOAD_HOST="$host"
export CASTMILL_LOG_HOST="$host" CASTMILL_WEB_HOST="$host"
# The default build pins the test release key: the release is signed with it.
"$bin/publish" --source "$work/suite-2.0.0" --version 2.0.0 --out "$work/release" \
    --sign "$root/tests/keys/release_test.key" \
    --manifest-url "$host/files/apps/castmill/update/manifest.json" >/dev/null

parent="$work/install"
install="$parent/Castmill"
command_line="$bin/setup;--install_dir=$parent;--modules=7;--silent;--no-launch"

# Lists "md5  path" of every file below a folder, sorted.
tree_sums() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r md5sum); }
tree_sums "$work/pristine/Castmill" >"$work/old.sums"
tree_sums "$work/suite-2.0.0" >"$work/new.sums"

# Whether the folder holds every file of the sums list with its content.
holds() { [ -d "$1" ] && (cd "$1" && md5sum --quiet -c "$2" >/dev/null 2>&1); }
complete_at() { holds "$1" "$work/old.sums" || holds "$1" "$work/new.sums"; }
complete_somewhere() {
    local dir
    for dir in "$parent"/Castmill*; do
        [ -d "$dir" ] && complete_at "$dir" && return 0
    done
    return 1
}

reset_install() {
    rm -rf "$parent"
    mkdir -p "$parent"
    cp -a "$work/pristine/Castmill" "$install"
}

# Starts setup in the background and sets pid. Its output goes to $work/run.out.
start_setup() {
    (cd "$parent" && exec "$bin/setup" --exit-pause-ms=0 "$command_line") >"$work/run.out" 2>&1 &
    pid=$!
}

# Waits until the run has reached its install step (or ended).
wait_for_install() {
    local pid=$1
    for _ in $(seq 1 3000); do
        grep -q '^installing' "$work/run.out" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.01
    done
    return 1
}

# A first, uninterrupted run fetches the release into the download folder (kept for every
# later run) and measures how long the install step takes.
reset_install
start_setup
wait_for_install "$pid" || { cat "$work/run.out"; exit 1; }
started=$(date +%s.%N)
wait "$pid" || { echo "first run failed"; cat "$work/run.out"; exit 1; }
window=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
holds "$install" "$work/new.sums" || { echo "first run did not install the release"; exit 1; }
echo "install step of an uninterrupted run: ${window}s"

at_path=0
somewhere=0
finals=0
total=0
kill_at_random() {
    local pid=$1
    local delay
    delay=$(awk -v w="$window" -v r="$RANDOM" 'BEGIN { printf "%.3f", w * 1.2 * r / 32768 }')
    if wait_for_install "$pid"; then
        sleep "$delay"
    fi
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    total=$((total + 1))
    complete_at "$install" && at_path=$((at_path + 1))
    complete_somewhere && somewhere=$((somewhere + 1))
}

for i in $(seq 1 "$kills"); do
    reset_install
    start_setup
    kill_at_random "$pid"
    if [ "$i" -le "$second_kills" ]; then
        # The rerun is killed as well, somewhere in its own recovery or install.
        start_setup
        kill_at_random "$pid"
    fi
    # The next run without a kill ends with the new release and nothing beside it.
    (cd "$parent" && "$bin/setup" --exit-pause-ms=0 "$command_line") >"$work/final.out" 2>&1 || {
        echo "run $i: the final run failed"
        cat "$work/final.out"
        continue
    }
    leftovers=$(find "$parent" -maxdepth 1 -mindepth 1 ! -name Castmill | wc -l)
    if holds "$install" "$work/new.sums" && [ "$leftovers" -eq 0 ]; then
        finals=$((finals + 1))
    else
        echo "run $i: final tree incomplete or $leftovers folders left beside it"
        ls -la "$parent"
    fi
done

echo "kills: $total (first kills $kills, second kills $second_kills)"
echo "complete installation at the install path after the kill: $at_path of $total" \
    "($(awk -v a="$at_path" -v t="$total" 'BEGIN { printf "%.1f", 100 * a / t }') %)"
echo "complete installation somewhere on disk after the kill: $somewhere of $total"
echo "final runs with the new release and nothing left beside it: $finals of $kills"
[ "$somewhere" -eq "$total" ] && [ "$finals" -eq "$kills" ]
