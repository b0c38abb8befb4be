#!/bin/sh
# Cross-builds the Windows x64 program (build-win/updater.exe) and the
# Windows helpers of its tests, from a clean clone:
#   - MinGW-w64, zlib for MinGW, Wine and dpkg-dev from Debian's packages;
#   - libzip built for Windows from Debian's source package into a prefix
#     under build-win/deps (once);
#   - CLI11, spdlog and fmt used header-only from Debian's headers.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/install-deps.sh --windows

out=$top/build-win
deps=$out/deps
prefix=$deps/prefix
toolchain=$top/cmake/mingw-w64-x86_64.cmake
zlib=/usr/x86_64-w64-mingw32/lib/libz.a

if [ ! -f "$prefix/lib/libzip.a" ]; then
    rm -rf "$deps/src" "$deps/build"
    mkdir -p "$deps/src"
    (cd "$deps/src" && apt-get source -q libzip >/dev/null)
    source_dir=$(find "$deps/src" -maxdepth 1 -type d -name 'libzip-*' | head -n 1)
    cmake -S "$source_dir" -B "$deps/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
        -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF \
        -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF \
        -DENABLE_WINDOWS_CRYPTO=OFF -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
        -DZLIB_LIBRARY="$zlib" -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include >/dev/null 2>&1
    cmake --build "$deps/build" -j"$(nproc)" --target install >/dev/null 2>&1
fi

# Only these three header trees of the host are visible to the Windows build.
mkdir -p "$out/host-include"
for dir in CLI spdlog fmt; do
    ln -sfn "/usr/include/$dir" "$out/host-include/$dir"
done

cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DUPDATER_DEPS_PREFIX="$prefix" -DUPDATER_HOST_INCLUDE="$out/host-include" -DUPDATER_BUILD_TESTS=OFF \
    -DZLIB_LIBRARY="$zlib" -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include >/dev/null
cmake --build "$out" -j"$(nproc)"
