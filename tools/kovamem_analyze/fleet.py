"""kovamem-analyze fleet: the fault records of many devices, grouped.

    kovamem-analyze fleet [--json] [--html FILE] [--baseline FW] [--debug-dir DIR]
                          [--sysroot DIR] [--addr2line PROG] INPUT...

An INPUT is a file or a directory (searched recursively); a file may be a
spool record, a syslog file (RFC 3164 as logd and busybox forward it, RFC
5424, or rsyslog's own format), `journalctl -o json` output, a tar archive
of any of these (compressed or not), or a text log, whose fault entries
become records through its module map (the device: the name of the
directory the log is in; the firmware unknown, "-"). Records sent in parts are joined;
a record that is cut, malformed or whose parts clash is counted and named
with its file and line, never dropped in silence or mixed into another.

Each record's chains are cut to their sites: the top three frames after the
skip list (the library's own modules and the C library's allocation and
release functions, by name once symbolized). Two keys name a group: the
exact key (kind and each site's frames as build-id+offset: stable within
one firmware, it never merges frames it cannot name) and the portable key
(kind and each site's function names, a frame without one keeping its exact
form: it links one fault across firmware versions). Groups are portable
keys; each lists its exact keys.

Symbols come by build-id: --debug-dir DIR (.build-id/xx/rest.debug), then
the servers of DEBUGINFOD_URLS (debuginfod-find, or the HTTP API when it is
missing), then --sysroot DIR by the module's name; a file whose build-id is
not the record's is refused with a warning.
"""

import argparse
import gzip
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import time
import urllib.request

from . import logparse
from .symbolize import Symbolizer

TAG = "kovamem/1 "
SITE_FRAMES = 3
# Frames that say nothing of the program: the C library's allocation and
# release functions and the C++ runtime's, skipped when symbolized.
SKIP_FUNCTIONS = {"malloc", "calloc", "realloc", "free", "reallocarray", "posix_memalign", "aligned_alloc",
                  "memalign", "valloc", "pvalloc", "strdup", "strndup", "__libc_malloc", "__libc_free",
                  "__libc_calloc", "__libc_realloc", "operator new", "operator new[]", "operator delete",
                  "operator delete[]", "KovaMemAlloc", "KovaMemFree", "KovaMemReAlloc", "KovaMemCalloc"}
SKIP_MODULES = re.compile(r"^libkovamem(-preload)?\.so")
HOST = re.compile(r"(\S+) kovamem(?:\[\d+\]:| \d+ )")
PART = re.compile(r"^part=(\d+)/(\d+) rec=(\S+) (.*)$", re.S)
FRAME = re.compile(r"^(\d+|\?)\+([0-9a-f]+)$")
FAULT_LINE = re.compile(r"^ (CRIT|ERROR): (KovaMem\w+): Ptr 0x[0-9a-f]+ (is already free|is quarantined|is inside block"
                        r"|from Pool \d+ and Block \d+ .*has a damaged guard|from Pool \d+ and Block \d+ was written after)")


class Problems:
    """What could not be read, each named: (file, line, why)."""

    def __init__(self):
        self.items = []

    def add(self, where, line, why):
        self.items.append({"file": where, "line": line, "why": why})


# ---- reading ----

def lines_of(path, data):
    """(line number, text) of a file's content, gzip undone."""
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    text = data.decode("utf-8", errors="replace")
    return enumerate(text.splitlines(), 1)


def sources(inputs, problems):
    """(name, bytes) of every file the inputs hold, tar members included."""
    for item in inputs:
        paths = []
        if os.path.isdir(item):
            for root, dirs, files in os.walk(item):
                dirs.sort()
                paths += [os.path.join(root, f) for f in sorted(files) if not f.endswith(".tmp")]
        elif os.path.isfile(item):
            paths.append(item)
        else:
            problems.add(item, 0, "no such file or directory")
        for p in paths:
            try:
                if tarfile.is_tarfile(p):
                    with tarfile.open(p) as t:
                        for m in t.getmembers():
                            if m.isfile() and not m.name.endswith(".tmp"):
                                yield "%s:%s" % (p, m.name), t.extractfile(m).read()
                    continue
                with open(p, "rb") as f:
                    yield p, f.read()
            except (OSError, tarfile.TarError, EOFError) as e:
                problems.add(p, 0, "cannot be read: %s" % e)


