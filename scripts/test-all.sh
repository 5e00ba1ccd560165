#!/usr/bin/env bash
# The whole test run: installs what is missing, then configures, builds and
# tests each build in turn and exits non-zero when any step of any build
# failed. Builds: native (AddressSanitizer + UndefinedBehaviorSanitizer),
# native-tsan (ThreadSanitizer), win32 (the product, 32-bit Windows; its
# suites run under 32-bit Wine where the machine can run it) and, where it
# cannot, win64 (the same code for 64-bit Windows, its suites under 64-bit
# Wine). The builds whose suites do not run here are still configured and
# built whole, so that one that stops building cannot pass unseen:
# native-release (Release, the benchmarks; no suites) and fuzz (clang,
# libFuzzer). Last, each fuzz target runs for FUZZ_SECONDS (10) seconds, two
# at a time (scripts/fuzz.sh; `bash scripts/fuzz.sh` alone is the longer run,
# 60 s each).
# Every Wine server started for the run is stopped at the end.
#
# Under Wine a failed test is run once more (ctest --repeat until-pass:2):
# about one Wine process in a few thousand ends at start-up with no output at
# all, which no code of ours can cause or report. Both attempts stay in the
# output; a fault of ours fails twice.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh || { echo "test-all: installing the dependencies failed"; exit 1; }

presets=(native native-tsan win32)
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "test-all: this machine cannot run 32-bit Wine (its kernel runs no 32-bit programs);" \
       "the Windows suites run in the win64 build"
  presets+=(win64)
fi

stop_wine() {
  for prefix in "$root"/build/win32/wineprefix "$root"/build/win64/wineprefix; do
    [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
  done
  return 0
}
trap stop_wine EXIT

mkdir -p build
failed=()
summary=()
# build PRESET: configures and builds every target of PRESET, its output in
# build/PRESET.log; on failure prints the errors and records it.
build() {
  echo "=== $1: configure"
  if ! cmake --preset "$1" >"build/$1.log" 2>&1; then
    cat "build/$1.log"; failed+=("$1 (configure)"); return 1
  fi
  echo "=== $1: build"
  if ! cmake --build --preset "$1" -j2 >>"build/$1.log" 2>&1; then
    grep -E -B2 -A20 'FAILED:|error:' "build/$1.log" | head -150
    failed+=("$1 (build)"); return 1
  fi
}
# The builds and the suites overlap: while one preset's suites run, the next
# preset builds at the lowest priority, in the processor time the suites
# leave (many of them sleep on time-outs), so the suites keep the machine
# first and their timings are not stretched. Beside the last suites run the
# build-only presets and then the fuzz runs (bounded by time, so they only
# lose executions to the suites). A background step's messages are printed
# when it is waited for.
# in_background NAME COMMAND...: runs COMMAND niced, its messages in
# build/NAME.step, the failures it records in build/NAME.failed.
declare -A step_pid step_start
in_background() {
  local name=$1; shift
  step_start[$name]=$SECONDS
  ( renice -n 19 -p $BASHPID >/dev/null 2>&1; failed=(); "$@" >"build/$name.step" 2>&1
    printf '%s\n' "${failed[@]}" >"build/$name.failed" ) &
  step_pid[$name]=$!
}
# finish NAME: waits for it, prints its messages, takes its failures; false
# when it recorded any.
finish() {
  wait "${step_pid[$1]}"
  cat "build/$1.step"
  local lines
  mapfile -t lines < <(grep -v '^$' "build/$1.failed")
  failed+=("${lines[@]}")
  [ ${#lines[@]} -eq 0 ]
}
# The build-only presets, then the fuzz runs.
last_steps() {
  local start=$SECONDS
  summary=()
  build native-release && summary+=("native-release: build $((SECONDS - start)) s (built only)")
  start=$SECONDS
  build fuzz && summary+=("fuzz: build $((SECONDS - start)) s")
  start=$SECONDS
  echo "=== fuzz: ${FUZZ_SECONDS:-10} s per target"
  FUZZ_SECONDS=${FUZZ_SECONDS:-10} bash scripts/fuzz.sh || failed+=("fuzz (runs)")
  summary+=("fuzz: runs $((SECONDS - start)) s")
  printf '%s\n' "${summary[@]}" >build/last-steps.summary
}

in_background "${presets[0]}" build "${presets[0]}"
for index in "${!presets[@]}"; do
  preset=${presets[$index]}
  finish "$preset"
  ok=$?
  summary+=("$preset: build $((SECONDS - step_start[$preset])) s (beside the suites before it)")
  next=$((index + 1))
  if [ $next -lt ${#presets[@]} ]; then
    in_background "${presets[$next]}" build "${presets[$next]}"
  else
    in_background last last_steps
  fi
  [ $ok -eq 0 ] || continue
  echo "=== $preset: test"
  start=$SECONDS
  # Natively three tests at a time: many of them sleep on real time-outs, so
  # a third keeps both cores busy (measured: native 78 s -> 56 s, TSan 87 s
  # -> 62 s; four upset the timed syslog runs). Under Wine two: every Wine
  # process start is work of its own.
  retry=() jobs=3
  case $preset in win*) retry=(--repeat until-pass:2) jobs=2 ;; esac
  ctest --preset "$preset" -j$jobs --output-on-failure "${retry[@]}" || failed+=("$preset (tests)")
  summary+=("$preset: tests $((SECONDS - start)) s")
done
finish last
[ -f build/last-steps.summary ] && mapfile -t -O ${#summary[@]} summary <build/last-steps.summary

echo "=== timings"
printf '  %s\n' "${summary[@]}"
# What the run proved of the Windows build: the shipped DLL is the i686 one.
if [[ " ${presets[*]} " == *" win64 "* ]]; then
  echo "test-all: Windows suites ran in the win64 build under 64-bit Wine; the win32 build" \
       "(the shipped i686 DLL) was built and its exports checked, its suites not run here"
else
  echo "test-all: Windows suites ran in the win32 build (the shipped i686 DLL) under 32-bit Wine"
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "test-all: FAILED: ${failed[*]}"
  exit 1
fi
echo "test-all: every build and every test passed"
