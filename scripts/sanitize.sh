#!/usr/bin/env bash
# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the device link and job tests under ThreadSanitizer. Any report fails.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen

asan="${UOO_ASAN_BUILD_DIR:-$root/build-asan}"
cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUOO_SANITIZE=ON -DUOO_BENCH=OFF \
    >/dev/null
cmake --build "$asan" -j "$jobs"
echo "AddressSanitizer and UndefinedBehaviorSanitizer: the whole suite"
ASAN_OPTIONS="detect_leaks=1 abort_on_error=0 halt_on_error=1" \
LSAN_OPTIONS="suppressions=$root/tests/lsan.supp print_suppressions=0" \
UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
    ctest --test-dir "$asan" --output-on-failure -j "$jobs" >"$asan/ctest.log" 2>&1 || {
    grep -vE '^\s*[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$asan/ctest.log" | tail -n 30
    # What the failed tests printed, last, where a short tail still shows it.
    awk '/\*\*\*Failed|\*\*\*Exception|\*\*\*Timeout/ {p = 1} /Test +#[0-9]+: .* Passed/ {p = 0} p' \
        "$asan/ctest.log" | tail -n 60
    echo "the suite failed under AddressSanitizer/UndefinedBehaviorSanitizer" >&2
    exit 1
}
tail -n 3 "$asan/ctest.log" | head -n 1

tsan="${UOO_TSAN_BUILD_DIR:-$root/build-tsan}"
targets=(link_tests link_pty_tests job_tests team_tests)
cmake -S "$root" -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUOO_TSAN=ON -DUOO_BENCH=OFF \
    >/dev/null
cmake --build "$tsan" -j "$jobs" --target "${targets[@]}"
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1 exitcode=66"
# The team database's network thread against a server of its own.
"$root/tests/support/pg-server.sh" start "$tsan/tests/pg-server.env"
trap '"$root/tests/support/pg-server.sh" stop "$tsan/tests/pg-server.env"' EXIT
for t in "${targets[@]}"; do
    echo "ThreadSanitizer: $t"
    extra=()
    if [ "$t" = team_tests ]; then
        # Qt's own event loop, not GLib's, whose wake-ups the sanitizer
        # cannot see through. The failover test starts the server's scripts
        # and the processes test its two copies: a fork while network
        # threads run, after which the sanitizer loses which locks are held
        # (it then reports the hand-over queue, taken under its lock on both
        # sides, as a race on a lock "already destroyed").
        extra=(env QT_NO_GLIB=1)
        set -- --gtest_filter=-LinkFaults.AFailoverToAPromotedStandbyLosesNothing:TeamSyncTest.TwoProcessesSavingAtOnceLoseNoEditAndAgreeOnTheSharedCard
    else
        set --
    fi
    "${extra[@]}" "$tsan/tests/$t" --gtest_brief=1 "$@" >"$tsan/$t.log" 2>&1 || {
        tail -n 60 "$tsan/$t.log"
        echo "$t failed under ThreadSanitizer" >&2
        exit 1
    }
done
