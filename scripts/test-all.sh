#!/usr/bin/env bash
# The whole test run: installs what is missing, then configures, builds and
# tests each build in turn and exits non-zero when any step of any build
# failed. Builds: native (AddressSanitizer + UndefinedBehaviorSanitizer),
# native-tsan (ThreadSanitizer), win32 (the product, 32-bit Windows; its
# suites run under 32-bit Wine where the machine can run it) and, where it
# cannot, win64 (the same code for 64-bit Windows, its suites under 64-bit
# Wine). Then each fuzz target runs for FUZZ_SECONDS (60) seconds. Every Wine
# server started for the run is stopped at the end.
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
for preset in "${presets[@]}"; do
  start=$SECONDS
  echo "=== $preset: configure"
  if ! cmake --preset "$preset" >"build/$preset.log" 2>&1; then
    cat "build/$preset.log"; failed+=("$preset (configure)"); continue
  fi
  echo "=== $preset: build"
  if ! cmake --build --preset "$preset" -j2 >>"build/$preset.log" 2>&1; then
    grep -E -B2 -A20 'FAILED:|error:' "build/$preset.log" | head -150
    failed+=("$preset (build)"); continue
  fi
  built=$SECONDS
  echo "=== $preset: test"
  retry=()
  case $preset in win*) retry=(--repeat until-pass:2) ;; esac
  ctest --preset "$preset" -j2 --output-on-failure "${retry[@]}" || failed+=("$preset (tests)")
  summary+=("$preset: build $((built - start)) s, tests $((SECONDS - built)) s")
done

start=$SECONDS
echo "=== fuzz: ${FUZZ_SECONDS:-60} s per target"
FUZZ_SECONDS=${FUZZ_SECONDS:-60} bash scripts/reliability.sh fuzz || failed+=("fuzz")
summary+=("fuzz: build and runs $((SECONDS - start)) s")

echo "=== timings"
printf '  %s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "test-all: FAILED: ${failed[*]}"
  exit 1
fi
echo "test-all: every build and every test passed"
