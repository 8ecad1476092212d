#!/usr/bin/env bash
# Wall time of unmodified programs with the preload library against the same
# runs without it: the median of N runs each, interleaved, and the ratio.
#   bench/preload.sh [runs]      (default 7; builds build-bench if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
dir=${BENCH_DIR:-build-bench}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKOVAMEM_TESTS=OFF -DKOVAMEM_BENCH=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target kovamem_preload >/dev/null
lib=$PWD/$dir/libkovamem-preload.so
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$work" <<'PY'
import sys
with open(sys.argv[1] + "/data.txt", "w") as f:
    for i in range(400000):
        f.write("%d line-%d %s\n" % ((i * 7919) % 100003, i, "x" * (i % 40)))
with open(sys.argv[1] + "/work.py", "w") as f:
    f.write("""
import json, re
d = {("k%d" % i): [i] * (i % 7) for i in range(200000)}
s = json.dumps({k: v for k, v in list(d.items())[:50000]})
print(len(json.loads(s)), len(re.findall(r"k\\d+", s)))
""")
with open(sys.argv[1] + "/work.sql", "w") as f:
    f.write("""
create table t(a integer primary key, b text, c blob);
with recursive n(x) as (select 1 union all select x + 1 from n where x < 200000)
insert into t select x, printf('row-%08d', x), randomblob(x % 200) from n;
create index tb on t(b);
delete from t where a % 2 = 0;
select count(*), sum(a) from t;
""")
PY
cases=(
  "python3|env PYTHONMALLOC=malloc python3 $work/work.py"
  "sqlite3|sqlite3 :memory: < $work/work.sql"
  "sort|sort -k1,1n -k2 $work/data.txt"
  "awk|awk '{ s[\$1 % 1000] += length(\$3) } END { for (k in s) n += s[k]; print n }' $work/data.txt"
  "gzip|gzip -c $work/data.txt | gzip -dc | cksum"
)
printf "%-10s %12s %12s %8s\n" program "plain s" "preload s" ratio
for c in "${cases[@]}"; do
  name=${c%%|*}
  cmd=${c#*|}
  python3 - "$runs" "$lib" "$cmd" "$name" <<'PY'
import os, subprocess, sys, time, glob
runs, lib, cmd, name = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
times = {False: [], True: []}
for _ in range(runs):
    for pre in (False, True):
        env = dict(os.environ)
        if pre:
            env["LD_PRELOAD"] = lib
            env["KOVAMEM_OPTIONS"] = "report=exit"
        before = set(glob.glob("/tmp/memmgr-*.log"))
        t = time.perf_counter()
        subprocess.run(["sh", "-c", cmd], env=env, stdout=subprocess.DEVNULL, check=True)
        times[pre].append(time.perf_counter() - t)
        for p in set(glob.glob("/tmp/memmgr-*.log")) - before:
            os.unlink(p)
med = lambda v: sorted(v)[len(v) // 2]
a, b = med(times[False]), med(times[True])
print("%-10s %12.3f %12.3f %8.2f" % (name, a, b, b / a))
PY
done
printf "\n%s, %s cpus, %s\n" "$(uname -m)" "$(nproc)" "$(date -u +%FT%TZ)"
