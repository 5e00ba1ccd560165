#!/usr/bin/env bash
# Reliability mode "load": --threads host threads each send --repeat echo
# commands (operation 6), at most --in-flight unanswered, through the host
# runner, the plug-in, the TCP transport and the file server. Every answer
# must arrive once and in its session's order, and no command may be dropped.
#   load.sh --bin DIR --fileserver FILE --work DIR [--wine]
#           [--threads N] [--repeat N] [--in-flight N]
. "$(dirname "$0")/../lib/reliability-run.sh"

start_server 0 "$work/server.log" || exit 1
write_settings "$port"
run_host --scenario "$work/scenario.txt" --threads "$threads" --repeat "$repeat" \
  --in-flight "$inflight" --timeout-ms 20000 --quiet
read_summary
dropped=$(dropped_count)
echo "RESULT load threads $threads repeat $repeat sent ${sent:-?} answered ${answered:-?} missing ${missing:-?} duplicates ${duplicates:-?} out-of-order ${outoforder:-?} dropped $dropped host-exit $host_rc seconds $(seconds_since_start)"
check_relayed $((threads * repeat))
[ "$dropped" -eq 0 ] || fail "$dropped commands dropped without a fault"
finish
