#!/usr/bin/env bash
# Builds the product a second time, from a copy of the sources in another
# folder, and checks that the plug-in, the staged package files and the
# package ZIP come out byte for byte as in the given build.
#   check-reproducible.sh CMAKE CPACK PRESET SOURCE_DIR BUILD_DIR WORK_DIR
# BUILD_DIR is a configured and built tree of PRESET (its package is made
# here with cpack, which only packs what the build staged). The second build
# configures PRESET with the first one's build type, without the suites, and
# builds only the plug-in and the package. Both copies of the work are removed
# when the bytes match and kept under WORK_DIR for inspection when not.
set -uo pipefail
cmake=$1 cpack=$2 preset=$3 source=$4 first=$5 work=$6
started=$SECONDS

fail() { echo "FAIL: $*"; exit 1; }
for file in bin/Velmora.dll package/Velmora.dll package/SHA256SUMS CPackConfig.cmake; do
  [ -f "$first/$file" ] || fail "$first/$file is missing: build $first first"
done

rm -rf "$work"
mkdir -p "$work"
echo "--- packing the first build ($first)"
(cd "$first" && "$cpack" --config CPackConfig.cmake -B "$work/first-package") >"$work/first-package.log" 2>&1 ||
  { cat "$work/first-package.log"; fail "cpack failed in $first"; }

# Another folder of another length for both the sources and the build.
copy=$work/second-source-folder
second=$work/second-build-in-another-folder
mkdir -p "$copy"
tar -C "$source" --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -C "$copy" -xf - ||
  fail "cannot copy $source"
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$first/CMakeCache.txt")
echo "--- second build ($second, $build_type)"
{ "$cmake" --preset "$preset" -S "$copy" -B "$second" -DCMAKE_BUILD_TYPE="$build_type" \
    -DVELMORA_TESTS=OFF -DCMAKE_SKIP_PACKAGE_ALL_DEPENDENCY=ON &&
  "$cmake" --build "$second" --target velmora_package_files -j2 &&
  "$cmake" --build "$second" --target package; } >"$work/second-build.log" 2>&1 ||
  { tail -40 "$work/second-build.log"; fail "the second build failed"; }

zip_name=$(cd "$work/first-package" && ls Velmora-*.zip 2>/dev/null)
[ -n "$zip_name" ] || fail "no package ZIP in $work/first-package"
different=0
compare() {
  if cmp -s "$1" "$2"; then
    echo "same  $(sha256sum "$1" | cut -c1-64)  $3"
  else
    echo "DIFFERENT  $3"
    different=1
  fi
}
compare "$first/bin/Velmora.dll" "$second/bin/Velmora.dll" "Velmora.dll as built"
for file in Velmora.dll Velmora.ini OPERATIONS.md SHA256SUMS velmora-check.exe extras/syslog/LogClient.dll \
            extras/syslog/README.md; do
  compare "$first/package/$file" "$second/package/$file" "package/$file"
done
compare "$work/first-package/$zip_name" "$second/$zip_name" "$zip_name"
echo "($((SECONDS - started)) s)"
if [ $different -ne 0 ]; then
  objdump=${preset/win32/i686}-w64-mingw32-objdump
  [ "$preset" = win64 ] && objdump=x86_64-w64-mingw32-objdump
  if command -v "$objdump" >/dev/null; then
    diff <("$objdump" -p "$first/bin/Velmora.dll") <("$objdump" -p "$second/bin/Velmora.dll") | head -20
  fi
  fail "two builds of the same sources differ (both kept under $work)"
fi
rm -rf "$work"
echo "OK: two builds in two folders give the same bytes"
