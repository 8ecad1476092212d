"""kovamem-analyze fleet over a simulated fleet, symbols from a real debuginfod.

    test_fleet.py --preload LIB --hostile BIN --fleet FW1 FW2 --tools DIR
                  [--emulator CMD] [--addr2line PROG]

The same program built as firmware 1 and firmware 2 runs under the preload
library on twelve devices (firmware 1) and nine of them upgraded (firmware
2), each sending its records to a spool of its own. debuginfod -F serves the
two builds, in a network namespace of the test's own where only 127.0.0.1
exists. The answer must hold four groups with the right device and event
counts, the fault fixed in firmware 2 gone and the one it brought new, every
site named by function through debuginfod, a debug file of the wrong build
refused, and cut or malformed records named; its page must draw in Chromium.
"""
import argparse
import html
import json
import re
import os
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir))
from kovamem_analyze import fleetpage, schema  # noqa: E402

ARGS = None
FW1_DEVICES, FW2_DEVICES = range(12), range(9)


def run_fleet(work):
    """Every device's spool; one device's as a tar archive, others as a collector's syslog files and
    as journalctl -o json output."""
    os.makedirs(os.path.join(work, "fleet"))
    for fw, prog, devices in (("1.0", ARGS.fleet[0], FW1_DEVICES), ("2.0", ARGS.fleet[1], FW2_DEVICES)):
        for d in devices:
            spool = os.path.join(work, "fleet", "fw%s-dev%d" % (fw, d))
            # One whole record of a signature, the rest as repeat counts.
            run_device(prog, d, "report_to=spool:%s;fw=%s;device=dev-%d;report_first=1;trace=1;freecheck=1" % (spool, fw, d))
    fleet = os.path.join(work, "fleet")
    # Device 11 of firmware 1 as an upload agent would send it: a tar archive.
    one = os.path.join(fleet, "fw1.0-dev11")
    with tarfile.open(os.path.join(work, "dev11.tar.gz"), "w:gz") as t:
        t.add(one, arcname="dev11")
    shutil.rmtree(one)
    shutil.move(os.path.join(work, "dev11.tar.gz"), os.path.join(fleet, "dev11.tar.gz"))
    # Device 10 as a collector's syslog file (RFC 5424), one record in parts;
    # then a record cut short and one that is not a record.
    ten = os.path.join(fleet, "fw1.0-dev10")
    lines = []
    for name in sorted(os.listdir(ten)):
        with open(os.path.join(ten, name)) as f:
            rec = f.read().strip()
        body = rec[len("kovamem/1 "):]
        if not lines:
            n = 3
            size = (len(body) + n - 1) // n
            for i in range(n):
                lines.append("<26>1 2026-12-09T10:00:00Z dev-10 kovamem 77 x - kovamem/1 part=%d/%d rec=77.1 %s"
                             % (i + 1, n, body[i * size:(i + 1) * size]))
        else:
            lines.append("<26>1 2026-12-09T10:00:00Z dev-10 kovamem 77 x - " + rec)
    shutil.rmtree(ten)
    # Device 9 as journalctl -o json prints it, device 8 of firmware 2 as
    # logd forwards it (RFC 3164).
    for src, dest, form in (("fw1.0-dev9", "journal.json", "json"), ("fw2.0-dev8", "logd.log", "3164")):
        recs = []
        for name in sorted(os.listdir(os.path.join(fleet, src))):
            with open(os.path.join(fleet, src, name)) as f:
                recs.append(f.read().strip())
        shutil.rmtree(os.path.join(fleet, src))
        with open(os.path.join(fleet, dest), "w") as f:
            for rec in recs:
                f.write(json.dumps({"MESSAGE": rec, "SYSLOG_IDENTIFIER": "kovamem", "_HOSTNAME": "dev-9"}) + "\n"
                        if form == "json" else "Dec  9 10:00:00 dev-8 kovamem[91]: %s\n" % rec)
    lines.append("<26>1 2026-12-09T10:00:01Z dev-10 kovamem 78 x - kovamem/1 part=1/2 rec=78.9 kind=overrun sig=00")
    lines.append("<26>1 2026-12-09T10:00:02Z dev-10 kovamem 78 x - kovamem/1 kind=overrun sig=zz")
    with open(os.path.join(fleet, "collector.log"), "w") as f:
        f.write("\n".join(lines) + "\n")
    return fleet


