#!/usr/bin/env bash
# End-to-end runs: host runner -> plug-in -> TCP transport -> file server and
# back, natively or under Wine. Each case assembles its own folder (the host
# runner, the plug-in and the transport side by side, as beside a real host),
# starts the file server on a free loopback port and checks the answers, the
# runner's exit code and the plug-in's log. Every server it starts is stopped
# on every way out (scripts/lib/run-folder.sh).
#
#   e2e.sh --bin DIR --fileserver FILE --work DIR [--wine] CASE
#
# DIR holds velmora-host(.exe), Velmora.so/.dll and tcp/cl_vexo_transport.*;
# FILE is a native velmora-fileserver; the work folder is emptied first.
# Cases: operations, quoted, sessions, restart, noserver, check (the check
# tool velmora-check in the host's place).
# Exit: 0 passed, 1 failed, 125 skipped (the Windows build cannot run here).
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
  echo "usage: e2e.sh --bin DIR --fileserver FILE --work DIR [--wine] CASE" >&2
  exit 1
fi
if [ ! -x "$fileserver" ]; then
  echo "e2e: no native file server at $fileserver" >&2
  exit 1
fi

run_name=e2e
. "$here/lib/run-folder.sh"

# --- the folder ------------------------------------------------------------
make_folder
mkdir -p "$work/root/docs"
printf 'first line\r\nsecond line\r\n' >"$work/root/docs/notes.txt"
printf 'to be deleted' >"$work/root/docs/old.txt"
mkdir -p "$work/root/docs/sub"

# expect_line REGEX: the host's output holds a line matching REGEX.
expect_line() {
  grep -Eq -- "$1" "$work/host.out" || fail "no output line matching: $1"
}
show() {
  echo "--- host output (exit $host_rc)"; cat "$work/host.out"
  echo "--- host errors"; head -30 "$work/host.err"
  echo "--- plug-in log"; plugin_log | tr -d '\r' | head -80
  for f in "$work"/server*.log; do [ -f "$f" ] && { echo "--- $(basename "$f")"; head -60 "$f"; }; done
}
finish() {
  stop_server
  if [ $failures -gt 0 ]; then show; echo "e2e $case_name: $failures check(s) failed"; exit 1; fi
  echo "e2e $case_name: passed"
  exit 0
}

# --- the cases -------------------------------------------------------------
case $case_name in
operations)
  # Each file operation once, in order on one session, with the error codes of
  # the refusals; the written file must be on disk with the bytes sent.
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  cat >"$work/scenario.txt" <<'EOF'
5 Operation=1,Path=docs,UserData=list
5 Operation=2,Path=docs\notes.txt,UserData=info
5 Operation=3,Path=docs\notes.txt,UserData=read
5 Operation=4,Path=docs\new.txt,"Data=written by the host",UserData=write
5 Operation=3,Path=docs\new.txt,UserData=readback
5 Operation=5,Path=docs\old.txt,UserData=delete
5 Operation=2,Path=docs\old.txt,UserData=gone
5 Operation=9,Path=docs,UserData=unknown
5 Operation=3,Path=..\outside.txt,UserData=escape
5 Path=docs,UserData=nooperation
EOF
  run_host --scenario "$work/scenario.txt" --timeout-ms 5000
  [ $host_rc -eq 0 ] || fail "host runner exit code $host_rc, expected 0"
  expect_line '^answer 5 UserData=list,Count=3,Item1=new.txt,Item2=notes.txt,Item3=old.txt,Error=0,Operation=1$|^answer 5 UserData=list,Count=3,Item1=notes.txt,Item2=old.txt,Item3=sub\\,Error=0,Operation=1$'
  expect_line '^answer 5 UserData=info,Kind=file,Size=25,Error=0,Operation=2$'
  expect_line '^answer 5 UserData=read,Size=25,"Data=first line'
  expect_line '^answer 5 UserData=write,Size=19,Error=0,Operation=4$'
  expect_line '^answer 5 UserData=readback,Size=19,"Data=written by the host",Error=0,Operation=3$'
  expect_line '^answer 5 UserData=delete,Error=0,Operation=5$'
  expect_line '^answer 5 UserData=gone,Reason=[^,]*,Error=4,Operation=2$|^answer 5 UserData=gone,.*Error=4,Operation=2$'
  expect_line '^answer 5 UserData=unknown,.*Error=1,Operation=9$'
  expect_line '^answer 5 UserData=escape,.*Error=3,Operation=3$'
  # No Operation item: the plug-in sends operation 4 (write), which lacks Data.
  expect_line '^answer 5 UserData=nooperation,.*Error=2,Operation=4$'
  expect_line '^sent 10 answered 10 missing 0 duplicates 0 out-of-order 0$'
  [ "$(cat "$work/root/docs/new.txt" 2>/dev/null)" = "written by the host" ] ||
    fail "docs/new.txt does not hold the written text"
  [ ! -e "$work/root/docs/old.txt" ] || fail "docs/old.txt was not deleted"
  [ ! -e "$work/outside.txt" ] || fail "a file was written outside the root"
  plugin_log | grep -a -c 'Command_Plugin \[SessionACT=5\], Params=Operation=1,Path=docs,UserData=list' >/dev/null ||
    fail "the log lacks the first command's line"
  [ "$(plugin_log | grep -a -c 'Send to SCENARIO \[SessionACT=5\]')" -eq 10 ] ||
    fail "the log does not show 10 answers sent to the scenario"
  finish
  ;;
