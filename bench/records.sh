#!/usr/bin/env bash
# What fault records cost: wall time of a fault-free program and of a flood
# of one fault, with the log alone against the log and the sinks, medians of
# N interleaved runs, under real rsyslogd and systemd-journald started in a
# private namespace (as root).
#   bench/records.sh BUILD_DIR [runs]   (BUILD_DIR: a build with the tests, for kthostile)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "$1" && pwd)
runs=${2:-7}
[ "${PRIVATE_DEV:-}" = 1 ] || exec sh tests/preload/private-dev.sh bash "$0" "$@"
work=$(mktemp -d)
cat > "$work/rsyslog.conf" <<CONF
global(workDirectory="$work")
module(load="imudp")
module(load="imuxsock" SysSock.Use="off")
input(type="imudp" address="127.0.0.1" port="5514" ruleset="remote")
input(type="imuxsock" Socket="/dev/log" RateLimit.Interval="0" ruleset="local")
ruleset(name="remote") { action(type="omfile" file="$work/remote.log") }
ruleset(name="local") { action(type="omfile" file="$work/local.log") }
CONF
rsyslogd -n -f "$work/rsyslog.conf" -i "$work/pid" & rs=$!
/lib/systemd/systemd-journald >/dev/null 2>&1 & jd=$!
trap 'kill $rs $jd; rm -rf "$work"' EXIT
sleep 1
python3 - "$runs" "$build" "$work" <<'PY'
import os, subprocess, sys, time
runs, build, work = int(sys.argv[1]), sys.argv[2], sys.argv[3]
lib = build + "/libkovamem-preload.so"
sql = """create table t(a integer primary key, b text, c blob);
with recursive n(x) as (select 1 union all select x + 1 from n where x < 200000)
insert into t select x, printf('row-%08d', x), randomblob(x % 200) from n;
create index tb on t(b); delete from t where a % 2 = 0; select count(*), sum(a) from t;"""
sinks = "syslog,syslog-udp://127.0.0.1:5514,journald,spool:" + work + "/spool;fw=bench;device=bench"
cases = [
    ("sqlite3, no fault", ["sqlite3", ":memory:"], sql,
     ("report=exit", "report=exit;report_to=file," + sinks)),
    ("100000 double frees", [build + "/tests/kthostile", "faults", "100000"], None,
     ("report=exit;log_kb=4194303", "report=exit;log_kb=4194303;report_to=file," + sinks,
      "report=exit;report_to=" + sinks)),
]
for name, cmd, stdin, modes in cases:
    times = {m: [] for m in modes}
    for _ in range(runs):
        for m in modes:
            env = dict(os.environ, LD_PRELOAD=lib, KOVAMEM_OPTIONS=m)
            t = time.perf_counter()
            subprocess.run(cmd, env=env, input=stdin, text=True, stdout=subprocess.DEVNULL, check=True)
            times[m].append(time.perf_counter() - t)
    med = lambda v: sorted(v)[len(v) // 2]
    base = med(times[modes[0]])
    for m in modes:
        print("%-20s %-12s %8.3f s %6.2f" % (name, "log alone" if m == modes[0] else
                                             "log + sinks" if "file," in m else "sinks alone", med(times[m]),
                                             med(times[m]) / base))
PY
printf "\n%s, %s cpus, %s\n" "$(uname -m)" "$(nproc)" "$(date -u +%FT%TZ)"
