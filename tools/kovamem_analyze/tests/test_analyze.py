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
import gzip
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
import zlib

ARGS = None
SCHEMA = None  # the tool's own, from --schema
check = None  # the package's schema checker


def run_host(mode=None):
    """Runs the host; returns the text of the log it names."""
    cmd = shlex.split(ARGS.emulator) if ARGS.emulator else []
    cmd += [ARGS.host] + ([mode] if mode else [])
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    path = proc.stdout.strip().split("\n")[-1]
    with open(path, errors="replace") as f:
        text = f.read()
    os.unlink(path)
    return text


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


def chain_of(doc, group):
    return doc["chains"][group["chain"]]


def tops(groups):
    return {g["frames"][0]["function"]: g for g in groups}


class RealLog(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.log = run_host()
        cls.proc = analyse(cls.log, "--json")
        cls.doc = cls.proc.doc

    def test_names_call_sites_leaks_and_growth_in_the_executable(self):
        self.assertEqual(self.proc.returncode, 0, self.doc["warnings"])
        self.assertEqual(len(self.doc["processes"]), 1)
        sites = self.doc["call_sites"]
        self.assertEqual(sites["report"], 3)
        found = tops(sites["groups"])
        self.assertEqual(found["hostRememberSession"]["count"], 2)
        self.assertEqual(found["hostRememberSession"]["bytes"], 96)
        self.assertIn("hostAllocateWidget", found)
        self.assertEqual([r["traced_blocks"] for r in self.doc["reports"]], [8, 9, 4])
        self.assertTrue(all(r["complete"] for r in self.doc["reports"]))
        growth = self.doc["growth"]
        self.assertEqual((growth["from_report"], growth["to_report"]), (1, 3))
        self.assertEqual([functions(s["frames"])[:2] for s in growth["leak_suspects"]],
                         [["hostRememberSession", "main"]])  # one entry per chain
        self.assertEqual(growth["leak_suspects"][0]["count"], 2)
        self.assertEqual(functions(growth["grown"][0]["frames"])[0], "hostAllocateWidget")
        self.assertNotIn("KovaMemAlloc", json.dumps(growth))  # the library's frames are folded away

    def test_shared_library_call_site_is_named_at_its_load_address(self):
        doc = analyse(self.log, "--json", "--from", "1", "--to", "2").doc
        lib = [s for s in doc["growth"]["leak_suspects"] if s["frames"][0]["function"] == "kthostLibAllocate"]
        self.assertEqual(len(lib), 1)
        self.assertEqual(lib[0]["count"], 2)
        frame = lib[0]["frames"][0]
        self.assertTrue(frame["module"].endswith("libkthostlib.so"), frame)
        self.assertTrue(frame["file"].endswith("hostlib.cpp") and frame["line"] == 5, frame)
        text = analyse(self.log, "--from", "1", "--to", "2").stdout
        self.assertIn("alive in report 1 and report 2", text)
        self.assertIn("kthostLibAllocate", text)

    def test_damaged_block_is_named_with_the_chain_that_allocated_it(self):
        damage = self.doc["guard_damage"]
        self.assertEqual(len(damage), 1)
        self.assertEqual(functions(damage[0]["frames"])[:2], ["hostAllocateWidget", "main"])
        if ARGS.classic:  # from the report that traced it
            self.assertEqual((damage[0]["allocation_from"], damage[0]["report_before"]), ("report", 1))
        else:  # written at the release, with the release's own chain
            self.assertEqual(damage[0]["allocation_from"], "entry")
            self.assertEqual(functions(damage[0]["released_by"])[:1], ["main"])

    def test_fallbacks_and_pools_are_named_by_size(self):
        fb = self.doc["processes"][0]["fallbacks"]
        self.assertEqual(fb["sys_sizes"], [{"size": 100000, "count": 1}])
        text = analyse(self.log).stdout
        self.assertIn("C heap, by size, most first: 100000 bytes x1", text)
        self.assertIn("pool(s) 3 (64 B)", text)

    def test_findings_come_before_the_pool_table(self):
        text = analyse(self.log).stdout
        order = [text.index(t) for t in ("Reports", "Guard damage", "Leak suspects", "Growth from report 1",
                                         "Live traced blocks by call site (report 3)", "Pools (report 3)")]
        self.assertEqual(order, sorted(order), text)
        self.assertEqual(text.count("Pools (report"), 1)

    def test_report_option_groups_that_reports_blocks(self):
        proc = analyse(self.log, "--report", "1")
        self.assertIn("Live traced blocks by call site (report 1)", proc.stdout)
        self.assertIn("kthostLibAllocate", proc.stdout.split("by call site (report 1)")[1])
        doc = analyse(self.log, "--json", "--report", "1").doc
        self.assertEqual(doc["call_sites"]["report"], 1)
        # Every report's call sites are in the document, by chain.
        r2 = doc["reports"][1]["call_sites"]
        self.assertEqual(sum(g["count"] for g in r2), 9)
        names = {functions(chain_of(doc, g)["frames"])[0] for g in r2}
        self.assertTrue({"hostAllocateWidget", "hostRememberSession", "kthostLibAllocate"} <= names, names)

    def test_html_holds_every_section_of_the_text(self):
        with tempfile.TemporaryDirectory() as d:
            page = os.path.join(d, "page.html")
            proc = analyse(self.log, "--html", page, "--from", "1", "--to", "2")
            self.assertEqual(proc.returncode, 0)
            parts = Parts()
            with open(page) as f:
                parts.feed(f.read())
        titles = [line for line in proc.stdout.split("\n") if line and not line.startswith(" ")]
        for title in titles:
            self.assertIn(title, parts.text)
        for name in ("hostRememberSession", "kthostLibAllocate", "hostAllocateWidget"):
            self.assertIn(name, parts.text)
        self.assertIn("damage", parts.sections)
        self.assertGreater(parts.count["svg"], 0)
        self.assertGreater(parts.series, 0)
        self.assertEqual(parts.external, [])

    def test_log_read_from_standard_input_gives_the_same_answers(self):
        doc = analyse(self.log, "--json", stdin=True).doc
        self.assertEqual(doc["log"], "-")
        self.assertEqual(doc["growth"], self.doc["growth"])


def read_varint(data, at):
    """(value, next offset) of the varint at data[at]."""
    n = shift = 0
    while True:
        b = data[at]
        at += 1
        n |= (b & 0x7F) << shift
        shift += 7
        if b < 0x80:
            return n, at


def read_proto(data):
    """A protobuf message as {field: [values]}: varints as ints, the rest as bytes."""
    out, at = {}, 0
    while at < len(data):
        key, at = read_varint(data, at)
        field, kind = key >> 3, key & 7
        if kind == 0:
            value, at = read_varint(data, at)
        elif kind == 2:
            n, at = read_varint(data, at)
            value = data[at:at + n]
            at += n
        else:
            raise ValueError("wire type %d" % kind)
        out.setdefault(field, []).append(value)
    return out


def packed(data):
    values, at = [], 0
    while at < len(data):
        value, at = read_varint(data, at)
        values.append(value)
    return values


class Exports(unittest.TestCase):
    """The folded stacks and the pprof profile hold what the answers hold."""

    @classmethod
    def setUpClass(cls):
        cls.log = run_host()
        cls.doc = analyse(cls.log, "--json").doc
        cls.dir = tempfile.mkdtemp()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def export(self, *extra):
        folded, pprof = os.path.join(self.dir, "out.folded"), os.path.join(self.dir, "out.pb.gz")
        proc = analyse(self.log, "--folded", folded, "--pprof", pprof, *extra)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(folded) as f:
            lines = f.read().splitlines()
        with open(pprof, "rb") as f:
            profile = gzip.decompress(f.read())
        return lines, profile, pprof

    @staticmethod
    def parse_folded(lines):
        out = {}
        for line in lines:
            stack, _, n = line.rpartition(" ")
            out[tuple(stack.split(";"))] = out.get(tuple(stack.split(";")), 0) + int(n)
        return out

    def test_folded_stacks_add_up_to_the_reports_traced_blocks(self):
        sites = self.doc["call_sites"]["groups"]
        lines, _, _ = self.export()
        stacks = self.parse_folded(lines)
        self.assertEqual(sum(stacks.values()), sum(g["bytes"] for g in sites))
        leaves = {stack[-1] for stack in stacks}
        self.assertIn("hostAllocateWidget", leaves)
        self.assertTrue(any(stack[:-1] and stack[-2] == "main" for stack in stacks))  # outermost first
        lines, _, _ = self.export("--folded-count")
        self.assertEqual(sum(self.parse_folded(lines).values()), self.doc["reports"][-1]["traced_blocks"])
        # Growth: only what grew, by what it gained.
        grown = analyse(self.log, "--json", "--from", "1", "--to", "3").doc["growth"]["grown"]
        lines, _, _ = self.export("--from", "1", "--to", "3")
        stacks = self.parse_folded(lines)
        self.assertTrue(all(n > 0 for n in stacks.values()))
        self.assertEqual(sum(stacks.values()),
                         sum(g["bytes_after"] - g["bytes_before"] for g in grown if g["bytes_after"] > g["bytes_before"]))

    def test_pprof_profile_holds_the_samples_mappings_and_functions(self):
        sites = self.doc["call_sites"]["groups"]
        _, profile, path = self.export()
        p = read_proto(profile)
        strings = [x.decode() for x in p[6]]
        types = [strings[read_proto(t)[1][0]] for t in p[1]]
        self.assertEqual(types, ["inuse_objects", "inuse_space"])
        values = [packed(read_proto(sm)[2][0]) for sm in p[2]]
        self.assertEqual(sum(v[1] for v in values), sum(g["bytes"] for g in sites))
        self.assertEqual(sum(v[0] for v in values), sum(g["count"] for g in sites))
        mappings = [read_proto(m) for m in p[3]]
        host = [m for m in mappings if strings[m[5][0]].endswith("kthost")]
        self.assertEqual(len(host), 1)
        self.assertEqual(len(strings[host[0][6][0]]), 40)  # its build ID
        names = {strings[read_proto(f)[2][0]] for f in p[5]}
        self.assertIn("hostRememberSession", names)
        go = shutil.which("go")
        if go is None:
            self.skipTest("no go tool here to read it with pprof")
        top = subprocess.run([go, "tool", "pprof", "-top", "-sample_index=inuse_space", path], capture_output=True,
                             text=True, timeout=300, env=dict(os.environ, HOME=self.dir))
        self.assertEqual(top.returncode, 0, top.stderr)
        total = sum(g["bytes"] for g in sites)
        self.assertIn("accounting for %dB, 100%% of %dB total" % (total, total), top.stdout)
        biggest = max(sites, key=lambda g: g["bytes"])
        leaf = biggest["frames"][0]["function"]
        rows = [line.split() for line in top.stdout.splitlines() if re.match(r"^\s+\d+B ", line)]
        self.assertEqual(rows[0][-1], leaf, top.stdout)
        self.assertEqual(rows[0][0], "%dB" % biggest["bytes"])


CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--enable-logging=stderr", "--v=0", "--window-size=1100,1400"]


def png_pixels(path):
    """(width, height, rows of RGB(A) bytes) of a PNG, unfiltered."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat, width = 8, b"", 0
    while at < len(data):
        n = int.from_bytes(data[at:at + 4], "big")
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + n]
        if kind == b"IHDR":
            width, height, depth, ctype = int.from_bytes(body[:4], "big"), int.from_bytes(body[4:8], "big"), body[8], body[9]
            assert depth == 8 and ctype in (2, 6), (depth, ctype)
            bpp = 3 if ctype == 2 else 4
        elif kind == b"IDAT":
            idat += body
        at += 12 + n
    raw = zlib.decompress(idat)
    stride = width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return width, height, bpp, rows


class Dom(html.parser.HTMLParser):
    """What the tests count in a page as the browser left it."""

    def __init__(self):
        super().__init__()
        self.svgs = []  # [kind, attributes, series, leaves, rects]
        self.ready = False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "body" and a.get("data-ready") == "1":
            self.ready = True
        if tag == "svg":
            self.svgs.append({"class": a.get("class"), "attrs": a, "series": [], "leaves": 0})
        elif self.svgs and tag == "polyline" and a.get("class") == "series":
            self.svgs[-1]["series"].append(a.get("data-pool"))
        elif self.svgs and tag == "rect" and a.get("data-leaf") == "1":
            self.svgs[-1]["leaves"] += 1


@unittest.skipUnless(shutil.which("chromium"), "no chromium here")
class PageInABrowser(unittest.TestCase):
    """The page as Chromium loads and draws it: no console error, the
    timelines with one series per pool, the icicle graphs with one leaf per
    chain wider than the threshold, a screenshot that is not blank."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        small = run_host()
        big = os.path.join(cls.dir, "big.log")
        with open(os.path.join(cls.dir, "template.log"), "w") as f:
            f.write(small)
        subprocess.run([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "biglog.py"),
                        os.path.join(cls.dir, "template.log"), big, "8"], check=True, timeout=300)
        with open(big, errors="replace") as f:
            cls.logs = {"host": small, "big": f.read()}
        if ARGS.demo:
            cmd = (shlex.split(ARGS.emulator) if ARGS.emulator else []) + [ARGS.demo, "--duration", "40"]
            out = subprocess.run(cmd, capture_output=True, text=True, timeout=300).stdout
            path = re.search(r"the library logs to (/tmp/memmgr-\d+\.log)", out).group(1)
            with open(path, errors="replace") as f:
                cls.logs["demo"] = f.read()
            os.unlink(path)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def load(self, name):
        page = os.path.join(self.dir, name + ".html")
        proc = analyse(self.logs[name], "--html", page)
        self.assertIn(proc.returncode, (0, 1), proc.stderr)
        doc = analyse(self.logs[name], "--json").doc
        profile = os.path.join(self.dir, "profile-" + name)
        shot = os.path.join(self.dir, name + ".png")
        base = ["chromium"] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile]
        dom = subprocess.run(base + ["--dump-dom", "file://" + page], capture_output=True, text=True, timeout=120)
        self.assertEqual(dom.returncode, 0, dom.stderr[-2000:])
        console = [line for line in dom.stderr.splitlines() if "CONSOLE" in line]
        self.assertEqual(console, [])
        subprocess.run(base + ["--screenshot=" + shot, "file://" + page], capture_output=True, timeout=120,
                       cwd=self.dir)
        with open(page) as f:
            text = f.read()
        return doc, dom.stdout, shot, text

    def check(self, name):
        doc, dumped, shot, text = self.load(name)
        self.assertNotRegex(text, r"(src|href)=['\"]?(https?:|//)")  # nothing from the network
        titles = [line for line in analyse(self.logs[name]).stdout.split("\n") if line and not line.startswith(" ")]
        for title in titles:  # every section of the text
            self.assertIn(">%s</h2>" % html.escape(title), text)
        parsed = Dom()
        parsed.feed(dumped)
        self.assertTrue(parsed.ready, "the page's script did not run")
        proc = doc["processes"][-1]
        sizes = sorted({str(x["size"]) for r in proc["reports"] for x in r["pools"]}, key=int)
        timelines = [s for s in parsed.svgs if s["class"] == "timeline"]
        self.assertEqual(len(timelines), 2)
        for t in timelines:
            self.assertEqual(t["series"], sizes)
        flames = [s for s in parsed.svgs if s["class"] == "flame"]
        groups = proc["call_sites"]["groups"]
        total = sum(g["bytes"] for g in groups)
        # Chains whose frames have the same names are one chain to a viewer.
        named = {}
        for g in groups:
            key = tuple(f["function"] or f["address"] for f in g["frames"])
            named[key] = named.get(key, 0) + g["bytes"]
        wide = [k for k, n in named.items() if 1000.0 * n / total >= 1.0]
        self.assertEqual(flames[0]["leaves"], len(wide))
        grown = [g for g in proc["growth"]["grown"] if g["bytes_after"] > g["bytes_before"]]
        if grown:
            self.assertEqual(len(flames), 2)
            self.assertGreaterEqual(flames[1]["leaves"], 1)
        width, height, bpp, rows = png_pixels(shot)
        self.assertGreater((width, height), (500, 500))
        coloured = sum(1 for row in rows[::10] for i in range(0, len(row), bpp * 10)
                       if max(row[i:i + 3]) - min(row[i:i + 3]) > 40)
        self.assertGreater(coloured, 50, "the screenshot is (nearly) blank")
        return doc, text

    def test_host_log_draws_its_timelines_and_graphs(self):
        doc, text = self.check("host")
        for name in ("hostRememberSession", "hostAllocateWidget"):
            self.assertIn(name, text)

    def test_demo_log_draws_its_timelines_graphs_and_findings(self):
        if "demo" not in self.logs:
            self.skipTest("no demo built")
        doc, text = self.check("demo")
        self.assertIn("rememberSession", text)
        self.assertRegex(text, r"<section id='(p\d+-)?damage'><h2>[^<]*Guard damage</h2><table>")

    def test_large_multi_report_log_stays_an_aggregate_page(self):
        doc, text = self.check("big")
        self.assertGreater(len(doc["processes"][-1]["reports"]), 5)
        self.assertLess(len(text), 1500000)