def parse_record(text):
    """A record's fields, or why it is malformed."""
    fields = {}
    for word in text.split(" "):
        key, eq, value = word.partition("=")
        if not eq or not key:
            return None, "a word without a value: %r" % word[:40]
        fields[key] = value
    kind = fields.get("kind")
    if not kind:
        return None, "no kind"
    if kind not in ("census", "repeat"):
        if not re.fullmatch(r"[0-9a-f]{16}", fields.get("sig", "")):
            return None, "no signature"
        for chain in ("alloc", "fault"):
            for frame in filter(None, fields.get(chain, "").split(",")):
                if not FRAME.match(frame):
                    return None, "a bad frame %r" % frame[:40]
        if "mods" not in fields:
            return None, "no module list"
    if kind == "repeat" and not fields.get("count", "").isdigit():
        return None, "a repeat without a count"
    return fields, None


def fnv(h, text):
    for b in text.encode():
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return ((h ^ 0xFF) * 1099511628211) & 0xFFFFFFFFFFFFFFFF


def signature(kind, alloc, fault):
    """The library's record signature over frames as text (docs/reports.md)."""
    h = fnv(14695981039346656037, kind)
    for chain in (alloc, fault):
        for frame in chain[:4]:
            h = fnv(h, frame)
        h = fnv(h, "")
    return "%016x" % h


def log_records(name, data):
    """A text log's fault entries as records: the chains through the log's
    module map; the device is the name of the directory the log is in, the
    firmware unknown ("-")."""
    log = logparse.parse(io.StringIO(data.decode("utf-8", errors="replace")), name)
    where = name.split(":")[-1]
    device = "log:" + (os.path.basename(os.path.dirname(where)) or "-")
    m = re.search(r"memmgr-(\d+)\.log", where)
    pid = m.group(1) if m else "0"
    out = []
    for p in log.processes:
        def frames(cid, line):
            if cid is None:
                return []
            m = p.map_at(log.chains.line[cid])
            got = []
            for a in log.chains.frames[cid]:
                mod = m.module_of(a) if m else None
                # As a record, from the first frame that is not the library's own.
                if not got and mod and SKIP_MODULES.match(os.path.basename(mod.path)):
                    continue
                got.append((mod, a - mod.base) if mod else (None, a))
            return got

        events = []
        guard = {"behind": "overrun", "in front": "underrun", "both": "overrun+underrun"}
        for d in p.damage:
            events.append((guard[d["guard"]], d["chains"].get("allocated by", d["chain"]),
                           d["chains"].get("released by"), d))
        bad = {("free", "already free"): "double-free", ("free", "quarantined"): "free-quarantined",
               ("free", "inside a block"): "free-interior", ("realloc", "already free"): "realloc-free",
               ("realloc", "quarantined"): "realloc-quarantined", ("realloc", "inside a block"): "realloc-interior"}
        for e in p.bad_releases:
            events.append((bad[(e["call"], e["kind"])], e["chains"].get("allocated by"),
                           e["chains"].get("released by" if e["call"] == "free" else "reallocated by"), e))
        for e in p.freed_written:
            events.append(("write-after-free", e["chains"].get("allocated by"), e["chains"].get("released by"), e))
        for e in p.guarded_faults:
            kind = ("guarded-use-after-free" if "released" in e["kind"] or e["kind"] == "after release" else
                    "guarded-underrun" if e["kind"].startswith("before") else "guarded-overrun")
            events.append((kind, e["chains"].get("allocated by"), e["chains"].get("faulted at"), e))
        for kind, alloc, fault, e in events:
            mods, rec = [], {"kind": kind, "prog": "-", "pid": pid, "fw": "-", "device": device, "t": "0",
                             "boot": "-", "_where": "%s:%d" % (name, e["line"])}
            texts = {}
            for which, cid in (("alloc", alloc), ("fault", fault)):
                parts, texts[which] = [], []
                for mod, off in frames(cid, e["line"]):
                    if mod is None:
                        parts.append("?+%x" % off)
                        texts[which].append("?+%x" % off)
                        continue
                    key = "%s:%s" % (mod.build_id or "-", os.path.basename(mod.path))
                    if key not in mods:
                        mods.append(key)
                    parts.append("%d+%x" % (mods.index(key), off))
                    texts[which].append("%s+%x" % (mod.build_id or os.path.basename(mod.path), off))
                if parts:
                    rec[which] = ",".join(parts)
            rec["mods"] = ";".join("%d:%s" % (i, m) for i, m in enumerate(mods))
            rec["sig"] = signature(kind, texts["alloc"], texts["fault"])
            out.append(rec)
    return out


