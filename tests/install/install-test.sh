#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs the installed program on an example mesh.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/vexol share/man/man1/vexol.1 share/applications/vexol.desktop; do
  [ -f "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
[ -x "$prefix/bin/vexol" ] || { echo "bin/vexol is not executable"; exit 1; }
grep -q '^Exec=vexol %f$' "$prefix/share/applications/vexol.desktop"
grep -q 'model/x-ply' "$prefix/share/applications/vexol.desktop"
[ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: run under xvfb-run"; exit 1; }
# The installed program must load the mesh and keep running until stopped.
set +e
out=$(cd "$build/examples/data" && timeout 4 "$prefix/bin/vexol" wave.ply 2>&1)
rc=$?
set -e
[ $rc -eq 124 ] || { echo "installed vexol ended early with status $rc: $out"; exit 1; }
[ "$out" = "finish loading wave.ply" ] || { echo "unexpected console output: $out"; exit 1; }
echo "installed vexol ran on wave.ply"
