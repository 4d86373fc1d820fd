#!/usr/bin/env bash
# Fails when a program, test, benchmark or fuzz source differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || scripts/install-deps.sh --format
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
