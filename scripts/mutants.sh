#!/usr/bin/env bash
# The mutant check: each patch in tests/mutants/ is one realistic fault of the
# relay, log, parameter or transport code (its first line says which). Each
# is applied in turn to a scratch copy of the sources, the copy's build
# (native Debug, no sanitizer: the dev preset's settings) is rebuilt, and the
# tests labelled LABEL (fast) run until the first failure. A mutant is caught
# when a test fails twice (or the tests hang), survives when all pass,
# and is counted apart when it does not build. Prints one line per mutant,
# then the total. The copy and its build stay in the work folder, so a second
# run rebuilds only what the mutants touch.
#   bash scripts/mutants.sh [--tree DIR] [--work DIR] [--only PATTERN]
#   --tree: the sources to check (default: this checkout); the mutants are
#   always this checkout's. --only: mutants whose file name matches PATTERN.
#   LABEL='' runs every test (a tree without tiers); LIMIT (240): seconds
#   for one mutant's tests, beyond which they count as hung.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tree=$root
work=$root/build/mutants
only=
while [ $# -gt 0 ]; do
  case $1 in
    --tree) tree=$(cd "$2" && pwd); shift 2 ;;
    --work) work=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    *) echo "mutants: unknown argument $1" >&2; exit 2 ;;
  esac
done
label=${LABEL-fast}
src=$work/src
bld=$work/build
mkdir -p "$work"

# The copy: a file that differs from the tree's (a mutant left behind
# included) is copied with a fresh time, so the build takes it up; the others
# are left alone and not rebuilt. Files the tree no longer has go.
mkdir -p "$src"
listing() { (cd "$1" && find . -path ./build -prune -o -path ./.git -prune -o -type f -print | sort); }
comm -13 <(listing "$tree") <(listing "$src") | (cd "$src" && xargs -r rm -f)
while read -r file; do
  cmp -s "$tree/$file" "$src/$file" && continue
  mkdir -p "$(dirname "$src/$file")" && cp "$tree/$file" "$src/$file" || exit 1
done < <(listing "$tree")
if [ ! -f "$bld/build.ninja" ]; then
  cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE= \
    -DVELMORA_BENCH=OFF -DVELMORA_FUZZ=OFF >"$work/configure.log" 2>&1 ||
    { tail -20 "$work/configure.log"; echo "mutants: configure failed" >&2; exit 1; }
fi
# A failing test runs once more: a fault fails it twice, a timing case upset
# by a loaded machine rarely does.
tests=(--test-dir "$bld" -j2 --stop-on-failure --repeat until-pass:2)
[ -n "$label" ] && tests+=(-L "$label")

# run_tests LOG: the chosen tests; the name of the first failing test, if
# any, on stdout; fails when a test failed. Tests keep their own time-outs
# (minutes): a run over LIMIT seconds (240) is a hang, its process group ended.
limit=${LIMIT:-240}
run_tests() {
  setsid ctest "${tests[@]}" >"$1" 2>&1 &
  local run=$!
  (for ((i = 0; i < limit; i++)); do sleep 1; kill -0 "$run" 2>/dev/null || exit 0; done
   kill -KILL -- "-$run" 2>/dev/null && echo "HUNG" >>"$1") &
  local watch=$!
  wait "$run"
  local rc=$?
  wait "$watch"
  if grep -q '^HUNG$' "$1"; then echo "a hang (over $limit s)"; return 1; fi
  [ $rc -eq 0 ] && return 0
  awk '/^The following tests FAILED:/ { on = 1; next }
       on && /^[[:space:]]*[0-9]+ - / { sub(/^[[:space:]]*[0-9]+ - /, ""); sub(/ \([^()]*\)$/, ""); print; exit }' "$1"
  return 1
}

start=$SECONDS
cmake --build "$bld" -j2 >"$work/build.log" 2>&1 ||
  { grep -E -A10 'FAILED:|error:' "$work/build.log" | head -40; echo "mutants: the unmutated tree does not build" >&2; exit 1; }
if ! failed=$(run_tests "$work/baseline.log"); then
  echo "mutants: the unmutated tree fails its tests ($failed; $work/baseline.log)" >&2
  exit 1
fi
echo "baseline: builds, tests pass ($((SECONDS - start)) s)"

applied=
revert() { [ -n "$applied" ] && patch -s -R -p1 -d "$src" <"$applied"; applied=; }
trap 'revert; exit 130' INT TERM

caught=0 survived=0 unbuilt=0 total=0 survivors=()
for mutant in "$root"/tests/mutants/*.patch; do
  name=$(basename "$mutant" .patch)
  [ -n "$only" ] && [[ $name != *$only* ]] && continue
  total=$((total + 1))
  began=$SECONDS
  if ! patch -s -p1 -d "$src" <"$mutant"; then
    echo "mutants: $name does not apply to $tree" >&2; exit 1
  fi
  applied=$mutant
  if ! cmake --build "$bld" -j2 >"$work/$name.build.log" 2>&1; then
    unbuilt=$((unbuilt + 1)); result="does not build"
  elif failed=$(run_tests "$work/$name.log"); then
    survived=$((survived + 1)); survivors+=("$name"); result="survived"
  else
    caught=$((caught + 1)); result="caught by $failed"
  fi
  revert
  printf '%-48s %s (%d s)\n' "$name" "$result" $((SECONDS - began))
done
# The tree as it was: the next run starts from an unmutated build.
cmake --build "$bld" -j2 >>"$work/build.log" 2>&1
echo "RESULT mutants $total caught $caught survived $survived unbuilt $unbuilt seconds $((SECONDS - start))"
[ ${#survivors[@]} -gt 0 ] && printf 'survived: %s\n' "${survivors[@]}"
exit 0
