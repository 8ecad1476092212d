"""kovamem-analyze on logs written by a host with known call sites.

    test_analyze.py TOOL HOST [--emulator CMD] [--addr2line PROG] [--sysroot DIR]

Runs HOST (under CMD when given) to write logs, then checks the analyser's
answers on them as written and as damaged: cut inside a trace, capped, two
processes in one file, a plugin replaced by another at the same base, a full
trace table; with symbolizers that fail, count their runs or print Latin-1,
and a 4-byte ELF at a module's path. Every JSON document is checked against
the schema the tool prints, and every exit status against the rule.
"""
import argparse
import html.parser
import json
import os
import random
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None
SCHEMA = None  # the tool's own, from --schema
check = None  # the package's schema checker


def run_host(mode=None, *more, ok=True):
    """Runs the host; returns (process, the text of the log it names)."""
    cmd = (shlex.split(ARGS.emulator) if ARGS.emulator else []) + [ARGS.host] + ([mode] if mode else []) + list(more)
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    assert not ok or proc.returncode == 0, proc.stderr
    path = proc.stdout.strip().split("\n")[-1 if ok else 0]
    with open(path, errors="replace") as f:
        text = f.read()
    os.unlink(path)
    return proc, text


def host_log(mode=None):
    return run_host(mode)[1]


def analyse(log_text, *extra, symbolizer=True, stdin=False):
    """Runs the tool on log_text; a JSON answer is checked against the schema."""
    with tempfile.NamedTemporaryFile("w", suffix=".log", delete=False) as f:
        f.write(log_text)
        path = f.name
    try:
        cmd = [sys.executable, ARGS.tool, "-" if stdin else path]
        if ARGS.addr2line and symbolizer and "--addr2line" not in extra:
            cmd += ["--addr2line", ARGS.addr2line]
        if ARGS.sysroot:
            cmd += ["--sysroot", ARGS.sysroot]
        proc = subprocess.run(cmd + list(extra), capture_output=True, text=True, timeout=300,
                              input=log_text if stdin else None)
    finally:
        os.unlink(path)
    if "--json" in extra and proc.returncode in (0, 1):
        proc.doc = json.loads(proc.stdout)
        check(SCHEMA["document"], proc.doc)
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc


def functions(frames):
    return [f["function"] for f in frames]


def top(frames):
    return frames[0]["function"]


def chain_of(doc, group):
    return doc["chains"][group["chain"]]


def tops(groups):
    return {top(g["frames"]): g for g in groups}


def warned(doc, text):
    return any(text in w["text"] for w in doc["warnings"])


def skipped(doc):
    return [n for n in doc["notes"] if "skipped" in n]


class Page(html.parser.HTMLParser):
    """What the tests count in a page: sections, svgs with their series and
    leaves, outside references, the text, and whether its script ran."""

    def __init__(self, text):
        super().__init__()
        self.sections, self.svgs, self.external, self.text, self.ready = [], [], [], "", False
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.ready |= tag == "body" and a.get("data-ready") == "1"
        if tag == "section":
            self.sections.append(a.get("id"))
        if tag == "svg":
            self.svgs.append({"class": a.get("class"), "series": [], "leaves": 0})
        elif self.svgs and tag == "polyline" and a.get("class") == "series":
            self.svgs[-1]["series"].append(a.get("data-pool"))
        elif self.svgs and tag == "rect" and a.get("data-leaf") == "1":
            self.svgs[-1]["leaves"] += 1
        self.external += [a[k] for k in ("src", "href") if k in a]

    def handle_data(self, data):
        self.text += data


def titles(text):
    return [line for line in text.split("\n") if line and not line.startswith(" ")]