class DamagedLogs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.log = run_host()

    def test_report_cut_inside_its_traces_is_left_out_and_said(self):
        last = self.log.rindex("Memory Manager Status -> Begin")
        cut_at = self.log.index("STACK DETAILS:", self.log.index("Memory Manager Stack -> Begin", last))
        proc = analyse(self.log[:cut_at + 60], "--json")  # the first trace of report 3, cut
        doc = proc.doc
        r3 = doc["reports"][2]
        self.assertFalse(r3["complete"])
        self.assertIn("is cut short", r3["cut"])
        self.assertEqual(doc["growth"]["to_report"], 2)  # the last complete one
        self.assertEqual(doc["call_sites"]["report"], 2)
        self.assertTrue(any("report 3 is incomplete" in n for n in doc["notes"]), doc["notes"])
        self.assertEqual(proc.returncode, 0, doc["warnings"])
        asked = analyse(self.log[:cut_at + 60], "--json", "--to", "3")
        self.assertEqual(asked.returncode, 1)
        self.assertTrue(any(w["report"] == 3 and "incomplete" in w["text"] for w in asked.doc["warnings"]))

    def test_report_listing_fewer_blocks_than_its_header_is_incomplete(self):
        # One traced block of report 3 removed whole: the entry count no longer matches the header.
        start = self.log.index("INFO: P:", self.log.rindex("Memory Manager Stack -> Begin"))
        end = self.log.index("*" * 64, start) + 65
        proc = analyse(self.log[:start] + self.log[end:], "--json", "--to", "3")
        self.assertIn("lists 3 of the 4", proc.doc["reports"][2]["cut"])
        self.assertEqual(proc.returncode, 1)

    def test_capped_log_warns_and_exits_one(self):
        proc = analyse(run_host("capped"), "--json")
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(any("reached its cap" in w["text"] for w in proc.doc["warnings"]))
        reports = proc.doc["processes"][0]["reports"]
        self.assertLess(sum(r["complete"] for r in reports), 3)  # the cap cut the host's three reports
        text = analyse(run_host("capped")).stdout
        self.assertTrue(text.startswith("Warnings\n"), text[:200])
        self.assertIn("every entry after that is missing", text)

    def test_two_processes_in_one_file_are_answered_apart(self):
        proc = analyse(self.log + run_host(), "--json")
        doc = proc.doc
        self.assertEqual(len(doc["processes"]), 2)
        for p in doc["processes"]:
            self.assertEqual([r["index"] for r in p["reports"]], [1, 2, 3])
            self.assertEqual((p["growth"]["from_report"], p["growth"]["to_report"]), (1, 3))
            self.assertEqual(functions(p["growth"]["leak_suspects"][0]["frames"])[0], "hostRememberSession")
            self.assertEqual(len(p["guard_damage"]), 1)
            self.assertEqual(functions(p["guard_damage"][0]["frames"])[0], "hostAllocateWidget")
        self.assertEqual(proc.returncode, 0, doc["warnings"])
        self.assertEqual(doc["processes"][1]["first_line"], len(self.log.split("\n")))
        both = analyse(self.log + run_host(), "--from", "1", "--to", "2")
        self.assertEqual(both.returncode, 2)
        self.assertIn("--process", both.stderr)
        one = analyse(self.log + run_host(), "--json", "--process", "2", "--from", "1", "--to", "2")
        self.assertEqual(one.returncode, 0)
        self.assertEqual([p["index"] for p in one.doc["processes"]], [2])

    def test_plugin_replaced_at_the_same_base_keeps_its_own_names(self):
        doc = analyse(run_host("replace"), "--json").doc
        found = tops(doc["call_sites"]["groups"])
        self.assertEqual(doc["call_sites"]["report"], 2)
        self.assertEqual(found["kthostPlugAlphaAllocate"]["count"], 2)
        self.assertEqual(found["kthostPlugBetaAllocate"]["count"], 1)
        alpha = chain_of(doc, found["kthostPlugAlphaAllocate"])
        beta = chain_of(doc, found["kthostPlugBetaAllocate"])
        self.assertTrue(alpha["frames"][0]["module"].endswith("libkthostplugA.so"))
        self.assertTrue(beta["frames"][0]["module"].endswith("libkthostplugB.so"))
        self.assertEqual(alpha["warnings"], [])  # seen in report 1, under the first plugin's map
        maps = doc["processes"][0]["module_maps"]
        base = lambda m, name: [x["base"] for x in m["modules"] if x["path"].endswith(name)]
        if base(maps[1], "libkthostplugA.so") == base(maps[2], "libkthostplugB.so"):
            self.assertTrue(any("libkthostplugA.so" in w for w in beta["warnings"]), beta)

    def test_full_trace_table_is_said_next_to_the_answers(self):
        last = self.log.rindex(" Stack Free Count : ")
        log = re.sub(r"^ Stack Free Count : \d+,", " Stack Free Count : 0,", self.log[last:], count=1, flags=re.M)
        proc = analyse(self.log[:last] + log, "--json")
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(proc.doc["reports"][2]["trace_table_full"])
        self.assertTrue(any("trace table was full" in w["text"] and w["report"] == 3
                            for w in proc.doc["warnings"]), proc.doc["warnings"])

    def test_garbled_log_gives_notes_and_the_rest_of_the_answer(self):
        rng = random.Random(5)
        lines = self.log.split("\n")
        cut = lines.index(next(l for l in lines if l.startswith("STACK DETAILS:"))) + 2
        garbled = lines[:cut] + ["### a line from somewhere else", "S:  garbage|N:"] + lines[cut:]
        for _ in range(20):
            garbled.insert(rng.randrange(len(garbled)), "noise %d" % rng.randrange(1000))
        proc = analyse("\n".join(garbled), "--json", "--from", "1", "--to", "2")
        self.assertIn(proc.returncode, (0, 1))
        doc = proc.doc
        self.assertTrue(any("skipped" in n for n in doc["notes"]), doc["notes"])
        self.assertIn("hostRememberSession", json.dumps(doc["growth"]))


