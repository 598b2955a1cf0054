#!/usr/bin/env bash
# End-to-end time and peak memory of a run that copies one 64 MiB and one 256 MiB archive.
# Usage: scripts/bench-run.sh [BUILD_DIR]   (an optimised build; default build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
grep -q 'CMAKE_BUILD_TYPE:STRING=\(Release\|RelWithDebInfo\)' "$build/CMakeCache.txt" \
  || echo "warning: $build is not an optimised build" >&2
cmake --build "$build" --target bench_run velUPD
"$build/tests/bench/bench_run" 2>/dev/null
