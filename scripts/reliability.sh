#!/usr/bin/env bash
# Reliability runs: the host runner drives the plug-in, the TCP transport and
# the file server (echo, operation 6) under load, and with the file server
# killed and restarted during load. Every answer must arrive exactly once and
# in its session's order; with faults, nothing may crash, hang, double or
# reorder, and every command is counted: answered, logged by the plug-in as
# dropped, or lost in flight with a killed server (the relay keeps no record
# of requests it handed to the transport). Prints one RESULT line per run.
#
#   reliability.sh --bin DIR --fileserver FILE --work DIR [--wine] MODE [options]
#
# DIR holds velmora-host(.exe), Velmora.so/.dll and tcp/cl_vexo_transport.*;
# FILE is a native velmora-fileserver; the work folder is emptied first.
# Modes: load, faults, cycles; "reliability.sh all" builds and runs them all,
# "reliability.sh fuzz" builds and runs the fuzz targets only.
# Options: --threads N (8), --repeat N commands per thread (25000),
#          --in-flight N (64), --restarts N (10, faults), --cycles N (200, cycles).
# Exit: 0 passed, 1 failed, 125 skipped (the Windows build cannot run here).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

bin= fileserver= work= wine=no threads=8 repeat=25000 inflight=64 restarts=10 cycles=200
while [ $# -gt 1 ]; do
  case $1 in
    --bin) bin=$2; shift 2 ;;
    --fileserver) fileserver=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --wine) wine=yes; shift ;;
    --threads) threads=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    --in-flight) inflight=$2; shift 2 ;;
    --restarts) restarts=$2; shift 2 ;;
    --cycles) cycles=$2; shift 2 ;;
    *) break ;;
  esac
done
mode=${1:-}
# "all": builds what the runs need (native ASan/UBSan build, clang fuzz build)
# in build/reliability-*, then runs every suite with the figures as RESULT
# lines. REL_QUICK=1 runs CI-sized versions; FUZZ_SECONDS sets each fuzz run.
# "fuzz": only the fuzz targets (what CI runs).
if [ "$mode" = all ] || [ "$mode" = fuzz ]; then
  root=$(cd "$here/.." && pwd)
  cd "$root" || exit 1
  quick=${REL_QUICK:-0} fuzz_seconds=${FUZZ_SECONDS:-60} status=0
  nb=build/reliability-native fb=build/reliability-fuzz
  [ "$mode" = all ] && { cmake --preset native -B $nb >/dev/null &&
    cmake --build $nb -j2 --target velmora-host velmora_plugin velmora_transport_tcp \
      velmora-fileserver reliability_test || exit 1
  b=$nb/bin
  if [ "$quick" = 1 ]; then lr=1000 fr=3000 rs=3 cy=30; else lr=25000 fr=8000 rs=10 cy=2000; fi
  bash "$here/reliability.sh" --bin $b --fileserver $b/velmora-fileserver --work $nb/rel-load --threads 8 --repeat $lr load || status=1
  bash "$here/reliability.sh" --bin $b --fileserver $b/velmora-fileserver --work $nb/rel-faults --threads 4 --repeat $fr --restarts $rs faults || status=1
  bash "$here/reliability.sh" --bin $b --fileserver $b/velmora-fileserver --work $nb/rel-cycles --cycles $cy cycles || status=1
  $b/reliability_test || status=1
  }
  if command -v clang++ >/dev/null; then
    cmake --preset fuzz -B $fb >/dev/null &&
      cmake --build $fb -j2 --target fuzz_params fuzz_command fuzz_response fuzz_settings || exit 1
    for f in params command response settings; do
      mkdir -p $fb/rel-corpus/$f
      $fb/bin/fuzz_$f -max_total_time=$fuzz_seconds -print_final_stats=1 $fb/rel-corpus/$f fuzz/corpus/$f \
        >$fb/fuzz_$f.log 2>&1 || { status=1; tail -30 $fb/fuzz_$f.log; }
      echo "RESULT fuzz $f executions $(sed -n 's/^stat::number_of_executed_units: *//p' $fb/fuzz_$f.log) seconds $fuzz_seconds"
    done
  else
    echo "reliability: no clang++, fuzz targets not run" >&2
    [ "$mode" = fuzz ] && status=1
  fi
  exit $status