class Faults(unittest.TestCase):
    """The faults scenario of the host (its F1 to F6), with the default cap."""

    @classmethod
    def setUpClass(cls):
        cls.log = run_host("faults")
        cls.proc = analyse(cls.log, "--json")
        cls.doc = cls.proc.doc
        cls.text = analyse(cls.log).stdout

    def test_classic_build_writes_the_described_entries_only(self):
        if not ARGS.classic:
            self.skipTest("default build")
        for new in (" INFO: KovaMemFree:", " INFO: KovaMemAlloc:", "(count ", "is already free",
                    "written after its release"):
            self.assertNotIn(new, self.log)
        self.assertIn("Max file size reached", self.log)  # one entry per fallback fills the cap

    def test_damaged_blocks_name_who_allocated_and_who_released_them(self):
        if ARGS.classic:
            self.skipTest("classic build")
        damage = self.doc["guard_damage"]
        self.assertEqual(len(damage), 2)
        for d in damage:
            self.assertEqual(d["allocation_from"], "entry")
            self.assertEqual(functions(d["frames"])[0], "hostF1Allocate")
            self.assertEqual(functions(d["released_by"])[0], "hostF3Release")

    def test_second_release_names_both_releases(self):
        if ARGS.classic:
            self.skipTest("classic build")
        bad = self.doc["processes"][0]["invalid_releases"]
        self.assertEqual(len(bad), 1)
        self.assertEqual(bad[0]["kinds"]["already free"], 1)
        self.assertEqual(functions(bad[0]["frames"])[0], "hostF4ReleaseAgain")
        self.assertEqual(functions(bad[0]["first_released_by"])[0], "hostF3Release")

    def test_write_after_release_names_the_release_and_the_allocation_that_met_it(self):
        if ARGS.classic:
            self.skipTest("classic build")
        war = self.doc["processes"][0]["write_after_release"]
        self.assertEqual(len(war["blocks"]), 1)
        block = war["blocks"][0]
        self.assertEqual(block["offset"], 3)
        self.assertEqual(functions(block["released_by"])[0], "hostF5Release")
        self.assertEqual(functions(block["found_by"])[0], "hostF6Allocate")

    def test_fallbacks_are_counted_and_the_log_keeps_its_room(self):
        if ARGS.classic:
            self.skipTest("classic build")
        p = self.doc["processes"][0]
        self.assertIsNone(p["cap"])
        self.assertTrue(p["reports"][0]["complete"])
        self.assertEqual(p["fallbacks"]["sys_sizes"], [{"size": 100000, "count": 4096}])
        self.assertTrue(p["fallbacks"]["counted"])
        self.assertLessEqual(self.log.count("System alloc"), 13)
        self.assertIn("100000 bytes x4096..8191", self.text)
        for name in ("hostF1Allocate", "hostF3Release", "hostF4ReleaseAgain", "hostF5Release", "hostF6Allocate"):
            self.assertIn(name, self.text)
            self.assertIn(name, json.dumps(self.doc["processes"][0]))
        self.assertEqual(self.proc.returncode, 0, self.doc["warnings"])


