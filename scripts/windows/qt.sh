#!/usr/bin/env bash
# Builds Qt for Windows once, from Debian's own source package of the Qt the
# Linux build uses, and prints the folder it lies in. A later run with the
# same version and options finds it in the cache and builds nothing.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

version="$(dpkg-query -W -f='${Version}' qt6-base-dev)"   # e.g. 6.4.2+dfsg-10
upstream="${version%%+*}"
options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF
    -DFEATURE_tabletevent=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF
    -DFEATURE_freetype=ON
)
# Mends to Debian's source that the Windows build needs, applied in order.
patches=("$here"/qt-*.patch)
key="$(printf '%s\n' "$version" "${options[@]}" "$(cat "$here/mingw-toolchain.cmake" "${patches[@]}")" |
       sha256sum | cut -c1-12)"
cache="${UOO_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/uoo-programmer}"
prefix="$cache/qt-$upstream-mingw64-$key"

if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

work="$cache/qt-build-$key"
rm -rf "$work" "$prefix"
mkdir -p "$work/apt/parts" "$work/apt/lists/partial" "$work/apt/cache/archives/partial"
# A source entry made from the machine's own package sources, kept in the
# work folder: the system's apt configuration is left as it is.
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    sed -n '/^Types:/{s/^Types:.*/Types: deb-src/};p' "$f" >"$work/apt/parts/$(basename "$f")"
done
if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list >"$work/apt/sources.list"
else
    : >"$work/apt/sources.list"
fi
apt=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o "Dir::Etc::SourceParts=$work/apt/parts"
     -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache")
apt-get "${apt[@]}" update -q >&2
(cd "$work" && apt-get "${apt[@]}" source --download-only "qt6-base=$version" >&2)
(cd "$work" && dpkg-source --no-check -x qt6-base_*.dsc src >&2)
for p in "${patches[@]}"; do
    patch -d "$work/src" -p1 --no-backup-if-mismatch <"$p" >&2
done

echo "Building Qt $upstream for Windows into $prefix (once; about 20 minutes)" >&2
start=$(date +%s)
cmake -S "$work/src" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/mingw-toolchain.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$prefix" "${options[@]}" >"$work/configure.log" 2>&1 ||
    { tail -40 "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" -j "$(nproc)" >"$work/build.log" 2>&1 ||
    { tail -60 "$work/build.log" >&2; exit 1; }
cmake --install "$work/build" >"$work/install.log" 2>&1 ||
    { tail -20 "$work/install.log" >&2; exit 1; }
echo "Qt for Windows built in $(( $(date +%s) - start )) s" >&2
touch "$prefix/.complete"
rm -rf "$work"
echo "$prefix"