fi
if [ -z "$bin" ] || [ -z "$fileserver" ] || [ -z "$work" ] || [ -z "$mode" ]; then
  echo "usage: reliability.sh --bin DIR --fileserver FILE --work DIR [--wine] load|faults|cycles [options]" >&2
  exit 1
fi
[ -x "$fileserver" ] || { echo "reliability: no native file server at $fileserver" >&2; exit 1; }

if [ $wine = yes ]; then
  host_exe=velmora-host.exe plugin_file=Velmora.dll transport_file=cl_vexo_transport.dll
else
  host_exe=velmora-host plugin_file=Velmora.so transport_file=cl_vexo_transport.so
fi

# The host, the plug-in and the transport side by side: the plug-in finds the
# transport by its bare name, starting in the host program's folder.
rm -rf "$work"
mkdir -p "$work/root"
cp "$bin/$host_exe" "$bin/$plugin_file" "$bin/tcp/$transport_file" "$work/" || exit 1
work=$(cd "$work" && pwd)

server_pid= host_pid=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
  fi
}
stop_all() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null
  stop_server
}
trap stop_all EXIT
trap 'exit 1' INT TERM

# start_server PORT LOG: sets $port to the port the server listens on.
start_server() {
  "$fileserver" --listen "127.0.0.1:$1" --root "$work/root" >"$2" 2>&1 &
  server_pid=$!
  local i
  for ((i = 0; i < 500; i++)); do
    if grep -q '^listening ' "$2" 2>/dev/null; then
      port=$(sed -n 's/^listening .*:\([0-9]*\)$/\1/p' "$2" | head -1)
      return 0
    fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.01
  done
  echo "reliability: the file server did not start:" >&2
  cat "$2" >&2
  return 1
}
write_settings() {
  printf '[Server]\r\nFSServerAddr=127.0.0.1\r\nFSServerPort=%s\r\n' "$1" >"$work/Velmora.ini"
}
# run_host ARGS...: output in host.out, errors in host.err, exit code in host.rc.
run_host() {
  local rc
  if [ $wine = yes ]; then
    (cd "$work" && bash "$here/../cmake/wine-run.sh" "$work/$host_exe" "$plugin_file" "$@") \
      >"$work/host.out" 2>"$work/host.err"
  else
    (cd "$work" && "$work/$host_exe" "$work/$plugin_file" "$@") >"$work/host.out" 2>"$work/host.err"
  fi
  rc=$?
  echo $rc >"$work/host.rc"
  return $rc
}
plugin_log() {
  find "$work/Logs" -name "*_$plugin_file.log" 2>/dev/null | sort | xargs -r cat
}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
finish() {
  stop_server
  if [ $failures -gt 0 ]; then
    echo "--- host errors"; head -20 "$work/host.err"
    echo "reliability $mode: $failures check(s) failed"; exit 1
  fi
  echo "reliability $mode: passed"
  exit 0
}
read_summary() {
  summary=$(grep '^sent ' "$work/host.out" | tail -1)
  read -r _ sent _ answered _ missing _ duplicates _ outoforder _ <<<"$summary"
  host_rc=$(cat "$work/host.rc" 2>/dev/null || echo none)
}
# Commands the plug-in dropped, one "ProcessCommand [SessionACT=...] EXCEPTION: " line each.
dropped_count() {
  plugin_log | grep -a -c 'ProcessCommand \[SessionACT=[-0-9]*\] EXCEPTION: '
}

