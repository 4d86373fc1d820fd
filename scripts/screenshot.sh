#!/usr/bin/env bash
# Regenerates docs/screenshot.png: the program playing the bundled depth-map sequence under Xvfb.
# With the word "loading" after the example it takes the picture while the sequence loads instead
# (docs/loading.png).
# Usage: scripts/screenshot.sh [BUILD_DIR] [OUTPUT_PNG] [EXAMPLE] [loading]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
out=$(realpath -m "${2:-docs/screenshot.png}")
example=${3:-ripple.dsq}
moment=${4:-playing}
if [ -z "${INSIDE_XVFB:-}" ]; then
  INSIDE_XVFB=1 exec xvfb-run -a -s '-screen 0 1024x768x24' "$0" "$build" "$out" "$example" "$moment"
fi
cd "$build/examples/data"
log=$(mktemp)
"$build/vexol" "$example" >"$log" &
pid=$!
trap 'kill $pid 2>/dev/null || true; rm -f "$log"' EXIT
win=""
for _ in $(seq 50); do
  win=$(xdotool search --name '^vexol' 2>/dev/null | head -1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "no vexol window"; exit 1; }
if [ "$moment" = loading ]; then
  # A few frames in, so that the bar has moved.
  for _ in $(seq 500); do
    [ "$(tr -cd '\r' <"$log" | wc -c)" -ge 8 ] && break
    sleep 0.01
  done
  xwd -silent -id "$win" | convert xwd:- "$out"
  echo "wrote $out"
  exit 0
fi
sleep 2   # let the sequence load
case "$example" in *.dsq | *.msq) xdotool mousemove --window "$win" 92 506 click 1; sleep 1 ;; esac  # Play
xwd -silent -id "$win" | convert xwd:- "$out"
echo "wrote $out"
