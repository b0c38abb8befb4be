#!/bin/sh
# Installs what building and testing the updater needs, from Debian's
# packages only. Safe to run again; does nothing when all is present.
set -eu

packages="cmake g++ make pkg-config libcli11-dev libspdlog-dev libfmt-dev libzip-dev zlib1g-dev
  zipcmp zipmerge ziptool libgtest-dev zip clang libclang-rt-14-dev"
# libzip's CMake package file checks that its command-line tools exist, so
# zipcmp, zipmerge and ziptool are needed for find_package(libzip).

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"
echo "Installing:$missing"
$as_root apt-get update -q
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -q --no-install-recommends $missing
