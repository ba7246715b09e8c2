#!/usr/bin/env bash
# The installer and the portable folder in a fresh Wine, on a display: a
# silent install, the Start-menu entry, --version, a 9000-card database
# opened and the window closed as its close button does, the silent
# uninstall that leaves the cards, and the start-up against a bare Qt window.
#   xvfb-run -a smoke.sh BUILD_DIR DIST_DIR
set -euo pipefail
build="$(cd "$1" && pwd)" dist="$(cd "$2" && pwd)"
version="$(sed -n 's/^project(uoo_programmer VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")"
title="Утилита программирования УОО"

export WINEPREFIX="$build/smoke-wine" WINEDEBUG=-all WINEARCH=win64
# A Russian Windows, as the installers have (for Wine only: this machine
# need not have the locale).
wine() { env LC_ALL=ru_RU.UTF-8 wine "$@"; }
# No prompts for Wine's optional parts, and no menu entries on this machine.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset QT_QPA_PLATFORM QT_PLUGIN_PATH WINEPATH
fail() { echo "smoke test: $*" >&2; wineserver -k 2>/dev/null || true; exit 1; }
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
wineserver -w
wineserver -p 60 # one server for the whole test, as a started Windows is

drive="$WINEPREFIX/drive_c"
installed="$drive/Program Files/uoo-programmer"
program='C:\Program Files\uoo-programmer\uoo-programmer.exe'
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Программирование УОО.lnk"
user_data="$drive/users/$(whoami)/AppData/Local/uoo-programmer"

# Starts the program with the given options from the given folder, takes a
# picture of its window once shown, closes it, and fails unless it exits
# with 0 within a minute.
open_and_close() {
    local dir="$1" exe="$2" picture="$3"; shift 3
    local rc="$build/smoke-rc"
    rm -f "$rc"
    (cd "$dir" && wine "$exe" "$@" >/dev/null 2>&1; echo $? >"$rc") &
    wine "$build/tests/windows/close_window.exe" "$title" 120 --only-wait || fail "no window of $exe appeared"
    sleep 2 # drawn
    import -window root "$picture" 2>/dev/null || true
    wine "$build/tests/windows/close_window.exe" "$title" 10 || fail "the window of $exe went away"
    for _ in $(seq 600); do [ -f "$rc" ] && break; sleep 0.1; done
    [ -f "$rc" ] || fail "$exe did not close when asked"
    [ "$(cat "$rc")" = 0 ] || fail "$exe exited with $(cat "$rc")"
}

start=$(date +%s)
wine "$dist/uoo-programmer-$version-setup.exe" /S || fail "the silent install failed"
[ -f "$installed/uoo-programmer.exe" ] || fail "nothing installed into Program Files"
[ -f "$menu" ] || fail "no Start-menu entry"
python3 - "$menu" <<'PY' || fail "the Start-menu entry does not pass --user-data"
import sys
sys.exit(0 if "--user-data".encode("utf-16-le") in open(sys.argv[1], "rb").read() else 1)
PY
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\uoo-programmer'
for value in DisplayVersion:$version NoModify:0x1 QuietUninstallString:/S DisplayIcon:uoo-programmer.exe; do
    wine reg query "$key" /v "${value%%:*}" 2>/dev/null | tr -d '\r' | grep -qF -- "${value#*:}" ||
        fail "the uninstaller's entry lacks ${value%%:*}"
done
shown="$(wine "$program" --version | tr -d '\r')"
[ "$shown" = "uoo-programmer $version" ] || fail "--version said «$shown»"
wine "$program" --help | tr -d '\r' | grep -q -- --user-data || fail "--help does not name --user-data"
wine "$program" --help | iconv -f utf-8 -t utf-8 >/dev/null || fail "--help is not UTF-8"
set +e
said="$(wine "$program" --bogus 2>&1 >/dev/null)"
code=$?
set -e
[ "$code" = 2 ] && grep -q 'неизвестный параметр' <<<"$said" || fail "a mistake exited with $code saying «$said»"
echo "installed and answered --version, --help and a mistake in $(( $(date +%s) - start )) s"

cards="$drive/cards"
mkdir -p "$cards"
(cd "$cards" && WINEPATH='C:\Program Files\uoo-programmer' wine "$build/bench/make_database.exe" 9000) ||
    fail "no database made"
before="$(sha256sum <"$cards/ProgInfo_10.MGA")"
open_and_close "$cards" "$program" "$build/smoke-installed.png" --data-dir 'C:\cards'
[ "$(sha256sum <"$cards/ProgInfo_10.MGA")" = "$before" ] || fail "opening and closing changed the cards"
echo "opened 9000 cards with the windows platform and closed cleanly"

# The portable folder, started without options beside its database.
portable="$drive/portable"
mkdir -p "$portable"
(cd "$portable" && unzip -q "$dist/uoo-programmer-$version-win64.zip")
folder="$portable/uoo-programmer-$version-win64"
cp "$cards/ProgInfo_10.MGA" "$folder/"
open_and_close "$folder" uoo-programmer.exe "$build/smoke-portable.png"
[ "$(sha256sum <"$folder/ProgInfo_10.MGA")" = "$before" ] || fail "the portable program changed the cards"

