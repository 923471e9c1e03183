#!/usr/bin/env bash
# Runs the demo host against the simulated controller. With a display it opens the
# window; without one it runs the scripted tour offscreen and says where the
# pictures are.
set -euo pipefail
build=${1:-build}
demo="$build/apps/brivel-demo"
if [ ! -x "$demo" ]; then
  echo "demo: $demo is not built" >&2
  exit 1
fi
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$demo" --simulate
fi
out="$(pwd)/tour"
mkdir -p "$out"
QT_QPA_PLATFORM=offscreen "$demo" --simulate --tour "$out"
echo "demo: no display here; the tour's pictures are in $out"
ls "$out"
