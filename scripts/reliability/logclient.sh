#!/usr/bin/env bash
# Reliability mode "logclient": the host's settings file names a log client
# (the LogClient stand-in) that declines every line. Each line is offered to
# it, then written to the file, so the lines offered and the lines in the
# file are the same count; relaying goes on (the short load).
#   logclient.sh --bin DIR --fileserver FILE --work DIR [--wine]
. "$(dirname "$0")/../lib/reliability-run.sh"

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
