#!/usr/bin/env bash
# Reliability runs: the host runner drives the plug-in, the TCP transport and
# the file server (echo, operation 6) under load, with the file server killed
# and restarted during load, across repeated load-to-unload cycles, and in a
# hostile setting (no transport library, no log folder, the log file held by
# another process, a log client that declines every line, settings files that
# cannot be read or hold garbage). Every answer must arrive exactly once and
# in its session's order, and every command is counted: answered, or logged
# by the plug-in as dropped, one line each (answers + dropped = sent). The
# host must never see a failure: no crash, no hang, no sanitizer report.
# Prints one RESULT line per run.
#
#   reliability.sh --bin DIR --fileserver FILE --work DIR [--wine] MODE [options]
#
# DIR holds velmora-host(.exe), velmora-holdfile(.exe), Velmora.so/.dll,
# tcp/cl_vexo_transport.* and logclient/LogClient.*; FILE is a native
# velmora-fileserver; the work folder is emptied first.
# Modes: load, memory, faults, cycles, notransport, nologdir, heldlog,
# logclient, badsettings; "reliability.sh all" builds and runs them all,
# "reliability.sh fuzz" builds and runs the fuzz targets only.
# Options: --threads N (8), --repeat N commands per thread (25000),
#          --in-flight N (64), --restarts N (10, faults), --cycles N (200,
#          cycles), --rounds N (3, memory).
# Exit: 0 passed, 1 failed, 125 skipped (the Windows build cannot run here).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

bin= fileserver= work= wine=no threads=8 repeat=25000 inflight=64 restarts=10 cycles=200 rounds=3
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
    --rounds) rounds=$2; shift 2 ;;
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
    cmake --build $nb -j2 --target velmora-host velmora-holdfile velmora_plugin \
      velmora_transport_tcp logclient velmora-fileserver reliability_test || exit 1
  b=$nb/bin
  if [ "$quick" = 1 ]; then lr=1000 fr=25000 rs=3 cy=30 mr=2000; else lr=25000 fr=100000 rs=10 cy=2000 mr=10000; fi
  run() { bash "$here/reliability.sh" --bin $b --fileserver $b/velmora-fileserver --work "$nb/rel-$1" "${@:2}" || status=1; }
  run load --threads 8 --repeat $lr load
  run memory --threads 8 --repeat $mr --rounds 3 memory
  run faults --threads 8 --repeat $fr --restarts $rs faults
  run cycles --cycles $cy cycles
  for m in notransport nologdir heldlog logclient badsettings; do run $m $m; done
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
  echo "usage: reliability.sh --bin DIR --fileserver FILE --work DIR [--wine] MODE [options]" >&2
  exit 1
fi
[ -x "$fileserver" ] || { echo "reliability: no native file server at $fileserver" >&2; exit 1; }

run_name=reliability
. "$here/lib/run-folder.sh"
make_folder

finish() {
  stop_server
  # A sanitizer or runtime report of the host process is a failure whatever
  # the counts say.
  grep -a -q 'ERROR: .*Sanitizer\|WARNING: ThreadSanitizer\|runtime error:' "$work/host.err" 2>/dev/null &&
    fail "sanitizer or runtime report in the host's errors"
  if [ $failures -gt 0 ]; then
    echo "--- host errors"; head -20 "$work/host.err"
    echo "reliability $mode: $failures check(s) failed"; exit 1
  fi
  echo "reliability $mode: passed"
  exit 0
}
# find_host_pid: the host program's own process (under Wine the first match
# may be the runner script itself); empty while there is none.
find_host_pid() {
  if [ $wine = yes ]; then
    pgrep -f "[\\/]$host_exe" 2>/dev/null | while read -r p; do
      [ "$(cat /proc/$p/comm 2>/dev/null)" != bash ] && echo "$p"; done | tail -1
  else
    pgrep -n -f "$work/$host_exe" 2>/dev/null | head -1
  fi
}
# check_relayed TOTAL: the runner sent TOTAL commands and every one was answered
# once, in order, with exit code 0.
check_relayed() {
  read_summary
  [ "$host_rc" = 0 ] || fail "host runner exit code $host_rc, expected 0: $summary"
  [ "${sent:-0}" -eq "$1" ] && [ "${answered:-0}" -eq "$1" ] ||
    fail "expected $1 sent and answered: $summary"
}
# A short load for the hostile-setting runs: 2 threads x 200 commands.
short_load() {
  run_host --scenario "$work/scenario.txt" --threads 2 --repeat 200 --in-flight 32 \
    --timeout-ms 10000 --quiet "$@"
}