def run_device(prog, device, options):
    env = dict(os.environ, KOVAMEM_OPTIONS=options)
    cmd = [prog, str(device)]
    if ARGS.emulator:
        cmd = shlex.split(ARGS.emulator) + ["-E", "LD_PRELOAD=" + ARGS.preload] + cmd
    else:
        env["LD_PRELOAD"] = ARGS.preload
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr


def stop(daemon):
    daemon.terminate()
    daemon.wait(timeout=30)


def build_id(path):
    out = subprocess.run(["readelf", "-n", path], capture_output=True, text=True).stdout
    return out.split("Build ID:")[1].split()[0]


class Fleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="kt-fleet-")
        cls.fleet = run_fleet(cls.work)
        served = os.path.join(cls.work, "served")
        os.makedirs(served)
        for prog in ARGS.fleet:
            shutil.copy(prog, served)
        cls.debuginfod = subprocess.Popen(["debuginfod", "-F", served, "-p", "8002", "-d",
                                           os.path.join(cls.work, "db.sqlite")],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.addClassCleanup(stop, cls.debuginfod)  # also when the set-up fails
        url = "http://127.0.0.1:8002/buildid/%s/executable" % build_id(ARGS.fleet[1])
        for _ in range(600):
            try:
                urllib.request.urlopen(url, timeout=5).read()
                break
            except OSError:
                time.sleep(0.1)
        else:
            raise AssertionError("debuginfod did not serve the firmware")
        # A debug directory whose entry for firmware 1 holds firmware 2's file.
        wrong = os.path.join(cls.work, "wrong", ".build-id")
        bid = build_id(ARGS.fleet[0])
        os.makedirs(os.path.join(wrong, bid[:2]))
        shutil.copy(ARGS.fleet[1], os.path.join(wrong, bid[:2], bid[2:] + ".debug"))
        cls.page = os.path.join(cls.work, "fleet.html")
        cls.out = cls.analyse("--json", "--baseline", "1.0", "--html", cls.page,
                              "--debug-dir", os.path.dirname(wrong), cls.fleet)
        cls.doc = json.loads(cls.out.stdout)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def analyse(cls, *args, path=None):
        env = dict(os.environ, DEBUGINFOD_URLS="http://127.0.0.1:8002", PATH=path or os.environ["PATH"],
                   DEBUGINFOD_CACHE_PATH=os.path.join(cls.work, "cache"), XDG_CACHE_HOME=os.path.join(cls.work, "xdg"))
        extra = ["--addr2line", ARGS.addr2line] if ARGS.addr2line else []
        return subprocess.run([sys.executable, os.path.join(ARGS.tools, "kovamem-analyze"), "fleet"] + extra + list(args),
                              capture_output=True, text=True, env=env, timeout=600)

    def group(self, kind):
        found = [g for g in self.doc["groups"] if g["type"] == kind]
        self.assertEqual(len(found), 1, [g["portableKey"] for g in self.doc["groups"]])
        return found[0]

    def test_groups_count_devices_and_events_per_firmware_and_mark_what_changed(self):
        n1, n2 = len(FW1_DEVICES), len(FW2_DEVICES)
        expect = {  # kind: devices, events per firmware, status against 1.0
            "overrun": (n1, {"1.0": n1 + 12, "2.0": n2 + 9}, "ongoing"),  # device % 3 + 1 times each
            "double-free": (6, {"1.0": 6}, "gone"),
            "realloc-free": (4, {"1.0": 4, "2.0": 6}, "regressed"),  # twice as often per device in 2.0
            "free-interior": (2, {"2.0": 2}, "new"),
        }
        self.assertEqual(sorted(g["type"] for g in self.doc["groups"]), sorted(expect))
        for kind, (devices, per_fw, status) in expect.items():
            g = self.group(kind)
            self.assertEqual((g["distinctDevices"], {x["fw"]: x["events"] for x in g["perFirmware"]}, g["status"]),
                             (devices, per_fw, status), kind)
            self.assertEqual(g["errorReportCount"], sum(per_fw.values()))
            self.assertEqual(len(g["exactKeys"]), len(per_fw), kind)  # one per build, linked by function names
        self.assertEqual(self.group("overrun")["firstFw"], "1.0")
        self.assertEqual(self.group("free-interior")["firstFw"], "2.0")
        self.assertEqual(self.doc["firmware"], [{"fw": "1.0", "devices": n1, "deviceDays": n1},
                                                {"fw": "2.0", "devices": n2, "deviceDays": n2}])
        schema.check(fleetpage.SCHEMA, self.doc)

    def test_every_site_is_named_through_debuginfod(self):
        sites = {kind: ([f["function"] for f in self.group(kind)["allocSite"]][:1],
                        [f["function"] for f in self.group(kind)["faultSite"]][:1])
                 for kind in ("overrun", "double-free", "realloc-free", "free-interior")}
        self.assertEqual(sites, {"overrun": (["readConfig"], ["parseConfig"]),
                                 "double-free": (["readConfig"], ["dropSession"]),
                                 "realloc-free": (["readConfig"], ["growCache"]),
                                 "free-interior": (["readConfig"], ["resizeTable"])})
        self.assertEqual(self.group("overrun")["location"], "parseConfig")

    def test_a_debug_file_of_another_build_is_refused_and_bad_records_are_named(self):
        whys = [p["why"] for p in self.doc["problems"]]
        bid = build_id(ARGS.fleet[0])
        self.assertTrue(any("build ID of" in w and "the log says %s: not used" % bid in w for w in whys), whys)
        self.assertTrue(any(p["file"].endswith("collector.log") and "cut: 1 of its 2 parts" in p["why"]
                            for p in self.doc["problems"]), whys)
        self.assertTrue(any(p["file"].endswith("collector.log") and "malformed record: no signature" in p["why"]
                            for p in self.doc["problems"]), whys)
        self.assertEqual(self.out.returncode, 1)  # answered, with warnings

    def test_a_text_log_gives_the_records_the_device_would_have_sent(self):
        logs = os.path.join(self.work, "logs", "unit-4")
        os.makedirs(logs)
        spool = os.path.join(self.work, "logs-spool")
        run_device(ARGS.fleet[0], 0, "report_to=file,spool:%s;device=unit-4" % spool)
        with open(os.path.join(spool, sorted(os.listdir(spool))[0])) as f:
            log = "memmgr-%s.log" % f.read().split(" pid=")[1].split()[0]  # this run's own log, by its pid
        shutil.move(os.path.join("/tmp", log), os.path.join(logs, log))
        from_log = json.loads(self.analyse("--json", os.path.dirname(logs)).stdout)
        from_spool = json.loads(self.analyse("--json", spool).stdout)
        key = lambda doc: sorted((g["type"], g["signatures"][0], g["location"]) for g in doc["groups"])
        self.assertEqual(key(from_log), key(from_spool))
        self.assertEqual(sorted(g["type"] for g in from_log["groups"]), ["double-free", "overrun", "realloc-free"])
        self.assertEqual([g["perFirmware"] for g in from_log["groups"]], [[{"fw": "-", "events": 1}]] * 3)

    def test_census_sites_give_the_growth_of_live_bytes_against_uptime(self):
        # A traced run's census names its live sites; copies of it as ten
        # devices at uptimes an hour apart, each holding 1000 bytes more.
        spool = os.path.join(self.work, "census-spool")
        run_device(ARGS.fleet[0], 3, "report_to=spool:%s;trace=1;device=unit-3" % spool)
        census = [r for r in (open(os.path.join(spool, n)).read().strip() for n in sorted(os.listdir(spool)))
                  if " kind=census " in r][0]
        self.assertRegex(census, r"[ =|]256/4/")  # device 3 keeps four 64-byte blocks
        grown = os.path.join(self.work, "census-grown")
        os.makedirs(grown)
        with open(os.path.join(grown, "collector.log"), "w") as f:
            for k in range(10):
                rec = re.sub(r" up=\d+", " up=%d" % (1000 + 3600 * k), census)
                rec = re.sub(r"device=\S+", "device=unit-%d" % k, rec)
                rec = re.sub(r"([=|])256/4/", lambda m: "%s%d/4/" % (m.group(1), 256 + 1000 * k), rec)
                f.write("<30>1 2026-12-09T10:00:00Z unit-%d kovamem 5 census - %s\n" % (k, rec))
        doc = json.loads(self.analyse("--json", grown).stdout)
        site = [x for x in doc["growth"] if x["location"]]
        self.assertIn(("remember", 10, 1000.0), [(x["location"], x["devices"], x["bytesPerHourOfUptime"]) for x in site])
        self.assertEqual(doc["growth"][0]["location"], "remember")  # the fastest growth first
        self.assertEqual([x["bytesPerHourOfUptime"] for x in doc["growth"] if not x["location"]], [0.0])

    def test_text_answer_through_the_http_api_and_page(self):
        # No debuginfod-find on the path: the files come through the HTTP API.
        bin_dir = os.path.join(self.work, "bin")
        os.makedirs(bin_dir, exist_ok=True)
        tool = ARGS.addr2line or "addr2line"
        if not os.path.exists(os.path.join(bin_dir, tool)):
            os.symlink(shutil.which(tool), os.path.join(bin_dir, tool))
        out = self.analyse("--baseline", "1.0", self.fleet, path=bin_dir)
        self.assertEqual(len(os.listdir(os.path.join(self.work, "xdg", "kovamem", "debuginfod"))), 2)
        self.assertIn("#1 overrun at parseConfig  [ongoing]", out.stdout)
        self.assertIn("double-free at dropSession  [gone]", out.stdout)
        self.assertIn("free-interior at resizeTable  [new]", out.stdout)
        if not shutil.which("chromium"):
            self.skipTest("no chromium here")
        flags = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--enable-logging=stderr", "--v=0",
                 "--user-data-dir=" + os.path.join(self.work, "profile")]
        dom = subprocess.run(["chromium"] + flags + ["--dump-dom", "file://" + self.page], capture_output=True,
                             text=True, timeout=120)
        self.assertEqual([line for line in dom.stderr.splitlines() if "CONSOLE" in line], [])
        self.assertIn('data-ready="4"', dom.stdout)
        self.assertEqual(dom.stdout.count("class=\"heat\""), 4 * 2)
        self.assertIn(html.escape("parseConfig"), dom.stdout)


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--preload", required=True)
    ap.add_argument("--hostile")
    ap.add_argument("--fleet", nargs=2, required=True)
    ap.add_argument("--tools", required=True)
    ap.add_argument("--emulator", default="")
    ap.add_argument("--addr2line")
    ARGS, rest = ap.parse_known_args()
    ARGS.preload = os.path.abspath(ARGS.preload)
    ARGS.fleet = [os.path.abspath(p) for p in ARGS.fleet]
    if os.environ.get("KT_FLEET_NETNS") != "1":
        if shutil.which("debuginfod") is None:
            sys.exit("debuginfod is missing: scripts/test.sh installs it")
        # A network namespace of its own: debuginfod listens on every
        # address it has, and here that is 127.0.0.1 alone.
        env = dict(os.environ, KT_FLEET_NETNS="1")
        sys.exit(subprocess.call(["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                                  sys.executable] + sys.argv, env=env))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