quoted)
  # UserData values the text form must quote (comma, quote, equals sign,
  # leading blank) and a value with a line break come back unchanged.
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  cat >"$work/scenario.txt" <<'EOF'
7 Operation=2,Path=docs,"UserData=a, b"
7 Operation=2,Path=docs,"UserData=say ""hi"""
7 Operation=2,Path=docs,UserData=x=y
7 Operation=2,Path=docs,"UserData= lead"
7 Operation=2,Path=docs,"UserData=Sess=3,SrcUserData=fake"
7 Operation=4,Path=docs\q.txt,"Data=one, ""two""",UserData=
EOF
  run_host --scenario "$work/scenario.txt" --timeout-ms 5000
  [ $host_rc -eq 0 ] || fail "host runner exit code $host_rc, expected 0"
  expect_line '^answer 7 "UserData=a, b",Kind=dir,Size=0,Error=0,Operation=2$'
  expect_line '^answer 7 "UserData=say ""hi""",Kind=dir,Size=0,Error=0,Operation=2$'
  expect_line '^answer 7 UserData=x=y,Kind=dir,Size=0,Error=0,Operation=2$'
  expect_line '^answer 7 "UserData= lead",Kind=dir,Size=0,Error=0,Operation=2$'
  expect_line '^answer 7 "UserData=Sess=3,SrcUserData=fake",Kind=dir,Size=0,Error=0,Operation=2$'
  # An empty UserData travels as "SrcUserData=" and comes back empty or absent.
  expect_line '^answer 7 (UserData=,)?Size=10,Error=0,Operation=4$'
  expect_line '^sent 6 answered 6 missing 0 duplicates 0 out-of-order 0$'
  [ "$(cat "$work/root/docs/q.txt" 2>/dev/null)" = 'one, "two"' ] || fail "docs/q.txt holds the wrong bytes"
  finish
  ;;
sessions)
  # Several sending threads, each on sessions of its own, all through one
  # connection: every answer once, on its own session, in order.
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  cat >"$work/scenario.txt" <<'EOF'
1 Operation=2,Path=docs\notes.txt,UserData=a
2 Operation=1,Path=docs,UserData=b
3 Operation=3,Path=docs\notes.txt,UserData=c
EOF
  run_host --scenario "$work/scenario.txt" --threads 4 --repeat 20 --timeout-ms 10000 --quiet --stats
  [ $host_rc -eq 0 ] || fail "host runner exit code $host_rc, expected 0"
  expect_line '^sent 240 answered 240 missing 0 duplicates 0 out-of-order 0$'
  [ "$(grep -c ' op=[0-9]* error=0 ' "$work/server.log")" -eq 240 ] ||
    fail "the file server did not answer 240 requests"
  [ "$(plugin_log | grep -a -c 'Send to SCENARIO \[SessionACT=3000002\]')" -eq 20 ] ||
    fail "the log does not show 20 answers on session 3000002"
  finish
  ;;
