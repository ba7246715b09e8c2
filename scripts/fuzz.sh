#!/usr/bin/env bash
# Builds the fuzz targets with clang, replays each one's regression corpus,
# then fuzzes each for a bounded time (UOO_FUZZ_SECONDS, 30 unless told) from
# that corpus and the keyword dictionary. Fails on any crash, hang or
# sanitizer report.
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
    # Every input that once raised coverage or found a fault is replayed first.
    "$build/fuzz/fuzz_${target}_exchange" -runs=0 "$root/fuzz/corpus/$target" \
        >"$work/$target.replay.log" 2>&1 || {
        tail -n 40 "$work/$target.replay.log"
        echo "fuzz_${target}_exchange fails on its regression corpus" >&2
        exit 1
    }
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