class Sampled(unittest.TestCase):
    """Tracing 1 in 4: call sites as estimates, and a fault on a block not sampled."""

    def test_call_sites_are_estimates_and_the_unsampled_block_is_said(self):
        if ARGS.classic:
            self.skipTest("the classic build traces every allocation")
        log = run_host("sampled")
        doc = analyse(log, "--json").doc
        p = doc["processes"][0]
        self.assertEqual(p["trace_sampling"][0]["rate"], 4)
        self.assertEqual(p["reports"][0]["sampling"], 4)
        sites = {functions(g["frames"])[0]: g for g in p["call_sites"]["groups"]}
        widget = sites["hostAllocateWidget"]
        self.assertTrue(50 < widget["count"] < 150, widget["count"])  # 400 blocks, about one in 4
        self.assertEqual(widget["estimate"], {"count": 4 * widget["count"], "bytes": 4 * widget["bytes"]})
        (damage,) = p["guard_damage"]
        self.assertEqual((damage["frames"], damage["not_sampled"], damage["sampling"]),
                         (None, ["allocated by"], 1 << 30))
        self.assertIsNotNone(damage["released_by"])
        text = analyse(log).stdout
        self.assertIn("(about %d blocks, %d bytes)" % (4 * widget["count"], 4 * widget["bytes"]), text)
        self.assertIn("its allocation was not sampled (tracing 1 in %d)" % (1 << 30), text)
        self.assertEqual([n for n in doc["notes"] if "skipped" in n], [])


