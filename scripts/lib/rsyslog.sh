#!/usr/bin/env bash
# A private rsyslogd for the syslog client's tests, on free loopback ports,
# with its configuration, state and output in one work folder:
#   rsyslog.sh start DIR    starts it and waits until it listens; writes
#                           DIR/ports ("tcp=N udp=M") and DIR/pid
#   rsyslog.sh stop DIR     stops it (TERM, then KILL after 5 s)
#   rsyslog.sh restart DIR  stops it and starts it again on the same ports
# Every message it receives is one line of DIR/messages.log, fields separated
# by TAB: time as received (RFC 3339), host, app-name, procid, msgid, PRI,
# text (the BOM, when sent, kept in front of it). DIR/raw.log holds the
# messages as they arrived.
set -uo pipefail
action=${1:-} dir=${2:-}
if [ -z "$action" ] || [ -z "$dir" ]; then
  echo "usage: rsyslog.sh start|stop|restart DIR" >&2
  exit 1
fi
command -v rsyslogd >/dev/null || { echo "rsyslog.sh: rsyslogd is not installed (scripts/install-deps.sh)" >&2; exit 1; }

free_udp_port() {
  python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

stop() {
  [ -f "$dir/pid" ] || return 0
  local pid
  pid=$(cat "$dir/pid")
  kill "$pid" 2>/dev/null
  for ((i = 0; i < 500; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
  done
  kill -9 "$pid" 2>/dev/null
  rm -f "$dir/pid"
  return 0
}

start() {
  local tcp=$1 udp=$2
  rm -f "$dir/tcp.port"
  cat >"$dir/rsyslog.conf" <<CONF
global(workDirectory="$dir/state" maxMessageSize="64k")
module(load="imtcp")
module(load="imudp")
input(type="imtcp" address="127.0.0.1" port="$tcp" listenPortFileName="$dir/tcp.port" ruleset="tests")
input(type="imudp" address="127.0.0.1" port="$udp" ruleset="tests")
template(name="fields" type="string"
         string="%timestamp:::date-rfc3339%\t%hostname%\t%app-name%\t%procid%\t%msgid%\t%pri%\t%msg%\n")
template(name="raw" type="string" string="%rawmsg%\n")
ruleset(name="tests") {
  action(type="omfile" file="$dir/messages.log" template="fields")
  action(type="omfile" file="$dir/raw.log" template="raw")
}
CONF
  mkdir -p "$dir/state"
  # Detached from the caller's output, so that a test runner waiting for it
  # to close does not wait for the daemon.
  setsid rsyslogd -n -f "$dir/rsyslog.conf" -i "$dir/pid" </dev/null >"$dir/rsyslogd.out" 2>&1 &
  # A free port is written to tcp.port once it listens; a given one is
  # listening once it takes a connection.
  for ((i = 0; i < 1000; i++)); do
    if [ -s "$dir/pid" ]; then
      if [ "$tcp" -eq 0 ] && [ -s "$dir/tcp.port" ]; then tcp=$(cat "$dir/tcp.port"); fi
      if [ "$tcp" -ne 0 ] && (: >"/dev/tcp/127.0.0.1/$tcp") 2>/dev/null; then
        echo "tcp=$tcp udp=$udp" >"$dir/ports"
        return 0
      fi
    fi
    sleep 0.01
  done
  echo "rsyslog.sh: rsyslogd did not start:" >&2
  cat "$dir/rsyslogd.out" >&2
  return 1
}

case $action in
start)
  stop
  rm -rf "$dir"
  mkdir -p "$dir"
  start 0 "$(free_udp_port)"
  ;;
stop) stop ;;
restart)
  read -r tcp udp < <(sed 's/tcp=\([0-9]*\) udp=\([0-9]*\)/\1 \2/' "$dir/ports")
  stop
  start "$tcp" "$udp"
  ;;
*) echo "rsyslog.sh: unknown action $action" >&2; exit 1 ;;
esac
