#!/bin/sh
# Installs the build into a fresh prefix, then builds and runs a tiny
# consumer against the installed tree both ways an application would: with
# CMake (find_package, updater::client, C++) and with pkg-config and a C
# compiler.
#   install_test.sh SOURCE_DIR BUILD_DIR
set -eu
source_dir=$1
build_dir=$2
work=$(mktemp -d /tmp/updater-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
mkdir -p "$work/root/current"
cd "$work"

cmake -S "$source_dir/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer" "$work/root"

pc_dir=$(dirname "$(find "$prefix" -name updater_client.pc)")
flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs updater_client)
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror -o "$work/c-consumer" "$source_dir/tests/consumer/consumer.c" $flags
"$work/c-consumer" "$prefix/bin/updater" "$work/root"
