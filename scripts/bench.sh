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
cmake --build "$build" -j2 --target velmora-bench velmora-host velmora-fileserver velmora_transport_tcp velmora-plain-client logclient velmora_syslog_client >/dev/null
echo "machine: $(uname -srm), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
"$build/bin/bench/velmora-bench" "$@"
if [ -x "$root/scripts/bench-e2e.sh" ]; then "$root/scripts/bench-e2e.sh" "$build" 3; fi
# 5. The plug-in's log lines per second through the syslog client into a
# private rsyslogd (TCP, 100,000 commands of 3 lines), beside the file log's
# figure for the same run; every line must be received or in the file.
if command -v rsyslogd >/dev/null; then
  flood() {
    SYSLOG_FLOOD=100000 SYSLOG_FILE_ONLY=$1 bash "$root/scripts/syslog-e2e.sh" --bin "$build/bin" \
      --fileserver "$build/bin/velmora-fileserver" --work "$build/bench-syslog" flood |
      sed -n 's/^RESULT .*lines-per-second \([0-9]*\).*/\1/p'
  }
  floor=$(flood 1) syslog=$(flood 0)
  printf '| %-44s | %12s | %12s | %-9s | %6s |\n' "5. log lines/s, syslog client into rsyslog" \
    "${syslog:-failed}" "${floor:-failed}" "1/s" \
    "$(awk -v a="${syslog:-0}" -v b="${floor:-0}" 'BEGIN { if (b > 0) printf "%.2f", a / b }')"
fi
