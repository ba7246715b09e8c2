#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

scripts/deps.sh test
# The code style first: a file clang-format would change fails the run.
scripts/format.sh --check

build="${UOO_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUOO_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR="$build/runtime"
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi
# The device's bytes are untrusted: every exchange is fuzzed for a while.
"$root/scripts/fuzz.sh"

# The whole suite under the memory and undefined-behaviour checkers, and the
# jobs, which share one flag with the window's thread, under the race checker.
"$root/scripts/sanitize.sh"

ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The Debian package, from a clean build, and its validators.
"$root/scripts/package.sh"
"$root/scripts/check-package.sh"
