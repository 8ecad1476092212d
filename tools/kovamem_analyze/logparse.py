"""Reading a KovaMem log, line by line, into processes, reports and events.

The log is streamed: nothing is kept of a line once it has been read, and
what is kept grows with the number of live traced blocks and distinct call
chains, not with the length of the log. Per report the traced blocks are
kept grouped by chain (count, bytes, pools, address range); the blocks
themselves are kept only for the reports an answer compares (the first and
the latest complete traced report of each process, and any asked for).

A log may hold more than one process: a file reused after a PID came round
again, or logs concatenated by hand. Each initialisation ("Number of pools",
or " EXIT: KovaMemInit: Success" without it) starts a new process; reports
are numbered within their process and only compared within it.

Every KovaMemLogModules call is kept as a module map with the line it starts
on, so that each call chain is symbolized with the map in force when it was
first seen, not with the last one in the log.
"""

import re
from collections import defaultdict

BANNER = re.compile(r"^-{22} Memory Manager (.+?) -+$")
POOL = re.compile(r"^S:\s*(\d+)\|N:\s*(\d+)\|F:\s*(\d+)\|B:\s*(\d+)\(A:\s*(-?\d+)\|T:\s*(-?\d+)\)\|"
                  r"P:\s*(\d+)\(\s*(-?\d+)\)\|C:\s*(\d+)\|FA:0x([0-9a-f]+)\|LA:0x([0-9a-f]+)$")
TOTALS = re.compile(r"^\s*(\d+)\|\s*(\d+)\|\s*(\d+)\|\s*(\d+)\(\s*(-?\d+)\|\s*(-?\d+)\)\|\s*(\d+)\(\s*(-?\d+)\)\|"
                    r"\s*(\d+)\|$")
COUNT = re.compile(r"^ (MEM|SYS) Count - Malloc:\s*(-?\d+)\|Realloc:\s*(-?\d+)\|Free:\s*(-?\d+)\|Remain:\s*(-?\d+)\|$")
INFO = re.compile(r"^INFO: P:(\d+), B:(\d+), S:(-?\d+), O:(-?\d+), DPtr:0x([0-9a-f]+), DSPtr:0x([0-9a-f]+), "
                  r"N:0x([0-9a-f]+), STPtr:0x([0-9a-f]+)$")