def read_records(inputs, problems):
    """Every whole record of the inputs, each with where it was read."""
    out = []
    text_logs = 0
    for name, data in sources(inputs, problems):
        parts = {}  # (host, rec) -> {index: chunk}, n, first line
        is_log = False
        for number, line in lines_of(name, data):
            if line.startswith("{"):
                try:
                    entry = json.loads(line)
                except ValueError:
                    problems.add(name, number, "a journal line that is not JSON")
                    continue
                line = entry.get("MESSAGE") if isinstance(entry.get("MESSAGE"), str) else ""
                host = entry.get("_HOSTNAME", "")
            else:
                host = None
            if FAULT_LINE.match(line):
                is_log = True
            at = line.find(TAG)
            if at < 0:
                continue
            if host is None:
                m = HOST.search(line[:at])
                host = m.group(1) if m else ""
            body = line[at + len(TAG):].rstrip("\r\n")
            m = PART.match(body)
            if m:
                i, n, rec, chunk = int(m.group(1)), int(m.group(2)), m.group(3), m.group(4)
                got = parts.setdefault((host, rec), [{}, n, number])
                if i in got[0] or got[1] != n or not 1 <= i <= n:
                    problems.add(name, number, "part %d/%d of record %s clashes with another" % (i, n, rec))
                    got[0].clear()
                    got[1] = -1
                    continue
                got[0][i] = chunk
                if len(got[0]) == n:
                    body = "".join(got[0][k] for k in range(1, n + 1))
                    del parts[(host, rec)]
                    number = got[2]
                else:
                    continue
            fields, why = parse_record(body.strip())
            if fields is None:
                problems.add(name, number, "malformed record: %s" % why)
                continue
            fields["_where"] = "%s:%d" % (name, number)
            out.append(fields)
        for (host, rec), (got, n, number) in parts.items():
            if n > 0:
                problems.add(name, number, "record %s cut: %d of its %d parts" % (rec, len(got), n))
        if is_log:
            text_logs += 1
            out += log_records(name, data)
    return out, text_logs


# ---- symbols ----

class Module:
    """A module as a record names it: the Symbolizer's view of one."""

    def __init__(self, build_id, name):
        self.build_id = None if build_id == "-" else build_id
        self.path = name
        self.base = 0

    def key(self):
        return (self.build_id, self.path)


class FleetSymbolizer(Symbolizer):
    """Finds files by build-id: the debug directories, debuginfod, the sysroot."""

    def __init__(self, addr2line, sysroot, debug_dirs, problems):
        super().__init__(addr2line=addr2line, sysroot=sysroot, debug_dirs=debug_dirs)
        self.urls = os.environ.get("DEBUGINFOD_URLS", "").split()
        self.cache = os.path.join(os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")), "kovamem",
                                  "debuginfod")
        self.problems = problems
        self.by_name = None

    def fetched(self, build_id):
        """The debug file (else the executable) debuginfod serves for build_id, or None."""
        if not self.urls or not build_id:
            return None
        if shutil.which("debuginfod-find"):
            for what in ("debuginfo", "executable"):
                r = subprocess.run(["debuginfod-find", what, build_id], capture_output=True, text=True, timeout=120)
                if r.returncode == 0 and r.stdout.strip():
                    return r.stdout.strip().splitlines()[-1]
            return None
        os.makedirs(self.cache, exist_ok=True)
        for url in self.urls:
            for what in ("debuginfo", "executable"):
                path = os.path.join(self.cache, "%s.%s" % (build_id, what))
                if os.path.isfile(path):
                    return path
                try:
                    with urllib.request.urlopen("%s/buildid/%s/%s" % (url.rstrip("/"), build_id, what),
                                                timeout=60) as resp:
                        data = resp.read()
                except (OSError, ValueError):
                    continue
                with open(path + ".part", "wb") as f:
                    f.write(data)
                os.replace(path + ".part", path)
                return path
        return None

    def candidates(self, module):
        out = []
        if module.build_id:
            for d in self.debug_dirs:
                out.append(os.path.join(d, ".build-id", module.build_id[:2], module.build_id[2:] + ".debug"))
            got = self.fetched(module.build_id)
            if got:
                out.append(got)
        if self.sysroot:
            if self.by_name is None:
                self.by_name = {}
                for root, _, files in os.walk(self.sysroot):
                    for f in files:
                        self.by_name.setdefault(f, os.path.join(root, f))
            if module.path in self.by_name:
                out.append(self.by_name[module.path])
        return out


