#!/usr/bin/env bash
# Builds the benchmarks (Release) and prints one table: the median over
# repetitions of each case, in nanoseconds per allocation+free pair, for
# KovaMem and the system allocator side by side, and their ratio.
#   bench/run.sh [repetitions] [extra benchmark flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-7}
shift || true
dir=build-bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKOVAMEM_TESTS=OFF -DKOVAMEM_BENCH=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target kovamem_bench >/dev/null
out="$dir/bench.json"
"$dir/bench/kovamem_bench" --benchmark_repetitions="$reps" --benchmark_min_time=0.2 \
  --benchmark_report_aggregates_only=true --benchmark_format=json --benchmark_out="$out" \
  --benchmark_out_format=json "$@" >/dev/null
python3 - "$out" <<'PY'
import json, re, sys
data = json.load(open(sys.argv[1]))
rows, stats = {}, {}
for b in data["benchmarks"]:
    if b.get("run_type") != "aggregate" or b["aggregate_name"] not in ("median", "cv"):
        continue
    name = b["run_name"]
    # "<case>/<who>" with Google Benchmark's own suffixes (/arg, /real_time, /threads:n) after it
    m = re.match(r"(.*)/(kovamem|system)(/.*)?$", name)
    case, who = m.group(1), m.group(2)
    per = 1000 if "1000x64" in case else 1  # lifo and fifo time 1000 pairs per iteration
    key = (case, who)
    if b["aggregate_name"] == "median":
        rows.setdefault(case, {})[who] = b["real_time"] / per
    else:
        stats[key] = b["real_time"] * 100
print("%-22s %14s %14s %9s %8s" % ("case", "kovamem ns", "system ns", "ratio", "cv %"))
for case, v in rows.items():
    k, s = v.get("kovamem"), v.get("system")
    ratio = "%9.2f" % (k / s) if k is not None and s else "%9s" % "-"
    cv = max(stats.get((case, w), 0) for w in ("kovamem", "system"))
    print("%-22s %14s %14s %s %8.1f" % (case, "%.1f" % k if k is not None else "-",
                                          "%.1f" % s if s is not None else "-", ratio, cv))
print("\n%s, %d cpus at %s MHz, %s" % (data["context"].get("host_name", "?"), data["context"]["num_cpus"],
                                      data["context"]["mhz_per_cpu"], data["context"]["date"]))
PY