echo '1 Operation=6,Text=reliability,UserData=u' >"$work/scenario.txt"
started=$(date +%s.%N)
case $mode in
load)
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  run_host --scenario "$work/scenario.txt" --threads "$threads" --repeat "$repeat" \
    --in-flight "$inflight" --timeout-ms 20000 --quiet
  read_summary
  dropped=$(dropped_count)
  total=$((threads * repeat))
  elapsed=$(echo "$(date +%s.%N) - $started" | bc)
  echo "RESULT load threads $threads repeat $repeat sent ${sent:-?} answered ${answered:-?} missing ${missing:-?} duplicates ${duplicates:-?} out-of-order ${outoforder:-?} dropped $dropped host-exit $host_rc seconds $elapsed"
  check_relayed $total
  [ "$dropped" -eq 0 ] || fail "$dropped commands dropped without a fault"
  finish
  ;;
memory)
  # Rounds of load in one process (load, initialise, send, finalise, unload
  # each round), the host's resident memory sampled throughout: the peak of
  # the last round may not exceed the first round's by more than 10 % + 4 MiB.
  # Under AddressSanitizer freed memory is held in quarantine; a small one
  # keeps the figure about the program, not the tool.
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=8
  run_host --scenario "$work/scenario.txt" --threads "$threads" --repeat "$repeat" \
    --in-flight "$inflight" --cycles "$rounds" --timeout-ms 20000 --quiet &
  host_pid=$!
  : >"$work/rss.txt"
  pid=
  while kill -0 $host_pid 2>/dev/null; do
    [ -z "$pid" ] || [ ! -d /proc/$pid ] && pid=$(find_host_pid)
    if [ -n "$pid" ]; then
      rss=$(awk '/^VmRSS:/{print $2}' /proc/$pid/status 2>/dev/null)
      [ -n "$rss" ] && echo "$(date +%H:%M:%S.%3N) $rss" >>"$work/rss.txt"
    fi
    sleep 0.1
  done
  wait $host_pid
  [ $? -eq 125 ] && exit 125
  host_pid=
  read_summary
  total=$((threads * repeat * rounds))
  # Round boundaries: the plug-in's "Init_Plugin" lines (local time of day).
  plugin_log | tr -d '\r' | awk '/ Init_Plugin: /{print $1}' >"$work/rounds.txt"
  peaks=$(awk 'NR==FNR { start[++n] = $1; next }
               { r = 0; for (i = 1; i <= n; i++) if ($1 >= start[i]) r = i
                 if (r > 0 && $2 > peak[r]) peak[r] = $2 }
               END { for (i = 1; i <= n; i++) printf "%d ", peak[i] + 0 }' \
          "$work/rounds.txt" "$work/rss.txt")
  read -r -a peak <<<"$peaks"
  elapsed=$(echo "$(date +%s.%N) - $started" | bc)
  echo "RESULT memory rounds $rounds threads $threads repeat $repeat sent ${sent:-?} answered ${answered:-?} peak-rss-kib-per-round ${peaks% } samples $(wc -l <"$work/rss.txt") host-exit $host_rc seconds $elapsed"
  check_relayed $total
  if [ ${#peak[@]} -ne "$rounds" ] || [ "${peak[0]:-0}" -eq 0 ]; then
    fail "could not sample every round's memory: peaks '${peaks}'"
  else
    last=${peak[$((rounds - 1))]} first=${peak[0]}
    [ "$last" -le $((first + first / 10 + 4096)) ] ||
      fail "resident memory grew: $first KiB in the first round, $last KiB in the last"
  fi
  finish
  ;;
faults)
  # The server is killed (SIGKILL) and restarted on the same port while
  # commands flow (a sender whose window is full waits 1 s at most, so the
  # commands lost with a server do not stall the host). Every command ends answered or as one dropped
  # line: refused while the server was away, or given up when the connection
  # it went out on was lost. Sending must resume within 2 s of each restart
  # (the restarted server's first request). The host keeps sending until the
  # last restart has been judged (the stop file), so a fast machine cannot
  # run out of commands first; --repeat only bounds the run.
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
  wait $host_pid
  [ $? -eq 125 ] && exit 125
  host_pid=
  read_summary
  dropped=$(dropped_count)
  unaccounted=$(( ${sent:-0} - ${answered:-0} - dropped ))
  served=0
  for ((r = 0; r <= survived; r++)); do
    served=$((served + $(grep -c ' op=6 ' "$work/server$r.log")))
  done
  disconnects=$(plugin_log | grep -a -c 'FS Client disconnected from FileServer')
  elapsed=$(echo "$(date +%s.%N) - $started" | bc)
  echo "RESULT faults threads $threads repeat $repeat restarts $survived resumed $resumed resume-ms ${latencies% } slowest-resume-ms $slowest disconnects-logged $disconnects sent ${sent:-?} served $served answered ${answered:-?} dropped-logged $dropped unaccounted $unaccounted duplicates ${duplicates:-?} out-of-order ${outoforder:-?} host-exit $host_rc seconds $elapsed"
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
  ;;
notransport)
  # No transport library in reach: the plug-in starts without a client,
  # accepts every command and logs each one as dropped; the host sees
  # nothing but missing answers.
  rm -f "$work/$transport_file"
  run_host --scenario "$work/scenario.txt" --threads 2 --repeat 200 --timeout-ms 300 --quiet
  read_summary
  dropped=$(dropped_count)
  echo "RESULT notransport sent ${sent:-?} answered ${answered:-?} dropped-logged $dropped host-exit $host_rc"
  [ "$host_rc" = 2 ] || fail "host runner exit code $host_rc, expected 2 (answers missing)"
  [ "${sent:-0}" -eq 400 ] && [ "${answered:-1}" -eq 0 ] || fail "expected 400 sent, none answered: $summary"
  [ "$dropped" -eq 400 ] || fail "$dropped dropped lines for 400 commands"
  [ "$(plugin_log | grep -a -c 'ERR: FS Client initialization fail: ')" -ge 1 ] || fail "the missing transport is not logged"
  finish
  ;;
nologdir)
  # "Logs" is a plain file: no log folder can be made. Every line is lost,
  # relaying goes on.
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  echo 'not a folder' >"$work/Logs"
  short_load
  echo "RESULT nologdir $(grep '^sent ' "$work/host.out") host-exit $host_rc log-files $(find "$work" -name '*.log' -path '*Logs*' | wc -l)"
  check_relayed 400
  [ -f "$work/Logs" ] && [ "$(cat "$work/Logs")" = 'not a folder' ] || fail "the file named Logs was touched"
  finish
  ;;
