#!/usr/bin/env bash
# Installs the Debian packages that building and testing vexol need; does nothing when all are present.
set -euo pipefail
pkgs=(g++ make cmake libfltk1.3-dev fluid libgl-dev libglu1-mesa-dev libgl1-mesa-dri
      xvfb xauth xdotool xclip x11-apps x11-utils imagemagick libgtest-dev libbenchmark-dev)
if [ "${1:-}" = "--fuzz" ]; then pkgs+=(clang libclang-rt-14-dev); fi
if [ "${1:-}" = "--format" ]; then pkgs+=(clang-format); fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y --no-install-recommends "${missing[@]}" \
  || { $SUDO apt-get update && $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; }
