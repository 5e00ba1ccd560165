#!/usr/bin/env bash
# End-to-end figure for scripts/bench.sh: host runner -> plug-in -> TCP
# transport -> file server (echo operation) over loopback, log lines taken by
# the log client, with 1 and 64 commands in flight; beside the plain TPKT
# client sending the same requests to the same server. Medians of REPS runs;
# the ratio is the median of each run's ratio to the plain client run right
# after it; the last column the host process's CPU time per round trip.
# E2E_EACH=1 prints every run on stderr.
#   bench-e2e.sh BUILD [REPS]
set -uo pipefail
build=$1
reps=${2:-3}
bin=$build/bin
work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-e2e.XXXXXX")
server_pid=
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

cp "$bin/velmora-host" "$bin/Velmora.so" "$bin/tcp/cl_vexo_transport.so" "$bin/logclient/LogClient.so" "$work/"
mkdir -p "$work/root"
: >"$work/server.log"  # there before the loop below reads it
"$bin/velmora-fileserver" --listen 127.0.0.1:0 --root "$work/root" >"$work/server.log" 2>&1 &
server_pid=$!
port=
for ((i = 0; i < 500; i++)); do
  port=$(sed -n 's/^listening .*:\([0-9]*\)$/\1/p' "$work/server.log" | head -1)
  [ -n "$port" ] && break
  sleep 0.01
done
[ -n "$port" ] || { echo "bench-e2e: the file server did not start" >&2; exit 1; }
printf '[Server]\r\nFSServerAddr=127.0.0.1\r\nFSServerPort=%s\r\n' "$port" >"$work/Velmora.ini"
printf '[Debug]\r\nVelmora.so=take\r\n' >"$work/velmora-host.ini"

filler=$(printf 'x%.0s' $(seq 110))
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# Runs of about half a second or more: a run of a tenth of a second (as 20,000
# at 64 in flight is on a fast machine) swings with every scheduling hiccup.
for inflight in 1 64; do
  count=$([ "$inflight" = 1 ] && echo "${E2E_COUNT_1:-20000}" || echo "${E2E_COUNT_64:-100000}")
  yes "1 Operation=6,Path=$filler" | head -n "$count" >"$work/scenario.txt"
  ratio=() rates=() plains=() cpu=()
  for ((r = 0; r < reps; r++)); do
    (cd "$work" && ./velmora-host "$work/Velmora.so" --scenario "$work/scenario.txt" --quiet --stats \
      --in-flight "$inflight" --timeout-ms 20000) >"$work/host.out" 2>"$work/host.err"
    rate=$(sed -n 's/.*per-second \([0-9.]*\).*/\1/p' "$work/host.out" | head -1)
    c=$(sed -n 's/.*cpu-us-per-round-trip \([0-9.]*\).*/\1/p' "$work/host.out" | head -1)
    p=$("$bin/bench/velmora-plain-client" "$port" "$count" "$inflight" |
      sed -n 's/.*per-second \([0-9.]*\).*/\1/p')
    rm -rf "$work/Logs"
    [ -n "$rate" ] || { echo "bench-e2e: host runner gave no stats:" >&2; head -5 "$work/host.out" "$work/host.err" >&2; continue; }
    rates+=("$rate") plains+=("${p:-0}") cpu+=("${c:-0}")
    # Each run and its plain client back to back: their ratio drifts less
    # with the machine's load than the ratio of the two medians.
    ratio+=("$(awk -v a="$rate" -v b="${p:-0}" 'BEGIN { printf "%.4f", (b > 0 ? a / b : 0) }')")
    [ -n "${E2E_EACH:-}" ] && echo "run $r: $inflight in flight: ratio ${ratio[-1]} relay $rate/s plain ${p:-0}/s cpu ${c:-0} us/rt" >&2
  done
  [ ${#ratio[@]} -gt 0 ] || continue
  m=$(printf '%s\n' "${ratio[@]}" | median)
  r=$(printf '%s\n' "${rates[@]}" | median)
  p=$(printf '%s\n' "${plains[@]}" | median)
  c=$(printf '%s\n' "${cpu[@]}" | median)
  # Targets: 0.75 of the plain client with one request in flight, 0.85 with 64.
  target=0.75
  [ "$inflight" -gt 1 ] && target=0.85
  awk -v r="$r" -v p="$p" -v m="$m" -v c="$c" -v n="$inflight" -v t="$target" 'BEGIN {
    printf "| %-44s | %12.1f | %12.1f | %-9s | %6.2f | >= %.2f | %-6s | %9.2f |\n",
      "3. end to end over TCP, " n " in flight", r, p, "1/s", m, t, (m >= t ? "met" : "MISSED"), c }'
done
