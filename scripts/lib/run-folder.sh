# Shared by scripts/e2e.sh and the reliability modes (through
# scripts/lib/reliability-run.sh; sourced, not run): the run folder with the
# host runner, the plug-in and the transport side by side, as beside a real
# host; the file server's start, kill and stop; the host runner's run; the
# plug-in's log; failure counting. Every process started here is stopped on
# every way out of the sourcing script.
#
# Set before sourcing: here (the scripts folder), bin, fileserver, work,
# wine (yes|no), run_name (the prefix of messages).

if [ $wine = yes ]; then
  host_exe=velmora-host.exe plugin_file=Velmora.dll transport_file=cl_vexo_transport.dll
  library_suffix=dll
else
  host_exe=velmora-host plugin_file=Velmora.so transport_file=cl_vexo_transport.so
  library_suffix=so
fi

# make_folder: empties $work and puts the host runner, the plug-in and the
# TCP transport into it (the plug-in finds the transport by its bare name,
# starting in the host program's folder); $work becomes absolute.
make_folder() {
  rm -rf "$work"
  mkdir -p "$work/root"
  cp "$bin/$host_exe" "$bin/$plugin_file" "$bin/tcp/$transport_file" "$work/" || exit 1
  work=$(cd "$work" && pwd)
}

server_pid= host_pid= host_rc=none
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
  fi
}
# kill_server: the server dies at once (SIGKILL), as on a crash.
kill_server() {
  if [ -n "$server_pid" ]; then
    kill -9 "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
  fi
}
# extra_pids: more background processes of the sourcing script, stopped last.
extra_pids=()
stop_all() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null
  stop_server
  local p
  for p in "${extra_pids[@]}"; do kill "$p" 2>/dev/null; done
  return 0
}
trap stop_all EXIT
trap 'exit 1' INT TERM

# start_server PORT LOG: starts the file server on 127.0.0.1:PORT (0: any
# free port) over $work/root and sets $port to the port it listens on.
start_server() {
  "$fileserver" --listen "127.0.0.1:$1" --root "$work/root" >"$2" 2>&1 &
  server_pid=$!
  local i
  for ((i = 0; i < 500; i++)); do
    if grep -q '^listening ' "$2" 2>/dev/null; then
      port=$(sed -n 's/^listening .*:\([0-9]*\)$/\1/p' "$2" | head -1)
      return 0
    fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.01
  done
  echo "$run_name: the file server did not start:" >&2
  cat "$2" >&2
  return 1
}

write_settings() {
  printf '[Server]\r\nFSServerAddr=127.0.0.1\r\nFSServerPort=%s\r\n' "$1" >"$work/Velmora.ini"
}

# windows_path PATH: PATH as the plug-in's platform layer takes it (under
# Wine the Z: drive maps the Linux root).
windows_path() {
  if [ $wine = yes ]; then printf 'Z:%s' "${1//\//\\}"; else printf '%s' "$1"; fi
}

# run_host ARGS...: runs the host runner in the folder; output in host.out,
# errors in host.err, exit code in host.rc and $host_rc. A Windows build that
# cannot run here ends the script with 125 (skipped); run in the background,
# the subshell ends with 125.
run_host() {
  if [ $wine = yes ]; then
    (cd "$work" && bash "$here/../cmake/wine-run.sh" "$work/$host_exe" "$plugin_file" "$@") \
      >"$work/host.out" 2>"$work/host.err"
  else
    (cd "$work" && "$work/$host_exe" "$work/$plugin_file" "$@") >"$work/host.out" 2>"$work/host.err"
  fi
  host_rc=$?
  echo $host_rc >"$work/host.rc"
  [ $host_rc -eq 125 ] && [ $wine = yes ] && { cat "$work/host.err" >&2; exit 125; }
  return 0
}
# read_summary: the runner's closing line into $summary, $sent, $answered,
# $missing, $duplicates, $outoforder; its exit code into $host_rc.
read_summary() {
  summary=$(grep '^sent ' "$work/host.out" | tail -1)
  read -r _ sent _ answered _ missing _ duplicates _ outoforder _ <<<"$summary"
  host_rc=$(cat "$work/host.rc" 2>/dev/null || echo none)
}

# plugin_log: the plug-in's log lines (all hourly files, in order).
plugin_log() {
  find "$work/Logs" -name "*_$plugin_file.log" 2>/dev/null | sort | xargs -r cat
}
# dropped_count: commands the plug-in logged as ended without an answer, one
# line each: a command it could not queue or could not send (a failure line),
# or one it sent whose answer cannot come any more ("No answer").
dropped_count() {
  plugin_log | grep -a -c -E '^[^ ]+ ((Command_Plugin|ProcessCommand) \[SessionACT=[-0-9]*\] EXCEPTION|No answer \[SessionACT=[-0-9]*\]): '
}

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
