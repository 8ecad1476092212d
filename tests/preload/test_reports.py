"""Fault records reach the daemons devices run, and a spool directory.

    test_reports.py --preload LIB --hostile BIN [--emulator CMD]

The test runs itself again in a private mount namespace (as root, through
private-dev.sh), with a fresh /dev and /run. There it starts a real
rsyslogd listening on a loopback UDP port, a loopback TCP port and /dev/log,
storing what each receives in a file of its own, and a real
systemd-journald on its native socket (it runs in the namespace itself, so
journal-remote is not needed), read back with journalctl -o json. The
preloaded test program makes three faults, one of them 10000 times; every
sink must hold every record whole, with the daemon's own reading of it
right, and the loop as three records plus repeat counts that add up.
"""
import argparse
import json
import os
import re
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None
LOOP = 10000

RSYSLOG_CONF = '''
global(workDirectory="{work}")
module(load="imudp")
module(load="imtcp")
module(load="imuxsock" SysSock.Use="off")
template(name="fields" type="string"
         string="%syslogfacility-text%|%syslogseverity%|%app-name%|%procid%|%msgid%|%structured-data%|%msg%\\n")
input(type="imudp" address="127.0.0.1" port="{udp}" ruleset="udp")
input(type="imudp" address="::1" port="{udp6}" ruleset="udp6")
input(type="imtcp" address="127.0.0.1" port="{tcp}" ruleset="tcp")
input(type="imuxsock" Socket="/dev/log" RateLimit.Interval="0" ruleset="local")
ruleset(name="udp") {{ action(type="omfile" file="{work}/udp.txt" template="fields") }}
ruleset(name="udp6") {{ action(type="omfile" file="{work}/udp6.txt" template="fields") }}
ruleset(name="tcp") {{ action(type="omfile" file="{work}/tcp.txt" template="fields") }}
ruleset(name="local") {{ action(type="omfile" file="{work}/local.txt" template="fields") }}
'''


def read(path):
    with open(path) as f:
        return f.read()