# The cable, as a person uses it: the installed program started with
# UOO_CABLE naming a COM port Wine maps onto the device emulator, a press of
# "Программировать", the success box closed, a press of "Считать".
emulator="$build/native/tools/uoo-device-emulator"
rm -f "$build/smoke-emulator.path"
"$emulator" --usb-latency 16 >"$build/smoke-emulator.path" 2>"$build/smoke-emulator.log" &
emulator_pid=$!
trap 'kill $emulator_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$build/smoke-emulator.path" ] && break; sleep 0.1; done
[ -s "$build/smoke-emulator.path" ] || fail "the device emulator did not start"
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$(head -n1 "$build/smoke-emulator.path")" /f >/dev/null
wineserver -k 2>/dev/null || true # the mapping is made as the server starts
wineserver -p 60
one="$drive/one"
mkdir -p "$one"
(cd "$one" && WINEPATH='C:\Program Files\uoo-programmer' wine "$build/bench/make_database.exe" 1) ||
    fail "no database made"
unstamped="$(sha256sum <"$one/ProgInfo_10.MGA")"
(UOO_CABLE=COM5 wine "$program" --data-dir 'C:\one' >/dev/null 2>&1; echo $? >"$build/smoke-rc") &
wine "$build/tests/windows/close_window.exe" "$title" 120 --only-wait || fail "no window with the cable"
sleep 2
# A button's middle, from the record of the window's controls.
press() {
    local at size
    read -r at size < <(awk -v n="$1" '$1 == n {print $3, $4}' "$(dirname "$0")/../../tests/app/snapshots/main-window.txt")
    local window x y
    window="$(xdotool search --name "$title" | head -n1)"
    eval "$(xdotool getwindowgeometry --shell "$window")"
    x=$((X + ${at%,*} + ${size%x*} / 2)) y=$((Y + ${at#*,} + ${size#*x} / 2))
    xdotool mousemove "$x" "$y" click 1
}
press ProgBtn
for _ in $(seq 150); do grep -q "frame 1 programmed" "$build/smoke-emulator.log" && break; sleep 0.2; done
grep -q "frame 1 programmed" "$build/smoke-emulator.log" || fail "nothing was programmed through COM5"
sleep 2
import -window root "$build/smoke-programmed.png" 2>/dev/null || true
xdotool key Return # the success box
for _ in $(seq 50); do [ "$(sha256sum <"$one/ProgInfo_10.MGA")" != "$unstamped" ] && break; sleep 0.2; done
[ "$(sha256sum <"$one/ProgInfo_10.MGA")" != "$unstamped" ] || fail "the programmed card was not stamped and saved"
press SpeedButton1
for _ in $(seq 150); do grep -q "frame read back" "$build/smoke-emulator.log" && break; sleep 0.2; done
grep -q "frame read back" "$build/smoke-emulator.log" || fail "nothing was read through COM5"
sleep 2
import -window root "$build/smoke-read.png" 2>/dev/null || true
grep -q "==== DRIVER COM5: UOO_CABLE is set ====" "$one/ProgLog.log" || fail "the log does not name the driver"
wineserver -k 2>/dev/null || true
kill "$emulator_pid" 2>/dev/null || true
wineserver -p 60
echo "programmed a card through COM5 into the emulator, stamped it and read it back"

# Start-up under Wine, whole processes: the program's window with 9000 cards
# against a bare Qt window of the same size, alternately.
cp "$build/bench/startup_probe.exe" "$folder/"
bare=() full=()
for _ in 1 2 3 4 5 6 7; do
    t0=$(date +%s%N); (cd "$folder" && wine startup_probe.exe --bare) || fail "the bare window failed"
    t1=$(date +%s%N); (cd "$folder" && wine startup_probe.exe) || fail "the start-up probe failed"
    t2=$(date +%s%N)
    bare+=($(( (t1 - t0) / 1000000 ))) full+=($(( (t2 - t1) / 1000000 )))
done
median() { printf '%s\n' "$@" | sort -n | sed -n 4p; }
b="$(median "${bare[@]}")" f="$(median "${full[@]}")"
echo "start-up under Wine, median of 7: $f ms, bare Qt window $b ms, ratio $(python3 -c "print(f'{$f/$b:.2f}')")x"

# Cards in the per-user folder and one kept beside the program survive the
# uninstaller.
mkdir -p "$user_data"
cp "$cards/ProgInfo_10.MGA" "$user_data/"
cp "$cards/ProgInfo_10.MGA" "$installed/"
# The uninstaller runs a copy of itself from the temporary folder and
# returns at once: its work is waited for.
wine "$installed/uninstall.exe" /S || fail "the silent uninstall failed"
# Its entry goes last, so a moment where a look at the entry failed is not
# taken for the end: the program's files are waited for too.
for _ in $(seq 120); do
    [ ! -e "$installed/uoo-programmer.exe" ] && ! wine reg query "$key" >/dev/null 2>&1 && break
    sleep 0.5
done
[ ! -e "$installed/uoo-programmer.exe" ] && [ ! -e "$installed/Qt6Core.dll" ] &&
    [ ! -e "$installed/plugins" ] ||
    fail "the uninstaller left the program: $(ls "$installed" | head -n 5 | tr '\n' ' ')"
[ ! -e "$menu" ] || fail "the uninstaller left the Start-menu entry"
[ "$(sha256sum <"$installed/ProgInfo_10.MGA")" = "$before" ] || fail "the uninstaller took the cards beside the program"
[ "$(sha256sum <"$user_data/ProgInfo_10.MGA")" = "$before" ] || fail "the uninstaller took the user's cards"
! wine reg query "$key" >/dev/null 2>&1 || fail "the uninstaller left its registry entry"
echo "uninstalled silently; the cards stayed"
wineserver -k 2>/dev/null || true
