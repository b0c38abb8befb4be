#!/bin/sh
# Installs what building and testing the updater needs, from Debian's
# packages only. Safe to run again; does nothing when all is present.
#   install-deps.sh            the Linux build, its tests and the demo
#   install-deps.sh --windows  also the Windows cross-build and Wine
#   install-deps.sh --bench    also the benchmark's tools and baselines
set -eu

packages="cmake g++ make pkg-config libcli11-dev libspdlog-dev libfmt-dev libzip-dev zlib1g-dev libisal-dev libssl-dev
  zipcmp zipmerge ziptool libgtest-dev zip clang libclang-rt-14-dev bindfs"
# libzip's CMake package file checks that its command-line tools exist, so
# zipcmp, zipmerge and ziptool are needed for find_package(libzip).
windows_packages="g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 dpkg-dev binutils-mingw-w64-x86-64 nasm"
bench_packages="python3 unzip libarchive-tools time e2fsprogs"

as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"

wanted="$packages"
if [ "${1:-}" = "--bench" ]; then
    wanted="$packages $bench_packages"
elif [ "${1:-}" = "--windows" ]; then
    wanted="$packages $windows_packages"
    # libzip and ISA-L for Windows are built from the distribution's source
    # packages, which needs a deb-src entry beside the machine's deb822 sources.
    src_list=/etc/apt/sources.list.d/updater-deb-src.sources
    if [ ! -f "$src_list" ] && ! grep -rqs "deb-src" /etc/apt/sources.list /etc/apt/sources.list.d/; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $as_root tee "$src_list" >/dev/null
        $as_root apt-get update -q
    fi
fi

missing=""
for p in $wanted; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
$as_root apt-get update -q
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -q --no-install-recommends $missing
