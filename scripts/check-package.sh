#!/usr/bin/env bash
# Checks the package that scripts/package.sh built: its desktop entry and
# metainfo validate, lintian finds no error, and it depends on nothing that
# only building or testing needs.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

deb="$(ls "$root"/dist/uoo-programmer_*.deb)"
unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"

desktop-file-validate "$unpacked"/usr/share/applications/*.desktop
appstreamcli validate --no-net "$unpacked"/usr/share/metainfo/*.metainfo.xml
# Lintian prefers not to run as root; it checks the same either way. Its
# warnings and notes are shown, only an error fails.
lintian --fail-on error --allow-root --info "$deb"

depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
names="$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')"
if grep -Ex '.*-dev|.*-dev-tools|g\+\+.*|gcc(-[0-9]+)?|cpp(-[0-9]+)?|cmake|make|libgtest.*|libgmock.*|libbenchmark.*|clang.*|xvfb|lintian|imagemagick' <<<"$names"; then
    echo "The package depends on a build or test tool (above)" >&2
    exit 1
fi
