#!/usr/bin/env bash
# End-to-end figure for scripts/bench.sh: host runner -> plug-in -> TCP
# transport -> file server (echo operation) over loopback, log lines taken by
# the log client, with 1 and 64 commands in flight; beside the plain TPKT
# client sending the same requests to the same server. Medians of REPS runs.
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

for inflight in 1 64; do
  count=$([ "$inflight" = 1 ] && echo 5000 || echo 20000)
  : >"$work/scenario.txt"
  for ((i = 0; i < count; i++)); do echo "1 Operation=6,Path=$filler"; done >"$work/scenario.txt"
  relay=() plain=()
  for ((r = 0; r < reps; r++)); do
    (cd "$work" && ./velmora-host "$work/Velmora.so" --scenario "$work/scenario.txt" --quiet --stats \
      --in-flight "$inflight" --timeout-ms 20000) >"$work/host.out" 2>"$work/host.err"
    relay+=("$(sed -n 's/.*per-second \([0-9.]*\).*/\1/p' "$work/host.out" | head -1)")
    plain+=("$("$bin/bench/velmora-plain-client" "$port" "$count" "$inflight" |
      sed -n 's/.*per-second \([0-9.]*\).*/\1/p')")
    rm -rf "$work/Logs"
  done
  r=$(printf '%s\n' "${relay[@]}" | median)
  p=$(printf '%s\n' "${plain[@]}" | median)
  # Targets: 0.75 of the plain client with one request in flight, 0.85 with 64.
  target=0.75
  [ "$inflight" -gt 1 ] && target=0.85
  awk -v r="${r:-0}" -v p="${p:-0}" -v n="$inflight" -v t="$target" 'BEGIN {
    ratio = p > 0 ? r / p : 0
    printf "| %-44s | %12.1f | %12.1f | %-9s | %6.2f | >= %.2f | %-6s |\n",
      "3. end to end over TCP, " n " in flight", r, p, "1/s", ratio, t, (ratio >= t ? "met" : "MISSED") }'
  [ -n "$r" ] || { echo "bench-e2e: host runner gave no stats:" >&2; head -5 "$work/host.out" "$work/host.err" >&2; }
done
