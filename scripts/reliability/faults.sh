#!/usr/bin/env bash
# Reliability mode "faults": the file server is killed (SIGKILL) and
# restarted on the same port --restarts times, 1.5 s apart, while commands
# flow (a sender whose window is full waits 1 s at most, so the commands lost
# with a server do not stall the host). Every command ends answered or as
# one dropped line: refused while the server was away, or given up when the
# connection it went out on was lost (answers + dropped lines = sent,
# exactly). Sending must resume within 2 s of each restart (the restarted
# server's first request). The host keeps sending until the last restart has
# been judged (the stop file), so a fast machine cannot run out of commands
# first; --repeat only bounds the run.
#   faults.sh --bin DIR --fileserver FILE --work DIR [--wine]
#             [--threads N] [--repeat N] [--in-flight N] [--restarts N]
. "$(dirname "$0")/../lib/reliability-run.sh"

start_server 0 "$work/server0.log" || exit 1
first_port=$port
write_settings "$port"
rm -f "$work/stop"
run_host --scenario "$work/scenario.txt" --threads "$threads" --repeat "$repeat" \
  --in-flight "$inflight" --timeout-ms 1000 --quiet --stop-file "$(windows_path "$work/stop")" &
host_pid=$!
survived=0 resumed=0 slowest=0 latencies=
for ((r = 1; r <= restarts; r++)); do
  sleep 1.5
  kill -0 $host_pid 2>/dev/null || break
  kill_server
  sleep 0.3
  start_server "$first_port" "$work/server$r.log" || break
  restarted=$(date +%s%N)
  # The first request the restarted server takes, within 5 s.
  while ! grep -q ' op=6 ' "$work/server$r.log" && kill -0 $host_pid 2>/dev/null &&
        [ $((($(date +%s%N) - restarted) / 1000000)) -lt 5000 ]; do
    sleep 0.02
  done
  if grep -q ' op=6 ' "$work/server$r.log"; then
    ms=$((($(date +%s%N) - restarted) / 1000000))
    resumed=$((resumed + 1)) latencies+="$ms "
    [ $ms -gt $slowest ] && slowest=$ms
  fi
  survived=$r
done
touch "$work/stop"
wait_host
read_summary
dropped=$(dropped_count)
unaccounted=$(( ${sent:-0} - ${answered:-0} - dropped ))
served=0
for ((r = 0; r <= survived; r++)); do
  served=$((served + $(grep -c ' op=6 ' "$work/server$r.log")))
done
disconnects=$(plugin_log | grep -a -c 'FS Client disconnected from FileServer')
echo "RESULT faults threads $threads repeat $repeat restarts $survived resumed $resumed resume-ms ${latencies% } slowest-resume-ms $slowest disconnects-logged $disconnects sent ${sent:-?} served $served answered ${answered:-?} dropped-logged $dropped unaccounted $unaccounted duplicates ${duplicates:-?} out-of-order ${outoforder:-?} host-exit $host_rc seconds $(seconds_since_start)"
[ "$survived" -eq "$restarts" ] || fail "only $survived of $restarts restarts happened while the host ran (raise --repeat)"
case $host_rc in 0|2) ;; *) fail "host runner exit code $host_rc (crash, duplicates or bad callbacks)";; esac
[ "${sent:-0}" -gt 0 ] && [ "${sent:-0}" -le $((threads * repeat)) ] ||
  fail "the runner sent ${sent:-?} commands (1 to $((threads * repeat)) expected)"
[ "${duplicates:-1}" -eq 0 ] && [ "${outoforder:-1}" -eq 0 ] || fail "duplicates or out-of-order answers: $summary"
[ "$resumed" -eq "$survived" ] || fail "sending resumed after $resumed of $survived restarts"
[ "$slowest" -le 2000 ] || fail "sending resumed only $slowest ms after a restart (2000 allowed)"
[ "$unaccounted" -eq 0 ] || fail "answers + dropped lines = $((${answered:-0} + dropped)), commands sent ${sent:-?}"
[ "$served" -ge "${answered:-0}" ] || fail "more answers than requests the servers took"
finish
