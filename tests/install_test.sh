#!/bin/sh
# Installs the build into a fresh prefix, then builds and runs a tiny
# consumer against the installed tree both ways an application would: with
# CMake (find_package, updater::client, C++) and with pkg-config and a C
# compiler.
#   install_test.sh SOURCE_DIR BUILD_DIR [FLAGS]
# FLAGS are added to the consumers' compiling and linking (the sanitizers,
# where the library was built with them).
set -eu
source_dir=$1
build_dir=$2
extra=${3:-}
work=$(mktemp -d /tmp/updater-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
mkdir -p "$work/root/current"
cd "$work"

cmake -S "$source_dir/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer" "$work/root"

pc_dir=$(dirname "$(find "$prefix" -name updater_client.pc)")
flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs updater_client)
# shellcheck disable=SC2086  # the flags are words
cc -std=c99 -Wall -Wextra -Werror $extra -o "$work/c-consumer" "$source_dir/tests/consumer/consumer.c" $flags
"$work/c-consumer" --after-update "$prefix/bin/updater" "$work/root"
