#!/usr/bin/env bash
# Reliability mode "churn": the host runner against a server that cannot be
# relied on (lib/churn-server.py: it accepts and closes at once, resets,
# stalls, or serves a few requests, answering most, and closes, now and then
# in the middle of an answer), --rounds host runs of --cycles load-to-unload
# cycles each (2 threads x 3 commands a cycle, 300 ms for the answers). A
# watchdog looks for a stall: when neither the plug-in's log nor the
# runner's output has grown for STALL_SECONDS (60), it writes every thread's
# stack (gdb; under Wine the log's tail only) to stall-N.txt, kills the host
# and goes on with the next round. Every command must end answered or as one
# dropped line (answers + dropped lines = sent, over all rounds); no stall,
# no crash, no sanitizer report. CHURN_ONLY=close (or reset, late, stall,
# serve) gives every connection that one behaviour.
#   churn.sh --bin DIR --fileserver FILE --work DIR [--wine] [--rounds N] [--cycles N]
# (--fileserver is taken for the common command line and not used.)
. "$(dirname "$0")/../lib/reliability-run.sh"

stall_seconds=${STALL_SECONDS:-60}
"${PYTHON:-python3}" "$here/lib/churn-server.py" ${CHURN_ONLY:+--only "$CHURN_ONLY"} \
  >"$work/server.log" 2>&1 &
server_pid=$!
for ((i = 0; i < 500; i++)); do
  grep -q '^listening ' "$work/server.log" 2>/dev/null && break
  kill -0 $server_pid 2>/dev/null || break
  sleep 0.01
done
port=$(sed -n 's/^listening .*:\([0-9]*\)$/\1/p' "$work/server.log" | head -1)
[ -n "$port" ] || { cat "$work/server.log" >&2; echo "churn: the churn server did not start" >&2; exit 1; }
write_settings "$port"

# progress: bytes written so far by the plug-in's log and the runner.
progress() {
  { find "$work/Logs" -name "*_$plugin_file.log" -printf '%s\n' 2>/dev/null
    stat -c %s "$work/host.out" 2>/dev/null; } | awk '{ s += $1 } END { print s + 0 }'
}

total_sent=0 total_answered=0 stalls=0 bad_exits=0 rounds_run=0 exits=
: >"$work/host-errors.txt"
for ((round = 1; round <= rounds; round++)); do
  run_host --scenario "$work/scenario.txt" --threads 2 --repeat 3 --cycles "$cycles" \
    --timeout-ms 300 --quiet &
  host_pid=$!
  last=-1 quiet_since=$(date +%s)
  while kill -0 $host_pid 2>/dev/null; do
    now_progress=$(progress)
    if [ "$now_progress" != "$last" ]; then
      last=$now_progress quiet_since=$(date +%s)
    elif [ $(($(date +%s) - quiet_since)) -ge "$stall_seconds" ]; then
      stalls=$((stalls + 1))
      pid=$(find_host_pid)
      {
        echo "stall in round $round: no progress for $stall_seconds s (host pid ${pid:-?})"
        echo "--- the plug-in's last log lines"
        plugin_log | tail -20
        if [ $wine = no ] && [ -n "$pid" ] && command -v gdb >/dev/null; then
          echo "--- every thread's stack"
          timeout 120 gdb -batch -p "$pid" -ex "thread apply all bt" 2>&1
        fi
      } >"$work/stall-$stalls.txt"
      echo "churn: stall in round $round, stacks in $work/stall-$stalls.txt" >&2
      [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
      kill "$host_pid" 2>/dev/null
      break
    fi
    sleep 1
  done
  wait_host
  read_summary
  rounds_run=$round
  total_sent=$((total_sent + ${sent:-0})) total_answered=$((total_answered + ${answered:-0}))
  exits+="$host_rc "
  case $host_rc in 0|2) ;; *) bad_exits=$((bad_exits + 1)) ;; esac
  cat "$work/host.err" >>"$work/host-errors.txt"
  # Round by round, so that a long run shows how far it got.
  echo "round $round sent ${sent:-?} answered ${answered:-?} host-exit $host_rc" >>"$work/rounds.txt"
done
dropped=$(dropped_count)
unaccounted=$((total_sent - total_answered - dropped))
kill "$server_pid" 2>/dev/null
wait "$server_pid" 2>/dev/null
server_pid=
server_counts=$(grep '^counts ' "$work/server.log" | tail -1)
echo "RESULT churn rounds $rounds_run cycles-per-round $cycles sent $total_sent answered $total_answered dropped-logged $dropped unaccounted $unaccounted stalls $stalls bad-exits $bad_exits server ${server_counts#counts } seconds $(seconds_since_start)"
cp "$work/host-errors.txt" "$work/host.err"
[ "$stalls" -eq 0 ] || fail "$stalls stall(s): see $work/stall-*.txt"
[ "$bad_exits" -eq 0 ] || fail "host runner exit codes: $exits(0 or 2 expected)"
[ "$total_sent" -gt 0 ] || fail "no command was sent"
[ "$unaccounted" -eq 0 ] || fail "answers + dropped lines = $((total_answered + dropped)), commands sent $total_sent"
finish
