#!/usr/bin/env bash
# Builds the programmer and starts it in the current directory, where it keeps
# ProgInfo_10.MGA and ProgLog.log, with a simulated device on its cable so that
# programming and reading can be tried without hardware.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

"$root/scripts/deps.sh" run
build="${UOO_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target uoo-programmer

exec "$build/app/uoo-programmer" --simulated-device "$@"
