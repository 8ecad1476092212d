#!/usr/bin/env bash
# Builds the benchmarks (Release) and prints one table: the median over
# repetitions of each case, in nanoseconds per allocation+free pair, for
# KovaMem, the one-lock floor and the system allocator side by side, and
# KovaMem's ratio to each.
#   bench/run.sh [repetitions] [extra benchmark flags...]
# BENCH_BUILD_FLAGS adds CMake flags (for instance -DKOVAMEM_CLASSIC=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-7}
shift || true
dir=${BENCH_DIR:-build-bench}
# shellcheck disable=SC2086
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKOVAMEM_TESTS=OFF -DKOVAMEM_BENCH=ON ${BENCH_BUILD_FLAGS:-} >/dev/null
cmake --build "$dir" -j"$(nproc)" --target kovamem_bench >/dev/null
out="$dir/bench.json"
"$dir/bench/kovamem_bench" --benchmark_repetitions="$reps" --benchmark_min_time=0.2 \
  --benchmark_report_aggregates_only=true --benchmark_format=json --benchmark_out="$out" \
  --benchmark_out_format=json "$@" >/dev/null
python3 - "$out" <<'PY'
import json, re, sys
data = json.load(open(sys.argv[1]))
rows, stats, extra = {}, {}, {}
who_all = ("kovamem", "floor", "system")
for b in data["benchmarks"]:
    if b.get("run_type") != "aggregate" or b["aggregate_name"] not in ("median", "cv"):
        continue
    name = b["run_name"]
    # "<case>/<who>" with Google Benchmark's own suffixes (/arg, /real_time, /threads:n) after it
    m = re.match(r"(.*)/(kovamem|floor|system)(/.*)?$", name)
    case, who = m.group(1), m.group(2)
    per = 1000 if "1000x64" in case else 1  # lifo and fifo time 1000 pairs per iteration
    if b["aggregate_name"] == "median":
        rows.setdefault(case, {})[who] = b["real_time"] / per
        if "stall_us" in b:
            extra[case] = b["stall_us"]
    else:
        stats[(case, who)] = b["real_time"] * 100
print("%-30s %12s %12s %12s %8s %8s %6s %10s" % ("case", "kovamem ns", "floor ns", "system ns", "/floor", "/system", "cv %", "stall us"))
fmt = lambda v: "%.1f" % v if v is not None else "-"
for case, v in rows.items():
    k, f, s = (v.get(w) for w in who_all)
    rf = "%.2f" % (k / f) if k is not None and f else "-"
    rs = "%.2f" % (k / s) if k is not None and s else "-"
    cv = max(stats.get((case, w), 0) for w in who_all)
    st = "%.0f" % extra[case] if case in extra else "-"
    print("%-30s %12s %12s %12s %8s %8s %6.1f %10s" % (case, fmt(k), fmt(f), fmt(s), rf, rs, cv, st))
print("\n%s, %d cpus at %s MHz, %s" % (data["context"].get("host_name", "?"), data["context"]["num_cpus"],
                                      data["context"]["mhz_per_cpu"], data["context"]["date"]))
PY
