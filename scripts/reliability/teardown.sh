#!/usr/bin/env bash
# Reliability mode "teardown": the trust boundaries at the plug-in's end, at
# length, from the test programs of a build folder (natively under its
# sanitizer, or under Wine for a Windows build):
#   late       velmora_cases tests/cases/late_callbacks/four_callbacks_after_each_destroy_reach_nothing.case
#   inflight   velmora_cases tests/cases/late_callbacks/receive_in_flight_across_finalize_reaches_nothing_freed.case
#   handles    unload_test LibraryUnload.PluginWorkCyclesKeepNoThreadSlotOrHandle
# each CYCLES (1000) cycles of Init_Plugin to Finalize_Plugin (late, inflight)
# or of load to unload (handles: the slot and handle floors, and host objects
# on the values each cycle freed). One RESULT line per case; a failed case, a
# crash or a sanitizer report fails the mode.
#   reliability/teardown.sh BUILD_FOLDER [CYCLES]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: teardown.sh BUILD_FOLDER [CYCLES]} cycles=${2:-1000}
bin=$build/bin run=() exe=
if [ -f "$bin/unload_test.exe" ]; then run=(bash "$root/cmake/wine-run.sh") exe=.exe; fi
status=0
one() {  # NAME PROGRAM ARGUMENTS...
  local out start=$SECONDS rc
  out=$(LATE_CALLBACK_CYCLES=$cycles UNLOAD_CYCLES=$cycles WINEDEBUG=-all \
        "${run[@]}" "$bin/$2$exe" "${@:3}" 2>&1)
  rc=$?
  grep -a -q 'ERROR: .*Sanitizer\|WARNING: ThreadSanitizer\|runtime error:' <<<"$out" && rc=1
  echo "RESULT teardown $1 cycles $cycles exit $rc seconds $((SECONDS - start))" \
       "$(grep -a -E '^PASS|late-call lines|host objects|free thread slots' <<<"$out" | tr '\n' ' ')"
  [ $rc -eq 0 ] || { status=1; tail -30 <<<"$out"; }
}
cases=$root/tests/cases/late_callbacks
one late velmora_cases "$cases/four_callbacks_after_each_destroy_reach_nothing.case"
one inflight velmora_cases "$cases/receive_in_flight_across_finalize_reaches_nothing_freed.case"
one handles unload_test --gtest_filter='LibraryUnload.PluginWorkCyclesKeepNoThreadSlotOrHandle'
exit $status
