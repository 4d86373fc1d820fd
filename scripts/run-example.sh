#!/usr/bin/env bash
# Starts vexol on a bundled example from the directory its frame names are relative to and, once a
# sequence has loaded, presses Play for the user so that the first thing seen is the animation.
# Usage: scripts/run-example.sh BUILD_DIR EXAMPLE
set -euo pipefail
build=$(realpath "$1")
example=$2
cd "$build/examples/data"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$build/vexol" "$example" > >(tee "$log") &
pid=$!
case "$example" in *.dsq | *.msq) sequence=1 ;; *) sequence= ;; esac
if [ -n "$sequence" ] && command -v xdotool >/dev/null; then
  # Loaded when the console has stopped growing; then one playback tick to enable the buttons.
  last=-1
  for _ in $(seq 600); do
    size=$(stat -c %s "$log")
    [ "$size" -gt 0 ] && [ "$size" -eq "$last" ] && break
    last=$size
    sleep 0.3
  done
  sleep 0.3
  win=$(xdotool search --onlyvisible --name '^vexol$' 2>/dev/null | head -1 || true)
  if [ -n "$win" ]; then xdotool mousemove --window "$win" 92 506 click 1 || true; fi
fi
wait $pid
