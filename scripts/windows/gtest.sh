#!/usr/bin/env bash
# Builds GoogleTest for Windows once, from Debian's googletest sources, and
# prints the folder it lies in.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
version="$(dpkg-query -W -f='${Version}' googletest)"
key="$(printf '%s\n' "$version" "$(cat "$here/mingw-toolchain.cmake")" | sha256sum | cut -c1-12)"
cache="${UOO_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/uoo-programmer}"
prefix="$cache/googletest-${version%%-*}-mingw64-$key"
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi
work="$cache/googletest-build-$key"
rm -rf "$work" "$prefix"
cmake -S /usr/src/googletest -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/mingw-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -Dgtest_disable_pthreads=OFF \
    >"$work.log" 2>&1 || { tail -30 "$work.log" >&2; exit 1; }
cmake --build "$work" >>"$work.log" 2>&1 && cmake --install "$work" >>"$work.log" 2>&1 ||
    { tail -30 "$work.log" >&2; exit 1; }
touch "$prefix/.complete"
rm -rf "$work" "$work.log"
echo "$prefix"
