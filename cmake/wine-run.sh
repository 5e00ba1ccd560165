#!/usr/bin/env bash
# Runs a Windows program under Wine with a private prefix inside the build
# folder. The first call starts a persistent wineserver and boots the prefix
# with every stream detached, so that Wine's service processes never inherit
# the caller's pipes (ctest would otherwise wait for them until its time-out).
set -u
exe=$1; shift
build=${VELMORA_BUILD_DIR:-}
if [ -z "$build" ]; then
  d=$(cd "$(dirname "$exe")" && pwd)
  while [ "$d" != / ] && [ ! -f "$d/CMakeCache.txt" ]; do d=$(dirname "$d"); done
  build=$d
fi
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export LC_ALL=${VELMORA_WINE_LOCALE:-ru_RU.UTF-8}
if [ ! -f "$WINEPREFIX/.velmora-ready" ] || ! wineserver -p0 2>/dev/null </dev/null; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    wineserver -p </dev/null >/dev/null 2>&1
    if [ ! -f "$WINEPREFIX/.velmora-ready" ]; then
      wine cmd /c exit </dev/null >/dev/null 2>&1
      touch "$WINEPREFIX/.velmora-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec wine "$exe" "$@"
