#!/usr/bin/env bash
# Reliability mode "flood": a server that sends the same small answer
# without pause (lib/flood-server.py) to a host runner that sent one
# command; the runner calls Finalize_Plugin FLOOD_SECONDS (5) later, while
# the flood goes on. The host's resident memory is sampled every 0.1 s. The
# worker's queue of server messages is bounded (262,144 messages or
# 128 MiB), so the peak must stay under FLOOD_MAX_RSS_MIB (400);
# Finalize_Plugin hands queued messages to the host for one second at most,
# so it must return within FLOOD_MAX_STOP_MS (3000). Figures: the peak, the
# stop's time, the answers handed over and the drop and discard counts from
# the plug-in's log.
#   flood.sh --bin DIR --fileserver FILE --work DIR [--wine]
# (--fileserver is taken for the common command line and not used.)
. "$(dirname "$0")/../lib/reliability-run.sh"

max_rss_mib=${FLOOD_MAX_RSS_MIB:-400} max_stop_ms=${FLOOD_MAX_STOP_MS:-3000}
flood_seconds=${FLOOD_SECONDS:-5}
# A host whose memory grows past this is killed, to spare the machine.
kill_rss_mib=${FLOOD_KILL_RSS_MIB:-2048}
"${PYTHON:-python3}" "$here/lib/flood-server.py" >"$work/server.log" 2>&1 &
server_pid=$!
for ((i = 0; i < 500; i++)); do
  grep -q '^listening ' "$work/server.log" 2>/dev/null && break
  sleep 0.01
done
port=$(sed -n 's/^listening .*:\([0-9]*\)$/\1/p' "$work/server.log" | head -1)
[ -n "$port" ] || { cat "$work/server.log" >&2; echo "flood: the flood server did not start" >&2; exit 1; }
write_settings "$port"
echo '1 Operation=6,UserData=f' >"$work/scenario.txt"

run_host --scenario "$work/scenario.txt" --expect 1000000000 --timeout-ms 60000 --wait-limit-ms $((flood_seconds * 1000)) \
  --quiet --stats &
host_pid=$!
sample_host_rss $((kill_rss_mib * 1024))
wait_host
read_summary
kill "$server_pid" 2>/dev/null
wait "$server_pid" 2>/dev/null
server_pid=
peak_kib=$(awk '{print $2}' "$work/rss.txt" | sort -n | tail -1)
stop_ms=$(sed -n 's/^finalize-ms //p' "$work/host.out" | head -1)
plugin_log | tr -d '\r' >"$work/plugin.log"
sum_of() { grep -a "$1" "$work/plugin.log" | sed -n "s/.*$2.*/\1/p" | awk '{ s += $1 } END { print s + 0 }'; }
dropped=$(sum_of 'worker queue full' '; \([0-9]*\) server messages dropped')
discarded=$(sum_of 'relay stopping: ' 'relay stopping: \([0-9]*\) queued')
handed=$(grep -a -c ' Send to SCENARIO ' "$work/plugin.log")
echo "RESULT flood seconds-flooded $flood_seconds handed $handed dropped $dropped discarded $discarded peak-rss-kib ${peak_kib:-?} stop-ms ${stop_ms:-?} frames-sent $(sed -n 's/^frames //p' "$work/server.log") host-exit $host_rc seconds $(seconds_since_start)"
case $host_rc in 0|2|3) ;; *) fail "host runner exit code $host_rc (a crash?)" ;; esac
[ "$handed" -gt 0 ] || fail "no answer reached the host"
[ -n "$peak_kib" ] && [ "$peak_kib" -le $((max_rss_mib * 1024)) ] ||
  fail "resident memory reached ${peak_kib:-?} KiB under the flood ($max_rss_mib MiB allowed)"
[ -n "$stop_ms" ] && [ "$stop_ms" -le "$max_stop_ms" ] ||
  fail "Finalize_Plugin took ${stop_ms:-?} ms under the flood ($max_stop_ms allowed)"
finish