STACK = re.compile(r"^STACK DETAILS: A:\s*([0-9A-F]+) L:\s*(-?\d+) T:\s*([0-9A-F]+)( c: )?$")
STACK_COUNTS = re.compile(r"^ Stack Free Count : (\d+), Stack Busy Count : (\d+)$")
SAMPLING = re.compile(r"^ Trace Sampling : 1/(\d+) \(about one live block in \d+ is listed\)$")
STARS = "*" * 64
CAP = re.compile(r"Max file size reached fs (-?\d+)")
NPOOLS = re.compile(r"^Number of pools: (\d+)$")
MODULE = re.compile(r"^ INFO: KovaMemLogModules: module (\d+) base 0x([0-9a-f]+) build-id (\S+) path (.*)$")
SEGMENT = re.compile(r"^ INFO: KovaMemLogModules: module (\d+) segment 0x([0-9a-f]+)-0x([0-9a-f]+) (\S+)$")
COUNT_SUFFIX = r"(?: \(count (\d+)(, sizes past the first 64 counted together)?\))?$"
ENTRIES = [  # (name, pattern) of the single-line entries an answer uses
    ("crit", re.compile(r"^ CRIT: KovaMemFreeNode: Ptr 0x([0-9a-f]+) from Pool (\d+) and Block (\d+) "
                        r"might be corrupted$")),
    ("sys_alloc", re.compile(r"^ EXIT: ERROR: KovaMemAlloc: (?:Mem Full and going for )?System alloc with "
                             r"size (-?\d+)" + COUNT_SUFFIX)),
    ("pool_full", re.compile(r"^ REQ: KovaMemAlloc: (\d+) Pool is full and so going to next Pool" + COUNT_SUFFIX)),
    # Calls from signal handlers that interrupted their thread inside the library.
    ("handler_refused", re.compile(r"^ EXIT: ERROR: KovaMemAlloc: Called from a signal handler inside the library, no "
                                   r"pool free to take without waiting: NULL returned with size (-?\d+)" + COUNT_SUFFIX)),
    ("handler_lost", re.compile(r"^ ERROR: (?:KovaMemFree|kovamem-preload): releases from signal handlers found no "
                                r"place to wait: their blocks stay busy \(count (\d+)\)$")),
    ("zero", re.compile(r"^ EXIT: Allocation for Zero Bytes $")),
    ("grown", re.compile(r"^ INFO: KovaMemAlloc: Pool (\d+) \(size (\d+)\) grows by Pool (\d+) of (\d+) blocks, "
                         r"(\d+) of (\d+) growth bytes$")),
    ("grow_refused", re.compile(r"^ ERROR: KovaMemAlloc: Pool (\d+) \(size (\d+)\) cannot grow: (.+)$")),
    ("init_ok", re.compile(r"^ EXIT: KovaMemInit: Success$")),
    # The default build's entries that name the culprits of a fault.
    ("chain_head", re.compile(r"^ INFO: (KovaMem\w+): Ptr 0x([0-9a-f]+) (allocated by|released by|first released by|"
                              r"reallocated by|found by|faulted at):$")),
    # Guarded sampling: the access that faulted, and what became of it.
    ("guarded_fault", re.compile(r"^ CRIT: KovaMemGuarded: (write|read|access) at 0x([0-9a-f]+) (?:"
                                 r"(\d+) bytes past the end of block 0x([0-9a-f]+) \(size (\d+)\)(, released)?|"
                                 r"inside block 0x([0-9a-f]+) released|"
                                 r"(\d+) bytes before block 0x([0-9a-f]+)(?: \(size (\d+)\))?(,? released)?|"
                                 r"(in the guarded area, outside any block))$")),
    ("guarded_outcome", re.compile(r"^ INFO: KovaMemGuarded: the fault (is let pass|goes on to the process)")),
    ("guarded_on", re.compile(r"^ INFO: KovaMemSetGuardedSampling: one allocation in (\d+) is guarded, (\d+) slots "
                              r"of (\d+) bytes at 0x([0-9a-f]+)-0x([0-9a-f]+)$")),
    ("not_sampled", re.compile(r"^ INFO: (KovaMem\w+): Ptr 0x([0-9a-f]+) (allocated by|released by|first released by): "
                               r"not sampled \(one allocation in (\d+) is traced\)$")),
    ("not_kept", re.compile(r"^ INFO: (KovaMem\w+): Ptr 0x([0-9a-f]+) (allocated by|released by|first released by): "
                            r"not kept \(the store of (\d+) chains is full\)$")),
    ("sampling", re.compile(r"^ INFO: KovaMemSetTraceSampling: one allocation in (\d+) is traced$")),
    ("guard_line", re.compile(r"^ CRIT: (\w+): Ptr 0x([0-9a-f]+) from Pool (\d+) and Block (\d+) \(size (\d+)\) has a "
                              r"damaged guard (behind it \(an overrun\)|in front of it \(an underrun\)|"
                              r"behind and in front of it)(, found at the report)?$")),
    ("guard_more", re.compile(r"^ CRIT: \w+: (\d+) more busy blocks have damaged guards, found at the report$")),
    ("bad_release", re.compile(r"^ ERROR: KovaMem(Free|ReAlloc): Ptr 0x([0-9a-f]+) is (already free|quarantined) "
                               r"\(block (\d+) of pool (\d+)\)$")),
    ("bad_inside", re.compile(r"^ ERROR: KovaMem(Free|ReAlloc): Ptr 0x([0-9a-f]+) is inside block (\d+) of pool (\d+) "
                              r"at offset (\d+)$")),
    ("freed_written", re.compile(r"^ CRIT: KovaMemAlloc: Ptr 0x([0-9a-f]+) from Pool (\d+) and Block (\d+) was "
                                 r"written after its release at offset (\d+)$")),
    ("live_head", re.compile(r"^ INFO: KovaMemPrintLiveSince: since mark (\d+) \(serial now (\d+)\): (\d+) blocks, "
                             r"(\d+) bytes in (\d+) groups$")),
    ("live_traced", re.compile(r"^ INFO: KovaMemPrintLiveSince: (\d+) blocks, (\d+) bytes, pools ([\d,]+), traced:$")),
    ("live_pool", re.compile(r"^ INFO: KovaMemPrintLiveSince: (\d+) blocks, (\d+) bytes, pool (\d+) \(\d+ B\), "
                             r"size (\d+), not traced$")),
    ("live_more", re.compile(r"^ INFO: KovaMemPrintLiveSince: (\d+) more groups.*: (\d+) blocks, (\d+) bytes$")),
    ("live_end", re.compile(r"^ INFO: KovaMemPrintLiveSince: end$")),
    ("freed_more", re.compile(r"^ CRIT: KovaMemAlloc: (\d+) more blocks were written after their release and "
                              r"are quarantined$")),
]
# Entries of the library that carry nothing for the answers.
KNOWN = [re.compile(p) for p in (
    r"^ EXIT: (CRIT: )?KovaMemInit: .*$", r"^ EXIT: ERROR: .*$", r"^ EXIT: CRIT: .*$", r"^ ERROR: .*$",
    r"^ REQ: memMoveStackDataDLink: .*$", r"^ (INFO|EXIT): KovaMemCleanMemBlocks: .*$",
    r"^ Total .*$", r"^ Number of Memory Pools .*$", r"^ (S|A|FA): .*$", r"^ Debug Memory Usage .*$",
    r"^ Memory Manager Debug Mode is set as \d+$", r"^ DataPtr:0x[0-9a-f]+ .*$",
    r"^ (Wrong|Got) .*$", r"^ INFO: KovaMemLogModules: .*$", r"^ INFO: kovamem-preload: .*$", r"^-{79}$",
    r"^ INFO: KovaMemSetGuardedSampling: .*$", r"^ Guarded Sampling : .*$")]


