#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time
# (UOO_FUZZ_SECONDS, 30 unless told) from its seed corpus and keyword
# dictionary. Fails on any crash, hang or sanitizer report.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${UOO_FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${UOO_FUZZ_SECONDS:-30}"

CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUOO_FUZZ=ON -DUOO_TESTS=OFF -DUOO_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_program_exchange fuzz_read_exchange

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for target in program read; do
    mkdir -p "$work/$target"
    echo "fuzzing the $target exchange for ${seconds}s"
    "$build/fuzz/fuzz_${target}_exchange" -max_total_time="$seconds" -timeout=10 \
        -dict="$root/fuzz/keywords.dict" -artifact_prefix="$work/" \
        "$work/$target" "$root/fuzz/corpus/$target" 2>"$work/$target.log" || {
        tail -n 40 "$work/$target.log"
        echo "fuzz_${target}_exchange found a fault; the input is in $work" >&2
        trap - EXIT
        exit 1
    }
    grep -E '^Done [0-9]+ runs' "$work/$target.log" || true
done
