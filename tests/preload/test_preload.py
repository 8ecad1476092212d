"""Unmodified programs on the pools through the preload library.

    test_preload.py --preload LIB --tools DIR --contracts BIN --cprog BIN [--emulator CMD]

Each program runs twice, without and with the preload library (through
kovamem-run natively, through the emulator's environment on a cross
target), and must print the same; the logs it wrote must hold no guard
report, and each process's report at exit must be complete and consistent.
Natively the real programs are the system Python (PYTHONMALLOC=malloc:
dicts, threads, json, re, sqlite3, a fork), the sqlite3 shell, and sort,
awk and gzip; on a cross target, the two test programs.
"""
import argparse
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None

PYTHON_SCRIPT = r'''
import json, os, re, sqlite3, sys, threading
d = {("k%d" % i): [i] * (i % 7) for i in range(20000)}
words = re.findall(r"[a-z]+\d", " ".join("ab%d" % (i % 10) for i in range(5000)))
out = []
def work(n):
    out.append(sum(len(json.dumps({"n": i, "s": "x" * (i % 50)})) for i in range(n)))
ts = [threading.Thread(target=work, args=(3000,)) for _ in range(4)]
for t in ts: t.start()
for t in ts: t.join()
db = sqlite3.connect(":memory:")
db.execute("create table t (a integer, b text)")
db.executemany("insert into t values (?, ?)", [(i, "v%d" % (i % 100)) for i in range(20000)])
db.execute("delete from t where a % 3 = 0")
rows = db.execute("select count(*), sum(a), count(distinct b) from t").fetchone()
pid = os.fork()
if pid == 0:
    print("child", len({k: v for k, v in d.items() if len(v) > 3}), flush=True)
    sys.exit(0)  # a normal exit: the child's report is written
os.waitpid(pid, 0)
print(len(d), sum(len(v) for v in d.values()), len(words), sorted(out), rows)
'''

SQL_SCRIPT = r'''
create table t(a integer primary key, b text, c blob);
with recursive n(x) as (select 1 union all select x + 1 from n where x < 30000)
insert into t select x, printf('row-%08d', x), randomblob(x % 200) from n;
select count(*), sum(length(c)) > 0, min(b), max(b) from t;
delete from t where a % 2 = 0;
create index tb on t(b);
select count(*), sum(a) from t;
delete from t where a > 1000;
vacuum;
select count(*), group_concat(a) from (select a from t order by a limit 20);
'''


def emulated(cmd, preload):
    """The command on a cross target, with the preload library in its environment."""
    emu = shlex.split(ARGS.emulator)
    if preload:
        emu += ["-E", "LD_PRELOAD=" + os.path.abspath(ARGS.preload)]
    return emu + cmd


def log_states():
    out = {}
    for p in glob.glob("/tmp/memmgr-*.log"):
        try:
            st = os.stat(p)
            out[p] = (st.st_mtime_ns, st.st_size, st.st_ino)
        except OSError:
            pass
    return out


def written_since(before):
    """{path: text} of the logs written since before. A log that an earlier
    process with the same pid left is set aside by the library, so a file
    that is not the one seen before is read whole; one that is (written on)
    is read from where it ended then, so that only this run's entries are
    judged."""
    out = {}
    for p, (mtime, size, ino) in log_states().items():
        old = before.get(p)
        if old == (mtime, size, ino):
            continue
        start = old[1] if old and old[2] == ino and old[1] <= size else 0
        with open(p, "rb") as f:
            f.seek(start)
            out[p] = f.read().decode("utf-8", "replace")
    return out


def of_tree(texts, root):
    """The logs of process root and of the processes it started or forked,
    by the preload library's first line in each: logs other tests' programs
    write to /tmp meanwhile are no one's here."""
    info = {}
    for p, t in texts.items():
        m = re.search(r" INFO: kovamem-preload: process (\d+) (?:parent|forked from) (\d+)", t)
        if m:
            info[p] = (int(m.group(1)), int(m.group(2)))
    pids, mine, grew = {root}, {}, True
    while grew:
        grew = False
        for p, (pid, parent) in info.items():
            if p not in mine and (pid in pids or parent in pids):
                mine[p] = texts[p]
                pids.add(pid)
                grew = True
    return mine


