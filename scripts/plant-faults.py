#!/usr/bin/env python3
"""Plants known faults in the sources one at a time and tells which the suite catches.

    scripts/plant-faults.py BUILD_DIR [--only F01,F07] [--list] [--matrix]

BUILD_DIR is a configured build of this tree (native Release is enough).
For each fault: the one line is changed, the build remade, and ctest run
until its first failure, or through every test with --matrix, which then
names all that failed (the memcheck, package, ABI, docs and TSan-host rows
are left out: they repeat what the native rows check). A fault is "caught"
when a test fails or hangs, "MISSED" when every test passes. The source is
restored after each fault. A fault whose text no longer stands exactly once
in its file is reported "stale": mend the table. Run nothing else that
writes /tmp/memmgr-*.log meanwhile (or give this run a /tmp of its own):
the preload test judges every log that changes while it runs.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SKIP = "Valgrind|Package|Abi|Docs|Tsan"
AN = "tools/kovamem_analyze/"

# id, file, text, replacement, what the fault is
FAULTS = [
    ("F01", "src/core/alloc.cpp", "if (p->peakCount < p->busyCount) p->peakCount = p->busyCount;", "(void)0;",
     "a pool's peak not raised"),
    ("F02", "src/core/alloc.cpp", "p->reqBytes += size;", "p->reqBytes += size + 1;", "requested bytes miscounted"),
    ("F03", "src/core/layout.h", "    memPutGuard(h->data + p->blockSize);",
     "    memPutGuard(h->data + p->blockSize - 1);", "spare guard one byte early"),
    ("F04", "src/core/release.cpp", "behind = kovamem::memGuardIntact(slot + kovamem::memGuardOffset(size, s));",
     "behind = kovamem::memGuardIntact(slot + kovamem::memGuardOffset(size, s)) || size != 0;",
     "guard check skipped at release"),
    ("F05", "src/core/release.cpp", "    ++pool->freeCount;\n    const bool hold",
     "    const bool hold", "free count not raised at release"),
    ("F06", "src/diag/status.cpp", "return static_cast<uint32_t>(uint64_t{part} * 100u / whole);",
     "return part * 100u / whole;", "percentages wrap in 32 bits"),
    ("F07", "src/diag/status.cpp", '" Total Peak Data      Memory Size', '" Total Peak Data     Memory Size',
     "wrong report text"),
    ("F08", "src/diag/log.cpp", "if (at < memLoad(memLogMaxSize) - kCapMarkerReserve) {",
     "if (at <= memLoad(memLogMaxSize) - kCapMarkerReserve) {", "size cap off by one"),
    ("F09", "src/diag/notes.cpp", "bool powerOfTwo(uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }",
     "bool powerOfTwo(uint32_t n) { return n != 0; }", "fallback entries not thinned"),
    ("F10", "src/core/grow.cpp", "if (memGrowth.used + cost > budget)", "if (memGrowth.used > budget)",
     "growth budget overspent"),
    ("F11", "src/core/guarded.cpp", "if (g.base == 0 || size > g.page) return nullptr;",
     "if (g.base == 0 || size >= g.page) return nullptr;", "a page-sized block never guarded"),
    ("F12", "src/core/lookup.cpp", "a > memPoolGeom[k].end)) continue;", "a >= memPoolGeom[k].end)) continue;",
     "walk misses a pool's last block"),
    ("F13", "src/diag/tracerec.cpp", "if (srcCount != 0) --srcCount;", "(void)srcCount;",
     "trace table counts drift"),
    ("F14", "src/diag/livesince.cpp", "if (geom.serial[h->blockIndex] <= mark) return true;",
     "if (geom.serial[h->blockIndex] < mark) return true;", "live-since includes the mark's own block"),
    ("F15", "src/diag/debug.cpp", "if (block >= kovamem::memPool(", "if (block > kovamem::memPool(",
     "debug command accepts a block index one too high"),
    ("F16", "src/preload/options.cpp", "    if (v > max) return false;\n", "    (void)max;\n",
     "option numbers not bounded"),
    ("F17", "src/core/validate.cpp", "if (bits[j >> 3] & bit) return false;", "(void)bits;",
     "check misses a block listed twice"),
    ("F18", "src/diag/faults.cpp", "if (found.count > described)\n        memLogPrint(\" CRIT: KovaMemAlloc",
     "if (found.count > described + 1)\n        memLogPrint(\" CRIT: KovaMemAlloc",
     "more findings than described go unsaid"),
    ("F19", "src/core/init.cpp", "while (k < count && table[k].blockSize < memPoolSizes[c]) ++k;",
     "while (k < count && table[k].blockSize <= memPoolSizes[c]) ++k;", "size classes map one pool too far"),
    ("F20", "src/core/cleanup.cpp", "++p.freeCount;", "(void)p;", "cleanup does not count returned blocks"),
    ("F21", "src/core/locks.h", "        } else if (owner == kLockShared && t != nullptr) {\n"
     "            (void)pthread_mutex_lock(&l.mutex);",
     "        } else if (owner == kLockShared && t != nullptr) {\n", "a shared pool lock not taken"),
    ("F22", "src/diag/guardfault.cpp", "l.dec(static_cast<int64_t>(a - (s.data + s.size)), 0);",
     "l.dec(static_cast<int64_t>(a - (s.data + s.size)) + 1, 0);", "guarded fault offset off by one"),
    ("F23", "src/preload/preload.cpp", "    if (q == nullptr) errno = ENOMEM;", "", "failed realloc leaves errno"),
    ("F24", "src/diag/modules.cpp", 'snprintf(out + 2 * b, 3, "%02x", desc[b]);',
     'snprintf(out + 2 * b, 3, "%02x", desc[b] ^ 1);', "build-ids misread"),
    ("F25", "src/core/alloc.cpp", "    kovamem::memBusyUp(*p, st);\n", "", "busy count not raised"),
    ("F26", "src/core/release.cpp", "    pool->reqBytes -= hdr->reqSize;\n", "", "requested bytes kept after release"),
    ("F27", "src/diag/tracerec.cpp", "return 1 + static_cast<uint32_t>((static_cast<uint64_t>(sampleRandom()) * (2 * n - 1)) >> 32);",
     "return 1 + static_cast<uint32_t>((static_cast<uint64_t>(sampleRandom()) * (4 * n - 1)) >> 32);",
     "sampling at half the rate asked"),
    # The rows of the README's table of differences (default build).
    ("F33", "src/core/release.cpp", "if (ptr == nullptr) return KovaMemAlloc(size);", "if (ptr == nullptr) return nullptr;",
     "realloc of NULL gives NULL"),
    ("F34", "src/core/release.cpp", "        return sysRealloc(ptr, size);",
     "        return (void)&sysRealloc, nullptr;", "C-heap block not reallocated"),
    ("F35", "src/core/release.cpp", "        kovamem::memPoolGeom[f.hdr->poolIndex].serial[f.hdr->blockIndex] == serial &&",
     "        (kovamem::memPoolGeom[f.hdr->poolIndex].serial[f.hdr->blockIndex] == serial || size != 0) &&", "a block released during its move is taken as still its"),
    ("F36", "src/core/release.cpp", "    const uint32_t copy = old < size ? old : size;\n    const uint64_t serial",
     "    const uint32_t copy = old < size ? old - (old != 0) : size;\n    const uint64_t serial",
     "a move loses the last byte"),
    ("F37", "src/core/alloc.cpp", "if (__builtin_mul_overflow(count, size, &n) && !kovamem::config_classic) {",
     "if (__builtin_mul_overflow(count, size, &n) && kovamem::config_classic) {", "calloc product wraps"),
    ("F38", "src/core/init.cpp", "if (!kovamem::config_classic && memMgrDetails.initialized != 0) {",
     "if (!kovamem::config_classic && memMgrDetails.initialized == 2) {", "a second init rebuilds the pools"),
    ("F39", "src/core/init.cpp", "    if (!kovamem::config_classic) {\n        snprintf(memLogPath,",
     "    if (kovamem::config_classic) {\n        snprintf(memLogPath,", "a forked child logs to its parent's file"),
    ("F40", "src/core/release.cpp", "    kovamem::memPutGuard(hdr->data + kovamem::memGuardOffset(size, s));\n    kovamem::memShadowResize",
     "    kovamem::memPutGuard(hdr->data + kovamem::memGuardOffset(old, s));\n    kovamem::memShadowResize",
     "a resize in place leaves the guard at the old size"),
    ("F41", "src/core/layout.h", ": (blockSize + kGuardBytes + config_slot_align - 1) & ~(config_slot_align - 1);",
     ": (blockSize + kGuardBytes + 3) & ~3u;", "slots only 4-aligned"),
    ("F42", "src/core/release.cpp", "note->offset = static_cast<int32_t>(off % g.stride);",
     "note->offset = static_cast<int32_t>(off % g.stride) + 1;", "an invalid release's offset off by one"),
    ("F43", "src/core/shadow.h", "    for (; i < n; ++i) {\n        if (reinterpret_cast<const volatile uint8_t *>(data)[i] != kFreedByte) {",
     "    for (; i + 1 < n; ++i) {\n        if (reinterpret_cast<const volatile uint8_t *>(data)[i] != kFreedByte) {",
     "write-after-release check skips a block's last byte"),
    ("F44", "src/diag/log.cpp", "static_cast<uint64_t>(cap) * 3 / 4 && size < threshold;",
     "static_cast<uint64_t>(cap) && size < threshold;", "notes go on past three quarters of the cap"),
    # The walk, the code map, the log file's checks, initialisation's clean-up.
    ("F45", "src/diag/prim/stackwalk.h", "if ((first == kInsnLiV0Sigreturn || first == kInsnLiV0RtSigreturn) && hi - pc >= 8 &&",
     "if (first == kInsnLiV0Sigreturn && hi - pc >= 8 &&", "the walk goes through an rt_sigreturn trampoline"),
    ("F46", "src/diag/prim/codemap.cpp", "    if (pc >= end) return 0;", "    if (pc > end) return 0;",
     "the byte past a module's code counts as code"),
    ("F47", "src/diag/log.cpp", "!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid() ||\n",
     "!S_ISREG(st.st_mode) || st.st_uid != geteuid() ||\n",
     "a hard link at the log's path is written"),
    ("F48", "src/diag/log.cpp", "((st.st_mode & 07777) != kFileMode && fchmod(fd, kFileMode) != 0)) {",
     "((st.st_mode & 07777) != kFileMode && errno == -1)) {", "a log the host made keeps its wider mode"),
    ("F49", "src/diag/stacktrace.cpp", "if (depth < MEM_TRACE_ENTRIES) memStore(gStackDepth, depth);",
     "if (depth <= MEM_TRACE_ENTRIES) memStore(gStackDepth, depth);", "the depth can be raised back to 10"),
    ("F50", "src/diag/stats.cpp", "out->size < kStatsV1Size) return -1;", "out->size <= kStatsV1Size) return -1;",
     "a version-1 caller is refused"),
    ("F51", "src/core/init.cpp", "    releaseZeroed(table, tableBytes(count), !kovamem::config_classic);\n    memPoolData = nullptr;",
     "    memPoolData = nullptr;", "a failed initialisation keeps its pool table"),
    ("F52", "src/diag/guardscan.cpp", "const bool front = config_front_guard && h->blockIndex != 0 &&",
     "const bool front = false && h->blockIndex != 0 &&", "reports miss a busy block's underrun"),
    ("F53", "src/core/release.cpp", "intact = behind && front;", "intact = behind;", "the release ignores the front guard"),
    ("F54", "src/diag/tracerec.cpp", "ids[1] = kovamem::memDepotPut(release);", "ids[1] = kovamem::memDepotPut(rec->trace);",
     "the chain store keeps the allocation as the release"),
    ("F55", "src/core/release.cpp", 'kovamem::memLogBadRelease("KovaMemReAlloc", ptr, bad, trace);', "(void)bad;",
     "an invalid reallocation is not told"),
    ("F56", "src/diag/log.cpp", "static_cast<int64_t>(st.st_mtime) >= start - 1", "static_cast<int64_t>(st.st_mtime) >= start + 86400",
     "the host's own log is set aside as an earlier process's"),
    ("F57", "src/diag/record.cpp", "if (d == nullptr || d->whole < s.first) {", "if (d == nullptr || d->whole <= s.first) {",
     "one record of a signature too many sent whole"),
    ("F58", "src/diag/record.cpp", "        if (s.seen[i].pending != 0) sendRepeat(s, s.seen[i]);\n    if (census)",
     "        if (false) sendRepeat(s, s.seen[i]);\n    if (census)", "the repeat counts left at exit are lost"),
    ("F59", "src/diag/sinks.cpp", "    o.u(n);\n    o.c(' ');", "    o.u(n + 1);\n    o.c(' ');",
     "a TCP frame's octet count one too many"),
    ("F60", "src/diag/sinks.cpp", "if ((files < gSpoolFiles && bytes + size <= gSpoolBytes)", "if ((files <= gSpoolFiles && bytes + size <= gSpoolBytes)",
     "the spool keeps one file past its bound"),
    ("F61", AN + "fleet.py", 'doc["function"] = CLONE.sub("", doc["function"])', 'doc["function"] = doc["function"]',
     "the fleet's portable key keeps compiler clone suffixes"),
    ("F62", AN + "fleet.py", 'n = int(rec["count"]) if rec["kind"] == "repeat" else 1', 'n = 1',
     "a repeat record counts one event, not its count"),
    ("F28", AN + "symbolize.py", "b.offsets.add(address - module.base - (0 if exact else 1))",
     "b.offsets.add(address - module.base)", "return addresses symbolized as the next line"),
    ("F29", AN + "analysis.py", 'out = sorted(groups.values(), key=lambda g: (-g["count"], g["first_line"]))',
     'out = sorted(groups.values(), key=lambda g: (g["count"], g["first_line"]))', "invalid releases ranked backwards"),
    ("F30", AN + "logparse.py", 'CAP = re.compile(r"Max file size reached fs (-?\\d+)")',
     'CAP = re.compile(r"Max file size reached fs (\\d)")', "cap marker misread"),
    ("F31", AN + "export.py", 'key = ";".join(frame_name(f) for f in reversed(frames)) or "[no chain]"',
     'key = ";".join(frame_name(f) for f in frames) or "[no chain]"', "folded stacks leaf first"),
    ("F32", AN + "analysis.py", "steps = len(series) - 1", "steps = len(series)", "growth slope miscounted"),
    ("F63", "src/core/release.cpp", "kovamem::kBlockLive, kovamem::kBlockFree)) return -1;",
     "kovamem::kBlockLive, kovamem::kBlockLive)) return -1;",
     "a released block stays live by its state"),
    ("F64", "src/core/cleanup.cpp", "kovamem::memSetState(h->poolIndex, h->blockIndex, kovamem::kBlockFree);", "(void)0;",
     "a block the cleanup frees stays quarantined by its state"),
    ("F65", "src/diag/faults.cpp", "if (note.heldAlloc) memLogChain(op, a, \"allocated by\", note.alloc, 0);", "(void)0;",
     "an invalid release names no allocation of the block it met"),
    ("F66", "src/diag/record.cpp", "    if (now == s.pid) return;", "    return;",
     "a child of fork sends its records as its parent, with the parent's counts"),
    ("F67", "src/core/magazine.cpp", "    if (listed >= m + memReuse(k)) {", "    if (listed >= m) {",
     "a magazine refill ignores the reuse distance"),
    ("F68", "src/core/magazine.cpp", "                if (memMagSize[k] != 0 && pm != nullptr) emptyLocked(k, *pm);",
     "                if (memMagSize[k] != 0 && pm != nullptr) (void)0;", "an operation on all pools leaves the magazines as they are"),
    ("F69", "src/core/magazine.cpp", "    if (memMagSize[k] == 0) return false;\n    const ThreadMags *own",
     "    return false;\n    const ThreadMags *own", "a pool runs dry while other threads' magazines hold its free blocks"),
    ("F70", "src/core/magazine.cpp", "pm.sealed - pm.heldStamp[pm.heldAt] >= memReuse(k)",
     "pm.sealed - pm.heldStamp[pm.heldAt] >= memReuse(k) / 64", "a thread hands out its own sealed releases at once"),
    ("F71", "src/core/magazine.cpp", "const bool hold = cap != 0 && pm.refilled != 0;", "const bool hold = cap != 0;",
     "a thread that only releases holds the magazines it seals"),
    ("F72", "src/core/locks.h", "MEM_ALWAYS_INLINE bool memInHandler() { return !config_classic && memLoad(memLocksHeld) != 0; }",
     "MEM_ALWAYS_INLINE bool memInHandler() { return false; }",
     "a signal handler's call waits for the lock its interrupted thread holds"),
    ("F73", "src/core/grow.cpp", "memMagSize[k] = memMagSize[o] != 0 ? memMagSizeFor(p.blockSize, blocks) : 0;",
     "memMagSize[k] = 0;", "a grown pool has no magazines"),
    ("F74", "src/core/magazine.h", "if (__builtin_expect(!memGuardIntact(ptr + memGuardOffset(size, p.blockSize)) || !memFrontIntact(ptr, j), 0)) {",
     "if (!kQuick && __builtin_expect(!memGuardIntact(ptr + memGuardOffset(size, p.blockSize)) || !memFrontIntact(ptr, j), 0)) {",
     "the quick way releases a block whose guard is damaged"),
    ("F75", "src/core/layout.h", "(reinterpret_cast<uintptr_t>(data + stride - kGuardBytes) | (kMetaLine - 1)) &&\n        memGuardIntact(at))",
     "(reinterpret_cast<uintptr_t>(data + stride - kGuardBytes) | (kMetaLine - 1)))",
     "a guard in the slot's last line is never written"),
]


def run(cmd, cwd, limit):
    """The completed process, or None when it ran past limit seconds (its
    whole process group, the tests it started included, is then killed)."""
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        out, err = proc.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return None
    return subprocess.CompletedProcess(cmd, proc.returncode, out, err)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--only", default="")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--matrix", action="store_true", help="run every test for each fault and name all that fail")
    a = ap.parse_args()
    only = set(a.only.split(",")) - {""}
    build = os.path.abspath(a.build)
    caught = missed = 0
    for fid, rel, old, new, what in FAULTS:
        if only and fid not in only:
            continue
        if a.list:
            print(fid, rel, what)
            continue
        path = os.path.join(ROOT, rel)
        with open(path) as f:
            text = f.read()
        if text.count(old) != 1:
            print("%s stale     %s: %s" % (fid, rel, what), flush=True)
            continue
        t0 = time.time()
        try:
            with open(path, "w") as f:
                f.write(text.replace(old, new))
            b = run(["cmake", "--build", build, "-j%d" % os.cpu_count()], ROOT, 900)
            if b is None or b.returncode != 0:
                print("%s unbuilt   %s: %s" % (fid, rel, what), flush=True)
                continue
            t = run(["ctest", "-j%d" % os.cpu_count(), "-E", SKIP] + ([] if a.matrix else ["--stop-on-failure"]),
                    build, 1200)
            if t is None:
                verdict, by = "caught", "(a hang)"
            else:
                failed = re.findall(r"Test\s+#\d+: (\S+) \.*\s*\*\*\*(?!Skipped|Not Run)", t.stdout)
                verdict = "caught" if t.returncode != 0 else "MISSED"
                by = " ".join(failed) if a.matrix else failed[0] if failed else ""
        finally:
            with open(path, "w") as f:
                f.write(text)
        caught += verdict == "caught"
        missed += verdict == "MISSED"
        print("%s %-9s %s: %s %s [%ds]" % (fid, verdict, rel, what, by, time.time() - t0), flush=True)
    if not a.list:
        run(["cmake", "--build", build, "-j%d" % os.cpu_count()], ROOT, 900)
        print("%d caught, %d missed" % (caught, missed))


if __name__ == "__main__":
    sys.exit(main())