class RealLog(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.log = host_log()
        cls.proc = analyse(cls.log, "--json")
        cls.doc = cls.proc.doc
        cls.text = analyse(cls.log).stdout

    def test_call_sites_leaks_growth_damage_and_fallbacks_are_named(self):
        doc = self.doc
        self.assertEqual(self.proc.returncode, 0, doc["warnings"])
        self.assertEqual(len(doc["processes"]), 1)
        self.assertEqual(doc["call_sites"]["report"], 3)
        found = tops(doc["call_sites"]["groups"])
        self.assertEqual((found["hostRememberSession"]["count"], found["hostRememberSession"]["bytes"]), (2, 96))
        self.assertIn("hostAllocateWidget", found)
        self.assertEqual([r["traced_blocks"] for r in doc["reports"]], [8, 9, 4])
        self.assertTrue(all(r["complete"] for r in doc["reports"]))
        growth = doc["growth"]
        self.assertEqual((growth["from_report"], growth["to_report"]), (1, 3))
        self.assertEqual([functions(s["frames"])[:2] for s in growth["leak_suspects"]],
                         [["hostRememberSession", "main"]])  # one entry per chain
        self.assertEqual(growth["leak_suspects"][0]["count"], 2)
        self.assertEqual(top(growth["grown"][0]["frames"]), "hostAllocateWidget")
        self.assertNotIn("KovaMemAlloc", json.dumps(growth))  # the library's frames are folded away
        (damage,) = doc["guard_damage"]
        self.assertEqual(functions(damage["frames"])[:2], ["hostAllocateWidget", "main"])
        if ARGS.classic:  # from the report that traced it
            self.assertEqual((damage["allocation_from"], damage["report_before"]), ("report", 1))
        else:  # written at the release, with the release's own chain
            self.assertEqual(damage["allocation_from"], "entry")
            self.assertEqual(top(damage["released_by"]), "main")
        self.assertEqual(doc["processes"][0]["fallbacks"]["sys_sizes"], [{"size": 100000, "count": 1}])
        self.assertIn("C heap, by size, most first: 100000 bytes x1", self.text)
        self.assertIn("pool(s) 3 (64 B)", self.text)
        # Calls from signal handlers inside the library: refused allocations
        # by size and releases that found no place to wait, as the notes count them.
        extra = "".join(" EXIT: ERROR: KovaMemAlloc: Called from a signal handler inside the library, no pool free to "
                        "take without waiting: NULL returned with size 24 (count %d)\n" % n for n in (1, 2, 4))
        extra += " ERROR: KovaMemFree: releases from signal handlers found no place to wait: their blocks stay busy " \
                 "(count 1)\n"
        fb = analyse(self.log + extra, "--json").doc["processes"][0]["fallbacks"]
        self.assertEqual((fb["handler_refused"], fb["handler_releases_lost"]), ([{"size": 24, "count": 4}], 1))
        self.assertIn("inside the library (no pool free without waiting): 24 bytes x4..7", analyse(self.log + extra).stdout)
        self.assertEqual((self.doc["processes"][0]["fallbacks"]["handler_refused"],
                          self.doc["processes"][0]["fallbacks"]["handler_releases_lost"]), ([], 0))
        # Findings come before the one pool table.
        order = [self.text.index(t) for t in ("Reports", "Guard damage", "Leak suspects", "Growth from report 1",
                                              "Live traced blocks by call site (report 3)", "Pools (report 3)")]
        self.assertEqual(order, sorted(order), self.text)
        self.assertEqual(self.text.count("Pools (report"), 1)
        self.assertEqual(analyse(self.log, "--json", stdin=True).doc["growth"], growth)

    def test_report_range_names_the_shared_library_at_its_load_address(self):
        doc = analyse(self.log, "--json", "--from", "1", "--to", "2").doc
        (lib,) = [s for s in doc["growth"]["leak_suspects"] if top(s["frames"]) == "kthostLibAllocate"]
        self.assertEqual(lib["count"], 2)
        frame = lib["frames"][0]
        self.assertTrue(frame["module"].endswith("libkthostlib.so"), frame)
        self.assertTrue(frame["file"].endswith("hostlib.cpp") and frame["line"] == 5, frame)
        text = analyse(self.log, "--from", "1", "--to", "2").stdout
        self.assertIn("alive in report 1 and report 2", text)
        proc = analyse(self.log, "--report", "1")
        self.assertIn("kthostLibAllocate", proc.stdout.split("Live traced blocks by call site (report 1)")[1])
        doc = analyse(self.log, "--json", "--report", "1").doc
        self.assertEqual(doc["call_sites"]["report"], 1)
        r2 = doc["reports"][1]["call_sites"]  # every report's call sites, by chain
        self.assertEqual(sum(g["count"] for g in r2), 9)
        names = {top(chain_of(doc, g)["frames"]) for g in r2}
        self.assertTrue({"hostAllocateWidget", "hostRememberSession", "kthostLibAllocate"} <= names, names)

    def test_folded_stacks_and_pprof_add_up_to_the_traced_blocks(self):
        sites = self.doc["call_sites"]["groups"]
        with tempfile.TemporaryDirectory() as d:
            def export(*extra):
                folded, pprof = os.path.join(d, "out.folded"), os.path.join(d, "out.pb.gz")
                self.assertEqual(analyse(self.log, "--folded", folded, "--pprof", pprof, *extra).returncode, 0)
                stacks = {}
                for line in open(folded).read().splitlines():
                    stack, _, n = line.rpartition(" ")
                    stacks[tuple(stack.split(";"))] = stacks.get(tuple(stack.split(";")), 0) + int(n)
                return stacks, pprof
            stacks, pprof = export()
            self.assertEqual(sum(stacks.values()), sum(g["bytes"] for g in sites))
            self.assertIn("hostAllocateWidget", {s[-1] for s in stacks})
            self.assertTrue(any(s[:-1] and s[-2] == "main" for s in stacks))  # outermost first
            self.assertEqual(sum(export("--folded-count")[0].values()), self.doc["reports"][-1]["traced_blocks"])
            grown = analyse(self.log, "--json", "--from", "1", "--to", "3").doc["growth"]["grown"]
            stacks = export("--from", "1", "--to", "3")[0]  # only what grew, by what it gained
            self.assertTrue(all(n > 0 for n in stacks.values()))
            self.assertEqual(sum(stacks.values()), sum(g["bytes_after"] - g["bytes_before"] for g in grown
                                                       if g["bytes_after"] > g["bytes_before"]))
            go = shutil.which("go")
            if go is None:
                self.skipTest("no go tool here to read the profile with pprof")
            out = subprocess.run([go, "tool", "pprof", "-top", "-sample_index=inuse_space", export()[1]],
                                 capture_output=True, text=True, timeout=300, env=dict(os.environ, HOME=d))
        self.assertEqual(out.returncode, 0, out.stderr)
        total = sum(g["bytes"] for g in sites)
        self.assertIn("accounting for %dB, 100%% of %dB total" % (total, total), out.stdout)
        biggest = max(sites, key=lambda g: g["bytes"])
        rows = [line.split() for line in out.stdout.splitlines() if re.match(r"^\s+\d+B ", line)]
        self.assertEqual((rows[0][0], rows[0][-1]), ("%dB" % biggest["bytes"], top(biggest["frames"])), out.stdout)


CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--enable-logging=stderr", "--v=0", "--window-size=1100,1400"]


@unittest.skipUnless(shutil.which("chromium"), "no chromium here")
class PageInABrowser(unittest.TestCase):
    """The page as Chromium loads and draws it: no console error, the
    timelines with one series per pool, the icicle graphs with one leaf per
    chain wider than the threshold, a screenshot that is not blank."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        small = host_log()
        big = os.path.join(cls.dir, "big.log")
        with open(os.path.join(cls.dir, "template.log"), "w") as f:
            f.write(small)
        subprocess.run([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "biglog.py"),
                        os.path.join(cls.dir, "template.log"), big, "8"], check=True, timeout=300)
        cls.logs = {"host": small, "big": open(big, errors="replace").read()}
        if ARGS.demo:
            cmd = (shlex.split(ARGS.emulator) if ARGS.emulator else []) + [ARGS.demo, "--duration", "40"]
            out = subprocess.run(cmd, capture_output=True, text=True, timeout=300).stdout
            path = re.search(r"the library logs to (/tmp/memmgr-\d+\.log)", out).group(1)
            cls.logs["demo"] = open(path, errors="replace").read()
            os.unlink(path)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def check(self, name):
        page, shot = os.path.join(self.dir, name + ".html"), os.path.join(self.dir, name + ".png")
        self.assertIn(analyse(self.logs[name], "--html", page).returncode, (0, 1))
        doc = analyse(self.logs[name], "--json").doc
        base = ["chromium"] + CHROMIUM_FLAGS + ["--user-data-dir=" + os.path.join(self.dir, "profile-" + name)]
        dom = subprocess.run(base + ["--dump-dom", "file://" + page], capture_output=True, text=True, timeout=120)
        self.assertEqual(dom.returncode, 0, dom.stderr[-2000:])
        self.assertEqual([line for line in dom.stderr.splitlines() if "CONSOLE" in line], [])
        subprocess.run(base + ["--screenshot=" + shot, "file://" + page], capture_output=True, timeout=120,
                       cwd=self.dir)
        text = open(page).read()
        self.assertNotRegex(text, r"(src|href)=['\"]?(https?:|//)")  # nothing from the network
        for title in titles(analyse(self.logs[name]).stdout):  # every section of the text
            self.assertIn(">%s</h2>" % html.escape(title), text)
        parsed = Page(dom.stdout)
        self.assertTrue(parsed.ready, "the page's script did not run")
        self.assertEqual(Page(text).external, [])  # nothing from elsewhere, not even a local file
        self.assertEqual(any(str(x).endswith("damage") for x in parsed.sections), bool(doc["guard_damage"]))
        proc = doc["processes"][-1]
        sizes = sorted({str(x["size"]) for r in proc["reports"] for x in r["pools"]}, key=int)
        self.assertEqual([s["series"] for s in parsed.svgs if s["class"] == "timeline"], [sizes, sizes])
        flames = [s for s in parsed.svgs if s["class"] == "flame"]
        groups = proc["call_sites"]["groups"]
        total = sum(g["bytes"] for g in groups)
        named = {}  # chains whose frames have the same names are one chain to a viewer
        for g in groups:
            key = tuple(f["function"] or f["address"] for f in g["frames"])
            named[key] = named.get(key, 0) + g["bytes"]
        self.assertEqual(flames[0]["leaves"], len([k for k, n in named.items() if 1000.0 * n / total >= 1.0]))
        if any(g["bytes_after"] > g["bytes_before"] for g in proc["growth"]["grown"]):
            self.assertEqual(len(flames), 2)
            self.assertGreaterEqual(flames[1]["leaves"], 1)
        # A blank 1100x1400 screenshot compresses to a few kilobytes; a drawn page does not.
        self.assertGreater(os.path.getsize(shot), 40000, "the screenshot is (nearly) blank")
        return doc, text

    def test_host_demo_and_large_logs_draw_their_timelines_graphs_and_findings(self):
        doc, text = self.check("host")
        for name in ("hostRememberSession", "hostAllocateWidget"):
            self.assertIn(name, text)
        doc, text = self.check("big")
        self.assertGreater(len(doc["processes"][-1]["reports"]), 5)
        self.assertLess(len(text), 1500000)  # an aggregate page
        if "demo" in self.logs:
            doc, text = self.check("demo")
            self.assertIn("rememberSession", text)
            self.assertRegex(text, r"<section id='(p\d+-)?damage'><h2>[^<]*Guard damage</h2><table>")


class DamagedLogs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.log = host_log()

    def test_cut_or_short_report_is_left_out_and_said(self):
        last = self.log.rindex("Memory Manager Status -> Begin")
        cut_at = self.log.index("STACK DETAILS:", self.log.index("Memory Manager Stack -> Begin", last))
        proc = analyse(self.log[:cut_at + 60], "--json")  # the first trace of report 3, cut
        doc = proc.doc
        self.assertFalse(doc["reports"][2]["complete"])
        self.assertIn("is cut short", doc["reports"][2]["cut"])
        self.assertEqual((doc["growth"]["to_report"], doc["call_sites"]["report"]), (2, 2))  # the last complete
        self.assertTrue(any("report 3 is incomplete" in n for n in doc["notes"]), doc["notes"])
        self.assertEqual(proc.returncode, 0, doc["warnings"])
        asked = analyse(self.log[:cut_at + 60], "--json", "--to", "3")
        self.assertEqual(asked.returncode, 1)
        self.assertTrue(any(w["report"] == 3 and "incomplete" in w["text"] for w in asked.doc["warnings"]))
        # One traced block of report 3 removed whole: the count no longer matches the header.
        start = self.log.index("INFO: P:", self.log.rindex("Memory Manager Stack -> Begin"))
        end = self.log.index("*" * 64, start) + 65
        proc = analyse(self.log[:start] + self.log[end:], "--json", "--to", "3")
        self.assertIn("lists 3 of the 4", proc.doc["reports"][2]["cut"])
        self.assertEqual(proc.returncode, 1)

    def test_capped_log_warns_and_exits_one(self):
        log = host_log("capped")
        proc = analyse(log, "--json")
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(warned(proc.doc, "reached its cap"))
        self.assertLess(sum(r["complete"] for r in proc.doc["processes"][0]["reports"]), 3)
        text = analyse(log).stdout
        self.assertTrue(text.startswith("Warnings\n"), text[:200])
        self.assertIn("every entry after that is missing", text)

    def test_two_processes_in_one_file_are_answered_apart(self):
        both = self.log + host_log()
        proc = analyse(both, "--json")
        doc = proc.doc
        self.assertEqual(len(doc["processes"]), 2)
        for p in doc["processes"]:
            self.assertEqual([r["index"] for r in p["reports"]], [1, 2, 3])
            self.assertEqual((p["growth"]["from_report"], p["growth"]["to_report"]), (1, 3))
            self.assertEqual(top(p["growth"]["leak_suspects"][0]["frames"]), "hostRememberSession")
            self.assertEqual([top(d["frames"]) for d in p["guard_damage"]], ["hostAllocateWidget"])
        self.assertEqual(proc.returncode, 0, doc["warnings"])
        self.assertEqual(doc["processes"][1]["first_line"], len(self.log.split("\n")))
        proc = analyse(both, "--from", "1", "--to", "2")
        self.assertEqual(proc.returncode, 2)
        self.assertIn("--process", proc.stderr)
        one = analyse(both, "--json", "--process", "2", "--from", "1", "--to", "2")
        self.assertEqual((one.returncode, [p["index"] for p in one.doc["processes"]]), (0, [2]))

    def test_plugin_replaced_at_the_same_base_keeps_its_own_names(self):
        doc = analyse(host_log("replace"), "--json").doc
        found = tops(doc["call_sites"]["groups"])
        self.assertEqual(doc["call_sites"]["report"], 2)
        self.assertEqual((found["kthostPlugAlphaAllocate"]["count"], found["kthostPlugBetaAllocate"]["count"]), (2, 1))
        alpha = chain_of(doc, found["kthostPlugAlphaAllocate"])
        beta = chain_of(doc, found["kthostPlugBetaAllocate"])
        self.assertTrue(alpha["frames"][0]["module"].endswith("libkthostplugA.so"))
        self.assertTrue(beta["frames"][0]["module"].endswith("libkthostplugB.so"))
        self.assertEqual(alpha["warnings"], [])  # seen in report 1, under the first plugin's map
        maps = doc["processes"][0]["module_maps"]
        base = lambda m, name: [x["base"] for x in m["modules"] if x["path"].endswith(name)]
        if base(maps[1], "libkthostplugA.so") == base(maps[2], "libkthostplugB.so"):
            self.assertTrue(any("libkthostplugA.so" in w for w in beta["warnings"]), beta)

    def test_full_trace_table_and_garbled_lines_are_said_next_to_the_answers(self):
        last = self.log.rindex(" Stack Free Count : ")
        log = re.sub(r"^ Stack Free Count : \d+,", " Stack Free Count : 0,", self.log[last:], count=1, flags=re.M)
        proc = analyse(self.log[:last] + log, "--json")
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(proc.doc["reports"][2]["trace_table_full"])
        self.assertTrue(any("trace table was full" in w["text"] and w["report"] == 3 for w in proc.doc["warnings"]))
        rng = random.Random(5)
        lines = self.log.split("\n")
        cut = lines.index(next(l for l in lines if l.startswith("STACK DETAILS:"))) + 2
        garbled = lines[:cut] + ["### a line from somewhere else", "S:  garbage|N:"] + lines[cut:]
        for _ in range(20):
            garbled.insert(rng.randrange(len(garbled)), "noise %d" % rng.randrange(1000))
        proc = analyse("\n".join(garbled), "--json", "--from", "1", "--to", "2")
        self.assertIn(proc.returncode, (0, 1))
        self.assertTrue(skipped(proc.doc), proc.doc["notes"])
        self.assertIn("hostRememberSession", json.dumps(proc.doc["growth"]))


class Faults(unittest.TestCase):
    """The faults scenario of the host (its F1 to F6), with the default cap."""

    def test_each_fault_names_its_allocation_release_and_finder(self):
        log = host_log("faults")
        if ARGS.classic:  # the described entries only
            for new in (" INFO: KovaMemFree:", " INFO: KovaMemAlloc:", "(count ", "is already free",
                        "written after its release"):
                self.assertNotIn(new, log)
            self.assertIn("Max file size reached", log)  # one entry per fallback fills the cap
            return
        proc = analyse(log, "--json")
        self.assertEqual(proc.returncode, 0, proc.doc["warnings"])
        p = proc.doc["processes"][0]
        self.assertEqual([(d["guard"], d["found"], d["allocation_from"], top(d["frames"]),
                           d["released_by"] and top(d["released_by"])) for d in p["guard_damage"]],
                         [("behind", "release", "entry", "hostF1Allocate", "hostF3Release")] * 2 +
                         [("in front", "release", "entry", "hostF1Allocate", "hostF3Release"),
                          ("behind", "report", "entry", "hostF1Allocate", None)])
        self.assertEqual([(bad["call"], bad["kinds"]["already free"], top(bad["frames"]), top(bad["first_released_by"]))
                          for bad in p["invalid_releases"]],
                         [("free", 1, "hostF4ReleaseAgain", "hostF3Release"),
                          ("realloc", 1, "hostF7Reallocate", "hostF3Release")])
        (block,) = p["write_after_release"]["blocks"]
        self.assertEqual((block["offset"], top(block["allocated_by"]), top(block["released_by"]), top(block["found_by"])),
                         (3, "hostF1Allocate", "hostF5Release", "hostF6Allocate"))
        self.assertIsNone(p["cap"])  # fallbacks are counted and the log keeps its room
        self.assertTrue(p["reports"][0]["complete"])
        self.assertEqual(p["fallbacks"]["sys_sizes"], [{"size": 100000, "count": 4096}])
        self.assertTrue(p["fallbacks"]["counted"])
        self.assertLessEqual(log.count("System alloc"), 13)
        text = analyse(log).stdout
        self.assertIn("100000 bytes x4096..8191", text)
        self.assertIn("1 reallocation(s) of", text)
        self.assertIn("underrun, found at its release", text)
        self.assertIn("overrun, found busy at a report", text)
        for name in ("hostF1Allocate", "hostF3Release", "hostF4ReleaseAgain", "hostF5Release", "hostF6Allocate",
                     "hostF7Reallocate"):
            self.assertIn(name, text)

    def test_untraced_faults_bring_the_module_map_their_chains_need(self):
        log = host_log("untraced")
        if ARGS.classic:
            self.assertNotIn("KovaMemLogModules", log)
            return
        self.assertEqual(log.count("module 0 base"), 1)
        p = analyse(log, "--json").doc["processes"][0]
        (d,) = p["guard_damage"]
        self.assertEqual((d["guard"], d["frames"], top(d["released_by"])), ("in front", None, "hostF3Release"))
        (bad,) = p["invalid_releases"]
        self.assertEqual((bad["kinds"]["quarantined"], top(bad["frames"])), (1, "hostF4ReleaseAgain"))

    def test_sampled_call_sites_are_estimates_and_the_unsampled_block_is_said(self):
        if ARGS.classic:
            self.skipTest("the classic build traces every allocation")
        log = host_log("sampled")
        doc = analyse(log, "--json").doc
        p = doc["processes"][0]
        self.assertEqual((p["trace_sampling"][0]["rate"], p["reports"][0]["sampling"]), (4, 4))
        widget = tops(p["call_sites"]["groups"])["hostAllocateWidget"]
        self.assertTrue(50 < widget["count"] < 150, widget["count"])  # 400 blocks, about one in 4
        self.assertEqual(widget["estimate"], {"count": 4 * widget["count"], "bytes": 4 * widget["bytes"]})
        (damage,) = p["guard_damage"]
        self.assertEqual((damage["frames"], damage["not_sampled"], damage["sampling"]),
                         (None, ["allocated by"], 1 << 30))
        self.assertIsNotNone(damage["released_by"])
        text = analyse(log).stdout
        self.assertIn("(about %d blocks, %d bytes)" % (4 * widget["count"], 4 * widget["bytes"]), text)
        self.assertIn("its allocation was not sampled (tracing 1 in %d)" % (1 << 30), text)
        self.assertEqual(skipped(doc), [])

    def test_grown_pools_and_a_spent_budget_are_named(self):
        if ARGS.classic:
            self.skipTest("no pool grows in the classic build")
        log = host_log("grow")
        proc = analyse(log, "--json")
        p = proc.doc["processes"][0]
        self.assertEqual(skipped(proc.doc), [])
        grown = p["fallbacks"]["grown"]
        self.assertGreaterEqual(len(grown), 9)
        self.assertEqual({g["size"] for g in grown}, {128})  # then the 256-byte pool, and no budget left
        self.assertEqual([g["new_pool"] for g in grown], list(range(6, 6 + len(grown))))
        self.assertEqual([(r["pool"], r["size"], r["why"]) for r in p["fallbacks"]["grow_refused"]],
                         [(4, 128, "the growth budget is spent"), (5, 256, "the growth budget is spent")])
        first = p["reports"][0]
        self.assertEqual(len(first["pools"]), 6 + len(grown))
        c = first["counters"]
        self.assertEqual(sum(x["used"] for x in first["pools"]) + c["sys_malloc"] - c["sys_free"], 80000)
        text = analyse(log).stdout
        self.assertIn("grown pools (%d, " % len(grown), text)
        self.assertIn("pool 4 (128 B) cannot grow: the growth budget is spent", text)

    def test_each_guarded_bad_access_names_its_code_with_and_without_recover(self):
        if ARGS.classic:
            self.skipTest("the classic build accepts nothing new")
        culprits = {"overrun": "hostOverrunWriter", "underrun": "hostUnderrunWriter", "read": "hostStaleReader",
                    "write": "hostStaleWriter"}
        for (what, culprit), recover in [(c, r) for c in culprits.items() for r in (True, False)]:
            with self.subTest(what=what, recover=recover):
                proc, log = run_host("guarded-" + what, *(["recover"] if recover else []), ok=False)
                # Without recover the fault takes its course, after its entries.
                self.assertEqual(proc.returncode, 0 if recover else -11, proc.stderr)
                doc = analyse(log, "--json").doc
                p = doc["processes"][0]
                (f,) = p["guarded_faults"]
                self.assertEqual(doc["guarded_faults"], p["guarded_faults"])
                self.assertEqual(f["kind"], {"overrun": "past the end", "underrun": "before"}.get(what, "after release"))
                if what in ("overrun", "underrun"):
                    self.assertEqual((f["distance"], f["size"], f["released_by"]), (0 if what == "overrun" else 1, 64, None))
                else:
                    self.assertEqual(top(f["released_by"]), "hostGuardedRelease")
                self.assertEqual(f["outcome"], "recovered" if recover else "signal")
                self.assertEqual((top(f["faulted_at"]), top(f["allocated_by"])), (culprit, "hostGuardedAllocate"))
                if not ARGS.emulator and os.uname().machine == "x86_64":  # the fault context tells
                    self.assertEqual(f["access"], "read" if what == "read" else "write")
                if what == "underrun":
                    self.assertIn("1 byte(s) before", analyse(log).stdout)
                self.assertEqual(len(p["reports"]), 1 if recover else 0)
                if recover:
                    c = p["reports"][0]["counters"]
                    self.assertEqual(c["mem_malloc"] + c["sys_malloc"], 40)  # 24 fit the pools
                self.assertEqual(skipped(doc), [])
                text = analyse(log).stdout
                at = text.index("Guarded faults: the access itself")
                self.assertLess(at, text.index("Reports"))
                self.assertIn(culprit, text[at:])
                with tempfile.TemporaryDirectory() as d:
                    analyse(log, "--html", os.path.join(d, "page.html"))
                    self.assertIn(culprit, open(os.path.join(d, "page.html"), encoding="utf-8").read())


PROM = re.compile(r'^# (HELP|TYPE) (kovamem_[a-z_]+) (counter|gauge|\S.*)$|'
                  r'^(kovamem_[a-z_]+)(\{pool="\d+",block_size="\d+"\})? \d+$')


class Figures(unittest.TestCase):
    """The host's snapshot as JSON and Prometheus text, and live since a mark."""

    def test_snapshot_texts_and_live_since_a_mark(self):
        proc, log = run_host("stats")
        path = proc.stdout.strip().split("\n")[-1]
        texts = {}
        for suffix in (".json", ".prom"):
            texts[suffix] = open(path + suffix, errors="replace").read()
            os.unlink(path + suffix)
        doc = json.loads(texts[".json"])
        self.assertEqual((doc["schemaVersion"], doc["poolCount"]), (1, 6))
        self.assertEqual([p["blockSize"] for p in doc["pools"]], [8, 16, 32, 64, 128, 256])
        self.assertEqual(doc["pools"][3]["busyCount"], 2)  # the two session records
        self.assertEqual(doc["memMallocCount"], sum(p["allocCount"] for p in doc["pools"]))
        self.assertEqual((doc["sysMallocCount"], doc["sysFreeCount"]), (1, 1))
        typed, helped, samples = {}, set(), 0
        for line in texts[".prom"].rstrip("\n").split("\n"):
            m = PROM.match(line)
            self.assertIsNotNone(m, line)
            if m.group(1) == "TYPE":
                typed[m.group(2)] = m.group(3)
            elif m.group(1) == "HELP":
                helped.add(m.group(2))
            else:
                self.assertTrue(m.group(4) in typed and m.group(4) in helped, "a sample before its TYPE: " + line)
                self.assertEqual(m.group(4).endswith("_total"), typed[m.group(4)] == "counter", line)
                samples += 1
        self.assertGreater(samples, 6 * 9)
        self.assertIn('kovamem_pool_busy_blocks{pool="3",block_size="64"} 2', texts[".prom"])
        (live,) = analyse(log, "--json").doc["processes"][0]["live_since"]
        self.assertEqual((live["complete"], live["blocks"]), (True, 2))
        group = live["groups"][0]
        self.assertEqual((group["count"], group["bytes"], top(group["frames"])), (2, 96, "hostRememberSession"))
        self.assertIn("hostRememberSession", analyse(log).stdout)


FAKE = r'''#!/usr/bin/env python3
# addr2line's protocol: addresses on stdin, two lines each. Counts its runs.
import os, sys
with open(os.environ["KT_FAKE_COUNT"], "a") as f:
    f.write(sys.argv[-1] + "\n")
if os.environ.get("KT_FAKE_FAIL"):
    sys.stderr.write("fake: boom\n")
    sys.exit(3)
out = sys.stdout.buffer
for line in sys.stdin:
    out.write(b"caf\xe9_" + line.strip().encode() + b"\n/src/\xe9t\xe9.c:12 (discriminator 3)\n")
'''


class Symbolizers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.log = host_log()
        cls.dir = tempfile.mkdtemp()
        cls.fake = os.path.join(cls.dir, "fake-addr2line")
        with open(cls.fake, "w") as f:
            f.write(FAKE)
        os.chmod(cls.fake, 0o755)
        os.environ["KT_FAKE_COUNT"] = cls.count = os.path.join(cls.dir, "count")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def runs(self):
        runs = open(self.count).read().split()
        os.unlink(self.count)
        return runs

    def module(self, name):
        """(path, build-id) of the module whose path ends in name."""
        m = re.search(r"build-id (\S+) path (\S*%s)$" % re.escape(name), self.log, re.M)
        return m.group(2), m.group(1)

    def test_one_run_per_binary_latin1_read_and_a_failure_is_a_warning(self):
        proc = analyse(self.log, "--json", "--from", "1", "--to", "3", "--addr2line", self.fake)
        runs = self.runs()
        self.assertEqual(len(runs), len(set(runs)), runs)  # each binary once
        modules = {f["module"] for c in proc.doc["chains"] for f in c["frames"] if f["module"]}
        self.assertLessEqual(len(runs), len(modules) + 1)  # + the library, folded away
        frame = proc.doc["growth"]["leak_suspects"][0]["frames"][0]
        self.assertTrue(frame["function"].startswith("caf\ufffd_0x"), frame)
        self.assertEqual((frame["file"], frame["line"], frame["discriminator"], frame["location"]),
                         ("/src/\ufffdt\ufffd.c", 12, 3, "/src/\ufffdt\ufffd.c:12"))
        os.environ["KT_FAKE_FAIL"] = "1"
        try:
            proc = analyse(self.log, "--json", "--addr2line", self.fake)
        finally:
            del os.environ["KT_FAKE_FAIL"]
        self.runs()
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(any("status 3" in w["text"] and "fake: boom" in w["text"] for w in proc.doc["warnings"]))
        self.assertEqual(tops(proc.doc["call_sites"]["groups"]).keys(), {None})
        self.assertEqual(proc.doc["call_sites"]["groups"][0]["count"], 2)  # the rest of the answer stands

    def test_binaries_that_cannot_serve_are_warnings_and_the_debug_dir_serves_by_build_id(self):
        path, build_id = self.module("libkthostlib.so")
        stub = os.path.join(self.dir, "libkthostlib.so")
        with open(stub, "wb") as f:
            f.write(b"\x7fELF")
        proc = analyse(self.log.replace(path, stub), "--json", "--from", "1", "--to", "2",
                       symbolizer=not ARGS.sysroot)
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(warned(proc.doc, "not a readable ELF file"), proc.doc["warnings"])
        names = {top(s["frames"]) for s in proc.doc["growth"]["leak_suspects"]}
        self.assertTrue({"hostRememberSession", None} <= names)  # the library's call site, unnamed
        log = self.log.replace(path, "/nonexistent/libkthostlib.so")
        lost = analyse(log, "--json", "--from", "1", "--to", "2")
        self.assertTrue(warned(lost.doc, "binary not found: /nonexistent/libkthostlib.so"))
        where = os.path.join(self.dir, "debug", ".build-id", build_id[:2])
        os.makedirs(where, exist_ok=True)
        shutil.copy(os.path.join(ARGS.sysroot or "/", path.lstrip("/")) if not os.path.isfile(path) else path,
                    os.path.join(where, build_id[2:] + ".debug"))
        found = analyse(log, "--json", "--from", "1", "--to", "2", "--debug-dir", os.path.join(self.dir, "debug"))
        self.assertIn("kthostLibAllocate", {top(s["frames"]) for s in found.doc["growth"]["leak_suspects"]})
        exe, build_id = self.module("kthost")
        strip = ARGS.addr2line[:-len("addr2line")] + "strip" if ARGS.addr2line else "strip"
        bare = os.path.join(self.dir, "bare", exe.lstrip("/"))
        os.makedirs(os.path.dirname(bare), exist_ok=True)
        subprocess.run([strip, "-o", bare, exe], check=True)
        proc = analyse(self.log, "--json", "--debug-dir", os.path.join(self.dir, "bare"))
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(warned(proc.doc, "is stripped"), proc.doc["warnings"])
        self.assertTrue(any("is stripped" in w for w in chain_of(proc.doc, proc.doc["call_sites"]["groups"][0])
                            ["warnings"]))
        proc = analyse(self.log.replace("build-id %s path" % build_id, "build-id - path"), "--json")
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(warned(proc.doc, "cannot be checked against the log"))
        self.assertIn("hostRememberSession", json.dumps(proc.doc["call_sites"]))  # named, and said to be unsure


class ExitStatus(unittest.TestCase):
    def test_bad_options_and_foreign_logs_exit_two_and_the_schema_checks(self):
        log = host_log()
        with tempfile.TemporaryDirectory() as d:
            other = os.path.join(d, "other.log")
            with open(other, "w") as f:
                f.write("just some text\nand more\n")
            for extra in [("--to", "99"), ("--from", "0"), ("--from", "3", "--to", "1"), ("--report", "4"),
                          ("--top", "0"), ("--process", "2"), ("--html", os.path.join(d, "no", "such", "x.html"))]:
                proc = analyse(log, *extra)
                self.assertEqual((proc.returncode, proc.stdout), (2, ""), extra)
                self.assertTrue(proc.stderr.strip(), extra)
            for path in (other, "/nonexistent/memmgr.log"):
                proc = subprocess.run([sys.executable, ARGS.tool, path], capture_output=True, text=True)
                self.assertEqual((proc.returncode, proc.stdout), (2, ""), path)
                self.assertEqual(len(proc.stderr.strip().split("\n")), 1, proc.stderr)
            with open(other, "w") as f:
                f.write(log)
            proc = subprocess.run("%s %s %s --json | head -1" % (shlex.quote(sys.executable), shlex.quote(ARGS.tool),
                                                                  other), shell=True, capture_output=True, text=True)
        self.assertEqual((proc.stdout, proc.stderr), ("{\n", ""))  # a reader that goes away is no error
        doc = analyse(log, "--json").doc
        del doc["processes"][0]["cap"]
        with self.assertRaises(AssertionError):
            check(SCHEMA["document"], doc)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("host")
    ap.add_argument("--emulator")
    ap.add_argument("--addr2line")
    ap.add_argument("--sysroot")
    ap.add_argument("--classic", action="store_true", help="the library is the classic build")
    ap.add_argument("--demo", help="the demo host, whose log the page is drawn from")
    ARGS, rest = ap.parse_known_args()
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir))
    from kovamem_analyze import schema as schema_module
    check = schema_module.check
    SCHEMA = json.loads(subprocess.run([sys.executable, ARGS.tool, "--schema"], capture_output=True,
                                       text=True, check=True).stdout)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
