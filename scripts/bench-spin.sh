#!/usr/bin/env bash
# The adaptive spin's trade-off curve: one Release build per spin limit
# (build/bench-spin<N>, every spin's limit N µs, 0 = no spin), measured in
# ROUNDS rounds that take each build in turn, so that a change of the
# machine's load falls on every limit alike. Per limit: 2a's ratio and CPU
# per round trip, the end-to-end ratios and CPU at 1 and 64 in flight, and
# the CPU time over IDLE seconds idle. Figures are only worth comparing
# from a quiet machine: the load is printed with each round.
#   scripts/bench-spin.sh [ROUNDS] [LIMITS] [IDLE]     e.g. 3 "0 15 30 60 120" 20
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-3}
limits=${2:-0 15 30 60 120}
idle=${3:-20}
out=$root/build/bench-spin-results
mkdir -p "$out"
for n in $limits; do
  build=$root/build/bench-spin$n
  cmake --preset native-release -B "$build" -S "$root" -DVELMORA_SPIN_US="$n" >/dev/null
  cmake --build "$build" -j2 --target velmora-bench velmora-host velmora-fileserver velmora_transport_tcp \
    velmora-plain-client logclient >/dev/null
  : >"$out/$n.txt"
done
# One line per figure and round: "<limit> <figure> <ratio> <cpu>".
for ((round = 1; round <= rounds; round++)); do
  echo "round $round: $(uptime | sed 's/.*load/load/')" >&2
  for n in $limits; do
    build=$root/build/bench-spin$n
    "$build/bin/bench/velmora-bench" --only 2a --reps 3 |
      awk -F'|' -v n="$n" '/^\| 2a\. round/ { gsub(/ /, ""); print n, "2a", $6, $9 }' >>"$out/$n.txt"
    "$root/scripts/bench-e2e.sh" "$build" 3 |
      awk -F'|' -v n="$n" '/in flight/ { f = ($2 ~ / 1 in flight/) ? "e2e1" : "e2e64"; gsub(/ /, "");
        print n, f, $6, $9 }' >>"$out/$n.txt"
    if [ "$idle" -gt 0 ]; then
      "$build/bin/bench/velmora-bench" --only 6 --idle-seconds "$idle" |
        awk -F'|' -v n="$n" '/^\| 6\./ { gsub(/ /, ""); print n, "idle", $3, $4 }' >>"$out/$n.txt"
    fi
  done
done
# The curve: each figure's ratios over the rounds (min-max, median) and the
# median CPU per round trip; idle: the CPU µs over the idle time, with the
# plug-in and without.
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
span() { sort -g | awk 'NR==1{lo=$1} {hi=$1} END {printf "%.2f-%.2f", lo, hi}'; }
printf '| %-8s | %-22s | %-22s | %-22s | %-16s |\n' "spin us" "2a ratio (CPU µs/rt)" \
  "e2e 1 in flight" "e2e 64 in flight" "idle CPU us"
printf '|----------|------------------------|------------------------|------------------------|------------------|\n'
for n in $limits; do
  cell() {
    local r c
    r=$(awk -v f="$1" '$2 == f { print $3 }' "$out/$n.txt")
    c=$(awk -v f="$1" '$2 == f { print $4 }' "$out/$n.txt" | median)
    [ -n "$r" ] || { echo "-"; return; }
    echo "$(echo "$r" | median) [$(echo "$r" | span)] ($c)"
  }
  idle_cell=$(awk '$2 == "idle" { print $3 "/" $4 }' "$out/$n.txt" | paste -sd' ')
  printf '| %-8s | %-22s | %-22s | %-22s | %-16s |\n' "$n" "$(cell 2a)" "$(cell e2e1)" "$(cell e2e64)" \
    "${idle_cell:--}"
done
