#!/usr/bin/env bash
# Measures voxview against the reference toolkit's GPU and CPU ray-cast mappers in one
# run, on the built-in 512 x 512 x 463 sample at 512 x 512 and 1024 x 768, and prints the
# table kept in bench/README.md. Runs are interleaved (voxview, reference GPU, reference
# CPU at each size, ROUNDS times) so that a change in the machine's load hits all three.
# The reference draws what voxview draws (camera, orbit, sample distance, window, colours,
# lighting: see reference_vtk.py); each renderer's last frame is saved in PICTURES with a
# side-by-side picture per viewport (voxview, reference GPU, reference CPU, left to right),
# and the table gives each picture's covered-pixel share (pixels not of the black
# background), which shows that all three draw the same volume the same size.
#
#   bash bench/compare.sh            FRAMES=30 ROUNDS=1 PICTURES=bench/out by default
#   FRAMES=60 ROUNDS=3 bash bench/compare.sh
#
# Each cell is the median over the rounds. Needs python3-vtk9 and python3-numpy (installed
# here with apt-get when missing: the toolkit's package does not pull numpy in) and Xvfb;
# builds voxview-bench with the bench preset.
set -euo pipefail
cd "$(dirname "$0")/.."
frames=${FRAMES:-30}
rounds=${ROUNDS:-1}
pictures=${PICTURES:-bench/out}
mkdir -p "$pictures"

bash scripts/setup.sh
if ! /usr/bin/python3 -c 'import vtk, numpy' 2>/dev/null; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  echo "Installing python3-vtk9 and python3-numpy for the reference timings" >&2
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends python3-vtk9 python3-numpy >/dev/null
fi
bash scripts/build.sh bench voxview-bench >&2

bin=build/bench/bin
raw=$bin/Resources/512x512x463-16U.raw
out=$(mktemp -d)

# One X server for every run; the reference renders offscreen through it as well.
export QT_QPA_PLATFORM=xcb
xvfb_pid=""
if [ -z "${DISPLAY:-}" ]; then
  display=":$((200 + RANDOM % 100))"
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=$display
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done 2>/dev/null || sleep 2
fi
trap 'rm -rf "$out"; [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true' EXIT

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
for round in $(seq "$rounds"); do
  for size in "512 512" "1024 768"; do
    tag=${size/ /x}
    echo "round $round, $tag" >&2
    "$bin/voxview-bench" --size $size --frames "$frames" --json "$out/voxview-$tag-$round.json" \
      --png "$pictures/voxview-$tag.png" >/dev/null
    "$bin/voxview-bench" --size $size --frames "$frames" --quality interactive \
      --json "$out/voxview-interactive-$tag-$round.json" >/dev/null
    /usr/bin/python3 bench/reference_vtk.py "$raw" --mapper gpu --size $size --frames "$frames" \
      --json "$out/reference-gpu-$tag-$round.json" --png "$pictures/reference-gpu-$tag.png" >/dev/null
    /usr/bin/python3 bench/reference_vtk.py "$raw" --mapper cpu --size $size --frames "$frames" \
      --json "$out/reference-cpu-$tag-$round.json" --png "$pictures/reference-cpu-$tag.png" >/dev/null
  done
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" >&2

/usr/bin/python3 - "$out" "$pictures" <<'PY'
import glob, json, os, statistics, sys
import numpy
from vtkmodules.util.numpy_support import numpy_to_vtk, vtk_to_numpy
from vtkmodules.vtkCommonDataModel import vtkImageData
from vtkmodules.vtkIOImage import vtkPNGReader, vtkPNGWriter

out, pictures = sys.argv[1:3]
keys = ["median_ms", "p90_ms", "median_cpu_ms", "first_frame_ms", "startup_ms", "peak_rss_mb"]
names = {"voxview": "voxview", "reference-gpu": "reference GPU mapper", "reference-cpu": "reference CPU mapper"}
tags = ["512x512", "1024x768"]

def cells(who, tag, fields):
    runs = [json.load(open(f)) for f in sorted(glob.glob(os.path.join(out, f"{who}-{tag}-*.json")))]
    return {k: statistics.median(r[k] for r in runs) for k in fields}

def size(tag):
    return tag.replace("x", " × ")

def rgb(path):
    reader = vtkPNGReader()
    reader.SetFileName(path)
    reader.Update()
    image = reader.GetOutput()
    width, height, _ = image.GetDimensions()
    pixels = vtk_to_numpy(image.GetPointData().GetScalars())
    return pixels.reshape(height, width, -1)[:, :, :3]

def covered_percent(pixels):
    return 100.0 * numpy.count_nonzero(pixels.any(axis=2)) / (pixels.shape[0] * pixels.shape[1])

def save_side_by_side(panels, path):
    joined = numpy.ascontiguousarray(numpy.concatenate(panels, axis=1))
    image = vtkImageData()
    image.SetDimensions(joined.shape[1], joined.shape[0], 1)
    image.GetPointData().SetScalars(numpy_to_vtk(joined.reshape(-1, 3), deep=True))
    writer = vtkPNGWriter()
    writer.SetFileName(path)
    writer.SetInputData(image)
    writer.Write()

print("Full-quality frames while the camera orbits:")
print()
print("| viewport | renderer | median ms | p90 ms | median CPU ms | first frame ms | start-up ms | peak RSS MB "
      "| covered % |")
print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
for tag in tags:
    c = {who: cells(who, tag, keys) for who in names}
    panels = {who: rgb(os.path.join(pictures, f"{who}-{tag}.png")) for who in names}
    save_side_by_side(list(panels.values()), os.path.join(pictures, f"side-by-side-{tag}.png"))
    for who in names:
        c[who]["covered"] = covered_percent(panels[who])
        print(f"| {size(tag)} | {names[who]} | " + " | ".join(f"{c[who][k]:.0f}" for k in keys) +
              f" | {c[who]['covered']:.1f} |")
    for ref in ["reference-gpu", "reference-cpu"]:
        ratio = {k: c["voxview"][k] / c[ref][k] for k in keys + ["covered"]}
        print(f"| {size(tag)} | voxview ÷ {names[ref]} | " + " | ".join(f"{ratio[k]:.2f}" for k in keys) +
              f" | {ratio['covered']:.2f} |")
print()
print("voxview while the user drags (reduced frames), after the camera stops, and when nothing changes:")
print()
print("| viewport | median ms while dragging | p90 ms | frames per second | full quality after ms | unchanged frame ms |")
print("|---|---:|---:|---:|---:|---:|")
for tag in tags:
    d = cells("voxview-interactive", tag, ["median_ms", "p90_ms", "full_quality_after_ms", "still_frame_ms"])
    print(f"| {size(tag)} | {d['median_ms']:.0f} | {d['p90_ms']:.0f} | {1000.0 / d['median_ms']:.0f} | "
          f"{d['full_quality_after_ms']:.0f} | {d['still_frame_ms']:.1f} |")
PY
