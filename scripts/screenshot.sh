#!/usr/bin/env bash
# Regenerates docs/screenshot.png: the program playing the bundled depth-map sequence under Xvfb.
# Usage: scripts/screenshot.sh [BUILD_DIR] [OUTPUT_PNG] [EXAMPLE]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
out=$(realpath -m "${2:-docs/screenshot.png}")
example=${3:-ripple.dsq}
if [ -z "${INSIDE_XVFB:-}" ]; then
  INSIDE_XVFB=1 exec xvfb-run -a -s '-screen 0 1024x768x24' "$0" "$build" "$out" "$example"
fi
cd "$build/examples/data"
"$build/vexol" "$example" >/dev/null &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
win=""
for _ in $(seq 50); do
  win=$(xdotool search --name '^vexol' 2>/dev/null | head -1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "no vexol window"; exit 1; }
sleep 2   # let the sequence load
case "$example" in *.dsq | *.msq) xdotool mousemove --window "$win" 92 506 click 1; sleep 1 ;; esac  # Play
xwd -silent -id "$win" | convert xwd:- "$out"
echo "wrote $out"
