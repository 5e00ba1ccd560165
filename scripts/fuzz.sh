#!/usr/bin/env bash
# The fuzz runs (what scripts/test-all.sh runs last): builds the four fuzz
# targets of the "fuzz" preset (clang, libFuzzer, ASan/UBSan; in build/fuzz,
# the build's output in build/fuzz-targets.log), then runs each for
# FUZZ_SECONDS (60) with its working corpus in the build folder (the one its
# run_<target> helper uses), seeded from fuzz/corpus/<name>/, FUZZ_JOBS (2)
# targets at a time (each fuzzer is one busy process). Prints one RESULT line
# per target; a crash, leak, sanitizer report or hang fails the run and shows
# the end of that target's output. The test command runs 10 s per target;
# this script's default is the longer run.
#   FUZZ_SECONDS=N FUZZ_JOBS=N bash scripts/fuzz.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-2}
if ! command -v clang++ >/dev/null; then
  echo "fuzz: no clang++, fuzz targets not run" >&2
  exit 1
fi
build=build/fuzz
mkdir -p build
if ! { cmake --preset fuzz &&
       cmake --build --preset fuzz -j2 --target fuzz_params fuzz_command fuzz_response fuzz_settings
     } >build/fuzz-targets.log 2>&1; then
  grep -E -B2 -A20 'FAILED:|error:' build/fuzz-targets.log | head -150
  echo "fuzz: the fuzz targets did not build (build/fuzz-targets.log)" >&2
  exit 1
fi

# fuzz_one NAME: one target's run; its exit status lands in fuzz_NAME.rc.
fuzz_one() {
  local corpus=$build/fuzz/corpus/fuzz_$1
  mkdir -p "$corpus"
  "$build/bin/fuzz_$1" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "fuzz/corpus/$1" \
    >"$build/fuzz_$1.log" 2>&1
  echo $? >"$build/fuzz_$1.rc"
}
# Every target runs for the same time: JOBS at a time, batch after batch.
targets=(params command response settings)
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
  for f in "${targets[@]:i:jobs}"; do fuzz_one "$f" & done
  wait
done
status=0
for f in "${targets[@]}"; do
  [ "$(cat "$build/fuzz_$f.rc")" = 0 ] || { status=1; tail -30 "$build/fuzz_$f.log"; }
  echo "RESULT fuzz $f executions $(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz_$f.log") seconds $seconds"
done
exit $status
