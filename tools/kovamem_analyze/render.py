"""Text and HTML from the document: findings first, tables last.

Both renderings are built from one list of sections, so the page holds every
section the text holds; the page (page.py) adds the summary table, the
timelines, the icicle graphs and the findings as tables.
"""

import os

from . import page as pagemod


class Section:
    def __init__(self, ident, title):
        self.ident, self.title, self.lines = ident, title, []

    def add(self, line=""):
        self.lines.append(line)


def fmt_frames(frames, indent="      "):
    out = []
    for i, f in enumerate(frames):
        where = f["function"] or "?"
        loc = f["location"] or (os.path.basename(f["module"]) if f["module"] else "")
        out.append("%s#%d %s %s%s" % (indent, i, f["address"], where, ("  " + loc) if loc else ""))
    return out


def pool_name(size):
    return "%d B" % size if size is not None else "?"


def pools_text(report, indexes):
    sizes = {p["index"]: p["size"] for p in report["pools"]} if report else {}
    return ", ".join("%s (%s)" % (i, pool_name(sizes[i])) if i in sizes else str(i) for i in indexes)


def more(sec, shown, total, what):
    if total > shown:
        sec.add("  ... and %d more %s (--top)" % (total - shown, what))


def summary_line(r, fallbacks_before):
    t = r["totals"]
    c = r["counters"] or {}
    parts = ["report %d (line %d):" % (r["index"], r["line"])]
    if t:
        parts.append("%d busy, peak %d, %d quarantined," % (t["used"], t["peak"], t["quarantined"]))
    parts.append("%s C-heap allocations," % (c.get("sys_malloc") if c.get("sys_malloc") is not None else "?"))
    parts.append("%d traced" % r["traced_blocks"])
    if r["trace_table_full"]:
        parts.append("(trace table full)")
    if not r["complete"]:
        parts.append("[incomplete: %s]" % r["cut"])
    return " ".join(parts)


