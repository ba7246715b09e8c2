#!/usr/bin/env bash
# Builds the device link and job tests with ThreadSanitizer and runs them;
# any report fails the run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${UOO_TSAN_BUILD_DIR:-$root/build-tsan}"
targets=(link_tests link_pty_tests job_tests)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUOO_TSAN=ON -DUOO_BENCH=OFF \
    >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1 exitcode=66"
for t in "${targets[@]}"; do
    echo "ThreadSanitizer: $t"
    "$build/tests/$t" --gtest_brief=1 >"$build/$t.log" 2>&1 || {
        tail -n 60 "$build/$t.log"
        echo "$t failed under ThreadSanitizer" >&2
        exit 1
    }
done
