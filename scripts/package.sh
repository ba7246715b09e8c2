#!/usr/bin/env bash
# Builds the Debian package from a clean build directory into dist/:
#   scripts/package.sh && sudo apt install ./dist/uoo-programmer_*.deb
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

"$root/scripts/deps.sh" package

build="${UOO_PACKAGE_BUILD_DIR:-$root/build-package}"
rm -rf "$build"
# Built as Debian builds its own packages: hardened (fortified functions,
# read-only relocations bound at start).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUOO_TESTS=OFF -DUOO_BENCH=OFF \
    -DUOO_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB -B "$build/cpack" >/dev/null)

mkdir -p "$root/dist"
rm -f "$root"/dist/uoo-programmer_*.deb
cp "$build"/cpack/uoo-programmer_*.deb "$root/dist/"
ls "$root"/dist/uoo-programmer_*.deb