echo '1 Operation=6,Text=reliability,UserData=u' >"$work/scenario.txt"
started=$(date +%s.%N)
case $mode in
load)
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  run_host --scenario "$work/scenario.txt" --threads "$threads" --repeat "$repeat" \
    --in-flight "$inflight" --timeout-ms 20000 --quiet
  [ "$(cat "$work/host.rc")" = 125 ] && [ $wine = yes ] && { cat "$work/host.err" >&2; exit 125; }
  read_summary
  dropped=$(dropped_count)
  total=$((threads * repeat))
  elapsed=$(echo "$(date +%s.%N) - $started" | bc)
  echo "RESULT load threads $threads repeat $repeat sent ${sent:-?} answered ${answered:-?} missing ${missing:-?} duplicates ${duplicates:-?} out-of-order ${outoforder:-?} dropped $dropped host-exit $host_rc seconds $elapsed"
  [ "$host_rc" = 0 ] || fail "host runner exit code $host_rc, expected 0: $summary"
  [ "${sent:-0}" -eq $total ] && [ "${answered:-0}" -eq $total ] || fail "expected $total sent and answered: $summary"
  [ "$dropped" -eq 0 ] || fail "$dropped commands dropped without a fault"
  finish
  ;;
faults)
  # The server is killed and restarted on the same port while commands flow.
  # A command sent while it is away is dropped with a log line; a command the
  # server took and died before answering is lost in flight (the relay keeps
  # no record of requests it handed to the transport), counted apart.
  start_server 0 "$work/server0.log" || exit 1
  first_port=$port
  write_settings "$port"
  run_host --scenario "$work/scenario.txt" --threads "$threads" --repeat "$repeat" \
    --timeout-ms 8000 --quiet &
  host_pid=$!
  survived=0
  for ((r = 1; r <= restarts; r++)); do
    sleep 1.5
    kill -0 $host_pid 2>/dev/null || break
    kill -9 "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; server_pid=
    sleep 0.3
    start_server "$first_port" "$work/server$r.log" || break
    survived=$r
  done
  wait $host_pid
  host_pid=
  [ "$(cat "$work/host.rc")" = 125 ] && [ $wine = yes ] && { cat "$work/host.err" >&2; exit 125; }
  read_summary
  dropped=$(dropped_count)
  lost=$(( ${sent:-0} - ${answered:-0} - dropped ))
  # Requests each server incarnation took; a restarted server that took none
  # means sending did not resume (or the host had nothing left to send).
  served=0 resumed=0
  for ((r = 0; r <= survived; r++)); do
    n=$(grep -c ' op=6 ' "$work/server$r.log")
    served=$((served + n))
    [ $r -gt 0 ] && [ "$n" -ge 1 ] && resumed=$((resumed + 1))
  done
  # Lost in flight, split: taken by a server that died before answering, and
  # written to the connection but never read by the server (socket buffers).
  taken_unanswered=$((served - ${answered:-0}))
  unread=$((lost - taken_unanswered))
  elapsed=$(echo "$(date +%s.%N) - $started" | bc)
  echo "RESULT faults threads $threads repeat $repeat restarts $survived resumed-after $resumed sent ${sent:-?} answered ${answered:-?} dropped-logged $dropped lost-in-flight $lost (served-unanswered $taken_unanswered unread-by-server $unread) duplicates ${duplicates:-?} out-of-order ${outoforder:-?} host-exit $host_rc seconds $elapsed"
  [ "$survived" -eq "$restarts" ] || fail "only $survived of $restarts restarts happened while the host ran (raise --repeat)"
  case $host_rc in 0|2) ;; *) fail "host runner exit code $host_rc (crash, duplicates or bad callbacks)";; esac
  [ "${duplicates:-1}" -eq 0 ] && [ "${outoforder:-1}" -eq 0 ] || fail "duplicates or out-of-order answers: $summary"
  [ "$resumed" -ge 1 ] || fail "no restarted server received a request"
  [ "$lost" -ge 0 ] || fail "more answers and drops than commands: $summary, dropped $dropped"
  [ "$taken_unanswered" -ge 0 ] || fail "more answers than requests the servers took"
  grep -q 'ERROR: \|runtime error\|Sanitizer' "$work/host.err" && fail "sanitizer or runtime report in the host's errors"
  finish
  ;;
