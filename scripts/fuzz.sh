#!/usr/bin/env bash
# Builds the libFuzzer harnesses and runs each for SECONDS on its corpus; any crash, leak,
# timeout (1 s per input) or RSS above 512 MB ends with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
BUILD=${FUZZ_BUILD:-build-fuzz}
scripts/install-deps.sh --fuzz
cmake -S . -B "$BUILD" -DVEXOL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build "$BUILD" -j2
# A smaller quarantine of freed memory than the sanitizer's default, so that the RSS limit measures
# what the readers allocate rather than what the sanitizer holds back.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64}
status=0
run() {  # harness, seed corpus dir, extra libFuzzer flags...
  local h=$1 seeds=$2; shift 2
  local work="fuzz/out/$h"
  mkdir -p "$work"
  echo "fuzzing $h for ${SECONDS_EACH}s"
  if ! "$BUILD/fuzz/$h" -max_total_time="$SECONDS_EACH" -rss_limit_mb=512 -malloc_limit_mb=512 -timeout=1 \
       -print_final_stats=1 -artifact_prefix="$work/" "$@" "$work" "$seeds" >"$work.log" 2>&1; then
    echo "FAILED: $h (see $work.log)"; tail -40 "$work.log"; status=1
  else
    grep -E '^stat::number_of_executed_units|cov:' "$work.log" | tail -2
  fi
}
# Long header lines and headers of many elements need inputs far beyond the 4 KB default.
run FuzzReadPly fuzz/corpus/ply -max_len=4194304 -dict=fuzz/ply.dict
run FuzzDepthMap fuzz/corpus/dpt
run FuzzSequenceDesc fuzz/corpus/desc
exit $status
