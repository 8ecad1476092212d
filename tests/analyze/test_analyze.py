"""kovamem-analyze on logs written by a host with known call sites.

    test_analyze.py TOOL HOST [--emulator CMD] [--addr2line PROG] [--sysroot DIR]

Runs HOST (under CMD when given) to write logs, then checks the analyser's
answers: symbolized names in the executable and in a shared library at their
load addresses, leak suspects, the allocator of a damaged block, a capped log,
a garbled one, the JSON document against its schema and the HTML page.
"""
import argparse
import html.parser
import json
import os
import random
import shlex
import subprocess
import sys
import tempfile
import unittest

ARGS = None


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


def analyse(log_text, *extra):
    with tempfile.NamedTemporaryFile("w", suffix=".log", delete=False) as f:
        f.write(log_text)
        path = f.name
    try:
        cmd = [sys.executable, ARGS.tool, path]
        if ARGS.addr2line:
            cmd += ["--addr2line", ARGS.addr2line]
        if ARGS.sysroot:
            cmd += ["--sysroot", ARGS.sysroot]
        proc = subprocess.run(cmd + list(extra), capture_output=True, text=True, timeout=300)
    finally:
        os.unlink(path)
    return proc


def functions(frames):
    return [f["function"] for f in frames]


def check(schema, value, where="$"):
    """The document follows the schema: dicts have exactly its keys, lists
    hold items of its first item's shape, and leaf strings name the type."""
    if isinstance(schema, dict):
        assert isinstance(value, dict), where
        assert set(value) == set(schema), "%s: keys %s, want %s" % (where, sorted(value), sorted(schema))
        for k in schema:
            check(schema[k], value[k], where + "." + k)
    elif isinstance(schema, list):
        assert isinstance(value, list), where
        for i, v in enumerate(value):
            check(schema[0], v, "%s[%d]" % (where, i))
    elif schema == "frame":
        check(SCHEMA["frame"], value, where)
    else:
        kinds = {"int": int, "str": str}
        first = schema.split(":")[0]
        if first.startswith("list of frame"):
            assert value is None or isinstance(value, list), where
            for i, v in enumerate(value or []):
                check(SCHEMA["frame"], v, "%s[%d]" % (where, i))
            return
        if "or null" in first and value is None:
            return
        want = kinds.get(first.split()[0])
        assert want is None or isinstance(value, want), "%s: %r is not %s" % (where, value, first)


SCHEMA = None