cycles)
  # Load, initialise, send, finalise and unload repeatedly in one process,
  # with the server answering. The host's thread and descriptor counts (read
  # from /proc) are sampled after the first cycles and at the end.
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  run_host --scenario "$work/scenario.txt" --threads 2 --repeat 20 --cycles "$cycles" \
    --timeout-ms 5000 --quiet &
  host_pid=$!
  pid=
  for ((i = 0; i < 500; i++)); do
    # Under Wine the command line shows the program's Windows path.
    if [ $wine = yes ]; then pid=$(pgrep -n -f "[\\/]$host_exe" 2>/dev/null | head -1)
    else pid=$(pgrep -n -f "$work/$host_exe" 2>/dev/null | head -1); fi
    [ -n "$pid" ] && break
    sleep 0.01
  done
  tasks_list=() fds_list=()
  min_tasks=999999 max_tasks=0 min_fds=999999 max_fds=0 samples=0 last_tasks=0 last_fds=0
  while kill -0 $host_pid 2>/dev/null; do
    # Under Wine the first match may be the runner script itself: look again
    # until the match is the program's own process.
    if [ $wine = yes ] && { [ -z "$pid" ] || [ "$(cat /proc/$pid/comm 2>/dev/null)" = bash ]; }; then
      pid=$(pgrep -f "[\\/]$host_exe" 2>/dev/null | while read -r p; do
              [ "$(cat /proc/$p/comm 2>/dev/null)" != bash ] && echo "$p"; done | tail -1)
      [ -z "$pid" ] && { sleep 0.05; continue; }
    fi
    if [ -n "$pid" ] && [ -d /proc/$pid ]; then
      t=$(ls /proc/$pid/task 2>/dev/null | wc -l) f=$(ls /proc/$pid/fd 2>/dev/null | wc -l)
      if [ "$t" -gt 0 ]; then
        samples=$((samples + 1)) last_tasks=$t last_fds=$f
        [ $t -lt $min_tasks ] && min_tasks=$t; [ $t -gt $max_tasks ] && max_tasks=$t
        [ $f -lt $min_fds ] && min_fds=$f; [ $f -gt $max_fds ] && max_fds=$f
        tasks_list+=($t) fds_list+=($f)
      fi
    fi
    sleep 0.05
  done
  wait $host_pid
  host_pid=
  [ "$(cat "$work/host.rc")" = 125 ] && [ $wine = yes ] && { cat "$work/host.err" >&2; exit 125; }
  read_summary
  # Threads and descriptors come and go within each cycle; a leak shows as a
  # floor that rises. Compare the lowest count of the first and of the last
  # 30 samples.
  floor() { printf '%s\n' "$@" | sort -n | head -1; }
  n=${#tasks_list[@]} k=30
  if [ $n -ge $((2 * k)) ]; then
    early_max_tasks=$(floor "${tasks_list[@]:0:k}") late_tasks=$(floor "${tasks_list[@]:n-k:k}")
    early_max_fds=$(floor "${fds_list[@]:0:k}") late_fds=$(floor "${fds_list[@]:n-k:k}")
  fi
  elapsed=$(echo "$(date +%s.%N) - $started" | bc)
  echo "RESULT cycles $cycles sent ${sent:-?} answered ${answered:-?} missing ${missing:-?} host-exit $host_rc threads-min $min_tasks threads-max $max_tasks threads-floor-first ${early_max_tasks:-?} threads-floor-last ${late_tasks:-?} fds-min $min_fds fds-max $max_fds fds-floor-first ${early_max_fds:-?} fds-floor-last ${late_fds:-?} samples $samples seconds $elapsed"
  [ "$host_rc" = 0 ] || fail "host runner exit code $host_rc: $summary"
  if [ -n "${early_max_tasks:-}" ]; then
    [ "$late_tasks" -le "$early_max_tasks" ] || fail "thread floor rose over the cycles: $early_max_tasks first, $late_tasks last"
    [ "$late_fds" -le "$early_max_fds" ] || fail "descriptor floor rose over the cycles: $early_max_fds first, $late_fds last"
  fi
  finish
  ;;
*)
  echo "reliability: unknown mode $mode" >&2
  exit 1
  ;;
esac