class Module:
    __slots__ = ("index", "path", "base", "build_id", "segments")

    def __init__(self, index, path, base, build_id):
        self.index, self.path, self.base, self.build_id = index, path, base, build_id
        self.segments = []  # (low, high, permissions)

    def key(self):
        return (self.path, self.build_id, self.base)

    def holds(self, address):
        return any(lo <= address < hi for lo, hi, _ in self.segments)


class ModuleMap:
    """The modules of one KovaMemLogModules call."""

    def __init__(self, index, line):
        self.index, self.line = index, line
        self.modules = {}

    def module_of(self, address):
        for mod in self.modules.values():
            if mod.holds(address):
                return mod
        return None


class Group:
    """Live traced blocks of one report with one call chain."""
    __slots__ = ("count", "bytes", "pools", "low", "high")

    def __init__(self):
        self.count, self.bytes, self.pools, self.low, self.high = 0, 0, set(), None, None

    def add(self, size, pool, address):
        self.count += 1
        self.bytes += size
        self.pools.add(pool)
        self.low = address if self.low is None else min(self.low, address)
        self.high = address if self.high is None else max(self.high, address)


class Report:
    def __init__(self, process, index, line):
        self.process, self.index, self.line = process, index, line
        self.pools = []
        self.totals = None
        self.counters = None
        self.summary_done = False  # "Status -> End" was read
        self.stack_seen = False  # a trace section followed the summary
        self.stack_done = False  # ... and its "Stack -> End" was read
        self.stack_free = None  # trace records free and busy, as the section's header says
        self.stack_busy = None
        self.sampling = 1  # one live block in this many is listed
        self.listed = 0  # traced blocks read
        self.groups = {}  # chain id -> Group
        self.blocks = {}  # address -> (chain id, size, pool, block); emptied unless kept
        self.kept = False
        self.cut = None  # why the report is incomplete, when it is
        self.end_line = None

    @property
    def traced(self):
        return self.stack_seen and self.listed > 0

    @property
    def complete(self):
        return self.cut is None and self.summary_done and (not self.stack_seen or self.stack_done)

    @property
    def table_full(self):
        return self.stack_seen and self.stack_free == 0

    def busy(self):
        return self.totals["used"] if self.totals else sum(p["used"] for p in self.pools)


