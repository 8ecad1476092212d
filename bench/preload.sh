#!/usr/bin/env bash
# Wall time of unmodified programs with the preload library against the same
# runs without it: the median of N runs each, interleaved, and the ratio.
#   bench/preload.sh [runs]      (default 7; builds build-bench if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
dir=${BENCH_DIR:-build-bench}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKOVAMEM_TESTS=OFF -DKOVAMEM_BENCH=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target kovamem_preload kovamem-prodcons >/dev/null
lib=$(cd "$dir" && pwd)/libkovamem-preload.so
prodcons=$(cd "$dir" && pwd)/bench/kovamem-prodcons
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
# The preloaded Python script of the test suite, as it is there.
src = open("tests/preload/test_preload.py").read()
start = src.index("PYTHON_SCRIPT = r'''") + len("PYTHON_SCRIPT = r'''")
with open(sys.argv[1] + "/suite.py", "w") as f:
    f.write(src[start:src.index("'''", start)])
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
# A pack of 30000 objects for git's two-thread index-pack.
git init -q "$work/repo"
python3 - <<'PY' | git -C "$work/repo" fast-import --quiet
import random
r = random.Random(7)
words = ["w%d" % i for i in range(5000)]
for c in range(10000):
    msg = "c%d" % c
    print("commit refs/heads/main\ncommitter b <b@x> %d +0000\ndata %d\n%s" % (1700000000 + c, len(msg), msg))
    for f in range(3):
        body = " ".join(r.choice(words) for _ in range(300)) + "\n"
        print("M 644 inline f%d/%d.txt\ndata %d\n%s" % (c % 50, f, len(body), body))
PY
git -C "$work/repo" repack -adq
cp "$work"/repo/.git/objects/pack/*.pack "$work/objects.pack"
cases=(
  "py-suite|env PYTHONMALLOC=malloc python3 $work/suite.py"
  "py-dicts|env PYTHONMALLOC=malloc python3 $work/work.py"
  "sqlite3|sqlite3 :memory: < $work/work.sql"
  "sort|sort -k1,1n -k2 $work/data.txt"
  "awk|awk '{ s[\$1 % 1000] += length(\$3) } END { for (k in s) n += s[k]; print n }' $work/data.txt"
  "gzip|gzip -c $work/data.txt | gzip -dc | cksum"
  # Threads that share the heap: two workers that release each other's
  # blocks, and programs that run two threads.
  "prodcons|$prodcons"
  "xz-T2|xz -T2 -3 --block-size=2MiB -c $work/data.txt | xz -T2 -dc | cksum"
  "zstd-T2|zstd -q -T2 -B1MiB -c $work/data.txt | zstd -q -dc | cksum"
  "index-pack|git index-pack --threads=2 -o $work/objects.idx $work/objects.pack"
)
# Each program plain, on the preload default without growth, with
# kovamem-run's growth budget, and with that and tracing 1 in 64 ("/grow":
# its time over the untraced run with growth); "pooled" is the share of
# allocations the pools served, from the reports at exit of all of its
# processes.
printf "%-10s %9s %9s %6s %7s %9s %6s %7s %9s %6s\n" program "plain s" "pre s" ratio pooled "grow s" ratio pooled \
  "1/64 s" "/grow"
for c in "${cases[@]}"; do
  name=${c%%|*}
  cmd=${c#*|}
  python3 - "$runs" "$lib" "$cmd" "$name" <<'PY'
import os, re, subprocess, sys, time, glob
runs, lib, cmd, name = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
modes = (None, "report=exit;grow=0", "report=exit;grow=256M", "report=exit;grow=256M;trace=1/64;log_kb=16384")
times = {m: [] for m in modes}
pooled = {}
for _ in range(runs):
    for m in modes:
        env = dict(os.environ)
        if m:
            env["LD_PRELOAD"] = lib
            env["KOVAMEM_OPTIONS"] = m
        before = set(glob.glob("/tmp/memmgr-*.log"))
        t = time.perf_counter()
        subprocess.run(["sh", "-c", cmd], env=env, stdout=subprocess.DEVNULL, check=True)
        times[m].append(time.perf_counter() - t)
        mem = sys_ = 0
        for p in set(glob.glob("/tmp/memmgr-*.log")) - before:
            text = open(p, errors="replace").read()
            for kind, var in (("MEM", "mem"), ("SYS", "sys")):
                found = re.findall(r"^ %s Count - Malloc:\s*(\d+)\|" % kind, text, re.M)
                if found:
                    if var == "mem":
                        mem += int(found[-1])
                    else:
                        sys_ += int(found[-1])
            os.unlink(p)
        if m:
            pooled[m] = 100.0 * mem / (mem + sys_) if mem + sys_ else 0.0
med = lambda v: sorted(v)[len(v) // 2]
a, b, g, t = (med(times[m]) for m in modes)
print("%-10s %9.3f %9.3f %6.2f %6.2f%% %9.3f %6.2f %6.2f%% %9.3f %6.2f" % (
    name, a, b, b / a, pooled[modes[1]], g, g / a, pooled[modes[2]], t, t / g))
PY
done
printf "\n%s, %s cpus, %s\n" "$(uname -m)" "$(nproc)" "$(date -u +%FT%TZ)"
