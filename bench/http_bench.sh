#!/usr/bin/env bash
# Opens an OME-Zarr store served by nginx on loopback with voxview-bench, three times: from
# its folder on disk, over HTTP with an empty chunk cache (cold), and over HTTP again with the
# cache the cold run filled (warm: every value revalidated, a 304 each). Prints the time to
# the first picture and to the full-resolution one, with the requests and body bytes nginx
# answered, as one JSON line per run; first the built-in sample's run for comparison.
#   bench/http_bench.sh [BUILD_DIR] [STORE]   (default build/dev; voxview-bench must be built)
# STORE: a store's folder to serve instead of the small one written here (linked, not copied);
# BENCH_OPTIONS: more options for every voxview-bench run (--gpu-budget 1024 ...).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/dev}/bin
work=$(mktemp -d)
nginx_pid=""
xvfb_pid=""
trap '[ -n "$nginx_pid" ] && kill "$nginx_pid"; [ -n "$xvfb_pid" ] && kill "$xvfb_pid"; rm -rf "$work"' EXIT

# 256 x 256 x 192 signed samples in 64^3 chunks, sharded 128^3 with the index at the end, as
# a web store of a CT volume is laid out; two levels.
mkdir -p "$work/www" "$work/temp"
if [ -n "${2:-}" ]; then
  ln -s "$(realpath "$2")" "$work/www/ct.zarr"
else
  /usr/bin/python3 tests/support/write_zarr_store.py "$work/www/ct.zarr" \
    '{"format":3,"ome":true,"unit":"millimeter","scale":[1,1,1],"window":[-400,400],"codec":"zstd",
      "sep":"/","dtype":"<i2","mod":3000,"low":-1500,"fill":0,"shape":[192,256,256],
      "chunks":[64,64,64],"shard":{"shape":[128,128,128],"index":"end"}}'
fi

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -e "s|@USER@|$(id -un)|" -e "s|@DIR@|$work|g" -e "s|@PORT@|$port|" tests/support/nginx.conf.in > "$work/nginx.conf"
/usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!

export QT_QPA_PLATFORM=xcb
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY=":$((200 + RANDOM % 100))"
  Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
fi
for _ in $(seq 50); do /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $port))" 2>/dev/null && break; sleep 0.1; done

# One run: voxview-bench's picture times, then what nginx answered during it.
run() {
  local name=$1
  shift
  : > "$work/access.log"
  # shellcheck disable=SC2086 # BENCH_OPTIONS is a list of options
  XDG_CACHE_HOME="$work/cache" "$bin/voxview-bench" "$@" --frames 5 ${BENCH_OPTIONS:-} --json "$work/$name.json" >/dev/null
  /usr/bin/python3 - "$name" "$work/$name.json" "$work/access.log" <<'PY'
import collections, json, sys
name, bench, log = sys.argv[1:]
b = json.load(open(bench))
statuses, sent = collections.Counter(), 0
for line in open(log):
    status, _, size = line.split()
    statuses[status] += 1
    sent += int(size)
print(json.dumps({"run": name, "first_picture_ms": b["first_picture_ms"],
                  "full_resolution_ms": b["full_resolution_ms"], "level": b["full_resolution_level"],
                  "requests": dict(statuses), "body_bytes": sent,
                  "body_bytes_first_picture": b["web_bytes_first_picture"]}))
PY
}
run sample
run disk --volume "$work/www/ct.zarr"
run http-cold --volume "http://127.0.0.1:$port/ct.zarr"
run http-warm --volume "http://127.0.0.1:$port/ct.zarr"
