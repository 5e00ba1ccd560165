#!/usr/bin/env bash
# Reliability mode "cycles": --cycles times load, initialise, send (2 threads
# x 20 commands), finalise and unload in one host process, with the server
# answering. The host's thread and descriptor counts are read from /proc
# every 0.05 s; they come and go within each cycle, so a leak shows as a
# floor that rises: the lowest count of the last 30 samples may not exceed
# that of the first 30.
#   cycles.sh --bin DIR --fileserver FILE --work DIR [--wine] [--cycles N]
. "$(dirname "$0")/../lib/reliability-run.sh"

start_server 0 "$work/server.log" || exit 1
write_settings "$port"
run_host --scenario "$work/scenario.txt" --threads 2 --repeat 20 --cycles "$cycles" \
  --timeout-ms 5000 --quiet &
host_pid=$!
pid=
for ((i = 0; i < 500; i++)); do
  pid=$(find_host_pid)
  [ -n "$pid" ] && break
  sleep 0.01
done
tasks_list=() fds_list=()
min_tasks=999999 max_tasks=0 min_fds=999999 max_fds=0 samples=0
while kill -0 $host_pid 2>/dev/null; do
  if [ -z "$pid" ] || [ ! -d /proc/$pid ] || [ "$(cat /proc/$pid/comm 2>/dev/null)" = bash ]; then
    pid=$(find_host_pid)
    [ -z "$pid" ] && { sleep 0.05; continue; }
  fi
  if [ -n "$pid" ] && [ -d /proc/$pid ]; then
    t=$(ls /proc/$pid/task 2>/dev/null | wc -l) f=$(ls /proc/$pid/fd 2>/dev/null | wc -l)
    if [ "$t" -gt 0 ]; then
      samples=$((samples + 1))
      [ $t -lt $min_tasks ] && min_tasks=$t; [ $t -gt $max_tasks ] && max_tasks=$t
      [ $f -lt $min_fds ] && min_fds=$f; [ $f -gt $max_fds ] && max_fds=$f
      tasks_list+=($t) fds_list+=($f)
    fi
  fi
  sleep 0.05
done
wait_host
read_summary
floor() { printf '%s\n' "$@" | sort -n | head -1; }
n=${#tasks_list[@]} k=30
if [ $n -ge $((2 * k)) ]; then
  early_max_tasks=$(floor "${tasks_list[@]:0:k}") late_tasks=$(floor "${tasks_list[@]:n-k:k}")
  early_max_fds=$(floor "${fds_list[@]:0:k}") late_fds=$(floor "${fds_list[@]:n-k:k}")
fi
echo "RESULT cycles $cycles sent ${sent:-?} answered ${answered:-?} missing ${missing:-?} host-exit $host_rc threads-min $min_tasks threads-max $max_tasks threads-floor-first ${early_max_tasks:-?} threads-floor-last ${late_tasks:-?} fds-min $min_fds fds-max $max_fds fds-floor-first ${early_max_fds:-?} fds-floor-last ${late_fds:-?} samples $samples seconds $(seconds_since_start)"
[ "$host_rc" = 0 ] || fail "host runner exit code $host_rc: $summary"
if [ -n "${early_max_tasks:-}" ]; then
  [ "$late_tasks" -le "$early_max_tasks" ] || fail "thread floor rose over the cycles: $early_max_tasks first, $late_tasks last"
  [ "$late_fds" -le "$early_max_fds" ] || fail "descriptor floor rose over the cycles: $early_max_fds first, $late_fds last"
fi
finish