# ---- grouping ----

def chain(rec, which, mods):
    """A record's chain as [(module or None, offset)]."""
    out = []
    for frame in filter(None, rec.get(which, "").split(",")):
        m = FRAME.match(frame)
        index, off = m.group(1), int(m.group(2), 16)
        out.append((mods[int(index)] if index != "?" and int(index) < len(mods) else None, off))
    return out


def modules_of(rec, known):
    mods = []
    for item in filter(None, rec.get("mods", "").split(";")):
        _, build_id, name = (item.split(":", 2) + ["", ""])[:3]
        key = (build_id, name)
        if key not in known:
            known[key] = Module(build_id, name)
        mods.append(known[key])
    return mods


# The suffixes GCC and Clang give the copies they make of a function
# (constant propagation, scalar replacement, split cold parts): one function
# to a reader, and to the portable key across builds.
CLONE = re.compile(r"(\.(constprop|isra|part|cold|lto_priv|localalias|llvm)(\.\d+)?)+$")


def frame_doc(sym, module, offset):
    if module is None:
        return {"address": "0x%x" % offset, "module": None, "build_id": None, "offset": None, "function": None,
                "file": None, "line": None, "discriminator": None, "location": None}, None
    doc, problem = sym.frame(module, offset)
    if doc["function"]:
        doc["function"] = CLONE.sub("", doc["function"])
    doc.update({"address": "0x%x" % offset, "module": module.path, "build_id": module.build_id,
                "offset": "0x%x" % offset})
    return doc, problem


def site(frames):
    """The top frames after the skip list."""
    kept = [f for f in frames if not (f["module"] and SKIP_MODULES.match(f["module"]))
            and (f["function"] or "") not in SKIP_FUNCTIONS]
    return kept[:SITE_FRAMES]


def exact(f):
    return "%s+%s" % (f["build_id"] or f["module"] or "?", f["offset"] or f["address"])


def named(f):
    """An unnamed frame as a reader knows it: its module's name and offset."""
    return "%s+%s" % (f["module"] or f["build_id"] or "?", f["offset"] or f["address"])


