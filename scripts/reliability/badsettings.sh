#!/usr/bin/env bash
# Reliability mode "badsettings": settings files that cannot be read or hold
# garbage, each case with the short load.
# (1) Garbage lines, a 100,000-byte line and high bytes before a sound
#     [Server] section (not at the start: a file opening with the bytes FF FE
#     is a UTF-16 one to the Windows profile reader), and garbage as the
#     host's settings file: both are read past, relaying and the log go on.
# (2) The settings file is a folder and (3) binary garbage with NUL bytes:
#     the plug-in relays to its defaults, 127.0.0.1:25001 (skipped, with a
#     note, when that port is taken).
#   badsettings.sh --bin DIR --fileserver FILE --work DIR [--wine]
. "$(dirname "$0")/../lib/reliability-run.sh"

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
