#!/usr/bin/env bash
# The Windows build: installs what it needs, builds Qt for Windows once (into
# a cache outside the checkout), cross-builds the program and its tests, runs
# each test program once under Wine, makes the installer and the portable
# folder in dist/ and tries both in a fresh Wine on a display.
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
# The device emulator, built for this machine: the Windows cable drivers
# talk to it through COM ports Wine maps onto its pseudo-terminals.
cmake -S "$root" -B "$build/native" -G Ninja -DUOO_TESTS=OFF -DUOO_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/native" -j "$(nproc)" --target uoo-device-emulator

# A Wine of its own, without the prompts for its optional components and
# without menu entries on this machine.
export WINEPREFIX="$build/wine" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
export WINEPATH="$qt/bin;/usr/lib/gcc/x86_64-w64-mingw32/12-posix;/usr/x86_64-w64-mingw32/lib"
export QT_QPA_PLATFORM=offscreen
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
# The tests find Qt's plugins and its Russian texts as the installed program
# does, through a qt.conf beside them (Z: is Wine's view of this machine).
printf '[Paths]\nPlugins = Z:%s\nTranslations = Z:/usr/share/qt6/translations\n' "$qt/plugins" \
    >"$build/tests/qt.conf"

# One emulator for each chip latency the tests try, each on a COM port of
# its own (HKLM\Software\Wine\Ports maps a name onto a device; Wine makes
# the mapping when its server starts).
emulators=()
ports=()
stop_emulators() { for pid in "${emulators[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap stop_emulators EXIT
number=21
for latency in 1 16 100; do
    out="$build/emulator-$latency"
    rm -f "$out.path"
    "$build/native/tools/uoo-device-emulator" --usb-latency "$latency" >"$out.path" 2>"$out.log" &
    emulators+=("$!")
    for _ in $(seq 50); do [ -s "$out.path" ] && break; sleep 0.1; done
    [ -s "$out.path" ] || { cat "$out.log" >&2; exit 1; }
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$number" /d "$(head -n1 "$out.path")" /f >/dev/null
    ports+=("$latency=COM$number")
    number=$((number + 1))
done
wineserver -k || true
export UOO_TEST_PORTS="$(IFS=,; echo "${ports[*]}")"

# In the locale of the people the program is for: Russian Windows, its
# times, its code pages. The offscreen platform of Qt for Windows finds no
# fonts under Wine, so the two tests of text widths are left to Linux and to
# the smoke test's look at the real window.
widths=TForm2.CaptionsAreWholeAndTheMinutesBoxSitsInItsGap:MainWindow.TheGridsTitlesAreWhole
failed=0
for test in "$build"/tests/*.exe; do
    echo "== $(basename "$test")"
    if ! LC_ALL=ru_RU.UTF-8 timeout 900 wine "$test" --gtest_brief=1 --gtest_filter="-$widths"; then
        failed=1
    fi
done
wineserver -k || true
stop_emulators
[ "$failed" = 0 ] || exit 1

"$root/scripts/windows/dist.sh" "$build" "$qt" "$root/dist"
xvfb-run -a -s "-screen 0 1280x1024x24" "$root/scripts/windows/smoke.sh" "$build" "$root/dist"
