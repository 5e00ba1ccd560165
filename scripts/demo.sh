#!/usr/bin/env bash
# The demo: the host runner sends demo/scenario.txt through the real plug-in
# under Wine, which relays each command through the TCP transport to the file
# server over a demo folder; prints the answers, then the plug-in's log.
# Run as root on Debian 12 (installs what is missing first):
#   bash scripts/demo.sh
# Builds: the Windows programs (win32, or win64 where 32-bit Wine cannot run)
# in build/demo-<preset>, the native file server in build/demo-fileserver;
# the assembled folder is build/demo. The file server and the Wine server are
# stopped on every way out.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$SECONDS

step() { echo; echo "=== $*"; }

step "installing what is missing"
bash scripts/install-deps.sh

# The product is the 32-bit Velmora.dll. 32-bit Wine needs a kernel that runs
# 32-bit Linux programs; without it the demo runs the same code built for
# 64-bit Windows under 64-bit Wine.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  preset=win32
else
  preset=win64
  echo "demo: this machine cannot run 32-bit Wine, so the demo runs the win64 build of the" \
       "same code under 64-bit Wine (the 32-bit Velmora.dll is built and its exports shown)"
fi
build=$root/build/demo-$preset
server_build=$root/build/demo-fileserver
demo=$root/build/demo
mkdir -p "$root/build"

step "building the $preset plug-in, host runner and TCP transport ($build)"
cmake --preset "$preset" -B "$build" -DVELMORA_TESTS=OFF >"$build.log" 2>&1 ||
  { cat "$build.log"; exit 1; }
cmake --build "$build" --target velmora_plugin velmora-host velmora_transport_tcp -j2 >>"$build.log" 2>&1 ||
  { tail -60 "$build.log"; exit 1; }

if [ $preset = win64 ]; then
  step "building the 32-bit Velmora.dll (not run here)"
  build32=$root/build/demo-win32
  { cmake --preset win32 -B "$build32" -DVELMORA_TESTS=OFF &&
    cmake --build "$build32" --target velmora_plugin -j2; } >"$build32.log" 2>&1 ||
    { tail -60 "$build32.log"; exit 1; }
  version=$(sed -n 's/^project(Velmora VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  bash cmake/check-exports.sh pe "$build32/bin/Velmora.dll" i686-w64-mingw32-objdump "$version" i386 ||
    exit 1
fi

step "building the native file server ($server_build)"
{ cmake -S . -B "$server_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=OFF &&
  cmake --build "$server_build" --target velmora-fileserver -j2; } >"$server_build.log" 2>&1 ||
  { tail -60 "$server_build.log"; exit 1; }
built=$SECONDS

step "assembling $demo"
rm -rf "$demo"
mkdir -p "$demo"
cp "$build/bin/velmora-host.exe" "$build/bin/Velmora.dll" "$build/bin/tcp/cl_vexo_transport.dll" "$demo/"
cp -r demo/files "$demo/root"
cp demo/scenario.txt "$demo/"

server_pid=
export WINEPREFIX=$build/wineprefix
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

step "starting the file server on a free loopback port"
"$server_build/bin/velmora-fileserver" --listen 127.0.0.1:0 --root "$demo/root" >"$demo/fileserver.log" 2>&1 &
server_pid=$!
port=
for ((i = 0; i < 500; i++)); do
  port=$(sed -n 's/^listening .*:\([0-9]*\)$/\1/p' "$demo/fileserver.log" | head -1)
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.01
done
[ -n "$port" ] || { cat "$demo/fileserver.log"; echo "demo: the file server did not start"; exit 1; }
head -2 "$demo/fileserver.log"
# The plug-in's settings file lies beside it: same name, ".ini".
printf '[Server]\r\nFSServerAddr=127.0.0.1\r\nFSServerPort=%s\r\n' "$port" >"$demo/Velmora.ini"
echo "settings: $demo/Velmora.ini -> 127.0.0.1:$port"

step "running the scenario under Wine: velmora-host.exe Velmora.dll --scenario scenario.txt"
set +e
(cd "$demo" && VELMORA_BUILD_DIR=$build bash "$root/cmake/wine-run.sh" "$demo/velmora-host.exe" Velmora.dll \
   --scenario scenario.txt --timeout-ms 5000)
host_rc=$?
set -e
echo "(host runner exit code $host_rc)"

step "the file server's log"
tail -n +3 "$demo/fileserver.log"

step "the plug-in's log (code page 1251, shown in UTF-8)"
found=no
while IFS= read -r log; do
  found=yes
  echo "--- ${log#"$demo"/}"
  iconv -f CP1251 -t UTF-8 "$log" | tr -d '\r'
done < <(find "$demo/Logs" -type f -name '*_Velmora.dll.log' 2>/dev/null | sort)
[ $found = yes ] || echo "(no log file under $demo/Logs)"

step "the demo folder afterwards"
(cd "$demo/root" && find . -type f | sort)

echo
echo "demo: builds $((built - started)) s, run $((SECONDS - built)) s"
exit $host_rc
