#!/usr/bin/env bash
# Gathers the Windows program with the libraries, plugins and translations it
# loads, and makes of them the installer and the portable folder in dist/.
#   dist.sh BUILD_DIR QT_PREFIX DIST_DIR
set -euo pipefail
build="$(cd "$1" && pwd)" qt="$2" dist="$3"
version="$(sed -n 's/^project(uoo_programmer VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")"
mingw_dirs=("$qt/bin" /usr/lib/gcc/x86_64-w64-mingw32/12-posix /usr/x86_64-w64-mingw32/lib)

stage="$build/dist/uoo-programmer-$version-win64"
lists="$build/dist/lists"
rm -rf "$build/dist"
mkdir -p "$stage/plugins/platforms" "$stage/plugins/styles" "$stage/plugins/imageformats" \
    "$stage/translations" "$lists" "$dist"

cp "$build/app/uoo-programmer.exe" "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/plugins/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/plugins/styles/"
cp "$qt/plugins/imageformats/qico.dll" "$stage/plugins/imageformats/"
cp /usr/share/qt6/translations/qtbase_ru.qm "$stage/translations/"
printf '[Paths]\r\nPrefix = .\r\nPlugins = plugins\r\nTranslations = translations\r\n' >"$stage/qt.conf"

# Every library the program and its plugins load, found the way the loader
# would: those that are not beside the program come with Windows.
declare -A seen=()
queue=("$stage/uoo-programmer.exe" "$stage"/plugins/*/*.dll)
while [ ${#queue[@]} -gt 0 ]; do
    file="${queue[0]}"
    queue=("${queue[@]:1}")
    while read -r dll; do
        key="${dll,,}"
        [ -n "${seen[$key]:-}" ] && continue
        seen[$key]=1
        for dir in "${mingw_dirs[@]}"; do
            if [ -f "$dir/$dll" ]; then
                cp "$dir/$dll" "$stage/"
                queue+=("$stage/$dll")
                break
            fi
        done
    done < <(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
done
x86_64-w64-mingw32-strip --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/plugins/*/*.dll

# The installer's lists: what it installs, and what its uninstaller removes.
: >"$lists/files.nsh"
: >"$lists/unfiles.nsh"
(cd "$stage" && find . -type d | sort) | while read -r d; do
    rel="${d#./}"; [ "$d" = . ] && rel=""
    win="${rel//\//\\}"
    echo "SetOutPath \"\$INSTDIR${win:+\\$win}\"" >>"$lists/files.nsh"
    find "$stage/$rel" -maxdepth 1 -type f | sort | while read -r f; do
        echo "File \"$f\"" >>"$lists/files.nsh"
        echo "Delete \"\$INSTDIR\\${win:+$win\\}$(basename "$f")\"" >>"$lists/unfiles.nsh"
    done
done
(cd "$stage" && find . -mindepth 1 -type d | sort -r) | while read -r d; do
    rel="${d#./}"
    echo "RMDir \"\$INSTDIR\\${rel//\//\\}\"" >>"$lists/unfiles.nsh"
done
size_kb="$(du -sk "$stage" | cut -f1)"

setup="$dist/uoo-programmer-$version-setup.exe"
makensis -V2 -INPUTCHARSET UTF8 -DSTAGE="$stage" -DLISTS="$lists" -DOUTFILE="$setup" \
    -DSIZE_KB="$size_kb" "$build/packaging/windows/uoo-programmer.nsi"

zip="$dist/uoo-programmer-$version-win64.zip"
rm -f "$zip"
(cd "$build/dist" && zip -qr -9 "$zip" "$(basename "$stage")")
echo "$setup: $(du -k "$setup" | cut -f1) KiB; $zip: $(du -k "$zip" | cut -f1) KiB" >&2
