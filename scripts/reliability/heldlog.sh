#!/usr/bin/env bash
# Reliability mode "heldlog": another process (velmora-holdfile) holds this
# hour's log file open for writing, and the next hour's should the hour turn
# during the run. The plug-in's lines are refused (a sharing violation under
# Windows, an exclusive lock natively), relaying goes on (the short load),
# and nothing of the plug-in lands in the held file.
#   heldlog.sh --bin DIR --fileserver FILE --work DIR [--wine]
. "$(dirname "$0")/../lib/reliability-run.sh"

start_server 0 "$work/server.log" || exit 1
write_settings "$port"
held=()
for t in now "+2 minutes"; do
  f="$work/Logs/$(date -d "$t" +%Y_%m_%d)/$(date -d "$t" +%H)_$plugin_file.log"
  mkdir -p "$(dirname "$f")"
  [[ " ${held[*]} " == *" $(windows_path "$f") "* ]] || held+=("$(windows_path "$f")")
done
holder=velmora-holdfile
[ $wine = yes ] && holder=velmora-holdfile.exe
cp "$bin/$holder" "$work/" || exit 1
# The holder takes the files, prints "held FILE" (or "refused FILE") for each
# and lets go when the file "release" appears, or after 120 s.
if [ $wine = yes ]; then
  bash "$here/../cmake/wine-run.sh" "$work/$holder" "$(windows_path "$work/release")" 120000 "${held[@]}" \
    >"$work/holder.out" 2>&1 &
else
  "$work/$holder" "$work/release" 120000 "${held[@]}" >"$work/holder.out" 2>&1 &
fi
holder_pid=$!
extra_pids+=($holder_pid)
for ((i = 0; i < 3000; i++)); do
  [ "$(grep -c '^held \|^refused ' "$work/holder.out")" -ge ${#held[@]} ] && break
  kill -0 $holder_pid 2>/dev/null || break
  sleep 0.01
done
grep -q '^refused \|usage' "$work/holder.out" && { cat "$work/holder.out" >&2; fail "the holder could not take the log file"; }
short_load
touch "$work/release"
wait $holder_pid
echo "RESULT heldlog $(grep '^sent ' "$work/host.out") host-exit $host_rc held-files ${#held[@]} plug-in-lines-in-held-files $(plugin_log | wc -l)"
check_relayed 400
[ "$(plugin_log | wc -c)" -eq 0 ] || fail "the plug-in wrote into the held log file"
finish