class Analyse(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.log = run_host()
        proc = analyse(cls.log, "--json")
        assert proc.returncode == 0, proc.stderr
        cls.doc = json.loads(proc.stdout)

    def test_names_call_sites_in_the_executable_and_the_shared_library(self):
        sites = self.doc["call_sites"]
        self.assertEqual(sites["report"], 3)
        tops = {g["frames"][0]["function"]: g for g in sites["groups"]}
        self.assertIn("hostRememberSession", tops)
        self.assertIn("hostAllocateWidget", tops)
        self.assertEqual(tops["hostRememberSession"]["count"], 2)
        self.assertEqual(tops["hostRememberSession"]["bytes"], 96)
        report1 = self.doc["reports"][0]
        self.assertEqual(report1["traced_blocks"], 8)
        # Report 1's chains, through the growth answer: the library's call site.
        grown = [functions(g["frames"]) for g in self.doc["growth"]["grown"]]
        suspects = [functions(s["frames"])[0] for s in self.doc["growth"]["leak_suspects"]]
        self.assertEqual(sorted(suspects), ["hostRememberSession"] * 2)
        self.assertTrue(all("main" in chain for chain in grown), grown)
        for frames in [s["frames"] for s in self.doc["growth"]["leak_suspects"]]:
            self.assertNotIn("KovaMemAlloc", functions(frames))  # the library's frames are folded away
            self.assertEqual(frames[1]["function"], "main")

    def test_shared_library_call_site_is_named_at_its_load_address(self):
        # The library's blocks live through reports 1 and 2: leak suspects there.
        doc = json.loads(analyse(self.log, "--json", "--from", "1", "--to", "2").stdout)
        lib = [s["frames"][0] for s in doc["growth"]["leak_suspects"]
               if s["frames"][0]["function"] == "kthostLibAllocate"]
        self.assertEqual(len(lib), 2)
        self.assertTrue(lib[0]["module"].endswith("libkthostlib.so"), lib[0])
        self.assertTrue(lib[0]["location"].endswith("hostlib.cpp:5"), lib[0])
        text = analyse(self.log, "--from", "1", "--to", "2").stdout
        self.assertIn("Between report 1 and report 2", text)
        self.assertIn("kthostLibAllocate", text)

    def test_damaged_block_is_named_with_the_chain_that_allocated_it(self):
        damage = self.doc["guard_damage"]
        self.assertEqual(len(damage), 1)
        self.assertEqual(functions(damage[0]["frames"])[:2], ["hostAllocateWidget", "main"])

    def test_notes_name_the_c_heap_fallback(self):
        self.assertTrue(any("100000 bytes x1" in n for n in self.doc["notes"]), self.doc["notes"])

    def test_json_follows_its_schema(self):
        document = {k: v for k, v in SCHEMA.items() if k != "frame"}  # "frame" is a definition
        check(document, self.doc)

    def test_html_is_one_page_with_bars_charts_and_the_call_site_table(self):
        with tempfile.TemporaryDirectory() as d:
            page = os.path.join(d, "page.html")
            proc = analyse(self.log, "--html", page)
            self.assertEqual(proc.returncode, 0)
            parts = Parts()
            with open(page) as f:
                parts.feed(f.read())
        self.assertEqual(parts.sections, ["reports", "usage", "call-sites", "leaks", "notes"])
        self.assertGreater(parts.count["svg"], 0)
        self.assertGreater(parts.bars, 0)
        self.assertEqual(parts.external, [])
        self.assertIn("hostRememberSession", parts.text)

    def test_capped_log_says_what_is_missing(self):
        proc = analyse(run_host("capped"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("reached its cap", proc.stdout)
        self.assertIn("every entry after that is missing", proc.stdout)

    def test_garbled_log_gives_notes_and_the_rest_of_the_answer(self):
        rng = random.Random(5)
        lines = self.log.split("\n")
        cut = lines.index(next(l for l in lines if l.startswith("STACK DETAILS:"))) + 2
        garbled = lines[:cut] + ["### a line from somewhere else", "S:  garbage|N:"] + lines[cut:]
        for _ in range(20):
            garbled.insert(rng.randrange(len(garbled)), "noise %d" % rng.randrange(1000))
        text = "\n".join(garbled)
        text = text[:text.rindex("Memory Manager Stack -> End") - 300]  # cut off inside the last report
        proc = analyse(text, "--json", "--to", "2")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertNotIn("Traceback", proc.stderr)
        doc = json.loads(proc.stdout)
        self.assertTrue(any(n.startswith("skipped") for n in doc["notes"]), doc["notes"])
        self.assertIn("hostRememberSession", json.dumps(doc["growth"]))

    def test_missing_log_is_one_line_and_status_two(self):
        proc = subprocess.run([sys.executable, ARGS.tool, "/nonexistent/memmgr.log"], capture_output=True, text=True)
        self.assertEqual(proc.returncode, 2)
        self.assertEqual(proc.stdout, "")
        self.assertEqual(len(proc.stderr.strip().split("\n")), 1)


class Parts(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.sections, self.count, self.bars, self.external, self.text = [], {"svg": 0}, 0, [], ""

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "section":
            self.sections.append(a.get("id"))
        if tag == "svg":
            self.count["svg"] += 1
        if tag == "div" and a.get("class") == "used":
            self.bars += 1
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
    ARGS, rest = ap.parse_known_args()
    sys.path.insert(0, os.path.dirname(ARGS.tool))
    import importlib.machinery
    import importlib.util
    loader = importlib.machinery.SourceFileLoader("kovamem_analyze", ARGS.tool)
    found = importlib.util.spec_from_loader("kovamem_analyze", loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    SCHEMA = module.SCHEMA
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
