#!/usr/bin/env bash
# Builds and runs the benchmarks; every figure comes with a baseline measured
# in the same run, as these machines are shared and noisy.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${UOO_BENCH_BUILD_DIR:-$root/build-bench}"
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUOO_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work}"

echo "== store: Load and Save of 9000 cards =="
"$build/bench/store_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=json >"$work/store.json"
python3 - "$work/store.json" <<'PY'
import json, sys
rows = {b["run_name"].replace("/real_time", ""): b["real_time"] for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("aggregate_name") == "median"}
def ratio(name, base):
    print(f"{name}: {rows[name]:.2f} ms, baseline {rows[base]:.2f} ms, ratio {rows[name]/rows[base]:.2f}x")
ratio("BM_Load", "BM_ReadBaseline")
ratio("BM_Save", "BM_WriteSyncBaseline")
ratio("BM_SaveMerging", "BM_WriteSyncBaseline")
print(f"backup of the replaced table (after the save returns): {rows['BM_Backup']:.1f} ms")
PY

echo "== start-up to the shown window, 9000 cards =="
(cd "$work" && "$build/bench/make_database" 9000)
(cd "$work" && "$build/bench/process_bench" 15 "$build/bench/startup_probe" --bare -- \
    "$build/bench/startup_probe")

echo "== which card a device holds, among 9000 programmed cards =="
"$build/bench/match_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=json >"$work/match.json"
python3 - "$work/match.json" <<'PY'
import json, sys
rows = {b["run_name"]: b["real_time"] for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("aggregate_name") == "median"}
base = rows["BM_ScanProgIdBaseline"]
for name in ("BM_MatchDevice", "BM_MatchUnknownDevice"):
    print(f"{name}: {rows[name]:.1f} us, plain scan of the ProgID1 values {base:.1f} us, "
          f"ratio {rows[name]/base:.2f}x")
PY

echo "== Crc16: table against the bitwise loop =="
"$build/bench/crc_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_format=json >"$work/crc.json"
python3 - "$work/crc.json" <<'PY'
import json, sys
rows = {b["run_name"]: b["real_time"] for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("aggregate_name") == "median"}
for n in ("264", "4096"):
    t, b = rows[f"BM_Crc16/{n}"], rows[f"BM_Crc16Bitwise/{n}"]
    print(f"{n} bytes: table {t:.0f} ns, bitwise {b:.0f} ns, table is {b/t:.1f}x faster")
PY

echo "== device link timings =="
"$build/bench/link_timing"

echo "== programming and reading through a USB chip, 50 of each per latency (about 12 minutes) =="
"$build/bench/chip_bench" "${UOO_CHIP_RUNS:-50}"

echo "== search and save =="
"$build/bench/search_bench"

echo "== jobs =="
"$build/bench/job_bench"

echo "== the team database: first take, one save, a save seen by 2 and 50 copies, an idle copy =="
"$root/tests/support/pg-server.sh" start "$work/pg.env"
status=0
"$build/bench/team_bench" "$work/pg.env" "$build/bench/team_copy" 60 || status=$?
"$root/tests/support/pg-server.sh" stop "$work/pg.env"
exit "$status"
