#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix inside the build
# folder (the first folder above the program that holds CMakeCache.txt).
#
# The prefix's wineserver is kept running (wineserver -p). Whenever this
# script finds no server for the prefix it starts one and boots the prefix
# with every stream on /dev/null, under a lock, before the program runs:
# Wine's service processes (services.exe, winedevice.exe...) start with the
# first program of a server and live on; started by the test itself they
# would inherit ctest's pipes and ctest would wait for them until its
# time-out. Two ctest jobs starting at once are serialised by the lock.
#
# The loader is chosen by the program's machine: /usr/lib/wine/wine64 for
# x86-64 programs, /usr/lib/wine/wine for i386 ones. The latter is a 32-bit
# Linux program: on a kernel without 32-bit support it cannot start, and
# this script says so and exits with 125.
#
# VELMORA_BUILD_DIR overrides the build folder; stop the server with
#   WINEPREFIX=<build>/wineprefix wineserver -k
set -u
exe=$1; shift

build=${VELMORA_BUILD_DIR:-}
if [ -z "$build" ]; then
  d=$(cd "$(dirname "$exe")" && pwd)
  while [ "$d" != / ] && [ ! -f "$d/CMakeCache.txt" ]; do d=$(dirname "$d"); done
  [ "$d" = / ] && d=$(cd "$(dirname "$exe")" && pwd)
  build=$d
fi
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml,winemenubuilder.exe="}
export LC_ALL=${VELMORA_WINE_LOCALE:-ru_RU.UTF-8}
unset DISPLAY WAYLAND_DISPLAY

# PE machine of the program: the 16-bit field after the "PE\0\0" signature.
machine=
if [ -f "$exe" ]; then
  pe=$(od -An -tu4 -j60 -N4 "$exe" 2>/dev/null | tr -d ' ')
  [ -n "$pe" ] && machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$exe" 2>/dev/null | tr -d ' ')
fi
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
case "$machine" in
  8664) loader=$wine64 ;;
  *)
    loader=$wine32
    if ! "$wine32" --version >/dev/null 2>&1; then
      echo "wine-run.sh: 32-bit Wine cannot run on this machine (no 32-bit program support" \
           "in the kernel); $exe is not run. Use the win64 preset to run the Wine suites." >&2
      exit 125
    fi
    ;;
esac
[ -x "$wine64" ] || wine64=$wine32
export WINELOADER=$loader

mkdir -p "$WINEPREFIX"
{
  flock 9
  # Exit status 0: this call started the server; 2: one was running already.
  wineserver -p </dev/null >/dev/null 2>&1 9>&-
  started=$?
  if [ "$started" -ne 2 ] || [ ! -f "$WINEPREFIX/.velmora-ready" ]; then
    WINELOADER=$wine64 timeout 600 "$wine64" cmd /c exit </dev/null >/dev/null 2>&1 9>&-
    touch "$WINEPREFIX/.velmora-ready"
  fi
  flock -u 9
} 9>"$WINEPREFIX.lock"

# A process Wine starts for the program inherits the program's standard
# handles: the desktop's explorer.exe, started by the first window, lives on
# while any other program of the prefix runs. Holding a pipe of ctest's, it
# would keep the test "running" until then (up to its time-out). So output
# bound for a pipe goes to files first and is copied out once the program
# has ended; output bound for files (the scripts read some while the program
# runs) goes there directly. A run that is killed leaves its files behind.
if [ -p /dev/stdout ] || [ -p /dev/stderr ]; then
  if held=$(mktemp -d "$build/.wine-output.XXXXXX" 2>/dev/null); then
    "$loader" "$exe" "$@" >"$held/out" 2>"$held/err"
    rc=$?
    cat "$held/out"
    cat "$held/err" >&2
    rm -rf "$held"
    exit $rc
  fi
fi
exec "$loader" "$exe" "$@"