restart)
  # The server goes away in the middle of a run and comes back on the same
  # port. One command at a time (--in-flight 1); an unanswered command holds
  # the sender for the time-out, which paces the commands during the outage.
  # Commands sent while the server is away are logged and dropped; after the
  # transport reconnects (about once a second) the rest are answered. The
  # host sends until the restarted server has answered 20 (the stop file),
  # so the outage falls inside the run however fast the machine.
  start_server 0 "$work/server1.log" || exit 1
  first_port=$port
  write_settings "$port"
  echo '1 Operation=2,Path=docs\notes.txt,UserData=r' >"$work/scenario.txt"
  most=200000
  rm -f "$work/stop"
  run_host --scenario "$work/scenario.txt" --repeat $most --in-flight 1 --timeout-ms 400 --quiet \
    --stop-file "$(windows_path "$work/stop")" &
  host_pid=$!
  # Let some requests through, stop the server, keep it away 2.5 s (each dropped command costs the
  # worker its 1-second send time-out, queued ones wait behind it), restart.
  for ((i = 0; i < 3000; i++)); do
    [ "$(grep -c ' op=2 ' "$work/server1.log")" -ge 20 ] && break
    kill -0 $host_pid 2>/dev/null || break
    sleep 0.01
  done
  stop_server
  sleep 2.5
  start_server "$first_port" "$work/server2.log" || { kill $host_pid 2>/dev/null; exit 1; }
  for ((i = 0; i < 1000; i++)); do
    [ "$(grep -c ' op=2 ' "$work/server2.log")" -ge 20 ] && break
    kill -0 $host_pid 2>/dev/null || break
    sleep 0.01
  done
  touch "$work/stop"
  wait $host_pid
  rc=$?
  host_pid=
  [ $rc -eq 125 ] && exit 125
  # run_host ran in a subshell: its results are in its files.
  read_summary
  [ "$host_rc" = 2 ] || fail "host runner exit code $host_rc, expected 2 (answers missing)"
  [ "${sent:-0}" -gt 20 ] && [ "${sent:-0}" -lt $most ] ||
    fail "sent ${sent:-?} commands, expected more than 20 and fewer than $most"
  [ "${duplicates:-1}" -eq 0 ] && [ "${outoforder:-1}" -eq 0 ] || fail "duplicates or out-of-order answers: $summary"
  [ "${missing:-0}" -ge 1 ] || fail "no command was lost during the outage: $summary"
  first=$(grep -c ' op=2 ' "$work/server1.log")
  second=$(grep -c ' op=2 ' "$work/server2.log")
  [ "$second" -ge 1 ] || fail "no request reached the restarted server"
  [ $((first + second)) -ge "${answered:-0}" ] || fail "more answers than requests served"
  dropped=$(plugin_log | grep -a -c -E '(ProcessCommand \[SessionACT=1\] EXCEPTION|No answer \[SessionACT=1\]): ')
  [ "$dropped" -ge 1 ] || fail "no ProcessCommand EXCEPTION line for the commands sent during the outage"
  # Every lost command has its line: refused while the server was away
  # (ProcessCommand ... EXCEPTION), or on its way when the connection went
  # (No answer).
  [ "$dropped" -eq "${missing:-0}" ] ||
    fail "$dropped commands dropped in the log, $missing missing in the runner"
  plugin_log | grep -a -c 'FS Client disconnected from FileServer' >/dev/null || fail "the disconnection is not logged"
  [ "$(plugin_log | grep -a -c 'FS Client connected to FileServer')" -ge 2 ] || fail "the reconnection is not logged"
  echo "restart: $summary; server1 $first, server2 $second, dropped $dropped"
  finish
  ;;
noserver)
  # Nothing listens on the port: no answer comes and the runner says so.
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  stop_server
  cat >"$work/scenario.txt" <<'EOF'
9 Operation=1,Path=docs,UserData=one
9 Operation=2,Path=docs,UserData=two
EOF
  run_host --scenario "$work/scenario.txt" --timeout-ms 700
  [ $host_rc -eq 2 ] || fail "host runner exit code $host_rc, expected 2 (answers missing)"
  expect_line '^sent 2 answered 0 missing 2 duplicates 0 out-of-order 0$'
  grep -q '^answer ' "$work/host.out" && fail "an answer came without a server"
  [ "$(plugin_log | grep -a -c 'ProcessCommand \[SessionACT=9\] EXCEPTION')" -ge 1 ] ||
    fail "the log does not show the commands dropped"
  finish
  ;;
check)
  # The operator's check tool in the host program's folder: all steps OK with
  # the server up; then the failing step's line and exit code for no server,
  # no transport library and no plug-in.
  check_exe=velmora-check
  [ $wine = yes ] && check_exe=velmora-check.exe
  cp "$bin/$check_exe" "$work/" || exit 1
  run_check() {
    if [ $wine = yes ]; then
      (cd "$work" && bash "$here/../cmake/wine-run.sh" "$work/$check_exe" "$@") >"$work/host.out" 2>"$work/host.err"
    else
      (cd "$work" && "$work/$check_exe" "$@") >"$work/host.out" 2>"$work/host.err"
    fi
    host_rc=$?
    [ $host_rc -eq 125 ] && [ $wine = yes ] && exit 125
    return 0
  }
  start_server 0 "$work/server.log" || exit 1
  write_settings "$port"
  run_check "$plugin_file" --command "Operation=1,Path=docs,UserData=check" --wait 10
  [ $host_rc -eq 0 ] || fail "check exit code $host_rc with the server up, expected 0"
  for step in plug-in settings transport connection command finalize; do expect_line "^OK      $step: "; done
  expect_line '^OK      command: answer UserData=check,Count=3,.*,Error=0,Operation=1[[:cntrl:]]?$'
  expect_line '^  [0-9:.]{12} Finalize_Plugin[[:cntrl:]]?$'
  stop_server
  run_check "$plugin_file" --wait 1
  [ $host_rc -eq 5 ] || fail "check exit code $host_rc without a server, expected 5"
  expect_line '^FAILED  connection: no connection within 1 s'
  rm "$work/$transport_file"
  run_check "$plugin_file" --wait 1
  [ $host_rc -eq 4 ] || fail "check exit code $host_rc without the transport library, expected 4"
  expect_line '^FAILED  transport: ERR: FS Client initialization fail: '
  run_check "NoSuch.$library_suffix"
  [ $host_rc -eq 2 ] || fail "check exit code $host_rc for a missing plug-in, expected 2"
  expect_line '^FAILED  plug-in: cannot load the plug-in'
  finish
  ;;
*)
  echo "e2e: unknown case $case_name" >&2
  exit 1
  ;;
esac