def free_port(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def record(line):
    """A record line as a dict of its fields (the words after 'kovamem/1')."""
    words = line.strip().split(" ")
    assert words[0] == "kovamem/1", line
    return dict(w.split("=", 1) for w in words[1:])


def joined(lines):
    """Record lines, with records sent in parts joined in order."""
    out, parts = [], {}
    for line in lines:
        m = re.match(r"kovamem/1 part=(\d+)/(\d+) rec=(\S+) (.*)$", line)
        if not m:
            out.append(line)
            continue
        i, n, rec, chunk = int(m.group(1)), int(m.group(2)), m.group(3), m.group(4)
        got = parts.setdefault(rec, {})
        got[i] = chunk
        if len(got) == n:
            out.append("kovamem/1 " + "".join(got[k] for k in range(1, n + 1)))
    return out


def wait_for(what, timeout=20):
    end = time.time() + timeout
    while time.time() < end:
        if what():
            return True
        time.sleep(0.1)
    return False


def program(args, options, env=None, wrap=()):
    """The test program under the preload library, with options; wrap: the
    command that starts it."""
    cmd = [ARGS.hostile] + args
    e = dict(os.environ, KOVAMEM_OPTIONS=options, **(env or {}))
    if ARGS.emulator:
        cmd = shlex.split(ARGS.emulator) + ["-E", "LD_PRELOAD=" + ARGS.preload] + cmd
    else:
        e["LD_PRELOAD"] = ARGS.preload
    return subprocess.Popen(list(wrap) + cmd, env=e, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


class Daemons(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="kt-reports-")
        cls.udp, cls.tcp = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM)
        cls.udp6 = free_port(socket.SOCK_DGRAM)
        conf = os.path.join(cls.work, "rsyslog.conf")
        with open(conf, "w") as f:
            f.write(RSYSLOG_CONF.format(work=cls.work, udp=cls.udp, udp6=cls.udp6, tcp=cls.tcp))
        cls.rsyslog = subprocess.Popen(["rsyslogd", "-n", "-f", conf, "-i", os.path.join(cls.work, "pid")],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.journald = subprocess.Popen(["/lib/systemd/systemd-journald"], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        for d in (cls.rsyslog, cls.journald):  # also when the set-up fails
            cls.addClassCleanup(lambda d=d: (d.terminate(), d.wait(timeout=30)))

        def listening():
            try:
                socket.create_connection(("127.0.0.1", cls.tcp), timeout=1).close()
            except OSError:
                return False
            return os.path.exists("/dev/log") and os.path.exists("/run/systemd/journal/socket")
        assert wait_for(listening), "rsyslogd or journald did not start"
        cls.spool = os.path.join(cls.work, "spool")
        options = ("report_to=file,syslog,syslog-udp://127.0.0.1:%d,syslog-udp://[::1]:%d,syslog-tcp://127.0.0.1:%d,"
                   "journald,spool:%s;fw=fw-1.2;device=unit-7;log_kb=16384" % (cls.udp, cls.udp6, cls.tcp, cls.spool))
        p = program(["faults", str(LOOP)], options)
        out, err = p.communicate(timeout=600)
        assert p.returncode == 0 and out == "%d faults\n" % (LOOP + 2), (out, err)
        cls.pid = cls.pid_of(cls.spool)
        cls.log = read("/tmp/memmgr-%d.log" % cls.pid)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @staticmethod
    def pid_of(spool):
        return int(record(read(os.path.join(spool, sorted(os.listdir(spool))[0])))["pid"])

    def stored(self, name):
        """What rsyslogd stored from one input: (fields of its reading, record) per message of ours."""
        path = os.path.join(self.work, name)
        done = lambda: os.path.exists(path) and "kind=census" in read(path)
        self.assertTrue(wait_for(done), "no census in %s" % name)
        rows = []
        for line in read(path).splitlines():
            fields = line.split("|", 6)
            if fields[2] == "kovamem" and fields[3] == str(self.pid):
                rows.append((fields[:6], fields[6].lstrip()))
        return rows

    def check_records(self, lines):
        """The program's records, whole: three faults, the loop as three
        whole records plus repeat counts that add up, and a census."""
        recs = [record(line) for line in joined(lines)]
        kinds = [r["kind"] for r in recs]
        self.assertEqual(kinds.count("overrun"), 1, kinds)
        self.assertEqual(kinds.count("underrun"), 1, kinds)
        self.assertEqual(kinds.count("double-free"), 3, kinds)
        self.assertEqual(kinds[-1], "census", kinds)
        loop = [r for r in recs if r["kind"] == "double-free"]
        repeats = [r for r in recs if r["kind"] == "repeat"]
        self.assertEqual({r["sig"] for r in loop}, {r["sig"] for r in repeats})
        self.assertEqual(len(loop) + sum(int(r["count"]) for r in repeats), LOOP)
        self.assertEqual(int(repeats[-1]["total"]), LOOP)
        for r in recs:
            self.assertEqual((r["prog"], r["pid"], r["fw"], r["device"]), ("kthostile", str(self.pid), "fw-1.2", "unit-7"))
        census = recs[-1]
        self.assertEqual((census["faults"], census["dropped"], census["quarantined"]), (str(LOOP + 2), "0", "2"))
        return recs

    def test_rsyslog_stores_every_record_from_udp_tcp_and_dev_log(self):
        sigs = []
        for name, facility in (("udp.txt", "daemon"), ("udp6.txt", "daemon"), ("tcp.txt", "daemon"),
                               ("local.txt", "daemon")):
            rows = self.stored(name)
            recs = self.check_records([r for _, r in rows])
            sigs.append(sorted((r["kind"], r.get("sig")) for r in recs))
            for (fac, sev, app, procid, msgid, sd), rec in rows:
                kind = record(rec)["kind"]
                self.assertEqual((fac, app, procid), (facility, "kovamem", str(self.pid)), name)
                self.assertEqual(sev, {"overrun": "2", "underrun": "2", "double-free": "3", "repeat": "4",
                                       "census": "6"}[kind], rec)
                if name != "local.txt":  # RFC 5424: the kind and fields as structured data too
                    self.assertEqual(msgid, kind)
                    self.assertIn('kind="%s"' % kind, sd)
                    self.assertIn('fw="fw-1.2" device="unit-7"', sd)
                    if kind != "census":
                        self.assertIn('sig="%s"' % record(rec)["sig"], sd)
        self.assertTrue(all(x == sigs[0] for x in sigs[1:]))
        for sink in ("syslog", "syslog-udp://127.0.0.1:%d" % self.udp, "syslog-udp://[::1]:%d" % self.udp6,
                     "syslog-tcp://127.0.0.1:%d" % self.tcp, "journald"):
            line = " INFO: KovaMemFlushReports: %s: 7 records sent, 0 dropped\n" % sink
            self.assertTrue(line in self.log, line)

    def test_sinks_open_their_sockets_at_the_first_record_and_close_them_on_exec(self):
        options = "report_to=file,syslog,syslog-udp://127.0.0.1:%d,syslog-tcp://127.0.0.1:%d,journald" % (
            self.udp, self.tcp)
        out, err = program(["sockets"], options).communicate(timeout=600)
        self.assertEqual(out, "before: 0 sockets, 0 close on exec\nafter: 4 sockets, 4 close on exec\n", err)

    def test_journald_stores_every_record_with_its_fields(self):
        def entries():
            out = subprocess.run(["journalctl", "--directory=/run/log/journal", "-o", "json", "SYSLOG_IDENTIFIER=kovamem",
                                  "_PID=%d" % self.pid], capture_output=True, text=True).stdout
            return [json.loads(line) for line in out.splitlines() if line.strip()]
        self.assertTrue(wait_for(lambda: any(e.get("KOVAMEM_KIND") == "census" for e in entries())))
        got = entries()
        recs = self.check_records([e["MESSAGE"] for e in got])
        ids = {}
        for e, r in zip(got, recs):
            self.assertEqual(e["KOVAMEM_KIND"], r["kind"])
            self.assertEqual((e["KOVAMEM_FW"], e["KOVAMEM_DEVICE"], e["SYSLOG_PID"]), ("fw-1.2", "unit-7", str(self.pid)))
            self.assertEqual(ids.setdefault(r["kind"], e["MESSAGE_ID"]), e["MESSAGE_ID"])  # one id per kind
            if r["kind"] not in ("repeat", "census"):
                self.assertEqual(e["KOVAMEM_SIGNATURE"], r["sig"])
                self.assertEqual(e["KOVAMEM_BUILD_IDS"].split(), [m.split(":")[1] for m in r["mods"].split(";")])
            if r["kind"] == "repeat":
                self.assertEqual(e["KOVAMEM_COUNT"], r["count"])
        self.assertEqual(len(set(ids.values())), len(ids))

    def test_the_spool_holds_each_record_as_a_file_and_offsets_match_the_log(self):
        files = sorted(os.listdir(self.spool))
        self.assertTrue(all(f.endswith(".rec") for f in files), files)
        recs = self.check_records([read(os.path.join(self.spool, f)) for f in files])
        # The loop's first record: its frames are the log's chain of the
        # same release, less the base of the module the log's map names.
        first = next(r for r in recs if r["kind"] == "double-free")
        at = self.log.index(" ERROR: KovaMemFree: Ptr %s is already free" % first["ptr"])
        chain = re.search(r"released by:\nSTACK DETAILS:[^\n]*\n((?:\[[0-9A-F]+\][^\n]*\n)+)", self.log[at:]).group(1)
        addrs = [int(a, 16) for a in re.findall(r"\[([0-9A-F]+)\]", chain)]
        bases = {m.group(2): int(m.group(1), 16) for m in
                 re.finditer(r"module \d+ base 0x([0-9a-f]+) build-id ([0-9a-f-]+) path", self.log)}
        mods = [m.split(":") for m in first["mods"].split(";")]
        frames = [f.split("+") for f in first["fault"].split(",")]
        for (index, off), addr in zip(frames, addrs[-len(frames):]):
            self.assertEqual(bases[mods[int(index)][1]] + int(off, 16), addr)
        # The frames left out are the preload library's own.
        lib = re.search(r"module \d+ base 0x([0-9a-f]+) build-id \S+ path \S*%s\n" % os.path.basename(ARGS.preload),
                        self.log)
        segments = [(int(a, 16), int(b, 16)) for a, b in re.findall(
            r"module %s segment 0x([0-9a-f]+)-0x([0-9a-f]+)" % re.search(r"module (\d+) base 0x%s" % lib.group(1),
                                                                    self.log).group(1), self.log)]
        for addr in addrs[:-len(frames)]:
            self.assertTrue(any(lo <= addr < hi for lo, hi in segments), hex(addr))

    def test_long_records_go_as_parts_that_join_into_the_spools_record(self):
        spool = os.path.join(self.work, "parts")
        out = os.path.join(self.work, "udp.txt")
        before = len(read(out).splitlines())
        p = program(["faults", "2"], "report_to=file,syslog-udp://127.0.0.1:%d,spool:%s;report_line=160" % (self.udp, spool))
        p.communicate(timeout=600)
        pid = self.pid_of(spool)
        whole = [read(os.path.join(spool, f)).strip() for f in sorted(os.listdir(spool))]
        self.assertTrue(wait_for(lambda: "kind=census" in "".join(read(out).splitlines()[before:])))
        lines = [line.split("|", 6)[6].lstrip() for line in read(out).splitlines()[before:]]
        self.assertTrue(all(len(line) <= 160 for line in lines))
        self.assertGreater(len(lines), len(whole))
        self.assertEqual(joined(lines), whole)
        self.assertTrue(all("pid=%d " % pid in w for w in whole))


class Identity(unittest.TestCase):
    def test_firmware_and_device_come_from_the_systems_own_files(self):
        # Each case's /etc: the real one with these files over it (None: taken away).
        openwrt = ("DISTRIB_ID='OpenWrt'\nDISTRIB_RELEASE='21.02.3'\nDISTRIB_REVISION='r16554-1d4dea6d4f'\n")
        cases = [
            ({"os-release": 'NAME="OpenWrt"\nVERSION_ID="23.05.2"\nBUILD_ID="r23630-842932a63d"\n',
              "machine-id": "0123456789abcdef0123456789abcdef\n"}, "23.05.2-r23630-842932a63d",
             "0123456789abcdef0123456789abcdef"),
            ({"os-release": 'NAME="Buildroot"\n', "openwrt_release": openwrt, "machine-id": None},
             "21.02.3-r16554-1d4dea6d4f", socket.gethostname()),
            ({"os-release": None, "machine-id": "short\n"}, "-", socket.gethostname()),
        ]
        for files, fw, device in cases:
            with tempfile.TemporaryDirectory() as d:
                upper, work, spool = (os.path.join(d, n) for n in ("upper", "work", "spool"))
                os.mkdir(upper)
                os.mkdir(work)
                for name, text in files.items():
                    if text is None:  # an overlay's whiteout hides the file
                        os.mknod(os.path.join(upper, name), 0o600 | stat.S_IFCHR, os.makedev(0, 0))
                    else:
                        with open(os.path.join(upper, name), "w") as f:
                            f.write(text)
                wrap = ["unshare", "-m", "sh", "-c", 'mount -t overlay overlay -o lowerdir=/etc,upperdir=%s,workdir=%s '
                        '/etc && exec "$@"' % (upper, work), "sh"]
                out, err = program(["faults", "1"], "report_to=spool:" + spool, wrap=wrap).communicate(timeout=600)
                self.assertEqual(out, "3 faults\n", err)
                for n in os.listdir(spool):
                    r = record(read(os.path.join(spool, n)))
                    self.assertEqual((r["fw"], r["device"]), (fw, device), files)


class Census(unittest.TestCase):
    def test_each_metrics_file_sends_a_census_and_the_counts_so_far(self):
        loop = 600000  # a few seconds: past the one-second metrics interval
        with tempfile.TemporaryDirectory() as d:
            spool, metrics = os.path.join(d, "spool"), os.path.join(d, "metrics")
            os.mkdir(metrics)
            p = program(["faults", str(loop)], "report_to=spool:%s;metrics=%s;metrics_interval=1" % (spool, metrics))
            p.communicate(timeout=900)
            recs = [record(read(os.path.join(spool, n))) for n in sorted(os.listdir(spool))]
            census = [int(r["faults"]) for r in recs if r["kind"] == "census"]
            self.assertGreaterEqual(len(census), 2, census)  # one with a metrics file at least, one at exit
            self.assertEqual(census, sorted(census))
            self.assertEqual(census[-1], loop + 2)
            loops = [r for r in recs if r.get("of", r["kind"]) == "double-free"]
            self.assertEqual(sum(int(r.get("count", 1)) for r in loops), loop)


class Fork(unittest.TestCase):
    def test_a_child_of_fork_sends_its_own_records_and_counts_and_the_parent_keeps_its_own(self):
        with tempfile.TemporaryDirectory() as d:
            spool = os.path.join(d, "spool")
            p = program(["forkfaults"], "report_to=spool:%s;report_first=1" % spool)
            out, err = p.communicate(timeout=600)
            self.assertEqual(out, "child ended 0\n", err)
            by_pid = {}
            for n in sorted(os.listdir(spool)):
                r = record(read(os.path.join(spool, n)))
                by_pid.setdefault(r["pid"], []).append(r)
            self.assertEqual(len(by_pid), 2, by_pid.keys())
            got = {}
            for recs in by_pid.values():
                census = [r for r in recs if r["kind"] == "census"]
                repeats = sum(int(r["count"]) for r in recs if r["kind"] == "repeat")
                got[len(census) == 1 and int(census[0]["faults"])] = (
                    [r["kind"] for r in recs if r["kind"] != "repeat"], repeats)
            # The parent: one whole record and two counted; the child: its one fault whole.
            self.assertEqual(got, {3: (["double-free", "census"], 2), 1: (["double-free", "census"], 0)})


class Spool(unittest.TestCase):
    def test_records_are_whole_files_within_the_bound_even_when_the_writer_is_killed(self):
        with tempfile.TemporaryDirectory() as d:
            spool = os.path.join(d, "spool")
            options = "report_to=file,spool:%s;report_first=1000000;spool_files=40;spool_kb=16" % spool
            for _ in range(3):
                p = program(["faults", "100000000"], options)
                wait_for(lambda: os.path.isdir(spool) and len(os.listdir(spool)) >= 40)
                time.sleep(0.2)
                p.send_signal(signal.SIGKILL)
                p.communicate()
                names = os.listdir(spool)
                recs = [n for n in names if n.endswith(".rec")]
                self.assertLessEqual(len(recs), 40)
                self.assertLessEqual(sum(os.path.getsize(os.path.join(spool, n)) for n in recs), 16 * 1024)
                self.assertTrue(all(n.endswith(".rec.tmp") for n in names if n not in recs), names)
                for n in recs:
                    text = read(os.path.join(spool, n))
                    self.assertTrue(text.endswith("\n") and text.count("\n") == 1, n)
                    self.assertIn(record(text)["kind"], ("overrun", "underrun", "double-free"))
            # A writer that ends normally removes what killed writers left half-written,
            # and says how many of the oldest it removed.
            p = program(["faults", "100"], options)
            p.communicate(timeout=600)
            names = os.listdir(spool)
            self.assertFalse([n for n in names if n.endswith(".tmp")], names)
            self.assertEqual(len(names), 40)
            kinds = [record(read(os.path.join(spool, n)))["kind"] for n in sorted(names)]
            self.assertEqual(kinds[-1], "census")


    def test_a_full_disk_leaves_no_partial_record_and_counts_every_drop(self):
        with tempfile.TemporaryDirectory() as d:
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", d], check=True)
            try:
                spool = os.path.join(d, "spool")
                p = program(["faults", "200"], "report_to=file,spool:%s;report_first=1000;spool_files=100000;"
                                               "spool_kb=4096;log_kb=16384" % spool)
                p.communicate(timeout=600)
                names = os.listdir(spool)
                self.assertTrue(names)
                for n in names:
                    self.assertTrue(n.endswith(".rec"), n)
                    self.assertIn(record(read(os.path.join(spool, n)))["kind"], ("overrun", "underrun", "double-free"))
                log = read("/tmp/memmgr-%d.log" % p.pid)
                os.unlink("/tmp/memmgr-%d.log" % p.pid)
                told = re.search(r" INFO: KovaMemFlushReports: spool:\S+: (\d+) records written, (\d+) dropped", log)
                self.assertEqual(int(told.group(1)), len(names))
                self.assertEqual(int(told.group(1)) + int(told.group(2)), 200 + 2 + 1)  # the faults and the census
            finally:
                subprocess.run(["umount", d], check=True)


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--preload", required=True)
    ap.add_argument("--hostile", required=True)
    ap.add_argument("--emulator", default="")
    ARGS, rest = ap.parse_known_args()
    ARGS.preload, ARGS.hostile = os.path.abspath(ARGS.preload), os.path.abspath(ARGS.hostile)
    if os.environ.get("PRIVATE_DEV") != "1":
        for tool in ("rsyslogd", "journalctl", "unshare"):
            if shutil.which(tool) is None:
                sys.exit("%s is missing: scripts/test.sh installs it" % tool)
        here = os.path.dirname(os.path.abspath(__file__))
        sys.exit(subprocess.call(["sh", os.path.join(here, "private-dev.sh"), sys.executable] + sys.argv))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
