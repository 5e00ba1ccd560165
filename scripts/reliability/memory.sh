#!/usr/bin/env bash
# Reliability mode "memory": --rounds rounds of load in one host process
# (load, initialise, send, finalise, unload each round), the host's resident
# memory sampled from /proc every 0.1 s. The peak of the last round may not
# exceed the first round's by more than 10 % + 4 MiB. Under AddressSanitizer
# freed memory is held in quarantine; a small one keeps the figure about the
# program, not the tool.
#   memory.sh --bin DIR --fileserver FILE --work DIR [--wine]
#             [--threads N] [--repeat N] [--in-flight N] [--rounds N]
. "$(dirname "$0")/../lib/reliability-run.sh"

start_server 0 "$work/server.log" || exit 1
write_settings "$port"
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=8
run_host --scenario "$work/scenario.txt" --threads "$threads" --repeat "$repeat" \
  --in-flight "$inflight" --cycles "$rounds" --timeout-ms 20000 --quiet &
host_pid=$!
sample_host_rss
wait_host
read_summary
# Round boundaries: the plug-in's "Init_Plugin" lines (local time of day);
# each sample belongs to the last round started before it.
plugin_log | tr -d '\r' | awk '/ Init_Plugin: /{print $1}' >"$work/rounds.txt"
peaks=$(awk 'NR==FNR { start[++n] = $1; next }
             { r = 0; for (i = 1; i <= n; i++) if ($1 >= start[i]) r = i
               if (r > 0 && $2 > peak[r]) peak[r] = $2 }
             END { for (i = 1; i <= n; i++) printf "%d ", peak[i] + 0 }' \
        "$work/rounds.txt" "$work/rss.txt")
read -r -a peak <<<"$peaks"
echo "RESULT memory rounds $rounds threads $threads repeat $repeat sent ${sent:-?} answered ${answered:-?} peak-rss-kib-per-round ${peaks% } samples $(wc -l <"$work/rss.txt") host-exit $host_rc seconds $(seconds_since_start)"
check_relayed $((threads * repeat * rounds))
if [ ${#peak[@]} -ne "$rounds" ] || [ "${peak[0]:-0}" -eq 0 ]; then
  fail "could not sample every round's memory: peaks '${peaks}'"
else
  last=${peak[$((rounds - 1))]} first=${peak[0]}
  [ "$last" -le $((first + first / 10 + 4096)) ] ||
    fail "resident memory grew: $first KiB in the first round, $last KiB in the last"
fi
finish
