#!/usr/bin/env bash
# The demo: builds the release package, installs it as an operator would
# (OPERATIONS.md, "Installing"), runs the check tool velmora-check.exe once, and has the host runner send
# demo/scenario.txt through the plug-in under Wine, which relays each command
# through the TCP transport to the file server over a demo folder; prints the
# answers, then the plug-in's log.
# Run as root on Debian 12 (installs what is missing first):
#   bash scripts/demo.sh
# Builds: the Windows package and programs (win32, or win64 where 32-bit Wine
# cannot run) in build/demo-<preset>, the native file server in
# build/demo-fileserver. The installed folder is build/demo: the host runner
# and the transport library in it, the plug-in and its settings file from the
# unpacked ZIP in build/demo/plugins. The file server and the Wine server are
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
  echo "demo: this machine cannot run 32-bit Wine, so the demo runs the win64 package of the" \
       "same code under 64-bit Wine (the win32 package is built and its Velmora.dll's exports shown)"
fi
build=$root/build/demo-$preset
server_build=$root/build/demo-fileserver
demo=$root/build/demo
mkdir -p "$root/build"

# Makes the package of a preset in its demo build folder and prints its path.
make_package() {
  local name=$1 dir=$root/build/demo-$1
  { cmake --preset "$name" -B "$dir" -DVELMORA_TESTS=OFF &&
    cmake --build "$dir" --target package -j2; } >"$dir.log" 2>&1 ||
    { tail -60 "$dir.log" >&2; return 1; }
  ls "$dir"/Velmora-*-"$name".zip
}

# Unpacks ZIP into FOLDER (the package's own folder inside it) and checks
# the files against SHA256SUMS, as an operator would.
unpack() {
  rm -rf "$2"
  mkdir -p "$2"
  python3 -m zipfile -e "$1" "$2"
  local folder
  folder=$(find "$2" -mindepth 1 -maxdepth 1 -type d)
  (cd "$folder" && sha256sum -c SHA256SUMS) >&2
  echo "$folder"
}

step "building the $preset package and the host runner and TCP transport ($build)"
mkdir -p "$build"
package=$(make_package "$preset")
cmake --build "$build" --target velmora-host velmora_transport_tcp -j2 >>"$build.log" 2>&1 ||
  { tail -60 "$build.log"; exit 1; }
echo "package: ${package#"$root"/}"
echo "SHA-256: $(sha256sum "$package" | cut -c1-64)"

if [ $preset = win64 ]; then
  step "building the win32 package (the product; not run here)"
  mkdir -p "$root/build/demo-win32"
  package32=$(make_package win32)
  echo "package: ${package32#"$root"/}"
  echo "SHA-256: $(sha256sum "$package32" | cut -c1-64)"
  unpacked32=$(unpack "$package32" "$root/build/demo-win32-unpacked")
  version=$(sed -n 's/^project(Velmora VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  bash cmake/check-exports.sh pe "$unpacked32/Velmora.dll" i686-w64-mingw32-objdump "$version" i386 ||
    exit 1
fi

step "building the native file server ($server_build)"
{ cmake -S . -B "$server_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=OFF &&
  cmake --build "$server_build" --target velmora-fileserver -j2; } >"$server_build.log" 2>&1 ||
  { tail -60 "$server_build.log"; exit 1; }
built=$SECONDS

step "installing the package into $demo"
rm -rf "$demo"
mkdir -p "$demo/plugins"
unpacked=$(unpack "$package" "$root/build/demo-$preset-unpacked")
# The host program's folder: the host runner and the transport library.
cp "$build/bin/velmora-host.exe" "$build/bin/tcp/cl_vexo_transport.dll" "$demo/"
# The plug-in's folder: the plug-in and its settings file, from the package;
# the check tool, from the package, beside the host.
cp "$unpacked/Velmora.dll" "$unpacked/Velmora.ini" "$demo/plugins/"
cp "$unpacked/velmora-check.exe" "$demo/"
cp -r demo/files "$demo/root"
cp demo/scenario.txt "$demo/"
(cd "$demo" && find . -path ./root -prune -o -type f -print | sort)

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
# The operator's one edit: the file server's port in the sample settings
# file beside the plug-in (its comments and line ends stay).
sed -i "s/^FSServerPort=[0-9]*/FSServerPort=$port/" "$demo/plugins/Velmora.ini"
echo "settings: plugins/Velmora.ini, [Server] section:"
sed -n '/^\[Server\]/,$p' "$demo/plugins/Velmora.ini" | tr -d '\r' | grep -v '^;'

step "checking the installation under Wine: velmora-check.exe plugins\\Velmora.dll --command ..."
set +e
(cd "$demo" && VELMORA_BUILD_DIR=$build bash "$root/cmake/wine-run.sh" "$demo/velmora-check.exe" \
   'plugins\Velmora.dll' --command 'Operation=1,Path=docs,UserData=check' --wait 5) |
  iconv -f CP1251 -t UTF-8
check_rc=${PIPESTATUS[0]}
set -e
echo "(check tool exit code $check_rc)"
[ "$check_rc" -eq 0 ] || { echo "demo: the check tool found a fault"; exit 1; }

step "running the scenario under Wine: velmora-host.exe plugins\\Velmora.dll --scenario scenario.txt"
set +e
(cd "$demo" && VELMORA_BUILD_DIR=$build bash "$root/cmake/wine-run.sh" "$demo/velmora-host.exe" \
   'plugins\Velmora.dll' --scenario scenario.txt --timeout-ms 5000)
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
