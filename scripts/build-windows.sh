#!/bin/sh
# Cross-builds the Windows x64 program and the Windows helpers and decoder
# tests of its test suite, from a clean clone:
#   - MinGW-w64, zlib for MinGW, nasm, Wine and dpkg-dev from Debian's packages;
#   - libzip and ISA-L built for Windows from Debian's source packages into a
#     prefix under build-win/deps (once each);
#   - CLI11, spdlog and fmt used header-only from Debian's headers, and
#     GoogleTest built from the sources that libgtest-dev ships.
#   build-windows.sh          build-win/updater.exe, inflating with ISA-L
#   build-windows.sh --zlib   build-win-zlib/updater.exe, inflating with zlib
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/install-deps.sh --windows

deps=$top/build-win/deps
prefix=$deps/prefix
toolchain=$top/cmake/mingw-w64-x86_64.cmake
zlib=/usr/x86_64-w64-mingw32/lib/libz.a
out=$top/build-win
use_isal=ON
if [ "${1:-}" = "--zlib" ]; then
    out=$top/build-win-zlib
    use_isal=OFF
fi

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

# ISA-L's inflater and CRC (its igzip unit, which brings crc along) as a
# static library. Of the package's three build routes only the plain
# makefile serves a MinGW cross-build with nasm: the configure script
# insists on yasm for MinGW hosts, and Makefile.nmake drives Microsoft's
# compiler. Its "mingw" target assembles with -f win64.
isal_make() {
    make -C "$isal_dir" -f Makefile.unx arch=mingw units=igzip have_threads=n AS=nasm \
        CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar "$@"
}
if [ ! -f "$prefix/lib/libisal.a" ]; then
    rm -rf "$deps/isal-src"
    mkdir -p "$deps/isal-src"
    (cd "$deps/isal-src" && apt-get source -q libisal >/dev/null)
    isal_dir=$(find "$deps/isal-src" -maxdepth 1 -type d -name 'libisal-*' | head -n 1)
    log=$deps/isal-build.log
    if ! isal_make -j2 lib >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "build-windows.sh: building ISA-L for Windows failed; the whole log is $log" >&2
        exit 1
    fi
    headers=$(isal_make -s --eval 'list_headers: ; @echo $(sort $(extern_hdrs))' list_headers)
    mkdir -p "$prefix/include/isa-l" "$prefix/lib"
    for header in $headers; do
        cp "$isal_dir/$header" "$prefix/include/isa-l/"
    done
    # Last, as the sign that the library is complete.
    cp "$isal_dir/bin/isa-l.a" "$prefix/lib/libisal.a"
fi

# Only these three header trees of the host are visible to the Windows build.
mkdir -p "$out/host-include"
for dir in CLI spdlog fmt; do
    ln -sfn "/usr/include/$dir" "$out/host-include/$dir"
done

# The library just built, named exactly, so that the ISA-L build can't fall
# back to zlib unnoticed.
set --
if [ $use_isal = ON ]; then
    set -- -DISAL_LIBRARY="$prefix/lib/libisal.a" -DISAL_INCLUDE_DIR="$prefix/include"
fi
cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DUPDATER_DEPS_PREFIX="$prefix" -DUPDATER_HOST_INCLUDE="$out/host-include" -DUPDATER_BUILD_TESTS=OFF \
    -DUPDATER_USE_ISAL=$use_isal "$@" -DUPDATER_GTEST_SOURCE=/usr/src/googletest/googletest \
    -DZLIB_LIBRARY="$zlib" -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include >/dev/null
cmake --build "$out" -j"$(nproc)"
