#!/usr/bin/env bash
# Installs the Debian packages a command needs; packages already present are
# skipped, so running it again is cheap.
#   deps.sh run       building and running the program
#   deps.sh package   that, and building and checking the Debian package
#   deps.sh test      all of it, and the tests, benchmarks, fuzzing and
#                     screenshots (the default)
#   deps.sh windows   cross-building for Windows, its Qt, its tests under
#                     Wine and its installer
set -euo pipefail

run=(
    cmake g++ make pkg-config
    # The team database's client library: its header to build, the library
    # itself loaded only by a data folder that works with a team database.
    libpq-dev libpq5
    qt6-base-dev qt6-base-dev-tools libgl-dev zlib1g-dev
    # What the program loads at run time: its font, the toolkit's Russian
    # texts, the SVG plugins for its icon.
    fonts-dejavu-core qt6-translations-l10n libqt6svg6
)
package=(dpkg-dev file lintian desktop-file-utils appstream)
test=(
    libgtest-dev libgmock-dev libbenchmark-dev
    clang-14 libclang-rt-14-dev clang-format-14
    # The sanitizers' reports name the C library's own functions (which the
    # suppressions match) only with its symbols and a symbolizer at hand.
    llvm libc6-dbg
    xvfb xauth imagemagick x11-utils xdotool
    # A network share as laptops see one, for the tests of copies on it.
    sshfs openssh-server openssh-client
    # A team database server of the tests' own, with TLS of a CA they make.
    postgresql-15 openssl
)
windows=(
    cmake ninja-build dpkg-dev xz-utils qt6-base-dev qt6-base-dev-tools qt6-translations-l10n
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev libz-mingw-w64-dev googletest libpq-dev
    patch wine wine64 fonts-wine fonts-liberation nsis zip unzip imagemagick librsvg2-bin
    xvfb xauth xdotool fonts-dejavu-core locales python3
    # The device emulator the Windows cable tests talk to runs on this machine.
    g++ zlib1g-dev
)

case "${1:-test}" in
    run) packages=("${run[@]}") ;;
    package) packages=("${run[@]}" "${package[@]}") ;;
    test) packages=("${run[@]}" "${package[@]}" "${test[@]}") ;;
    windows) packages=("${windows[@]}") ;;
    *) echo "usage: $0 [run|package|test|windows]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # The package tool's own words stay on the screen: a missing package or
    # an unreachable mirror must be seen, not guessed at.
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Wine runs as a Russian Windows, and names files in Cyrillic only when
# this machine knows the locale it is started in.
if [ "${1:-test}" = windows ] && ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
    $SUDO localedef -i ru_RU -c -f UTF-8 ru_RU.UTF-8
fi
