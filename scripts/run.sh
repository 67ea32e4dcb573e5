#!/usr/bin/env bash
# Installs what is missing, builds the viewer and starts it on the built-in sample volume.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release voxview
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: running the viewer under Xvfb (nothing will be visible)." >&2
  exec xvfb-run -a -s "-screen 0 1280x1024x24" build/release/bin/voxview "$@"
fi
exec build/release/bin/voxview "$@"