def sections(doc, top=10, report_index=None):
    out = []
    warn = Section("warnings", "Warnings")
    for w in doc["warnings"]:
        where = []
        if w["process"] is not None and len(doc["processes"]) > 1:
            where.append("process %d" % w["process"])
        if w["report"] is not None:
            where.append("report %d" % w["report"])
        warn.add("  ! %s%s" % ("[%s] " % ", ".join(where) if where else "", w["text"]))
    if warn.lines:
        out.append(warn)
    chains = {c["id"]: c for c in doc["chains"]}
    many = len(doc["processes"]) > 1
    for p in doc["processes"]:
        tag = ("process %d: " % p["index"]) if many else ""
        ident = ("p%d-" % p["index"]) if many else ""
        reports = {r["index"]: r for r in p["reports"]}
        last = p["reports"][-1] if p["reports"] else None
        if p["guarded_faults"]:
            # The bad accesses themselves come first: each names its code.
            sec = Section(ident + "guarded", tag + "Guarded faults: the access itself")
            for f in p["guarded_faults"]:
                where = {"past the end": "%s byte(s) past the end of" % f["distance"],
                         "past the end, released": "%s byte(s) past the end of released" % f["distance"],
                         "after release": "inside released", "before, released": "%s byte(s) before released"
                         % f["distance"], "before": "%s byte(s) before" % f["distance"], "outside any block": "in the guarded area, outside any"}[f["kind"]]
                sec.add("  %s at %s, %s block %s%s, line %d%s" % (
                    f["access"], f["address"], where, f["block"],
                    " (size %d)" % f["size"] if f["size"] is not None else "", f["line"],
                    {"recovered": ": the run went on", "signal": ": the process got the signal"}.get(f["outcome"], "")))
                for label, key, cid in (("faulted at", "faulted_at", "faulted_chain"),
                                        ("allocated by", "allocated_by", "allocated_chain"),
                                        ("released by", "released_by", "released_chain")):
                    if f[key]:
                        sec.add("    %s:" % label)
                        chain_lines(sec, chains, f[cid], f[key])
            out.append(sec)
        head = Section(ident + "summary", tag + "Reports" + (" of " + p["name"] if many else ""))
        for r in p["reports"]:
            head.add("  " + summary_line(r, None))
        if not p["reports"]:
            head.add("  no status report")
        out.append(head)
        if p["guard_damage"]:
            sec = Section(ident + "damage", tag + "Guard damage")
            for d in p["guard_damage"]:
                sec.add("  %s, pool %d (%s) block %d, %s, %s, line %d%s" % (
                    d["address"], d["pool"], pool_name(size_of(last, d["pool"])), d["block"],
                    {"behind": "overrun", "in front": "underrun", "both": "overrun and underrun"}[d["guard"]],
                    "found at its release" if d["found"] == "release" else "found busy at a report", d["line"],
                    "" if d["frames"] else
                    ": its allocation was not sampled (tracing 1 in %d)" % d["sampling"]
                    if "allocated by" in d["not_sampled"] else ": its allocation was not traced"))
                if d["frames"]:
                    sec.add("    allocated by%s:" % ("" if d["allocation_from"] == "entry"
                                                     else " (traced by report %d)" % d["report_before"]))
                    chain_lines(sec, chains, d["chain"], d["frames"])
                if d["released_by"]:
                    sec.add("    released by:")
                    chain_lines(sec, chains, d["released_chain"], d["released_by"])
            if p["guard_damage_more"]:
                sec.add("  and %d more busy block(s) found damaged at reports" % p["guard_damage_more"])
            out.append(sec)
        if p["invalid_releases"]:
            sec = Section(ident + "invalid", tag + "Invalid releases and reallocations, by the chain that made them")
            for g in p["invalid_releases"][:top]:
                kinds = ", ".join("%s x%d" % (k, n) for k, n in g["kinds"].items() if n)
                sec.add("  %d %s of %s: %s" % (g["count"], "release(s)" if g["call"] == "free" else "reallocation(s)",
                                               ", ".join(g["addresses"]), kinds))
                if g["frames"]:
                    chain_lines(sec, chains, g["chain"], g["frames"])
                if g["first_released_by"]:
                    sec.add("    %s was released first by:" % g["addresses"][0])
                    chain_lines(sec, chains, g["first_released_chain"], g["first_released_by"])
                if g["allocated_by"]:
                    sec.add("    the block of %s was allocated by:" % g["addresses"][0])
                    chain_lines(sec, chains, g["allocated_chain"], g["allocated_by"])
            more(sec, top, len(p["invalid_releases"]), "chains")
            out.append(sec)
        for e in p["live_since"]:
            sec = Section(ident + "live-since-%d" % e["line"], tag + "Live since mark %d (line %d): %d block(s), %d bytes"
                          % (e["mark"], e["line"], e["blocks"], e["bytes"]))
            for g in e["groups"][:top]:
                if g["frames"] is not None:
                    sec.add("  %d block(s), %d bytes, pool(s) %s" % (g["count"], g["bytes"],
                                                                   pools_text(last, g["pools"])))
                    chain_lines(sec, chains, g["chain"], g["frames"])
                else:
                    sec.add("  %d block(s), %d bytes, pool %s, %d bytes each, not traced"
                            % (g["count"], g["bytes"], pools_text(last, g["pools"]), g["size"]))
            more(sec, top, len(e["groups"]), "groups")
            if e["more"]:
                sec.add("  and %d more group(s): %d block(s), %d bytes" % (e["more"]["groups"], e["more"]["blocks"],
                                                                          e["more"]["bytes"]))
            out.append(sec)
        war = p["write_after_release"]
        if war["blocks"] or war["more"]:
            sec = Section(ident + "freed-written", tag + "Blocks written after their release")
            for b in war["blocks"][:top]:
                sec.add("  %s, pool %d (%s) block %d, first changed byte at offset %d, line %d" % (
                    b["address"], b["pool"], pool_name(size_of(last, b["pool"])), b["block"], b["offset"], b["line"]))
                if b["allocated_by"]:
                    sec.add("    allocated by:")
                    chain_lines(sec, chains, b["allocated_chain"], b["allocated_by"])
                for which in b["not_kept"]:
                    sec.add("    %s: not kept, the chain store was full" % which)
                if b["released_by"]:
                    sec.add("    released by:")
                    chain_lines(sec, chains, b["released_chain"], b["released_by"])
                elif "released by" in b["not_sampled"]:
                    sec.add("    released by: not sampled (tracing 1 in %d)" % b["sampling"])
                if b["found_by"]:
                    sec.add("    found by the allocation:")
                    chain_lines(sec, chains, b["found_chain"], b["found_by"])
            more(sec, top, len(war["blocks"]), "blocks")
            if war["more"]:
                sec.add("  and %d more block(s) found written, not described" % war["more"])
            out.append(sec)
        gr = p["growth"]
        if gr["from_report"] and gr["to_report"] and gr["from_report"] != gr["to_report"]:
            sec = Section(ident + "leaks", tag + "Leak suspects: alive in report %d and report %d, same address "
                          "and chain" % (gr["from_report"], gr["to_report"]))
            if not gr["leak_suspects"]:
                sec.add("  none")
            for s in gr["leak_suspects"][:top]:
                group_lines(sec, chains, s, reports.get(gr["to_report"]))
            more(sec, top, len(gr["leak_suspects"]), "call sites")
            out.append(sec)
            sec = Section(ident + "growth", tag + "Growth from report %d to report %d, by bytes gained and "
                          "steadiness" % (gr["from_report"], gr["to_report"]))
            if not gr["grown"]:
                sec.add("  no call site grew in count")
            for g in gr["grown"][:top]:
                sec.add("  +%d bytes: %d -> %d block(s), %d -> %d bytes; rose in %d, fell in %d of %d step(s)" % (
                    g["bytes_after"] - g["bytes_before"], g["count_before"], g["count_after"], g["bytes_before"],
                    g["bytes_after"], g["steps_rising"], g["steps_falling"], g["steps"]))
                sec.lines.extend(fmt_frames(g["frames"]))
                chain_warnings(sec, chains, g["chain"])
            more(sec, top, len(gr["grown"]), "call sites")
            out.append(sec)
        cs = p["call_sites"]
        if report_index is not None and report_index in reports:
            r = reports[report_index]
            groups = [dict(g, frames=chains[g["chain"]]["frames"]) for g in r["call_sites"]]
            cs = {"report": report_index, "groups": groups, "sampling": r["sampling"]}
        if cs["report"]:
            sec = Section(ident + "call-sites", tag + "Live traced blocks by call site (report %d)" % cs["report"])
            if cs["sampling"] > 1:
                sec.add("  (tracing 1 in %d: the blocks listed are about one in %d; \"about\" figures are estimates)"
                        % (cs["sampling"], cs["sampling"]))
            for g in cs["groups"][:top]:
                group_lines(sec, chains, g, reports.get(cs["report"]))
            more(sec, top, len(cs["groups"]), "call sites")
            out.append(sec)
        fb = p["fallbacks"]
        if (fb["sys_sizes"] or fb["pool_full"] or fb["zero"] or fb["grown"] or fb["grow_refused"] or
                fb["handler_refused"] or fb["handler_releases_lost"]):
            sec = Section(ident + "fallbacks", tag + "Fallbacks")
            times = (lambda n: "x%d..%d" % (n, 2 * n - 1) if n > 1 else "x1") if fb["counted"] else (lambda n: "x%d" % n)
            if fb["sys_sizes"]:
                sizes = sorted(fb["sys_sizes"], key=lambda x: -x["count"])
                sec.add("  C heap, by size, most first: " + ", ".join(
                    "%s %s" % ("%d bytes" % x["size"] if x["size"] >= 0 else "other sizes", times(x["count"]))
                    for x in sizes[:top]) + (", and %d more sizes (--top)" % (len(sizes) - top) if len(sizes) > top
                                             else ""))
            if fb["pool_full"]:
                sec.add("  full pools (the request went on to a larger pool): " + ", ".join(
                    "pool %d (%s) %s" % (x["pool"], pool_name(x["size"]), times(x["count"])) for x in fb["pool_full"]))
            if fb["grown"]:
                by = {}
                for g in fb["grown"]:
                    by.setdefault((g["pool"], g["size"]), []).append(g)
                final = fb["grown"][-1]
                sec.add("  grown pools (%d, %d of %d growth bytes): " % (len(fb["grown"]), final["bytes"], final["budget"]) +
                        ", ".join("pool %d (%s) +%d (%d blocks)" % (k[0], pool_name(k[1]), len(v), sum(g["blocks"] for g in v))
                                  for k, v in sorted(by.items())))
            if fb["handler_refused"]:
                sec.add("  NULL to signal handlers that interrupted their thread inside the library (no pool free "
                        "without waiting): " + ", ".join(
                            "%s %s" % ("%d bytes" % x["size"] if x["size"] >= 0 else "other sizes", times(x["count"]))
                            for x in fb["handler_refused"]))
            if fb["handler_releases_lost"]:
                sec.add("  releases from signal handlers that found no place to wait, their blocks left busy: %s"
                        % times(fb["handler_releases_lost"]))
            for r in fb["grow_refused"]:
                sec.add("  pool %d (%s) cannot grow: %s (line %d)" % (r["pool"], pool_name(r["size"]), r["why"], r["line"]))
            if fb["counted"]:
                sec.add("  (the library notes a fallback at its 1st, 2nd, 4th ... occurrence: counts are ranges)")
            if fb["zero"]:
                sec.add("  zero-byte requests: %d" % fb["zero"])
            out.append(sec)
        shown = reports.get(report_index) if report_index in reports else last
        if shown and shown["pools"]:
            sec = Section(ident + "pools", tag + "Pools (report %d)" % shown["index"])
            sec.add("  %8s %7s %7s %7s %7s %11s" % ("size", "blocks", "used", "peak", "quar.", "free bytes"))
            for x in shown["pools"]:
                sec.add("  %8d %7d %7d %7d %7d %11d" % (x["size"], x["blocks"], x["used"], x["peak"],
                                                       x["quarantined"], x["free_bytes"]))
            t = shown["totals"]
            if t:
                sec.add("  %8s %7d %7d %7d %7d %11d" % ("all", t["blocks"], t["used"], t["peak"], t["quarantined"],
                                                       t["free_bytes"]))
            c = shown["counters"]
            if c:
                sec.add("  pool allocations %s, reallocations %s, releases %s; C heap: %s allocations, %s releases"
                        % (c["mem_malloc"], c["mem_realloc"], c["mem_free"], c["sys_malloc"], c["sys_free"]))
            out.append(sec)
    if doc["notes"]:
        sec = Section("notes", "Notes")
        sec.lines.extend("  - " + n for n in doc["notes"])
        out.append(sec)
    return out


def size_of(report, pool):
    if report:
        for p in report["pools"]:
            if p["index"] == pool:
                return p["size"]
    return None


def group_lines(sec, chains, g, report):
    """Blocks of one chain: count, bytes, address range and pools, then the chain."""
    est = g.get("estimate")
    sec.add("  %d block(s), %d bytes%s, %s..%s, pool(s) %s" % (
        g["count"], g["bytes"], " (about %d blocks, %d bytes)" % (est["count"], est["bytes"]) if est else "",
        g["address_low"], g["address_high"], pools_text(report, g["pools"])))
    chain_lines(sec, chains, g["chain"], g["frames"])


def chain_lines(sec, chains, cid, frames):
    sec.lines.extend(fmt_frames(frames))
    chain_warnings(sec, chains, cid)


def chain_warnings(sec, chains, cid):
    if cid is not None:
        for w in chains[cid]["warnings"]:
            sec.add("      ! " + w)


def text(doc, top=10, report_index=None):
    out = []
    for s in sections(doc, top, report_index):
        out.append(s.title)
        out.extend(s.lines)
        out.append("")
    return "\n".join(out)


def page(doc, top=10, report_index=None):
    return pagemod.page(doc, sections(doc, top, report_index))
