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
# A mirror in the middle of a sync can fail one package list (seen: the i386
# security list); what was read is still used, and only a package that then
# cannot be installed fails the run.
update_lists() {
  as_root apt-get update -qq ||
    echo "install-deps: some package lists could not be read; going on with the others"
}
apt_install() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "$@" >/dev/null
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  update_lists
  if ! apt_install "${missing[@]}"; then
    # 32-bit Wine needs i386 libraries of exactly the versions installed for
    # amd64; while the lists disagree, everything else is still installed and
    # the test run uses the win64 build for the Windows suites (it says so).
    others=()
    for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || others+=("$p"); done
    [ ${#others[@]} -lt ${#missing[@]} ] && apt_install "${others[@]}" || exit 1
    echo "install-deps: wine32:i386 could not be installed now (package lists out of step);" \
         "32-bit Wine is missing until this runs again"
  fi
elif [ $added_architecture = yes ]; then
  update_lists
fi

if ! locale -a 2>/dev/null | grep -qix 'ru_RU\.utf-\?8'; then
  echo "install-deps: generating the ru_RU.UTF-8 locale"
  as_root localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
echo "install-deps: all present"
