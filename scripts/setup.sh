#!/usr/bin/env bash
# Installs, from Debian's packages only, everything the build, the program and the tests need.
# Idempotent and quiet: a machine that already has everything only pays for a dpkg query.
set -euo pipefail

packages=(
  cmake make g++ googletest
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  wine wine32:i386
  xvfb x11-utils imagemagick fonts-wine
  iproute2 procps netcat-openbsd zip
  clang libclang-rt-14-dev
  wine64 g++-mingw-w64-x86-64-win32 python3 qemu-user
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: these packages are missing and only root can install them: ${missing[*]}" >&2
    exit 1
  fi
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync can fail one list while the packages still install.
  apt-get update -qq >/dev/null || echo "setup: some package lists could not be read; going on" >&2
  if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    # Without one architecture's security list, the two architectures' libraries disagree in
    # version; the release's own versions exist for both.
    . /etc/os-release
    apt-get install -y -qq --no-install-recommends -t "$VERSION_CODENAME" "${missing[@]}" >/dev/null
  fi
fi
