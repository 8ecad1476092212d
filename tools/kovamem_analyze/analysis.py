"""The answers: one document per log, built from the parsed processes.

Every answer says what it rests on. A report that was cut, a full trace
table, a frame that could not be named or whose binary cannot be checked, a
module whose address range held another module earlier: each becomes a
warning next to the answer it touches and in the document's list of
warnings. Facts that do not change an answer (C-heap fallbacks, skipped
lines, reports left out because they were cut) are notes.

Growth is ranked by the bytes a call site gained, weighted by how steadily it
gained them: the share of the steps between the two reports (consecutive
complete traced reports) in which its count did not fall. A leak grows at
every step; a burst that happens to be high at the last report does not.
"""

import os
from collections import defaultdict

from .schema import VERSION


class Options:
    def __init__(self, process=None, report=None, first=None, last=None):
        self.process, self.report, self.first, self.last = process, report, first, last


class Builder:
    def __init__(self, log, sym, opts):
        self.log, self.sym, self.opts = log, sym, opts
        self.warnings = []
        self.notes = []
        self.used_chains = set()
        self.chain_warnings = defaultdict(list)
        self.exact_first = set()  # chains whose first entry is a faulting pc

    def warn(self, text, process=None, report=None):
        w = {"process": process, "report": report, "text": text}
        if w not in self.warnings:
            self.warnings.append(w)
        return text

    # ---- per process ----

    def answered(self):
        procs = [p for p in self.log.processes if p.content or p.reports or p.init_seen]
        if self.opts.process is not None:
            procs = [p for p in self.log.processes if p.index == self.opts.process]
        return procs

    def process(self, p):
        by_index = {r.index: r for r in p.reports}
        complete = [r for r in p.reports if r.complete and r.traced]
        doc = {"index": p.index, "name": p.name, "first_line": p.first_line, "last_line": p.last_line,
               "reports": [self.report(p, r) for r in p.reports],
               "module_maps": [{"line": m.line, "modules": [
                   {"index": mod.index, "path": mod.path, "base": "0x%x" % mod.base, "build_id": mod.build_id,
                    "segments": [{"low": "0x%x" % lo, "high": "0x%x" % hi, "flags": fl} for lo, hi, fl in mod.segments]}
                   for mod in m.modules.values()]} for m in p.maps],
               "fallbacks": {"sys_sizes": [{"size": s, "count": n} for s, n in sorted(p.sys_sizes.items())],
                             "pool_full": [{"pool": k, "size": self.pool_size(p, k), "count": n}
                                           for k, n in sorted(p.pool_full.items())],
                             "handler_refused": [{"size": s, "count": n} for s, n in sorted(p.handler_sizes.items())],
                             "handler_releases_lost": p.handler_lost,
                             "zero": p.zero, "counted": p.counted,
                             "grown": p.grown, "grow_refused": p.grow_refused},
               "trace_sampling": p.samplings,
               "cap": {"line": p.cap[0], "size": p.cap[1]} if p.cap else None}
        for r in p.reports:
            if not r.complete:
                self.notes.append("%s, report %d is incomplete: %s" % (p.name, r.index, r.cut))
        if p.cap:
            self.warn("the log reached its cap at line %d (%d bytes): every entry after that is missing, "
                      "reports included; raise it with KovaMemSetFileSize" % p.cap, p.index)
        if not p.maps and any(r.traced for r in p.reports):
            self.warn("the log has no module map (KovaMemLogModules was not called): "
                      "addresses are shown as they are", p.index)
        # Call sites of one report: the one asked for, else the latest complete traced one.
        chosen = by_index.get(self.opts.report) if self.opts.report else (complete[-1] if complete else None)
        if chosen is None and not self.opts.report:
            partial = [r for r in p.reports if r.traced]
            chosen = partial[-1] if partial else None
        doc["call_sites"] = {"report": chosen.index if chosen else None, "groups": [],
                             "sampling": chosen.sampling if chosen else 1}
        if chosen is not None:
            self.rests_on(p, chosen, "the call sites")
            doc["call_sites"]["groups"] = [self.group_doc(cid, g, True, chosen.sampling)
                                           for cid, g in self.ranked(chosen.groups)]
        doc["growth"] = self.growth(p, by_index, complete)
        doc["guard_damage"] = []
        for d in p.damage:
            # The allocating chain: written at the release, else from the
            # latest earlier report that traced the block.
            written = d["chains"].get("allocated by")
            cid = written if written is not None else d["chain"]
            released = d["chains"].get("released by")
            self.used_chains.update(c for c in (cid, released) if c is not None)
            before = [r.index for r in p.reports[:d["after_report"]] if r.traced]
            doc["guard_damage"].append({
                "address": "0x%x" % d["address"], "pool": d["pool"], "block": d["block"], "line": d["line"],
                "guard": d["guard"], "found": d["found"],
                "report_before": before[-1] if before and cid is not None and written is None else None,
                "chain": cid, "frames": cid,
                "allocation_from": None if cid is None else ("entry" if written is not None else "report"),
                "released_chain": released, "released_by": released,
                "not_sampled": d.get("not_sampled", []), "sampling": d.get("sampling")})
        doc["guard_damage_more"] = p.damage_more
        doc["invalid_releases"] = self.invalid_releases(p)
        doc["guarded_faults"] = []
        for e in p.guarded_faults:
            chains = [e["chains"].get(w) for w in ("faulted at", "allocated by", "released by")]
            self.used_chains.update(c for c in chains if c is not None)
            if chains[0] is not None:
                self.exact_first.add(chains[0])  # its first entry is the faulting instruction, not a return
            doc["guarded_faults"].append({
                "access": e["access"], "address": "0x%x" % e["address"], "kind": e["kind"],
                "distance": e["distance"], "block": "0x%x" % e["block"], "size": e["size"], "line": e["line"],
                "outcome": e["outcome"], "faulted_chain": chains[0], "faulted_at": chains[0],
                "allocated_chain": chains[1], "allocated_by": chains[1],
                "released_chain": chains[2], "released_by": chains[2]})
        doc["guarded_sampling"] = p.guarded
        doc["live_since"] = []
        for e in p.live_since:
            if not e["complete"]:
                self.warn("the blocks live since mark %d (line %d) are cut short" % (e["mark"], e["line"]), p.index)
            groups = []
            for g in e["groups"]:
                if g["chain"] is not None:
                    self.used_chains.add(g["chain"])
                groups.append({"count": g["count"], "bytes": g["bytes"], "pools": g["pools"], "size": g["size"],
                               "chain": g["chain"], "frames": g["chain"]})
            doc["live_since"].append({"line": e["line"], "mark": e["mark"], "now": e["now"], "blocks": e["blocks"],
                                      "bytes": e["bytes"], "complete": e["complete"], "groups": groups,
                                      "more": e["more"]})
        doc["write_after_release"] = {"blocks": [], "more": p.freed_more}
        for e in p.freed_written:
            alloc, rel, found = (e["chains"].get(w) for w in ("allocated by", "released by", "found by"))
            self.used_chains.update(c for c in (alloc, rel, found) if c is not None)
            doc["write_after_release"]["blocks"].append({
                "address": "0x%x" % e["address"], "pool": e["pool"], "block": e["block"], "offset": e["offset"],
                "line": e["line"], "allocated_chain": alloc, "allocated_by": alloc, "released_chain": rel,
                "released_by": rel, "found_chain": found, "found_by": found,
                "not_sampled": e.get("not_sampled", []), "not_kept": e.get("not_kept", []),
                "sampling": e.get("sampling")})
        if p.skipped:
            kinds = defaultdict(list)
            for no, what in p.skipped:
                kinds[what.split(":")[0]].append(no)
            for what, nos in kinds.items():
                self.notes.append("%s: skipped %d line(s), %s (line %s%s)" % (p.name, len(nos), what, nos[0],
                                                                             ", ..." if len(nos) > 1 else ""))
        return doc

    def invalid_releases(self, p):
        """Invalid releases and reallocations grouped by the call and its chain, most first."""
        groups = {}
        for e in p.bad_releases:
            cid = e["chains"].get("released by" if e["call"] == "free" else "reallocated by")
            g = groups.setdefault((e["call"], cid), {"call": e["call"], "count": 0,
                                                     "kinds": {"already free": 0, "quarantined": 0,
                                                               "inside a block": 0},
                                        "addresses": [], "first_line": e["line"], "chain": cid, "frames": cid,
                                        "first_released_chain": None, "first_released_by": None,
                                        "allocated_chain": None, "allocated_by": None})
            g["count"] += 1
            g["kinds"][e["kind"]] += 1
            address = "0x%x" % e["address"]
            if address not in g["addresses"] and len(g["addresses"]) < 16:
                g["addresses"].append(address)
            earlier = e["chains"].get("first released by")
            if earlier is not None and g["first_released_chain"] is None:
                g["first_released_chain"] = g["first_released_by"] = earlier
            made = e["chains"].get("allocated by")
            if made is not None and g["allocated_chain"] is None:
                g["allocated_chain"] = g["allocated_by"] = made
        out = sorted(groups.values(), key=lambda g: (-g["count"], g["first_line"]))
        for g in out:
            self.used_chains.update(c for c in (g["chain"], g["first_released_chain"], g["allocated_chain"])
                                    if c is not None)
        return out

    def pool_size(self, p, index):
        for r in p.reports:
            if index < len(r.pools):
                return r.pools[index]["size"]
        return None

    def report(self, p, r):
        return {"index": r.index, "line": r.line, "complete": r.complete, "cut": r.cut, "pools": r.pools,
                "totals": r.totals, "counters": self.counters(r.counters), "traced_blocks": r.listed,
                "traced_expected": r.stack_busy, "trace_table_full": r.table_full, "sampling": r.sampling,
                "call_sites": [self.group_doc(cid, g, False, r.sampling) for cid, g in self.ranked(r.groups)]}

    @staticmethod
    def counters(c):
        if c is None:
            return None
        return {k: c.get(k) for k in ("mem_malloc", "mem_realloc", "mem_free", "sys_malloc", "sys_realloc",
                                      "sys_free")}

    def rests_on(self, p, r, what):
        """Warns when an answer rests on a report that is cut or whose trace table was full."""
        if not r.complete:
            self.warn("%s rest on report %d, which is incomplete: %s" % (what, r.index, r.cut), p.index, r.index)
        if r.table_full:
            self.warn("%s rest on report %d, whose trace table was full (%d blocks busy, %d traced): blocks "
                      "allocated while it was full have no chain and are missing from them"
                      % (what, r.index, r.busy(), r.listed), p.index, r.index)

    @staticmethod
    def ranked(groups):
        return sorted(groups.items(), key=lambda kv: (-kv[1].bytes, -kv[1].count, kv[0]))

    def group_doc(self, cid, g, with_frames, sampling=1):
        self.used_chains.add(cid)
        out = {"count": g.count, "bytes": g.bytes, "pools": sorted(g.pools), "address_low": "0x%x" % g.low,
               "address_high": "0x%x" % g.high, "chain": cid,
               # With tracing by sampling, the listed blocks are about one in n.
               "estimate": {"count": g.count * sampling, "bytes": g.bytes * sampling} if sampling > 1 else None}
        if with_frames:
            out["frames"] = cid  # expanded once every chain is symbolized
        return out

    def growth(self, p, by_index, complete):
        o = self.opts
        a = by_index.get(o.first) if o.first else (complete[0] if complete else None)
        b = by_index.get(o.last) if o.last else (complete[-1] if complete else None)
        out = {"from_report": a.index if a else None, "to_report": b.index if b else None,
               "grown": [], "leak_suspects": []}
        if a is None or b is None or a is b:
            if len(complete) < 2 and not (o.first or o.last):
                self.notes.append("%s: fewer than two complete reports with traced blocks: no growth or leak "
                                  "suspects" % p.name)
            return out
        for r in (a, b):
            self.rests_on(p, r, "growth and leak suspects")
        between = [r for r in p.reports if a.index <= r.index <= b.index and r.complete and r.traced]
        if a not in between:
            between.insert(0, a)
        if b not in between:
            between.append(b)
        grown = []
        for cid, g in b.groups.items():
            old = a.groups.get(cid)
            count0, bytes0 = (old.count, old.bytes) if old else (0, 0)
            if g.count <= count0:
                continue
            series = [r.groups[cid].count if cid in r.groups else 0 for r in between]
            steps = len(series) - 1
            rising = sum(1 for x, y in zip(series, series[1:]) if y > x)
            falling = sum(1 for x, y in zip(series, series[1:]) if y < x)
            score = (g.bytes - bytes0) * (steps - falling) / max(steps, 1)
            grown.append((score, g.bytes - bytes0, cid, {
                "count_before": count0, "count_after": g.count, "bytes_before": bytes0, "bytes_after": g.bytes,
                "steps": steps, "steps_rising": rising, "steps_falling": falling, "chain": cid, "frames": cid}))
            self.used_chains.add(cid)
        grown.sort(key=lambda x: (-x[0], -x[1], x[2]))
        out["grown"] = [x[3] for x in grown]
        suspects = {}
        for address, (cid, size, pool, _) in b.blocks.items():
            old = a.blocks.get(address)
            if old is None or old[0] != cid:
                continue
            s = suspects.setdefault(cid, {"count": 0, "bytes": 0, "pools": set(), "addresses": []})
            s["count"] += 1
            s["bytes"] += size
            s["pools"].add(pool)
            s["addresses"].append(address)
        for cid, s in sorted(suspects.items(), key=lambda kv: (-kv[1]["bytes"], -kv[1]["count"], kv[0])):
            self.used_chains.add(cid)
            addrs = sorted(s["addresses"])
            out["leak_suspects"].append({"count": s["count"], "bytes": s["bytes"], "pools": sorted(s["pools"]),
                                         "address_low": "0x%x" % addrs[0], "address_high": "0x%x" % addrs[-1],
                                         "addresses": ["0x%x" % x for x in addrs], "chain": cid, "frames": cid})
        return out

    # ---- chains ----

    def symbolize(self, procs):
        """Asks the symbolizer once per binary for every frame of every chain used."""
        chains = self.log.chains
        by_index = {p.index: p for p in self.log.processes}
        located = {}
        for cid in sorted(self.used_chains):
            p = by_index[chains.process[cid]]
            m = p.maps[chains.map[cid]] if chains.map[cid] is not None else None
            mods = []
            for i, address in enumerate(chains.frames[cid]):
                mod = m.module_of(address) if m else None
                mods.append(mod)
                if mod is not None:
                    self.sym.want(mod, address, exact=(i == 0 and cid in self.exact_first))
                    self.check_reuse(p, m, mod, address, cid)
            located[cid] = (m, mods)
        self.sym.run()
        docs = {}
        for cid, (m, mods) in located.items():
            frames, problems = [], []
            for i, (address, mod) in enumerate(zip(chains.frames[cid], mods)):
                f, problem = self.sym.frame(mod, address, exact=(i == 0 and cid in self.exact_first))
                frames.append(f)
                if problem:
                    problems.append(problem)
            # The library's own frames before the caller's are folded away.
            while len(frames) > 1 and frames[0]["module"] and \
                    os.path.basename(frames[0]["module"]).startswith("libkovamem"):
                frames.pop(0)
            warnings = self.chain_warnings[cid]
            for problem in dict.fromkeys(problems):
                if problem not in warnings:
                    warnings.append(problem)
            for w in warnings:
                self.warn(w, chains.process[cid])
            docs[cid] = {"id": cid, "process": chains.process[cid], "map_line": m.line if m else None,
                         "frames": frames, "warnings": warnings}
        return docs

    def check_reuse(self, p, m, mod, address, cid):
        """A chain first seen under map m may be older than m: it was captured
        after the last complete report that would have listed its block, and
        before it was first seen. When a map in force in that window had
        another module at the same address, its name is uncertain."""
        first_seen = self.log.chains.line[cid]
        since = 0
        for r in p.reports:
            if r.end_line is not None and r.end_line < first_seen and r.complete and r.traced \
                    and not r.table_full:
                since = r.end_line
        start = p.map_at(since)
        for earlier in p.maps[start.index if start else 0:m.index]:
            other = earlier.module_of(address)
            if other is not None and (other.path, other.build_id) != (mod.path, mod.build_id):
                w = ("0x%x was in %s in the module map of line %d, and is in %s in the map of line %d used here: "
                     "a block allocated before that map may be named after the wrong module"
                     % (address, other.path, earlier.line, mod.path, m.line))
                if w not in self.chain_warnings[cid]:
                    self.chain_warnings[cid].append(w)
                return

    # ---- the document ----

    def build(self):
        procs = self.answered()
        pdocs = [self.process(p) for p in procs]
        if len(self.log.processes) > 1 and self.opts.process is None:
            self.notes.insert(0, "the log holds %d processes; each is answered on its own"
                              % len([p for p in self.log.processes if p.content or p.reports or p.init_seen]))
        chains = self.symbolize(procs)
        for d in pdocs:
            for g in d["call_sites"]["groups"]:
                g["frames"] = chains[g["frames"]]["frames"]
            for g in d["growth"]["grown"] + d["growth"]["leak_suspects"]:
                g["frames"] = chains[g["frames"]]["frames"]
            expand = lambda cid: chains[cid]["frames"] if cid is not None else None
            for g in d["guard_damage"]:
                g["frames"], g["released_by"] = expand(g["frames"]), expand(g["released_by"])
            for g in d["invalid_releases"]:
                g["frames"], g["first_released_by"] = expand(g["frames"]), expand(g["first_released_by"])
                g["allocated_by"] = expand(g["allocated_by"])
            for g in d["guarded_faults"]:
                for k in ("faulted_at", "allocated_by", "released_by"):
                    g[k] = expand(g[k])
            for e in d["live_since"]:
                for g in e["groups"]:
                    g["frames"] = expand(g["frames"])
            for g in d["write_after_release"]["blocks"]:
                for k in ("allocated_by", "released_by", "found_by"):
                    g[k] = expand(g[k])
        last = pdocs[-1] if pdocs else None
        empty_growth = {"from_report": None, "to_report": None, "grown": [], "leak_suspects": []}
        return {"version": VERSION, "log": self.log.name, "warnings": self.warnings, "notes": self.notes,
                "processes": pdocs, "chains": [chains[c] for c in sorted(chains)],
                "reports": last["reports"] if last else [],
                "call_sites": last["call_sites"] if last else {"report": None, "groups": []},
                "growth": last["growth"] if last else empty_growth,
                "guard_damage": last["guard_damage"] if last else [],
                "guarded_faults": last["guarded_faults"] if last else []}


def analyse(log, sym, opts):
    return Builder(log, sym, opts).build()
