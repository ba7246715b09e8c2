#!/usr/bin/env bash
# The Windows cable drivers under Wine against the Linux tty driver, in one
# run, over the same emulators: N programmings and N readings at each chip
# latency (1, 16, 100 ms) through each driver. Needs the Linux build (build/)
# and the Windows build (scripts/windows.sh) made first.
#   bench/wine-cable.sh [N]     (50 by default)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${UOO_BUILD_DIR:-$root/build}"
wbuild="${UOO_WINDOWS_BUILD_DIR:-$root/build-windows}"
n="${1:-50}"
qt="$("$root/scripts/windows/qt.sh")"
export WINEPREFIX="$wbuild/wine" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
export WINEPATH="$qt/bin;/usr/lib/gcc/x86_64-w64-mingw32/12-posix;/usr/x86_64-w64-mingw32/lib"

pids=()
library="$WINEPREFIX/drive_c/windows/system32/ftd2xx.dll"
finish() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -f "$library"
}
trap finish EXIT
declare -A tty com
number=31
for latency in 1 16 100; do
    out="$(mktemp)"
    "$build/tools/uoo-device-emulator" --usb-latency "$latency" >"$out" 2>/dev/null &
    pids+=("$!")
    for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
    [ -s "$out" ] || { echo "the emulator did not start" >&2; exit 1; }
    tty[$latency]="$(head -n1 "$out")"
    com[$latency]="COM$number"
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$number" /d "${tty[$latency]}" /f >/dev/null 2>&1
    number=$((number + 1))
done
wineserver -k || true
# A server of its own, whose words at its end (its objects) go nowhere.
wineserver -p 5 >/dev/null 2>&1
cp "$wbuild/tests/fake-d2xx/whole/ftd2xx.dll" "$library"

for latency in 1 16 100; do
    echo "== chip latency $latency ms, $n rounds"
    echo "-- Linux tty driver"
    "$build/bench/cable_rounds" tty "${tty[$latency]}" "$n"
    echo "-- COM-port driver under Wine"
    wine "$wbuild/bench/cable_rounds.exe" com "${com[$latency]}" "$n"
    echo "-- driver library (stand-in over the COM port) under Wine"
    wine "$wbuild/bench/cable_rounds.exe" d2xx "${com[$latency]}" "$n"
done