heldlog)
  # Another process holds this hour's log file open for writing (and the
  # next hour's, should the hour turn during the run): the plug-in's lines
  # are refused (a sharing violation under Windows), relaying goes on, and
  # nothing of the plug-in lands in the held file.
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  held=()
  for t in now "+2 minutes"; do
    f="$work/Logs/$(date -d "$t" +%Y_%m_%d)/$(date -d "$t" +%H)_$plugin_file.log"
    mkdir -p "$(dirname "$f")"
    [[ " ${held[*]} " == *" $(windows_path "$f") "* ]] || held+=("$(windows_path "$f")")
  done
  holder=velmora-holdfile
  [ $wine = yes ] && holder=velmora-holdfile.exe
  cp "$bin/$holder" "$work/" || exit 1
  if [ $wine = yes ]; then
    bash "$here/../cmake/wine-run.sh" "$work/$holder" "$(windows_path "$work/release")" 120000 "${held[@]}" \
      >"$work/holder.out" 2>&1 &
  else
    "$work/$holder" "$work/release" 120000 "${held[@]}" >"$work/holder.out" 2>&1 &
  fi
  holder_pid=$!
  extra_pids+=($holder_pid)
  for ((i = 0; i < 3000; i++)); do
    [ "$(grep -c '^held \|^refused ' "$work/holder.out")" -ge ${#held[@]} ] && break
    kill -0 $holder_pid 2>/dev/null || break
    sleep 0.01
  done
  grep -q '^refused \|usage' "$work/holder.out" && { cat "$work/holder.out" >&2; fail "the holder could not take the log file"; }
  short_load
  touch "$work/release"
  wait $holder_pid
  echo "RESULT heldlog $(grep '^sent ' "$work/host.out") host-exit $host_rc held-files ${#held[@]} plug-in-lines-in-held-files $(plugin_log | wc -l)"
  check_relayed 400
  [ "$(plugin_log | wc -c)" -eq 0 ] || fail "the plug-in wrote into the held log file"
  finish
  ;;
logclient)
  # The host's settings name a log client that declines every line: each
  # line is offered to it, then written to the file; relaying goes on.
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  cp "$bin/logclient/LogClient.$library_suffix" "$work/" || exit 1
  printf '[Debug]\r\n%s=decline;summary=%s\r\n' "$plugin_file" "$(windows_path "$work/summary.txt")" \
    >"$work/${host_exe%.exe}.ini"
  short_load
  offered=$(sed -n 's/^messages=\([0-9]*\).*/\1/p' "$work/summary.txt" 2>/dev/null | tail -1)
  lines=$(plugin_log | wc -l)
  echo "RESULT logclient $(grep '^sent ' "$work/host.out") host-exit $host_rc lines-offered ${offered:-none} lines-in-file $lines"
  check_relayed 400
  [ -n "$offered" ] && [ "$offered" -ge 1 ] || fail "the log client was not used"
  [ "$lines" -ge 800 ] || fail "only $lines log lines in the file (every declined line belongs there)"
  [ "${offered:-0}" -eq "$lines" ] || fail "$offered lines offered to the log client, $lines in the file"
  finish
  ;;
badsettings)
  # Settings files that cannot be read or hold garbage. (1) Garbage lines,
  # a 100,000-byte line and high bytes before a sound [Server] section (not
  # at the start: a file opening with the bytes FF FE is a UTF-16 one to the
  # Windows profile reader), and
  # garbage as the host's settings file: both are read past, relaying goes
  # on. (2) The settings file is a folder and (3) binary garbage with NUL
  # bytes: the plug-in relays to its defaults, 127.0.0.1:25001.
  start_server 0 "$work/server.log" || exit 1
  { printf 'garbage \xcd\xe5 \xf3\xe4\xe0 \xff\xfe\r\n[Se\x01rver\r\nFSServerPort\r\n=\r\n[[[]]]\r\n'
    head -c 100000 /dev/zero | tr '\0' 'x'; printf '\r\n[Server]\r\nFSServerAddr=127.0.0.1\r\nFSServerPort=%s\r\n' "$port"
  } >"$work/Velmora.ini"
  { printf '[Debug\r\n%s==\x01\x02\r\n' "$plugin_file"; head -c 3000 /dev/urandom; } >"$work/${host_exe%.exe}.ini"
  short_load
  echo "RESULT badsettings garbage-before-section $(grep '^sent ' "$work/host.out") host-exit $host_rc log-lines $(plugin_log | wc -l)"
  check_relayed 400
  [ "$(plugin_log | wc -l)" -ge 800 ] || fail "the log stopped with a garbage host settings file"
  stop_server
  rm -f "$work/${host_exe%.exe}.ini"
  if start_server 25001 "$work/server-default.log" 2>/dev/null; then
    rm -f "$work/Velmora.ini"; mkdir "$work/Velmora.ini"
    short_load
    echo "RESULT badsettings settings-is-a-folder $(grep '^sent ' "$work/host.out") host-exit $host_rc"
    check_relayed 400
    rmdir "$work/Velmora.ini"
    head -c 2000 /dev/urandom | tr -d '[]=' >"$work/Velmora.ini"
    printf '\x00\x00FSServerPort=1\x00\r\n' >>"$work/Velmora.ini"
    short_load
    echo "RESULT badsettings binary-garbage $(grep '^sent ' "$work/host.out") host-exit $host_rc"
    check_relayed 400
  else
    echo "reliability badsettings: port 25001 is taken; the default-address cases were not run" >&2
  fi
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
    pid=$(find_host_pid)
    [ -n "$pid" ] && break
    sleep 0.01
  done
  tasks_list=() fds_list=()
  min_tasks=999999 max_tasks=0 min_fds=999999 max_fds=0 samples=0 last_tasks=0 last_fds=0
  while kill -0 $host_pid 2>/dev/null; do
    if [ -z "$pid" ] || [ ! -d /proc/$pid ] || [ "$(cat /proc/$pid/comm 2>/dev/null)" = bash ]; then
      pid=$(find_host_pid)
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
  [ $? -eq 125 ] && exit 125
  host_pid=
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
