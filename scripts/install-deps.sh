#!/usr/bin/env bash
# Installs what the build and the test run need on Debian 12, as root:
# compilers for the native and the two Windows builds, GoogleTest's sources,
# Wine, rsyslog (the syslog client's tests run a private rsyslogd; the
# package's own service is not started here) and the ru_RU.UTF-8 locale
# (Wine's code page 1251). Installs only
# what is missing and reads the package lists only then; safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev googletest python3 locales
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  wine wine64 wine32:i386 rsyslog
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

# wine32 is an i386 package: the architecture must be known to dpkg first.
added_architecture=no
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  added_architecture=yes
fi

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
elif [ $added_architecture = yes ]; then
  as_root apt-get update -qq
fi

if ! locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8'; then
  echo "install-deps: generating the ru_RU.UTF-8 locale"
  as_root localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
echo "install-deps: all present"