class Growth(unittest.TestCase):
    """Growing pools: the grown pools in the reports and the budget spent."""

    def test_grown_pools_and_a_spent_budget_are_named(self):
        if ARGS.classic:
            self.skipTest("no pool grows in the classic build")
        log = run_host("grow")
        proc = analyse(log, "--json")
        p = proc.doc["processes"][0]
        self.assertEqual([n for n in proc.doc["notes"] if "skipped" in n], [])
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


class Guarded(unittest.TestCase):
    """Guarded sampling: the bad access itself, named with its allocation and release."""

    def run_guarded(self, what, recover):
        cmd = shlex.split(ARGS.emulator) if ARGS.emulator else []
        cmd += [ARGS.host, "guarded-" + what] + (["recover"] if recover else [])
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
        path = proc.stdout.strip().split("\n")[0]
        with open(path, errors="replace") as f:
            log = f.read()
        os.unlink(path)
        return proc, log

    def test_each_bad_access_names_its_code_with_and_without_recover(self):
        if ARGS.classic:
            self.skipTest("the classic build accepts nothing new")
        culprits = {"overrun": "hostOverrunWriter", "read": "hostStaleReader", "write": "hostStaleWriter"}
        for what, culprit in culprits.items():
            for recover in (True, False):
                with self.subTest(what=what, recover=recover):
                    proc, log = self.run_guarded(what, recover)
                    if recover:
                        self.assertEqual(proc.returncode, 0, proc.stderr)
                    else:  # the fault took its course, after its entries
                        self.assertEqual(proc.returncode, -11, proc.stderr)
                    self.assertIn(" CRIT: KovaMemGuarded: ", log)
                    doc = analyse(log, "--json").doc
                    p = doc["processes"][0]
                    (f,) = p["guarded_faults"]
                    self.assertEqual(doc["guarded_faults"], p["guarded_faults"])
                    self.assertEqual(f["kind"], "past the end" if what == "overrun" else "after release")
                    if what == "overrun":
                        self.assertEqual((f["distance"], f["size"]), (0, 64))
                    self.assertEqual(f["outcome"], "recovered" if recover else "signal")
                    self.assertEqual(functions(f["faulted_at"])[0], culprit)
                    self.assertEqual(functions(f["allocated_by"])[0], "hostGuardedAllocate")
                    if what == "overrun":
                        self.assertIsNone(f["released_by"])
                    else:
                        self.assertEqual(functions(f["released_by"])[0], "hostGuardedRelease")
                    if not ARGS.emulator and os.uname().machine == "x86_64":  # the fault context tells
                        self.assertEqual(f["access"], "read" if what == "read" else "write")
                    self.assertEqual(len(p["reports"]), 1 if recover else 0)
                    if recover:
                        self.assertTrue(p["reports"][0]["complete"])
                        c = p["reports"][0]["counters"]
                        self.assertEqual(c["mem_malloc"] + c["sys_malloc"], 40)  # 24 fit the pools
                    self.assertEqual([n for n in doc["notes"] if "skipped" in n], [])
                    text = analyse(log).stdout
                    at = text.index("Guarded faults: the access itself")
                    self.assertLess(at, text.index("Reports"))
                    self.assertIn(culprit, text[at:])
                    with tempfile.TemporaryDirectory() as d:
                        page = os.path.join(d, "page.html")
                        analyse(log, "--html", page)
                        with open(page, encoding="utf-8") as f:
                            self.assertIn(culprit, f.read())