def analyse(records, sym, baseline, problems):
    known = {}
    faults, census = [], []
    for rec in records:
        if rec["kind"] == "census":
            census.append(rec)
            mods = modules_of(rec, known) if "mods" in rec else []
            rec["_sites"] = []  # (bytes, blocks, chain) of the biggest live allocation sites
            for item in filter(None, rec.get("sites", "").split("|")):
                nbytes, blocks, frames = (item.split("/", 2) + ["", ""])[:3]
                if not (nbytes.isdigit() and blocks.isdigit()) or not all(FRAME.match(f) for f in frames.split(",")):
                    problems.add(rec["_where"], 0, "a census site that cannot be read: %r" % item[:60])
                    continue
                sites = chain({"c": frames}, "c", mods)
                rec["_sites"].append((int(nbytes), int(blocks), sites))
                for module, off in sites:
                    if module is not None:
                        sym.want(module, off)
            continue
        mods = modules_of(rec, known) if rec["kind"] != "repeat" else []
        rec["_chains"] = {w: chain(rec, w, mods) for w in ("alloc", "fault")}
        faults.append(rec)
        for w in ("alloc", "fault"):
            for module, off in rec["_chains"][w]:
                if module is not None:
                    sym.want(module, off)
    sym.run()
    warned = set()
    for b in sym.binaries.values():
        for why in b.refused + ([b.problem] if b.problem else []):
            if why not in warned:
                warned.add(why)
                problems.add(b.module.path, 0, why)

    # Each signature's sites, from its whole records; repeats count into them.
    by_sig, groups = {}, {}
    for rec in faults:
        if rec["kind"] == "repeat":
            continue
        if rec["sig"] not in by_sig:
            sites = {}
            for w in ("alloc", "fault"):
                frames = [frame_doc(sym, m, o)[0] for m, o in rec["_chains"][w]]
                sites[w] = {"frames": frames, "site": site(frames)}
            ex = "|".join([rec["kind"]] + [",".join(exact(f) for f in sites[w]["site"]) for w in ("alloc", "fault")])
            port = "|".join([rec["kind"]] + [",".join(f["function"] or exact(f) for f in sites[w]["site"])
                                             for w in ("alloc", "fault")])
            by_sig[rec["sig"]] = (port, ex, sites)
    for rec in faults:
        found = by_sig.get(rec["sig"])
        if found is None:
            problems.add(rec["_where"], 0, "a repeat count of signature %s whose records are missing" % rec["sig"])
            continue
        port, ex, sites = found
        g = groups.get(port)
        if g is None:
            g = groups[port] = {"kind": rec.get("of", rec["kind"]) if rec["kind"] == "repeat" else rec["kind"],
                                "sites": sites, "exact": set(), "events": 0, "devices": set(), "processes": set(),
                                "boots": set(), "per_fw": {}, "first": None, "last": None, "samples": [],
                                "sigs": set()}
        n = int(rec["count"]) if rec["kind"] == "repeat" else 1
        g["exact"].add(ex)
        g["sigs"].add(rec["sig"])
        g["events"] += n
        dev, fw = rec.get("device", "-"), rec.get("fw", "-")
        g["devices"].add(dev)
        g["processes"].add((dev, rec.get("boot"), rec.get("pid")))
        g["boots"].add((dev, rec.get("boot")))
        g["per_fw"][fw] = g["per_fw"].get(fw, 0) + n
        t = int(rec.get("t", "0") or 0)
        if g["first"] is None or t < g["first"][0]:
            g["first"] = (t, fw)
        if g["last"] is None or t >= g["last"][0]:
            g["last"] = (t, fw)
        if rec["kind"] != "repeat" and len(g["samples"]) < 3:
            g["samples"].append(rec["_where"])

    # Device-days: the days (UTC) on which a device sent a census, per firmware.
    days, fw_devices, fw_last = {}, {}, {}
    for rec in census + faults:
        fw, dev, t = rec.get("fw", "-"), rec.get("device", "-"), int(rec.get("t", "0") or 0)
        fw_devices.setdefault(fw, set()).add(dev)
        fw_last[fw] = max(fw_last.get(fw, 0), t)
        if rec["kind"] == "census":
            days.setdefault(fw, set()).add((dev, t // 86400))
    device_days = {fw: len(v) for fw, v in days.items()}
    total_days = sum(device_days.values())
    latest = max((fw for fw in fw_last if fw != baseline), key=lambda fw: fw_last[fw], default=None)

    out = []
    for port, g in groups.items():
        def rate(fw):
            d = device_days.get(fw) if fw else total_days
            n = g["per_fw"].get(fw, 0) if fw else g["events"]
            return round(1000.0 * n / d, 1) if d else None
        status = None
        if baseline:
            before, after = g["per_fw"].get(baseline, 0), g["per_fw"].get(latest, 0) if latest else 0
            if before == 0 and after > 0:
                status = "new"
            elif before > 0 and latest and after == 0:
                status = "gone"
            elif before > 0 and after > 0:
                per = lambda fw, n: n / max(1, len(fw_devices.get(fw, ())))
                status = "regressed" if per(latest, after) >= 2 * per(baseline, before) else "ongoing"
            else:
                status = "ongoing"
        fault_site, alloc_site = g["sites"]["fault"]["site"], g["sites"]["alloc"]["site"]
        top = (fault_site or alloc_site or [None])[0]
        out.append({
            "type": g["kind"],
            "cause": CAUSES.get(g["kind"], g["kind"]),
            "location": (top["function"] or exact(top)) if top else None,
            "portableKey": port,
            "exactKeys": sorted(g["exact"]),
            "signatures": sorted(g["sigs"]),
            "errorReportCount": g["events"],
            "distinctDevices": len(g["devices"]),
            "distinctProcesses": len(g["processes"]),
            "distinctBoots": len(g["boots"]),
            "perFirmware": [{"fw": fw, "events": n} for fw, n in sorted(g["per_fw"].items())],
            "firstSeen": g["first"][0], "firstFw": g["first"][1],
            "lastReportTime": g["last"][0], "lastFw": g["last"][1],
            "ratePer1000DeviceDays": rate(None),
            "status": status,
            "allocSite": alloc_site, "faultSite": fault_site,
            "allocChain": g["sites"]["alloc"]["frames"], "faultChain": g["sites"]["fault"]["frames"],
            "samples": g["samples"],
        })
    out.sort(key=lambda x: (-x["distinctDevices"], -x["errorReportCount"], x["portableKey"]))

    # Live bytes against uptime across the fleet's census records: per live
    # allocation site the census named (tracing on), and per program.
    points = {}
    for rec in census:
        if not rec.get("up", "").isdigit():
            continue
        up, dev, prog = int(rec["up"]), rec.get("device"), rec.get("prog", "-")
        if "live_bytes" in rec:
            points.setdefault((prog, None), [None, []])[1].append((up, int(rec["live_bytes"]), dev))
        for nbytes, _, frames in rec["_sites"]:
            where = site([frame_doc(sym, m, o)[0] for m, o in frames])
            key = (prog, "|".join(f["function"] or exact(f) for f in where))
            points.setdefault(key, [where, []])[1].append((up, nbytes, dev))
    growth = []
    for (prog, key), (where, pts) in sorted(points.items(), key=lambda kv: (kv[0][0], kv[0][1] or "")):
        n = len(pts)
        mx = sum(p[0] for p in pts) / n
        my = sum(p[1] for p in pts) / n
        sxx = sum((p[0] - mx) ** 2 for p in pts)
        slope = sum((p[0] - mx) * (p[1] - my) for p in pts) / sxx if sxx else 0.0
        growth.append({"program": prog, "location": (where[0]["function"] or named(where[0])) if where else None,
                       "site": where or [], "devices": len({p[2] for p in pts}), "censusRecords": n,
                       "bytesPerHourOfUptime": round(slope * 3600.0, 1)})
    growth.sort(key=lambda x: -x["bytesPerHourOfUptime"])
    return {"version": 1, "groups": out,
            "firmware": [{"fw": fw, "devices": len(fw_devices[fw]), "deviceDays": device_days.get(fw, 0)}
                         for fw in sorted(fw_devices)],
            "baseline": baseline, "compared": latest if baseline else None, "growth": growth}


CAUSES = {
    "overrun": "a write past the block's end, found at its release or a report",
    "underrun": "a write before the block's start, found at its release or a report",
    "overrun+underrun": "writes past both ends of the block",
    "double-free": "a block released twice",
    "free-quarantined": "a quarantined block released again",
    "free-interior": "a release of an address inside a block",
    "realloc-free": "a released block reallocated",
    "realloc-quarantined": "a quarantined block reallocated",
    "realloc-interior": "a reallocation of an address inside a block",
    "write-after-free": "a block written after its release",
    "guarded-overrun": "an access past a guarded block, caught at the instruction",
    "guarded-underrun": "an access before a guarded block, caught at the instruction",
    "guarded-use-after-free": "an access to a released guarded block, caught at the instruction",
}


# ---- output ----

def frame_text(f):
    where = f["function"] or "?"
    loc = f["location"] or named(f)
    return "%s  %s" % (where, loc)


def text(doc):
    out = []
    for p in doc["problems"]:
        out.append("warning: %s%s: %s" % (p["file"], ":%d" % p["line"] if p["line"] else "", p["why"]))
    if doc["problems"]:
        out.append("")
    fws = doc["firmware"]
    out.append("%d records (%d whole, %d in repeat counts), %d fault groups, %d devices on %d firmware versions"
               % (doc["records"], doc["wholeRecords"], doc["records"] - doc["wholeRecords"], len(doc["groups"]),
                  doc["devices"], len(fws)))
    for v in fws:
        out.append("  firmware %s: %d devices, %d device-days" % (v["fw"], v["devices"], v["deviceDays"]))
    if doc["baseline"]:
        out.append("  status of each group: firmware %s against the baseline %s" % (doc["compared"], doc["baseline"]))
    for i, g in enumerate(doc["groups"], 1):
        out.append("")
        out.append("#%d %s at %s%s" % (i, g["type"], g["location"] or "?", "  [%s]" % g["status"] if g["status"] else ""))
        out.append("  %d events on %d devices (%d processes, %d boots); per firmware: %s" % (
            g["errorReportCount"], g["distinctDevices"], g["distinctProcesses"], g["distinctBoots"],
            ", ".join("%s %d" % (x["fw"], x["events"]) for x in g["perFirmware"])))
        out.append("  first seen %s (firmware %s), last %s (firmware %s)%s" % (
            stamp(g["firstSeen"]), g["firstFw"], stamp(g["lastReportTime"]), g["lastFw"],
            ", %.1f per 1000 device-days" % g["ratePer1000DeviceDays"] if g["ratePer1000DeviceDays"] is not None else ""))
        for name, frames in (("allocated at", g["allocSite"]), ("went wrong at", g["faultSite"])):
            if frames:
                out.append("  %s:" % name)
                out += ["      %s" % frame_text(f) for f in frames]
        out.append("  e.g. %s" % g["samples"][0] if g["samples"] else "  (repeat counts only)")
    if doc["growth"]:
        out.append("")
        out.append("live bytes against uptime (census records), by program and allocation site:")
        for x in doc["growth"]:
            out.append("  %s%s: %+.1f bytes per hour of uptime over %d devices (%d census records)" % (
                x["program"], " at " + x["location"] if x["location"] else ", all live bytes",
                x["bytesPerHourOfUptime"], x["devices"], x["censusRecords"]))
    return "\n".join(out) + "\n"


def stamp(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t)) if t else "?"


def options():
    ap = argparse.ArgumentParser(prog="kovamem-analyze fleet", description=__doc__.split("\n")[0],
                                 epilog="\n".join(__doc__.split("\n")[5:]),
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("inputs", nargs="*", help="files, directories and tar archives of records")
    ap.add_argument("--baseline", metavar="FW", help="mark each group new, gone, regressed or ongoing against FW")
    ap.add_argument("--debug-dir", metavar="DIR", action="append", default=[],
                    help="find debug files under DIR by build ID (.build-id/xx/rest.debug); repeatable")
    ap.add_argument("--sysroot", metavar="DIR", help="find binaries under DIR by the records' module names")
    ap.add_argument("--addr2line", metavar="PROG", help="symbolize with this addr2line (e.g. mips-linux-gnu-addr2line)")
    ap.add_argument("--json", action="store_true", help="print one JSON document instead of text")
    ap.add_argument("--html", metavar="FILE", help="also write a self-contained HTML page")
    ap.add_argument("--schema", action="store_true", help="print the JSON document's schema and exit")
    return ap


def main(argv):
    from . import fleetpage
    from .cli import emit, parse
    args, status = parse(options(), argv, fleetpage.SCHEMA)
    if args is None:
        return status
    if not args.inputs:
        print("kovamem-analyze fleet: no input given (see --help)", file=sys.stderr)
        return 2
    problems = Problems()
    records, text_logs = read_records(args.inputs, problems)
    sym = FleetSymbolizer(args.addr2line, args.sysroot, args.debug_dir, problems)
    doc = analyse(records, sym, args.baseline, problems)
    doc["records"] = sum(int(r["count"]) if r["kind"] == "repeat" else 1 for r in records if r["kind"] != "census")
    doc["wholeRecords"] = sum(1 for r in records if r["kind"] not in ("repeat", "census"))
    doc["devices"] = len({r.get("device") for r in records})
    doc["problems"] = problems.items
    if args.html:
        try:
            with open(args.html, "w", encoding="utf-8") as f:
                f.write(fleetpage.page(doc))
        except OSError as e:
            print("kovamem-analyze fleet: %s" % e, file=sys.stderr)
            return 2
    emit(json.dumps(doc, indent=1) + "\n" if args.json else text(doc))
    return 1 if problems.items else 0