class Process:
    def __init__(self, index, line, start):
        self.index, self.first_line, self.last_line, self.start = index, line, line, start
        self.pool_count = None
        self.init_seen = False
        self.content = False  # anything beyond the initialisation entries
        self.reports = []
        self.maps = []
        self.damage = []  # dicts: address, pool, block, line, after_report, chain (id or None)
        self.sys_sizes = defaultdict(int)  # size -> count (the running count when the entries carry one)
        self.pool_full = defaultdict(int)
        self.handler_sizes = defaultdict(int)  # size -> count of allocations refused to signal handlers
        self.handler_lost = 0  # releases from signal handlers that found no place to wait (the latest count)
        self.grown = []  # dicts: pool, size, new_pool, blocks, bytes, budget, line
        self.samplings = []  # dicts: line, rate (KovaMemSetTraceSampling)
        self.grow_refused = []  # dicts: pool, size, why, line
        self.counted = False  # the notes carry running counts, written at doubling counts
        self.damage_more = 0  # busy blocks found damaged at reports, counted and not described
        self.bad_releases = []  # dicts: address, kind, pool, block, offset, line, chains {which: chain id}
        self.freed_written = []  # dicts: address, pool, block, offset, line, chains
        self.freed_more = 0
        self.guarded_faults = []  # dicts: access, address, kind, distance, block, size, line, outcome, chains
        self.guarded = []  # dicts: line, rate, slots, page, low, high (KovaMemSetGuardedSampling)
        self.live_since = []  # dicts: line, mark, now, blocks, bytes, groups_total, groups, more, complete
        self.open_events = {}  # address -> the latest event a chain entry of that address belongs to
        self.zero = 0
        self.zero_chains = defaultdict(int)  # chain id -> count
        self.cap = None  # (line, size)
        self.skipped = []  # (line, what)
        self.last_seen = {}  # address -> chain id, from the latest report that traced it
        self.first_traced = None  # the first and the latest complete traced report
        self.last_traced = None

    @property
    def name(self):
        return "process %d (from line %d, %s)" % (self.index, self.first_line, self.start)

    def map_at(self, line):
        found = None
        for m in self.maps:
            if m.line <= line:
                found = m
        return found


class Chains:
    """Every distinct call chain, by id; a chain belongs to one process and
    is symbolized with the module map in force where it was first seen."""

    def __init__(self):
        self.ids = {}
        self.frames = []  # id -> tuple of addresses
        self.process = []  # id -> process index
        self.map = []  # id -> module map index or None
        self.line = []  # id -> line where first seen

    def intern(self, process, frames, line):
        key = (process.index, frames)
        cid = self.ids.get(key)
        if cid is None:
            cid = len(self.frames)
            self.ids[key] = cid
            self.frames.append(frames)
            self.process.append(process.index)
            m = process.map_at(line)
            self.map.append(m.index if m else None)
            self.line.append(line)
        return cid


class Log:
    def __init__(self, name):
        self.name = name
        self.processes = []
        self.chains = Chains()
        self.lines = 0
        self.recognised = 0  # lines that are KovaMem entries


