#!/usr/bin/env bash
# Every reliability run with its figures as RESULT lines: builds the native
# ASan/UBSan tree (reliability/build.sh, build/reliability-native), runs the
# nine modes at full size, the teardown mode, then the in-process
# reliability_test, then the fuzz targets (scripts/fuzz.sh). REL_QUICK=1 runs CI-sized versions;
# FUZZ_SECONDS sets each fuzz run (60).
#   reliability/all.sh          (or: scripts/reliability.sh all)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
nb=$root/build/reliability-native b=$root/build/reliability-native/bin
bash "$here/build.sh" "$nb" || exit 1

if [ "${REL_QUICK:-0}" = 1 ]; then lr=1000 fr=25000 rs=3 cy=30 mr=2000 td=50; else lr=25000 fr=100000 rs=10 cy=2000 mr=10000 td=1000; fi
status=0
run() { bash "$here/$1.sh" --bin "$b" --fileserver "$b/velmora-fileserver" --work "$nb/rel-$1" "${@:2}" || status=1; }
run load --threads 8 --repeat $lr
run memory --threads 8 --repeat $mr --rounds 3
run faults --threads 8 --repeat $fr --restarts $rs
run cycles --cycles $cy
for m in notransport nologdir heldlog logclient badsettings; do run $m; done
bash "$here/teardown.sh" "$nb" $td || status=1
"$b/reliability_test" || status=1

if command -v clang++ >/dev/null; then
  bash "$here/../fuzz.sh" || status=1
else
  echo "reliability: no clang++, fuzz targets not run" >&2
fi
exit $status