def run_with_pid(cmd, env, timeout=600, stdin=None):
    """subprocess.run's result for cmd, and the pid it ran as."""
    with subprocess.Popen(cmd, stdin=subprocess.PIPE if stdin is not None else None, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, env=env) as p:
        try:
            out, err = p.communicate(stdin, timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            raise
    return subprocess.CompletedProcess(cmd, p.returncode, out, err), p.pid


def run(cmd, preload, env=None, tool_args=(), stdin=None):
    """Runs cmd; returns (completed process, {log: text written by it})."""
    before = log_states()
    full_env = dict(os.environ, **(env or {}))
    if ARGS.emulator:
        full = emulated(cmd, preload)
    elif preload:
        full = [sys.executable, os.path.join(ARGS.tools, "kovamem-run"), "--preload", ARGS.preload] + \
            list(tool_args) + ["--"] + cmd
    else:
        full = cmd
    proc, pid = run_with_pid(full, full_env, stdin=stdin)
    return proc, of_tree(written_since(before), pid)


def assert_consistent(test, report, what):
    """The report is complete and consistent: blocks add up, every busy block counted."""
    test.assertTrue(report["complete"], what)
    t, c = report["totals"], report["counters"]
    test.assertEqual(t["blocks"], t["free"] + t["used"] + t["quarantined"], what)
    test.assertEqual(c["mem_malloc"] - c["mem_free"], t["used"] + t["quarantined"], what)


def analysed(text):
    """kovamem-analyze's JSON document of a log's text."""
    analyzer = [sys.executable, os.path.join(ARGS.tools, "kovamem-analyze"), "--json", "-"]
    if ARGS.emulator:
        analyzer[-1:-1] = ["--addr2line", "true"]  # addresses are not needed here
    proc = subprocess.run(analyzer, capture_output=True, text=True, timeout=300, input=text)
    assert proc.returncode in (0, 1), proc.stderr
    return json.loads(proc.stdout)


class Programs(unittest.TestCase):
    def same(self, cmd, env=None, tool_args=(), stdin=None, processes=1, compare=True):
        plain, _ = run(cmd, False, env, stdin=stdin)
        self.assertEqual(plain.returncode, 0, plain.stderr)
        pooled, logs = run(cmd, True, env, tool_args, stdin=stdin)
        try:
            self.assertEqual(pooled.returncode, 0, pooled.stderr)
            if compare:
                self.assertEqual(pooled.stdout, plain.stdout)
            self.assertGreaterEqual(len(logs), processes, logs)
            reported = 0
            for path, text in logs.items():
                self.assertNotIn("might be corrupted", text, path)
                self.assertNotIn("Max file size reached", text, path)
                # A forked child that then ran another program leaves its
                # own process and the new program's in one file: the last
                # one ran to its exit and wrote its report.
                # A program that ends with _exit (the shell does) writes no
                # report at exit; every report written is complete.
                doc = analysed(text)
                self.assertEqual([d for p in doc["processes"] for d in p["guard_damage"]], [])
                reports = doc["processes"][-1]["reports"]
                if not reports:
                    continue
                reported += 1
                assert_consistent(self, reports[-1], path)
            self.assertGreaterEqual(reported, processes, logs)
            return pooled, logs
        finally:
            for path in logs:
                os.unlink(path)

    def test_contracts_and_a_c_program_hold_with_and_without_the_pools(self):
        self.same([ARGS.contracts], compare=False)
        self.assertIn("preloaded: yes", subprocess.run(
            emulated([ARGS.contracts], True) if ARGS.emulator else
            [ARGS.contracts], capture_output=True, text=True,
            env=dict(os.environ, LD_PRELOAD=os.path.abspath(ARGS.preload))).stdout)
        self.same([ARGS.cprog])

    def python(self, *tool_args):
        if ARGS.emulator:
            self.skipTest("the host's Python")
        with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
            f.write(PYTHON_SCRIPT)
        self.addCleanup(os.unlink, f.name)
        pooled, logs = self.same([sys.executable, f.name], env={"PYTHONMALLOC": "malloc"}, processes=2,
                                 tool_args=tool_args)
        self.assertIn("child", pooled.stdout)
        return logs

    def test_python_with_threads_sqlite_and_a_fork(self):
        logs = self.python()
        # kovamem-run grows pools by default: the pools serve nearly every
        # allocation, counted in each process's report at exit.
        for path, text in logs.items():
            c = analysed(text)["processes"][-1]["reports"][-1]["counters"]
            self.assertGreaterEqual(c["mem_malloc"] / (c["mem_malloc"] + c["sys_malloc"]), 0.99, (path, c))

    def test_python_with_guarded_sampling_gives_the_same_output(self):
        if ARGS.classic:
            self.skipTest("the classic build guards nothing")
        logs = self.python("--guarded", "1000")
        # The area is made in the parent and inherited by the forked child,
        # which writes a log of its own.
        self.assertTrue(any(" INFO: KovaMemSetGuardedSampling: one allocation in 1000 is guarded, 64 slots" in t
                            for t in logs.values()), logs.keys())
        for path, text in logs.items():
            self.assertNotIn("KovaMemGuarded", text)  # no fault, none reported
            self.assertRegex(text, r" Guarded Sampling : 1/1000, 64 slots, \d+ busy, [1-9]\d* waiting")

    def test_sqlite3_shell_grows_and_shrinks_tables(self):
        if ARGS.emulator or not shutil.which("sqlite3"):
            self.skipTest("the host's sqlite3 shell")
        self.same(["sqlite3", ":memory:"], stdin=SQL_SCRIPT)

    def test_text_tools(self):
        if ARGS.emulator:
            self.skipTest("the host's tools")
        with tempfile.TemporaryDirectory() as d:
            data = os.path.join(d, "data.txt")
            with open(data, "w") as f:
                for i in range(60000):
                    f.write("%d line-%d %s\n" % ((i * 7919) % 10007, i, "x" * (i % 40)))
            self.same(["sort", "-k1,1n", "-k2", data])
            self.same(["awk", "{ s[$1 % 100] += length($3) } END { for (k in s) n += s[k]; print n, length(s) }", data])
            self.same(["sh", "-c", "gzip -c '%s' | gzip -dc | cksum" % data], processes=3)  # the shell's own: no report


def log_of(pid):
    return "/tmp/memmgr-%d.log" % pid


class Hostile(unittest.TestCase):
    """What real programs do to an allocator they do not know is there."""

    def pooled(self, args, options, timeout=600):
        """Runs the hostile program on the pools with KOVAMEM_OPTIONS; returns
        (completed process, {path: text} of the logs it wrote that name it)."""
        cmd = [ARGS.hostile] + args
        env = dict(os.environ, KOVAMEM_OPTIONS=options)
        before = log_states()
        if ARGS.emulator:
            full = emulated(cmd, True)
        else:
            env["LD_PRELOAD"] = os.path.abspath(ARGS.preload)
            full = cmd
        proc, pid = run_with_pid(full, env, timeout)
        mine = of_tree(written_since(before), pid)
        self.addCleanup(lambda: [os.unlink(p) for p in mine if os.path.exists(p)])
        return proc, mine

    def consistent(self, text):
        """The last report of the log is complete and adds up."""
        doc = analysed(text)
        assert_consistent(self, doc["processes"][-1]["reports"][-1], "the log")
        return doc

    def test_the_first_descriptor_is_the_programs_own(self):
        plain, _ = run([ARGS.hostile, "fds"], False)
        self.assertEqual(plain.stdout, "first descriptor 3\n")
        for options in ("report=exit", "report=exit,USR2;freecheck=1", "trace=0;;report=exit;"):
            proc, logs = self.pooled(["fds"], options)
            self.assertEqual((proc.stdout, proc.stderr, len(logs)), (plain.stdout, "", 1), options)

    def test_blocks_damaged_and_never_released_are_named_by_the_report_at_exit(self):
        proc, logs = self.pooled(["damage"], "trace=1;report=exit")
        self.assertEqual((proc.returncode, proc.stdout), (0, "damaged\n"), proc.stderr)
        (text,) = logs.values()
        damage = self.consistent(text)["processes"][-1]["guard_damage"]
        self.assertEqual([(d["guard"], d["found"]) for d in damage], [("behind", "report"), ("in front", "report")])
        if not ARGS.emulator:
            self.assertEqual([str(d["frames"][0]["function"]).split(".")[0] for d in damage], ["siteA", "siteB"])

    def test_traces_survive_a_program_that_closes_every_descriptor(self):
        proc, logs = self.pooled(["closeall"], "trace=1;log_kb=4096")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("36 kept", proc.stdout)
        (path,) = logs
        doc = self.consistent(logs[path])
        self.assertGreaterEqual(doc["processes"][-1]["reports"][-1]["traced_blocks"], 36)
        if not ARGS.emulator:
            names = {str(f["function"]).split(".")[0] for g in doc["processes"][-1]["call_sites"]["groups"]
                     for f in g["frames"]}
            self.assertIn("siteA", names)
            self.assertIn("siteB", names)

    def test_releases_from_a_signal_handler_never_reach_the_c_library(self):
        n = "4000" if ARGS.emulator else "20000"
        plain, _ = run([ARGS.hostile, "sigfree", n], False)
        self.assertEqual(plain.stdout, "survived\n")
        for options in ("report=exit", "trace=1;log_kb=65536", "freecheck=1", "pools=32:16,128:16;grow=8M"):
            proc, logs = self.pooled(["sigfree", n], options)
            self.assertEqual((proc.returncode, proc.stdout, proc.stderr), (0, "survived\n", ""), options)
            (text,) = logs.values()
            doc = self.consistent(text)
            report = doc["processes"][-1]["reports"][-1]
            self.assertEqual(doc["processes"][-1]["guard_damage"], [])
            self.assertEqual(doc["processes"][-1]["invalid_releases"], [], options)
            self.assertNotIn("found no place to wait", text)
            if "grow" in options:
                # Grown pools serve too: every block of the program came from a
                # pool but the C library's own buffers larger than the largest
                # block (stdout's, and under qemu-aarch64 one more).
                self.assertIn(" INFO: KovaMemAlloc: Pool 0 (size 32) grows by Pool 2 of ", text)
                self.assertGreater(len(report["pools"]), 2)
                self.assertLessEqual(report["counters"]["sys_malloc"], 3, report["counters"])
            else:  # every block the handler released was released: only the program's own few stay
                self.assertLess(report["totals"]["used"], 50, options)

    def test_a_loaded_library_is_in_the_next_module_map(self):
        proc, logs = self.pooled(["dlopen", ARGS.dummy], "trace=1;log_kb=4096")
        self.assertEqual(proc.stdout, "loaded\n", proc.stderr)
        (path,) = logs
        maps = analysed(logs[path])["processes"][-1]["module_maps"]
        self.assertEqual(len(maps), 2)
        self.assertNotIn("libktdummy.so", " ".join(m["path"] for m in maps[0]["modules"]))
        self.assertIn("libktdummy.so", " ".join(m["path"] for m in maps[1]["modules"]))

    def test_a_load_and_unload_loop_leaves_room_for_the_fault_report(self):
        rounds = "300" if ARGS.emulator else "2000"
        proc, logs = self.pooled(["dlloop", ARGS.dummy, rounds], "trace=1")
        self.assertEqual(proc.stdout, rounds + " rounds\n", proc.stderr)
        (path,) = logs
        text = logs[path]
        self.assertRegex(text, r" CRIT: KovaMemFreeNode: Ptr 0x[0-9a-f]+ from Pool \d+ and Block \d+ might be corrupted")
        self.assertNotIn("Max file size reached", text)
        doc = analysed(logs[path])["processes"][-1]
        if not ARGS.emulator:  # qemu may load the library at a new address each round: each is a new map
            self.assertLessEqual(len(doc["module_maps"]), 3)
        self.assertEqual(len(doc["guard_damage"]), 1)
        self.assertIn("siteA", " ".join(str(f["function"]) for f in doc["guard_damage"][0]["frames"] or []) if
                      not ARGS.emulator else "siteA")

    def test_a_configuration_without_blocks_is_said_once_and_the_c_library_serves(self):
        proc, _ = self.pooled(["sigfree", "2000"], "pools=8:0")
        self.assertEqual(proc.stdout, "survived\n")
        lines = proc.stderr.splitlines()
        self.assertEqual(len(lines), 1, proc.stderr)
        self.assertRegex(lines[0], r"^kovamem: no pool was built \(see /tmp/memmgr-(\d+)\.log\): every allocation "
                                   r"goes to the C library$")
        path = re.search(r"/tmp/memmgr-\d+\.log", lines[0]).group(0)
        with open(path) as f:
            text = f.read()
        os.unlink(path)
        self.assertIn(" EXIT: CRIT: KovaMemInit: memPoolCfg is not configured \n", text)
        self.assertEqual(text.count("\n"), 2, text)


class Runner(unittest.TestCase):
    def setUp(self):
        if ARGS.emulator:
            self.skipTest("kovamem-run runs host programs")
        self.tool = [sys.executable, os.path.join(ARGS.tools, "kovamem-run"), "--preload", ARGS.preload]

    def test_help_and_bad_options(self):
        proc = subprocess.run(self.tool + ["--help"], capture_output=True, text=True)
        self.assertEqual(proc.returncode, 0)
        self.assertIn("kovamem-run [options] -- PROGRAM", proc.stdout)
        for bad in (["--depth", "12", "--", "true"], ["--bogus", "--", "true"], ["--report-signal", "KILL", "--", "true"],
                    ["--pools", "8"], ["--grow", "12X", "--", "true"], []):
            proc = subprocess.run(self.tool + bad, capture_output=True, text=True)
            self.assertEqual(proc.returncode, 2, bad)
            self.assertEqual(len(proc.stderr.strip().split("\n")), 1, proc.stderr)

    def test_trace_analyze_and_a_report_on_a_signal(self):
        script = ("import os, signal, json, ctypes.util\n"
                  "x = [json.dumps(list(range(i))) for i in range(300)]\n"
                  "os.kill(os.getpid(), signal.SIGUSR2)\n"
                  "y = [dict(a=i) for i in range(300)]\n"
                  "import _decimal\n"
                  "print(len(x), len(y))\n")
        proc = subprocess.run(self.tool + ["--trace", "--report-signal", "USR2", "--pools", "8:3000,16:3000,32:3000,"
                                           "64:2000,128:1000,256:500,512:200,1024:100", "--log-kb", "65536",
                                           "--analyze", "--",
                                           sys.executable, "-c", script],
                              capture_output=True, text=True, env=dict(os.environ, PYTHONMALLOC="malloc"), timeout=600)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("300 300", proc.stdout)
        self.assertIn("==== kovamem-analyze /tmp/memmgr-", proc.stdout)
        self.assertIn("Reports\n  report 1", proc.stdout)
        self.assertIn("report 2", proc.stdout)  # the signal's, then the one at exit
        log = proc.stdout.split("==== kovamem-analyze ")[1].split(" ====")[0]
        with open(log) as f:
            text = f.read()
        os.unlink(log)
        self.assertEqual(text.count("Memory Manager Status -> Begin"), 2)
        self.assertGreaterEqual(text.count("KovaMemLogModules: module 0 base"), 2)  # again after a dlopen
        self.assertIn("Number of pools: 8", text)

    def test_analyze_takes_the_logs_of_the_programs_own_processes_only(self):
        # Another program on the pools writes its log while the run goes on.
        other = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(1.5); print(len([str(i) for i in range(999)]))"],
                                 env=dict(os.environ, LD_PRELOAD=os.path.abspath(ARGS.preload)),
                                 stdout=subprocess.DEVNULL)
        self.addCleanup(lambda: os.path.exists(log_of(other.pid)) and os.unlink(log_of(other.pid)))
        script = ("import os, subprocess, sys, time\n"
                  "pid = os.fork()\n"
                  "if pid == 0:\n"
                  "    x = [str(i) for i in range(5000)]\n"
                  "    sys.exit(0)\n"
                  "os.waitpid(pid, 0)\n"
                  "sub = subprocess.run([sys.executable, '-c', 'import os; print(os.getpid())'], capture_output=True, text=True)\n"
                  "time.sleep(2)\n"
                  "print(os.getpid(), pid, sub.stdout.strip())\n")
        proc = subprocess.run(self.tool + ["--analyze", "--", sys.executable, "-c", script], capture_output=True,
                              text=True, timeout=600)
        other.wait()
        self.assertEqual(proc.returncode, 0, proc.stderr)
        mine = [int(w) for w in proc.stdout.strip().split("\n")[0].split()]
        for pid in mine:
            self.addCleanup(lambda p=pid: os.path.exists(log_of(p)) and os.unlink(log_of(p)))
        analysed_logs = re.findall(r"==== kovamem-analyze /tmp/memmgr-(\d+)\.log ====", proc.stdout)
        self.assertEqual(sorted(int(p) for p in analysed_logs), sorted(mine))
        self.assertTrue(os.path.exists(log_of(other.pid)))

    @unittest.skipUnless(shutil.which("prometheus-node-exporter"), "no node_exporter here")
    def test_node_exporter_serves_the_figures_of_running_and_finished_programs(self):
        import socket
        import time
        import urllib.request
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        exporter = subprocess.Popen(["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % port,
                                     "--collector.disable-defaults", "--collector.textfile",
                                     "--collector.textfile.directory=" + d],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (exporter.terminate(), exporter.wait()))

        def scrape():
            for _ in range(100):
                try:
                    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as r:
                        return r.read().decode()
                except OSError:
                    time.sleep(0.1)
            self.fail("node_exporter does not answer")
        # A program still running: its file is written as it allocates.
        busy = ("import os, sys, time\nprint(os.getpid(), flush=True)\nend = time.time() + 4\n"
                "while time.time() < end: x = [str(i) for i in range(2000)]\n")
        running = subprocess.Popen(self.tool + ["--metrics-dir", d, "--options", "metrics_interval=1", "--",
                                                sys.executable, "-c", busy], stdout=subprocess.PIPE, text=True)
        pid = int(running.stdout.readline())
        self.addCleanup(lambda: os.path.exists(log_of(pid)) and os.unlink(log_of(pid)))
        time.sleep(2.5)
        text = scrape()
        self.assertIn("node_textfile_scrape_error 0", text)
        mine = [line for line in text.splitlines() if line.startswith("kovamem_pool_allocations_total{")
                and 'pid="%d"' % pid in line]
        self.assertEqual(len(mine), 1, text[:3000])
        self.assertRegex(mine[0], r'program="python3[^"]*"')
        self.assertGreater(int(mine[0].split()[-1]), 1000)
        running.wait(timeout=60)
        running.stdout.close()
        self.assertEqual(os.listdir(d), [])  # removed at its normal exit
        # A finished program that keeps its file, beside another one.
        pids = []
        for _ in range(2):
            proc = subprocess.run(self.tool + ["--metrics-dir", d, "--metrics-keep", "--", sys.executable, "-c",
                                               "import os; x = [str(i) for i in range(5000)]; print(os.getpid())"],
                                  capture_output=True, text=True, timeout=120)
            pids.append(int(proc.stdout))
            self.addCleanup(lambda p=pids[-1]: os.path.exists(log_of(p)) and os.unlink(log_of(p)))
        files = sorted(os.listdir(d))
        self.assertEqual(files, sorted("kovamem_%s_%d.prom" % (os.path.basename(os.path.realpath(sys.executable))
                                                                 .replace(".", "_"), p) for p in pids))
        text = scrape()
        self.assertIn("node_textfile_scrape_error 0", text)
        for p in pids:
            self.assertIn('kovamem_pool_busy_blocks{block_size="8",pid="%d"' % p, text)
        if shutil.which("promtool"):
            for f in files:
                with open(os.path.join(d, f)) as fh:
                    check = subprocess.run(["promtool", "check", "metrics"], stdin=fh, capture_output=True, text=True)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_bad_options_in_the_environment_are_said_and_the_rest_applies(self):
        env = dict(os.environ, LD_PRELOAD=os.path.abspath(ARGS.preload),
                   KOVAMEM_OPTIONS="bogus=1;pools=8:10,64:20;trace=x;report=exit")
        proc = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True,
                              env=env)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(proc.stderr, "kovamem: KOVAMEM_OPTIONS: unknown key 'bogus' (ignored)\n"
                                      "kovamem: KOVAMEM_OPTIONS: bad value in 'trace=x' (ignored)\n")
        log = "/tmp/memmgr-%s.log" % proc.stdout.split()[0]
        with open(log) as f:
            text = f.read()
        os.unlink(log)
        self.assertIn(" ERROR: KOVAMEM_OPTIONS: unknown key 'bogus' (ignored)\n", text)
        self.assertIn("Number of pools: 2\n", text)
        self.assertIn("S:   64|N:  20|", text)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--preload", required=True)
    ap.add_argument("--tools", required=True)
    ap.add_argument("--contracts", required=True)
    ap.add_argument("--cprog", required=True)
    ap.add_argument("--hostile", required=True)
    ap.add_argument("--dummy", required=True)
    ap.add_argument("--emulator")
    ap.add_argument("--classic", action="store_true")
    ARGS, rest = ap.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
