#!/usr/bin/env bash
# Reliability mode "nologdir": "Logs" beside the host is a plain file, so no
# log folder can be made. Every log line is lost, relaying goes on (the short
# load: 2 threads x 200, every answer once and in order), and the file is
# left untouched.
#   nologdir.sh --bin DIR --fileserver FILE --work DIR [--wine]
. "$(dirname "$0")/../lib/reliability-run.sh"

start_server 0 "$work/server.log" || exit 1
write_settings "$port"
echo 'not a folder' >"$work/Logs"
short_load
echo "RESULT nologdir $(grep '^sent ' "$work/host.out") host-exit $host_rc log-files $(find "$work" -name '*.log' -path '*Logs*' | wc -l)"
check_relayed 400
[ -f "$work/Logs" ] && [ "$(cat "$work/Logs")" = 'not a folder' ] || fail "the file named Logs was touched"
finish
