#!/usr/bin/env bash
# The plug-in itself with the syslog client: host runner -> plug-in -> TCP
# transport -> file server, the plug-in's log going through LogClient.dll
# (the syslog client, in the host program's folder and named in the host's
# [Debug] section) to a private rsyslogd (scripts/lib/rsyslog.sh) in the work
# folder. Natively or under Wine, as scripts/e2e.sh.
#
#   syslog-e2e.sh --bin DIR --fileserver FILE --work DIR [--wine] CASE
#
# Cases:
#   forward  every line arrives or is in the file, the commands' lines in
#            order, the Cyrillic text as UTF-8; three load/unload cycles
#   restart  rsyslogd stopped during the run: the lines go to the file; once
#            it is back, forwarding resumes; none lost
#   flood    N commands as fast as they go (3 lines each; N from
#            SYSLOG_FLOOD, default 5000): every line received or in the file;
#            prints the plug-in's log lines per second (SYSLOG_FILE_ONLY=1:
#            no log client, the file log's figure for the benchmark)
#   stall    a server that accepts and never reads: relaying goes on, the
#            lines the client's bounded queue cannot take are in the file
# Exit: 0 passed, 1 failed, 125 skipped.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

bin= fileserver= work= wine=no
while [ $# -gt 1 ]; do
  case $1 in
    --bin) bin=$2; shift 2 ;;
    --fileserver) fileserver=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --wine) wine=yes; shift ;;
    *) break ;;
  esac
done
case_name=${1:-}
if [ -z "$bin" ] || [ -z "$fileserver" ] || [ -z "$work" ] || [ -z "$case_name" ]; then
  echo "usage: syslog-e2e.sh --bin DIR --fileserver FILE --work DIR [--wine] CASE" >&2
  exit 1
fi
command -v rsyslogd >/dev/null || { echo "syslog-e2e: rsyslogd is not installed" >&2; exit 125; }

run_name=syslog-e2e
. "$here/lib/run-folder.sh"

make_folder
cp "$bin/syslog/LogClient.$library_suffix" "$work/" || exit 1
rsyslog=$work/rsyslog
bash "$here/lib/rsyslog.sh" start "$rsyslog" || exit 1
stop_rsyslog() { bash "$here/lib/rsyslog.sh" stop "$rsyslog"; }
trap 'stop_all; stop_rsyslog' EXIT
tcp_port=$(sed 's/tcp=\([0-9]*\).*/\1/' "$rsyslog/ports")
start_server 0 "$work/server.log" || exit 1
write_settings "$port"
# The host's settings file: the host runner's name with .ini.
debug() { printf '[Debug]\r\n%s=tcp://127.0.0.1:%s/local0\r\n' "$plugin_file" "$1" >"$work/${host_exe%.exe}.ini"; }
debug "$tcp_port"

# count KIND: lines of KIND ("Command_Plugin", ...) received and in the file.
received() { cat "$rsyslog/messages.log" 2>/dev/null | LC_ALL=C grep -a -c "	$plugin_file	[0-9]*	-	134	...$1"; }
in_file() { plugin_log | grep -a -c " $1"; }
# every_line_once KIND EXPECTED: received + file = EXPECTED.
every_line_once() {
  local got file
  for ((i = 0; i < 300; i++)); do
    got=$(received "$1"); file=$(in_file "$1")
    [ $((got + file)) -ge "$2" ] && break
    sleep 0.02
  done
  echo "$case_name: $1 lines: $got received, $file in the file, $2 logged"
  [ $((got + file)) -eq "$2" ] || fail "$1: $got received + $file in the file, expected $2"
}
show() {
  echo "--- host output (exit $host_rc)"; tail -5 "$work/host.out"; head -20 "$work/host.err"
  echo "--- plug-in log (head)"; plugin_log | tr -d '\r' | head -20
  echo "--- rsyslog (tail)"; tail -5 "$rsyslog/messages.log" 2>/dev/null; cat "$rsyslog/rsyslogd.out"
}
finish() {
  stop_server
  if [ $failures -gt 0 ]; then show; echo "syslog-e2e $case_name: $failures check(s) failed"; exit 1; fi
  echo "syslog-e2e $case_name: passed"
  exit 0
}

case $case_name in
forward)
  printf '3 Operation=1,Path=.,UserData=\xcf\xf0\xe8\xe2\xe5\xf2\n' >"$work/scenario.txt"
  run_host --scenario "$work/scenario.txt" --repeat 100 --cycles 3 --timeout-ms 10000 --quiet
  [ $host_rc -eq 0 ] || fail "host runner exit code $host_rc, expected 0"
  every_line_once "Command_Plugin" 300
  every_line_once "Send to SCENARIO" 300
  [ "$(received "Command_Plugin")" -ge 150 ] || fail "fewer than half the command lines went to rsyslog"
  # In order: each cycle's tags count up; the Cyrillic text arrived as UTF-8.
  LC_ALL=C grep -a "	134	...Command_Plugin" "$rsyslog/messages.log" | sed -n 's/.*UserData=0:\([0-9]*\):.*/\1/p' |
    awk 'NR > 1 && $1 <= last { back++ } { last = $1 } END { exit back > 2 }' ||
    fail "the command lines arrived out of order"
  grep -a -q "UserData=0:[0-9]*:Привет" "$rsyslog/messages.log" || fail "no Cyrillic UserData in UTF-8 at rsyslog"
  finish
  ;;
