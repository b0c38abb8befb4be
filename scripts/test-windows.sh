#!/bin/sh
# Cross-builds the Windows program and runs its end-to-end tests, and the
# unit tests of each deflate decoder it can be built with, under Wine.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/build-windows.sh
scripts/build.sh >/dev/null   # the test driver itself is a Linux program

# Wine takes the ANSI code page from the locale: C.UTF-8 gives 1252, as on
# an English Windows, and hands over the tests' UTF-8 arguments intact.
export WINEPREFIX="$top/build-win/wineprefix" WINEDEBUG=-all LC_ALL=C.UTF-8
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1   # the first start takes a while
fi
export UPDATER_EXE="$top/build-win/updater.exe"
export WIN_RECORD_APP="$top/build-win/tests/windows/win_record_app.exe"
export WIN_SLEEPER="$top/build-win/tests/windows/win_sleeper.exe"
export WIN_HOLDER="$top/build-win/tests/windows/win_holder.exe"
export WIN_SWAPPER="$top/build-win/tests/windows/win_swapper.exe"
export WIN_UPDATER_WITHOUT_MANIFEST="$top/build-win/tests/windows/win_updater_without_manifest.exe"
export WIN_UPDATER_FLUSH_STAND_IN="$top/build-win/tests/windows/win_updater_flush_stand_in.exe"
export WIN_EXAMPLE_APP="$top/build-win/examples/example_app.exe"
build/tests/wine_e2e_tests "$@"
for decoder in isal zlib; do
    /usr/lib/wine/wine64 "$top/build-win/tests/windows/win_deflate_${decoder}_tests.exe"
done
