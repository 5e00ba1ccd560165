#!/usr/bin/env bash
# Builds the Release benchmarks (preset native-release) and runs them; prints
# one table: each figure is the median of several repetitions, beside the
# floor measured in the same run, with the ratio and the target.
#   scripts/bench.sh [build folder] [velmora-bench options, e.g. --reps 7]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/native-release
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then build=$1; shift; fi
cmake --preset native-release -B "$build" -S "$root" >/dev/null
cmake --build "$build" -j2 --target velmora-bench velmora-host velmora-fileserver velmora_transport_tcp velmora-plain-client logclient >/dev/null
echo "machine: $(uname -srm), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
"$build/bin/bench/velmora-bench" "$@"
if [ -x "$root/scripts/bench-e2e.sh" ]; then "$root/scripts/bench-e2e.sh" "$build" 3; fi
