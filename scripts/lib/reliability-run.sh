# Shared by the reliability modes in scripts/reliability/ (sourced, not run):
# the command line, the run folder (scripts/lib/run-folder.sh), the checks
# every mode makes and its closing verdict. The mode's name is its script's
# name (load.sh runs the mode "load").
#
# The sourcing script is called as
#   MODE.sh --bin DIR --fileserver FILE --work DIR [--wine] [options]
# DIR holds velmora-host(.exe), velmora-holdfile(.exe), Velmora.so/.dll,
# tcp/cl_vexo_transport.* and logclient/LogClient.*; FILE is a native
# velmora-fileserver; the work folder is emptied first.
# Options (each mode reads those it needs): --threads N (8), --repeat N
# commands per thread (25000), --in-flight N (64), --restarts N (10),
# --cycles N (200), --rounds N (3).
# Exit: 0 passed, 1 failed, 125 skipped (the Windows build cannot run here).
#
# After sourcing: the folder is made and holds scenario.txt (one echo
# command, operation 6); $mode, $started and the options are set.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=$(basename "$0" .sh)

bin= fileserver= work= wine=no threads=8 repeat=25000 inflight=64 restarts=10 cycles=200 rounds=3
while [ $# -gt 0 ]; do
  case $1 in
    --wine) wine=yes; shift; continue ;;
    --bin|--fileserver|--work|--threads|--repeat|--in-flight|--restarts|--cycles|--rounds)
      [ $# -ge 2 ] || { echo "reliability $mode: $1 needs a value" >&2; exit 1; } ;;
    *) echo "reliability $mode: unknown argument $1" >&2; exit 1 ;;
  esac
  case $1 in
    --bin) bin=$2 ;;
    --fileserver) fileserver=$2 ;;
    --work) work=$2 ;;
    --threads) threads=$2 ;;
    --repeat) repeat=$2 ;;
    --in-flight) inflight=$2 ;;
    --restarts) restarts=$2 ;;
    --cycles) cycles=$2 ;;
    --rounds) rounds=$2 ;;
  esac
  shift 2
done
if [ -z "$bin" ] || [ -z "$fileserver" ] || [ -z "$work" ]; then
  echo "usage: $mode.sh --bin DIR --fileserver FILE --work DIR [--wine] [options]" >&2
  exit 1
fi
[ -x "$fileserver" ] || { echo "reliability: no native file server at $fileserver" >&2; exit 1; }

run_name=reliability
. "$here/lib/run-folder.sh"
make_folder

# finish: the verdict. A sanitizer or runtime report of the host process is a
# failure whatever the counts say.
finish() {
  stop_server
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
# sample_host_rss [LIMIT_KIB]: while the host runner started in the
# background ($host_pid) runs, appends "HH:MM:SS.mmm KiB" (its resident
# memory) to $work/rss.txt every 0.1 s; past LIMIT_KIB the host is killed.
sample_host_rss() {
  local limit_kib=${1:-} pid= rss
  : >"$work/rss.txt"
  while kill -0 "$host_pid" 2>/dev/null; do
    [ -z "$pid" ] || [ ! -d /proc/$pid ] && pid=$(find_host_pid)
    if [ -n "$pid" ]; then
      rss=$(awk '/^VmRSS:/{print $2}' /proc/$pid/status 2>/dev/null)
      [ -n "$rss" ] && echo "$(date +%H:%M:%S.%3N) $rss" >>"$work/rss.txt"
      if [ -n "$limit_kib" ] && [ -n "$rss" ] && [ "$rss" -gt "$limit_kib" ]; then
        kill -9 "$pid"
        echo "reliability: the host passed $limit_kib KiB and was killed" >&2
      fi
    fi
    sleep 0.1
  done
}
# wait_host: waits for the host runner started in the background; a Windows
# build that cannot run here ends the mode as skipped (125).
wait_host() {
  wait $host_pid
  [ $? -eq 125 ] && exit 125
  host_pid=
  return 0
}
# check_relayed TOTAL: the runner sent TOTAL commands and every one was answered
# once, in order, with exit code 0.
check_relayed() {
  read_summary
  [ "$host_rc" = 0 ] || fail "host runner exit code $host_rc, expected 0: $summary"
  [ "${sent:-0}" -eq "$1" ] && [ "${answered:-0}" -eq "$1" ] ||
    fail "expected $1 sent and answered: $summary"
}
# short_load [ARGS...]: the short load of the hostile-setting modes, 2
# threads x 200 commands.
short_load() {
  run_host --scenario "$work/scenario.txt" --threads 2 --repeat 200 --in-flight 32 \
    --timeout-ms 10000 --quiet "$@"
}
# seconds_since_start: wall time of the mode so far.
seconds_since_start() { echo "$(date +%s.%N) - $started" | bc; }

echo '1 Operation=6,Text=reliability,UserData=u' >"$work/scenario.txt"
started=$(date +%s.%N)
