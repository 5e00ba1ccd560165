#!/usr/bin/env bash
# Reliability mode "notransport": no transport library in reach. The plug-in
# starts without a client, accepts every command and logs each one as
# dropped; the host sees nothing but missing answers (2 threads x 200).
#   notransport.sh --bin DIR --fileserver FILE --work DIR [--wine]
. "$(dirname "$0")/../lib/reliability-run.sh"

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