PROM_HELP = re.compile(r"^# HELP (kovamem_[a-z_]+) \S.*$")
PROM_TYPE = re.compile(r"^# TYPE (kovamem_[a-z_]+) (counter|gauge)$")
PROM_SAMPLE = re.compile(r'^(kovamem_[a-z_]+)(\{pool="(\d+)",block_size="(\d+)"\})? (\d+)$')


class Figures(unittest.TestCase):
    """The host's snapshot as JSON and Prometheus text, and live since a mark."""

    @classmethod
    def setUpClass(cls):
        cmd = shlex.split(ARGS.emulator) if ARGS.emulator else []
        proc = subprocess.run(cmd + [ARGS.host, "stats"], capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        path = proc.stdout.strip().split("\n")[-1]
        cls.texts = {}
        for suffix in ("", ".json", ".prom"):
            with open(path + suffix, errors="replace") as f:
                cls.texts[suffix] = f.read()
            os.unlink(path + suffix)

    def test_json_parses_and_holds_the_pools(self):
        doc = json.loads(self.texts[".json"])
        self.assertEqual(doc["schemaVersion"], 1)
        self.assertEqual(doc["poolCount"], 6)
        self.assertEqual([p["blockSize"] for p in doc["pools"]], [8, 16, 32, 64, 128, 256])
        self.assertEqual(doc["pools"][3]["busyCount"], 2)  # the two session records
        self.assertEqual(doc["memMallocCount"], sum(p["allocCount"] for p in doc["pools"]))
        self.assertEqual((doc["sysMallocCount"], doc["sysFreeCount"]), (1, 1))

    def test_prometheus_text_is_valid_exposition_format(self):
        typed, helped, samples = {}, set(), 0
        for line in self.texts[".prom"].rstrip("\n").split("\n"):
            m = PROM_HELP.match(line) or PROM_TYPE.match(line)
            if m:
                (typed.__setitem__(m.group(1), m.group(2)) if line.startswith("# TYPE") else helped.add(m.group(1)))
                continue
            m = PROM_SAMPLE.match(line)
            self.assertIsNotNone(m, line)
            self.assertIn(m.group(1), typed, "a sample before its TYPE: " + line)
            self.assertIn(m.group(1), helped)
            if typed[m.group(1)] == "counter":
                self.assertTrue(m.group(1).endswith("_total"), line)
            samples += 1
        self.assertGreater(samples, 6 * 9)
        self.assertIn('kovamem_pool_busy_blocks{pool="3",block_size="64"} 2', self.texts[".prom"])

    def test_live_since_a_mark_names_its_call_site(self):
        proc = analyse(self.texts[""], "--json")
        live = proc.doc["processes"][0]["live_since"]
        self.assertEqual(len(live), 1)
        self.assertTrue(live[0]["complete"])
        self.assertEqual(live[0]["blocks"], 2)
        group = live[0]["groups"][0]
        self.assertEqual((group["count"], group["bytes"]), (2, 96))
        self.assertEqual(functions(group["frames"])[0], "hostRememberSession")
        self.assertIn("hostRememberSession", analyse(self.texts[""]).stdout)


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
        cls.log = run_host()
        cls.dir = tempfile.mkdtemp()
        cls.fake = os.path.join(cls.dir, "fake-addr2line")
        with open(cls.fake, "w") as f:
            f.write(FAKE)
        os.chmod(cls.fake, 0o755)
        cls.count = os.path.join(cls.dir, "count")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def runs(self):
        with open(self.count) as f:
            runs = f.read().split()
        os.unlink(self.count)
        return runs

    def test_one_run_per_binary_and_latin1_output_is_read(self):
        os.environ["KT_FAKE_COUNT"] = self.count
        proc = analyse(self.log, "--json", "--from", "1", "--to", "3", "--addr2line", self.fake)
        runs = self.runs()
        self.assertEqual(len(runs), len(set(runs)), runs)  # each binary once
        modules = {f["module"] for c in proc.doc["chains"] for f in c["frames"] if f["module"]}
        self.assertLessEqual(len(runs), len(modules) + 1)  # + the library, folded away
        frame = proc.doc["growth"]["leak_suspects"][0]["frames"][0]
        self.assertTrue(frame["function"].startswith("caf\ufffd_0x"), frame)
        self.assertEqual((frame["file"], frame["line"], frame["discriminator"]), ("/src/\ufffdt\ufffd.c", 12, 3))
        self.assertEqual(frame["location"], "/src/\ufffdt\ufffd.c:12")

    def test_failing_symbolizer_is_a_warning_with_its_message(self):
        os.environ["KT_FAKE_COUNT"] = self.count
        os.environ["KT_FAKE_FAIL"] = "1"
        try:
            proc = analyse(self.log, "--json", "--addr2line", self.fake)
        finally:
            del os.environ["KT_FAKE_FAIL"]
        self.runs()
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(any("status 3" in w["text"] and "fake: boom" in w["text"] for w in proc.doc["warnings"]),
                        proc.doc["warnings"])
        self.assertEqual(tops(proc.doc["call_sites"]["groups"]).keys(), {None})
        self.assertEqual(proc.doc["call_sites"]["groups"][0]["count"], 2)  # the rest of the answer stands

    def module_path(self, name):
        m = re.search(r"path (\S*%s)$" % re.escape(name), self.log, re.M)
        return m.group(1)

    def test_four_byte_elf_at_a_module_path_is_a_warning_not_a_failure(self):
        stub = os.path.join(self.dir, "libkthostlib.so")
        with open(stub, "wb") as f:
            f.write(b"\x7fELF")
        log = self.log.replace(self.module_path("libkthostlib.so"), stub)
        proc = analyse(log, "--json", "--from", "1", "--to", "2", symbolizer=not ARGS.sysroot)
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(any("not a readable ELF file" in w["text"] for w in proc.doc["warnings"]),
                        proc.doc["warnings"])
        names = {s["frames"][0]["function"] for s in proc.doc["growth"]["leak_suspects"]}
        self.assertIn("hostRememberSession", names)
        self.assertIn(None, names)  # the library's call site, unnamed

    def test_debug_dir_finds_a_binary_by_its_build_id(self):
        path = self.module_path("libkthostlib.so")
        build_id = re.search(r"build-id (\S+) path %s$" % re.escape(path), self.log, re.M).group(1)
        log = self.log.replace(path, "/nonexistent/libkthostlib.so")
        lost = analyse(log, "--json", "--from", "1", "--to", "2")
        self.assertTrue(any("binary not found: /nonexistent/libkthostlib.so" in w["text"]
                            for w in lost.doc["warnings"]))
        where = os.path.join(self.dir, "debug", ".build-id", build_id[:2])
        os.makedirs(where, exist_ok=True)
        shutil.copy(os.path.join(ARGS.sysroot or "/", path.lstrip("/")) if not os.path.isfile(path) else path,
                    os.path.join(where, build_id[2:] + ".debug"))
        found = analyse(log, "--json", "--from", "1", "--to", "2", "--debug-dir", os.path.join(self.dir, "debug"))
        names = {s["frames"][0]["function"] for s in found.doc["growth"]["leak_suspects"]}
        self.assertIn("kthostLibAllocate", names)


    def test_stripped_or_unverifiable_binary_is_said_next_to_its_frames(self):
        exe = self.module_path("kthost")
        strip = ARGS.addr2line[:-len("addr2line")] + "strip" if ARGS.addr2line else "strip"
        bare = os.path.join(self.dir, "bare", exe.lstrip("/"))
        os.makedirs(os.path.dirname(bare), exist_ok=True)
        subprocess.run([strip, "-o", bare, exe], check=True)
        proc = analyse(self.log, "--json", "--debug-dir", os.path.join(self.dir, "bare"))
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(any("is stripped" in w["text"] for w in proc.doc["warnings"]), proc.doc["warnings"])
        top = proc.doc["call_sites"]["groups"][0]
        self.assertTrue(any("is stripped" in w for w in chain_of(proc.doc, top)["warnings"]))
        build_id = re.search(r"build-id (\S+) path %s$" % re.escape(exe), self.log, re.M).group(1)
        proc = analyse(self.log.replace("build-id %s path" % build_id, "build-id - path"), "--json")
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(any("cannot be checked against the log" in w["text"] for w in proc.doc["warnings"]))
        self.assertIn("hostRememberSession", json.dumps(proc.doc["call_sites"]))  # named, and said to be unsure


class ExitStatus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.log = run_host()

    def test_bad_options_and_logs_that_are_not_ours_exit_two_with_one_line(self):
        with tempfile.TemporaryDirectory() as d:
            other = os.path.join(d, "other.log")
            with open(other, "w") as f:
                f.write("just some text\nand more\n")
            cases = [("--to", "99"), ("--from", "0"), ("--from", "3", "--to", "1"), ("--report", "4"),
                     ("--top", "0"), ("--process", "2"), ("--html", os.path.join(d, "no", "such", "dir.html"))]
            for extra in cases:
                proc = analyse(self.log, *extra)
                self.assertEqual(proc.returncode, 2, extra)
                self.assertEqual(proc.stdout, "", extra)
                self.assertTrue(proc.stderr.strip(), extra)
            for path in (other, "/nonexistent/memmgr.log"):
                proc = subprocess.run([sys.executable, ARGS.tool, path], capture_output=True, text=True)
                self.assertEqual((proc.returncode, proc.stdout), (2, ""), path)
                self.assertEqual(len(proc.stderr.strip().split("\n")), 1, proc.stderr)

    def test_reader_that_goes_away_is_no_error(self):
        with tempfile.NamedTemporaryFile("w", suffix=".log") as f:
            f.write(self.log)
            f.flush()
            proc = subprocess.run("%s %s %s --json | head -1" % (shlex.quote(sys.executable), shlex.quote(ARGS.tool),
                                                                  f.name),
                                  shell=True, capture_output=True, text=True)
        self.assertEqual(proc.stdout, "{\n")
        self.assertEqual(proc.stderr, "")

    def test_schema_is_printed_and_checks(self):
        proc = subprocess.run([sys.executable, ARGS.tool, "--schema"], capture_output=True, text=True)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(json.loads(proc.stdout), SCHEMA)
        doc = analyse(self.log, "--json").doc
        del doc["processes"][0]["cap"]
        with self.assertRaises(AssertionError):
            check(SCHEMA["document"], doc)


class Parts(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.sections, self.count, self.series, self.external, self.text = [], {"svg": 0}, 0, [], ""

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "section":
            self.sections.append(a.get("id"))
        if tag == "svg":
            self.count["svg"] += 1
        if tag == "polyline" and a.get("class") == "series":
            self.series += 1
        for k in ("src", "href"):
            if k in a:
                self.external.append(a[k])

    def handle_data(self, data):
        self.text += data


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
