#!/usr/bin/env bash
# The Windows build: installs what it needs, builds Qt for Windows once (into
# a cache outside the checkout), cross-builds the program and its tests and
# runs each test program once under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

scripts/deps.sh windows
qt="$(scripts/windows/qt.sh)"
gtest="$(scripts/windows/gtest.sh)"

build="${UOO_WINDOWS_BUILD_DIR:-$root/build-windows}"
cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/scripts/windows/mingw-toolchain.cmake" \
    -DUOO_WINDOWS_PREFIXES="$qt;$gtest" -DCMAKE_PREFIX_PATH="$qt;$gtest" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DUOO_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

# A Wine of its own, without the prompts for its optional components.
export WINEPREFIX="$build/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
export WINEPATH="$qt/bin;/usr/lib/gcc/x86_64-w64-mingw32/12-posix;/usr/x86_64-w64-mingw32/lib"
export QT_PLUGIN_PATH="$qt/plugins" QT_QPA_PLATFORM=offscreen
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1

failed=0
for test in "$build"/tests/*.exe; do
    echo "== $(basename "$test")"
    if ! timeout 900 wine "$test" --gtest_brief=1; then
        failed=1
    fi
done
wineserver -k || true
exit "$failed"