class Parser:
    """Feeds lines; `keep(process, report)` says which reports keep their blocks."""

    def __init__(self, name, keep=lambda p, r: False):
        self.log = Log(name)
        self.keep = keep
        self.proc = None
        self.report = None
        self.in_stack = False
        self.pending = None  # what the next STACK DETAILS entry belongs to: ("info", dict) or ("zero", None)
        self.trace = None  # (kind, data, frames, line) while a STACK DETAILS entry is read
        self.new_process(1, "start of the log")

    # ---- structure ----

    def new_process(self, line, start):
        self.close_report(line, "the process ended")
        self.proc = Process(len(self.log.processes) + 1, line, start)
        self.log.processes.append(self.proc)

    def start_process(self, line, start):
        """An initialisation: a new process unless the current one has shown nothing yet."""
        p = self.proc
        if p.content or p.init_seen or p.pool_count is not None:
            self.new_process(line, start)
        else:
            p.start, p.first_line = start, line

    def close_report(self, line, why):
        r = self.report
        if r is None:
            return
        self.report = None
        self.in_stack = False
        r.end_line = line
        if not r.summary_done:
            r.cut = r.cut or "its summary ends at line %d (%s)" % (line, why)
        elif r.stack_seen and not r.stack_done:
            r.cut = r.cut or "its traced blocks end at line %d (%s)" % (line, why)
        elif r.stack_seen and r.stack_busy is not None and r.listed != r.stack_busy:
            r.cut = "it lists %d of the %d traced blocks its header counts" % (r.listed, r.stack_busy)
        p = self.proc
        if r.complete and r.traced:
            for address, (cid, _, _, _) in r.blocks.items():
                p.last_seen[address] = cid
            if p.first_traced is None:
                p.first_traced = r
                r.kept = True
            if p.last_traced is not None and p.last_traced is not p.first_traced \
                    and not self.keep(p.index, p.last_traced.index):
                p.last_traced.blocks = {}
                p.last_traced.kept = False
            p.last_traced = r
            r.kept = True
        if self.keep(p.index, r.index):
            r.kept = True
        if not r.kept:
            r.blocks = {}

    # ---- lines ----

    def feed(self, no, line):
        if "Max file size" in line:
            m = CAP.search(line)
            if m:
                if self.proc.cap is None:
                    self.proc.cap = (no, int(m.group(1)))
                self.log.recognised += 1
                line = line[:m.start()] + line[m.end():]  # an entry may follow on the marker's line
                if not line:
                    return
        self.proc.last_line = no
        if self.trace is not None:
            if line[:1] == "[":
                j = line.find("]")
                try:
                    self.trace[2].append(int(line[1:j], 16))
                    return
                except ValueError:
                    pass
            if line == STARS:
                self.finish_trace()
                self.log.recognised += 1
                return
            self.skip(no, "a trace entry cut short")
            self.finish_trace(cut=True)
        c = line[:1]
        if c == "I" and line.startswith("INFO: P:"):
            m = INFO.match(line)
            if m:
                self.pending = ("info", {"pool": int(m.group(1)), "block": int(m.group(2)),
                                         "size": int(m.group(3)), "address": int(m.group(5), 16)})
                self.log.recognised += 1
                return
        elif c == "S":
            if line.startswith("STACK DETAILS:"):
                m = STACK.match(line)
                if m:
                    kind, data = self.pending or ("other", None)
                    self.pending = None
                    self.trace = (kind, data, [], no)
                    self.log.recognised += 1
                    return
            elif line.startswith("S:"):
                m = POOL.match(line)
                if m:
                    self.pool_line(no, m)
                    return
        elif c == "-":
            m = BANNER.match(line)
            if m:
                self.banner(no, m.group(1))
                self.log.recognised += 1
                return
        elif c == "N":
            m = NPOOLS.match(line)
            if m:
                self.start_process(no, "Number of pools")
                self.proc.pool_count = int(m.group(1))
                self.log.recognised += 1
                return
        elif c == " ":
            if self.entry(no, line):
                self.log.recognised += 1
                return
        elif c == "" or line == STARS:
            return
        if any(k.match(line) for k in KNOWN):
            self.log.recognised += 1
            return
        self.skip(no, "an entry not known: %s" % line[:60])

    def skip(self, no, what):
        if len(self.proc.skipped) < 10000:
            self.proc.skipped.append((no, what))

    def pool_line(self, no, m):
        r = self.report
        self.log.recognised += 1
        if r is None or r.summary_done:
            self.skip(no, "a pool line outside a report")
            return
        v = [int(x) for x in m.groups()[:9]]
        r.pools.append({"index": len(r.pools), "size": v[0], "blocks": v[1], "free": v[2], "used": v[3],
                        "requested": v[4], "peak": v[6], "quarantined": v[8], "free_bytes": v[2] * v[0]})

    def banner(self, no, what):
        p = self.proc
        if what == "Status -> Begin":
            self.close_report(no, "a new report began")
            p.content = True
            self.report = Report(p.index, len(p.reports) + 1, no)
            p.reports.append(self.report)
        elif what in ("Not Initialized", "is Not Initialized"):
            r = self.report
            if r is not None and not r.pools:
                p.reports.remove(r)
                self.report = None
        elif what == "Status -> End":
            if self.report is not None:
                self.report.summary_done = True
        elif what == "Stack -> Begin":
            r = self.report
            if r is not None and r.summary_done and not r.stack_seen:
                r.stack_seen = True
                self.in_stack = True
            else:
                self.skip(no, "a trace section outside a report")
        elif what == "Stack -> End":
            if self.in_stack and self.report is not None:
                self.report.stack_done = True
                self.close_report(no, "")
            self.in_stack = False
        else:
            self.log.recognised -= 1
            self.skip(no, "an entry not known: %s" % what[:60])

    def entry(self, no, line):
        p = self.proc
        r = self.report
        if r is not None and not r.summary_done:
            m = TOTALS.match(line)
            if m:
                v = [int(x) for x in m.groups()]
                r.totals = {"blocks": v[1], "free": v[2], "used": v[3], "requested": v[4], "peak": v[6],
                            "quarantined": v[8], "free_bytes": sum(x["free_bytes"] for x in r.pools)}
                return True
            m = COUNT.match(line)
            if m:
                v = [int(x) for x in m.groups()[1:4]]
                if m.group(1) == "MEM":
                    r.counters = {"mem_malloc": v[0], "mem_realloc": v[1], "mem_free": v[2]}
                elif r.counters is not None:
                    r.counters.update({"sys_malloc": v[0], "sys_realloc": v[1], "sys_free": v[2]})
                return True
        if self.in_stack and r is not None:
            m = STACK_COUNTS.match(line)
            if m:
                r.stack_free, r.stack_busy = int(m.group(1)), int(m.group(2))
                return True
            m = SAMPLING.match(line)
            if m:
                r.sampling = int(m.group(1))
                return True
        if line.startswith(" INFO: KovaMemLogModules: module "):
            return self.module_line(no, line)
        if r is not None and r.summary_done and not self.in_stack:
            self.close_report(no, "")  # a report without traces ends with its summary
        for name, rx in ENTRIES:
            m = rx.match(line)
            if m:
                getattr(self, "on_" + name)(no, m)
                return True
        return False

    def module_line(self, no, line):
        p = self.proc
        m = MODULE.match(line)
        if m:
            index = int(m.group(1))
            if index == 0 or not p.maps:
                p.maps.append(ModuleMap(len(p.maps), no))
            p.content = True
            p.maps[-1].modules[index] = Module(index, m.group(4), int(m.group(2), 16),
                                               None if m.group(3) == "-" else m.group(3))
            return True
        m = SEGMENT.match(line)
        if m:
            mod = p.maps[-1].modules.get(int(m.group(1))) if p.maps else None
            if mod is None:
                self.skip(no, "a segment of a module not announced")
            else:
                mod.segments.append((int(m.group(2), 16), int(m.group(3), 16), m.group(4)))
            return True
        return False

    # ---- single-line entries ----

    def on_init_ok(self, no, m):
        p = self.proc
        if p.pool_count is None or p.init_seen:  # not the end of the initialisation that began the process
            self.start_process(no, "KovaMemInit")
        self.proc.init_seen = True

    def on_crit(self, no, m):
        p = self.proc
        p.content = True
        address = int(m.group(1), 16)
        event = {"address": address, "pool": int(m.group(2)), "block": int(m.group(3)), "line": no,
                 "after_report": len(p.reports), "chain": p.last_seen.get(address), "chains": {},
                 "guard": "behind", "found": "release"}
        p.damage.append(event)
        p.open_events[address] = event

    def on_guard_line(self, no, m):
        """A damaged guard named by its place: a busy block found by a report, or the underrun of a release."""
        p = self.proc
        p.content = True
        address = int(m.group(2), 16)
        guard = {"b": "behind", "i": "in front"}[m.group(6)[0]] if "and" not in m.group(6) else "both"
        if m.group(7):
            event = {"address": address, "pool": int(m.group(3)), "block": int(m.group(4)), "line": no,
                     "after_report": len(p.reports), "chain": p.last_seen.get(address), "chains": {},
                     "guard": guard, "found": "report", "size": int(m.group(5))}
            p.damage.append(event)
            p.open_events[address] = event
        elif address in p.open_events and "guard" in p.open_events[address]:
            p.open_events[address]["guard"] = guard

    def on_guard_more(self, no, m):
        self.proc.content = True
        self.proc.damage_more += int(m.group(1))

    def count_note(self, table, key, m):
        p = self.proc
        p.content = True
        if m.group(2):  # a running count: the latest is the largest
            p.counted = True
            key = -1 if m.group(3) else key  # -1: the sizes counted together
            table[key] = max(table[key], int(m.group(2)))
        else:
            table[key] += 1

    def on_sys_alloc(self, no, m):
        self.count_note(self.proc.sys_sizes, int(m.group(1)), m)

    def on_pool_full(self, no, m):
        self.count_note(self.proc.pool_full, int(m.group(1)), m)

    def on_handler_refused(self, no, m):
        self.count_note(self.proc.handler_sizes, int(m.group(1)), m)

    def on_handler_lost(self, no, m):
        p = self.proc
        p.content = p.counted = True
        p.handler_lost = max(p.handler_lost, int(m.group(1)))

    def on_grown(self, no, m):
        self.proc.content = True
        pool, size, new_pool, blocks, used, budget = (int(g) for g in m.groups())
        self.proc.grown.append({"pool": pool, "size": size, "new_pool": new_pool, "blocks": blocks, "bytes": used,
                                "budget": budget, "line": no})

    def on_grow_refused(self, no, m):
        self.proc.content = True
        self.proc.grow_refused.append({"pool": int(m.group(1)), "size": int(m.group(2)), "why": m.group(3),
                                       "line": no})

    def on_not_sampled(self, no, m):
        event = self.proc.open_events.get(int(m.group(2), 16))
        if event is not None:
            event.setdefault("not_sampled", []).append(m.group(3))
            event["sampling"] = int(m.group(4))

    def on_not_kept(self, no, m):
        event = self.proc.open_events.get(int(m.group(2), 16))
        if event is not None:
            event.setdefault("not_kept", []).append(m.group(3))

    def on_sampling(self, no, m):
        self.proc.content = True
        self.proc.samplings.append({"line": no, "rate": int(m.group(1))})

    def on_guarded_fault(self, no, m):
        p = self.proc
        p.content = True
        g = m.groups()
        if g[2] is not None:
            kind, distance, block, size = ("past the end, released" if g[5] else "past the end"), int(g[2]), g[3], \
                int(g[4])
        elif g[6] is not None:
            kind, distance, block, size = "after release", None, g[6], None
        elif g[7] is not None:
            kind, distance, block = ("before, released" if g[10] else "before"), int(g[7]), g[8]
            size = int(g[9]) if g[9] is not None else None
        else:
            kind, distance, block, size = "outside any block", None, None, None
        address = int(g[1], 16)
        event = {"access": g[0], "address": address, "kind": kind, "distance": distance,
                 "block": int(block, 16) if block else address, "size": size, "line": no, "outcome": None,
                 "chains": {}}
        p.guarded_faults.append(event)
        p.open_events[event["block"]] = event

    def on_guarded_outcome(self, no, m):
        if self.proc.guarded_faults:
            self.proc.guarded_faults[-1]["outcome"] = "recovered" if m.group(1) == "is let pass" else "signal"

    def on_guarded_on(self, no, m):
        self.proc.content = True
        v = m.groups()
        self.proc.guarded.append({"line": no, "rate": int(v[0]), "slots": int(v[1]), "page": int(v[2]),
                                  "low": "0x" + v[3], "high": "0x" + v[4]})

    def on_chain_head(self, no, m):
        self.pending = ("culprit", {"op": m.group(1), "address": int(m.group(2), 16), "which": m.group(3)})

    def on_bad_release(self, no, m):
        self.bad_event(no, m.group(1), m.group(2), m.group(3), int(m.group(5)), int(m.group(4)), None)

    def on_bad_inside(self, no, m):
        self.bad_event(no, m.group(1), m.group(2), "inside a block", int(m.group(4)), int(m.group(3)),
                       int(m.group(5)))

    def bad_event(self, no, op, address, kind, pool, block, offset):
        p = self.proc
        p.content = True
        event = {"call": "free" if op == "Free" else "realloc", "address": int(address, 16), "kind": kind,
                 "pool": pool, "block": block, "offset": offset, "line": no, "chains": {}}
        p.bad_releases.append(event)
        p.open_events[event["address"]] = event

    def on_freed_written(self, no, m):
        p = self.proc
        p.content = True
        event = {"address": int(m.group(1), 16), "pool": int(m.group(2)), "block": int(m.group(3)),
                 "offset": int(m.group(4)), "line": no, "chains": {}}
        p.freed_written.append(event)
        p.open_events[event["address"]] = event

    def on_live_head(self, no, m):
        p = self.proc
        p.content = True
        v = [int(x) for x in m.groups()]
        p.live_since.append({"line": no, "mark": v[0], "now": v[1], "blocks": v[2], "bytes": v[3],
                             "groups_total": v[4], "groups": [], "more": None, "complete": False})

    def live_group(self, group):
        if not self.proc.live_since or self.proc.live_since[-1]["complete"]:
            return None
        self.proc.live_since[-1]["groups"].append(group)
        return group

    def on_live_traced(self, no, m):
        g = self.live_group({"count": int(m.group(1)), "bytes": int(m.group(2)),
                             "pools": [int(x) for x in m.group(3).split(",")], "size": None, "chain": None})
        if g is not None:
            self.pending = ("live", g)

    def on_live_pool(self, no, m):
        self.live_group({"count": int(m.group(1)), "bytes": int(m.group(2)), "pools": [int(m.group(3))],
                         "size": int(m.group(4)), "chain": None})

    def on_live_more(self, no, m):
        if self.proc.live_since:
            self.proc.live_since[-1]["more"] = {"groups": int(m.group(1)), "blocks": int(m.group(2)),
                                                "bytes": int(m.group(3))}

    def on_live_end(self, no, m):
        if self.proc.live_since:
            self.proc.live_since[-1]["complete"] = True

    def on_freed_more(self, no, m):
        self.proc.content = True
        self.proc.freed_more += int(m.group(1))

    def on_zero(self, no, m):
        self.proc.content = True
        self.proc.zero += 1
        self.pending = ("zero", None)

    # ---- trace entries ----

    def finish_trace(self, cut=False):
        kind, data, frames, line = self.trace
        self.trace = None
        p = self.proc
        cid = self.log.chains.intern(p, tuple(frames), line)
        r = self.report
        if kind == "info" and r is not None and self.in_stack:
            if cut:
                r.cut = r.cut or "a trace entry at line %d is cut short" % line
            r.listed += 1
            g = r.groups.get(cid)
            if g is None:
                g = r.groups[cid] = Group()
            g.add(data["size"], data["pool"], data["address"])
            r.blocks[data["address"]] = (cid, data["size"], data["pool"], data["block"])
        elif kind == "zero":
            p.zero_chains[cid] += 1
        elif kind == "live":
            data["chain"] = cid
        elif kind == "culprit":
            event = p.open_events.get(data["address"])
            if event is not None and data["which"] not in event["chains"]:
                event["chains"][data["which"]] = cid

    def finish(self):
        no = self.log.lines
        if self.trace is not None:
            self.skip(no, "the log ends inside a trace entry")
            self.finish_trace(cut=True)
        cap = self.proc.cap
        self.close_report(no, "the log reached its cap" if cap else "the log ends")
        return self.log


def parse(stream, name, keep=lambda p, r: False):
    """Reads every line of a text stream; returns the Log."""
    parser = Parser(name, keep)
    no = 0
    for no, raw in enumerate(stream, 1):
        try:
            parser.feed(no, raw.rstrip("\r\n"))
        except (ValueError, KeyError, IndexError, TypeError) as e:  # one bad line costs that line only
            parser.skip(no, "a line that could not be read (%s: %s)" % (type(e).__name__, e))
    parser.log.lines = no
    return parser.finish()
