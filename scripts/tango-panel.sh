#!/usr/bin/env bash
# Takes the picture of a Taurus form of the Tango device for docs/tango.md: starts the
# simulated controller, brivel-tango with a file database on 127.0.0.1 and a Taurus
# form under Xvfb, saves the form to docs/images/tango-taurus-form.png and stops them all.
#   scripts/tango-panel.sh [BUILD_DIR] [OUTPUT.png]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
out="${2:-$root/docs/images/tango-taurus-form.png}"
work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/brivel-sim" --link "$work/mono" > "$work/sim.out" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/tango.db" <<DB
brivel-tango/panel/DEVICE/BrivelMonochromator: "lab/mono/1"
lab/mono/1->Port: "$work/mono"
DB
"$build/apps/brivel-tango/brivel-tango" panel -file="$work/tango.db" -ORBendPoint "giop:tcp:127.0.0.1:$port" \
  > "$work/server.out" 2>&1 &
pids+=($!)
for _ in $(seq 300); do grep -q "Ready to accept request" "$work/server.out" && break; sleep 0.1; done

xvfb-run -a -s "-screen 0 1280x1024x24" /usr/bin/python3 "$root/scripts/tango_panel.py" \
  "tango://127.0.0.1:$port/lab/mono/1#dbase=no" "$out"
echo "tango-panel: $out"