restart)
  echo '3 Operation=2,Path=.,UserData=r' >"$work/scenario.txt"
  rm -f "$work/stop" "$work/pause"
  run_host --scenario "$work/scenario.txt" --repeat 1000000 --in-flight 1 --timeout-ms 2000 --quiet \
    --stop-file "$(windows_path "$work/stop")" --pause-file "$(windows_path "$work/pause")" &
  host_pid=$!
  wait_received() {  # wait_received N: until N command lines arrived at rsyslog in all
    for ((i = 0; i < 1500; i++)); do
      [ "$(received Command_Plugin)" -ge "$1" ] && return 0
      kill -0 $host_pid 2>/dev/null || return 1
      sleep 0.01
    done
    return 1
  }
  wait_received 50 || fail "no lines reached rsyslog"
  # rsyslogd drops what it has not read when it stops, and TCP cannot tell
  # the client which of the lines it had sent were lost so. So the host
  # pauses (its last answer comes in, then the plug-in logs nothing) while
  # rsyslogd stops; the client, idle, sees the connection close and declines
  # the lines after the pause. (Holding the host's processes instead could
  # freeze the client between its look at the connection and its send.)
  touch "$work/pause"
  sleep 0.5
  stop_rsyslog
  sleep 0.3
  rm -f "$work/pause"
  before=$(received Command_Plugin)
  sleep 1.5
  bash "$here/lib/rsyslog.sh" restart "$rsyslog" || fail "rsyslogd did not start again"
  restarted=$SECONDS
  wait_received $((before + 50)) || fail "forwarding did not resume after the restart"
  resumed=$((SECONDS - restarted))
  touch "$work/stop"
  wait $host_pid
  host_pid=
  read_summary
  [ "$host_rc" = 0 ] || fail "host runner exit code $host_rc, expected 0"
  [ "$(in_file Command_Plugin)" -ge 1 ] || fail "no command line went to the file while rsyslogd was away"
  [ $resumed -le 6 ] || fail "forwarding resumed only after $resumed s (the back-off ends at 4 s)"
  every_line_once "Command_Plugin" "${sent:-0}"
  finish
  ;;
flood)
  count=${SYSLOG_FLOOD:-5000}
  echo '3 Operation=2,Path=.,UserData=f' >"$work/scenario.txt"
  [ "${SYSLOG_FILE_ONLY:-0}" = 1 ] && rm -f "$work/${host_exe%.exe}.ini"
  run_host --scenario "$work/scenario.txt" --repeat "$count" --timeout-ms 20000 --quiet --stats
  [ $host_rc -eq 0 ] || fail "host runner exit code $host_rc, expected 0"
  elapsed=$(sed -n 's/^stats .* elapsed-ms \([0-9]*\).*/\1/p' "$work/host.out")
  echo "RESULT flood lines $((3 * count)) elapsed-ms $elapsed lines-per-second $((3 * count * 1000 / (elapsed > 0 ? elapsed : 1)))"
  every_line_once "Command_Plugin" "$count"
  every_line_once "Receive response" "$count"
  every_line_once "Send to SCENARIO" "$count"
  finish
  ;;
stall)
  # A server that takes connections and never reads.
  python3 -c 'import socket
s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
s.bind(("127.0.0.1",0)); s.listen(8); print(s.getsockname()[1], flush=True)
c=[]
while True: c.append(s.accept()[0])' >"$work/stall.port" &
  extra_pids+=($!)
  for ((i = 0; i < 300; i++)); do [ -s "$work/stall.port" ] && break; sleep 0.01; done
  debug "$(cat "$work/stall.port")"
  echo '3 Operation=2,Path=.,UserData=s' >"$work/scenario.txt"
  run_host --scenario "$work/scenario.txt" --repeat 20000 --timeout-ms 20000 --quiet --stats
  [ $host_rc -eq 0 ] || fail "host runner exit code $host_rc: relaying stopped"
  grep '^stats ' "$work/host.out"
  # Which kinds reach the file first depends on the timing: the commands'
  # lines may all be queued before the answers' lines fill the queue.
  file=$(plugin_log | grep -a -c " Command_Plugin\| Receive response\| Send to SCENARIO")
  echo "stall: $file of 60000 lines in the file (the rest queued or in the socket's buffers)"
  [ "$file" -ge 1 ] || fail "no line went to the file though the server never reads"
  finish
  ;;
*)
  echo "syslog-e2e: unknown case $case_name" >&2
  exit 1
  ;;
esac
