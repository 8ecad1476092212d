"""kovamem-analyze: reads a KovaMem log and answers from it, findings first.

    kovamem-analyze [options] LOG          (LOG may be - for standard input)
    kovamem-analyze fleet [options] INPUT...   (the records of many devices: fleet --help)

For each process in the log (a log may hold several: each initialisation
starts one) it prints:
  * warnings first: whatever makes an answer incomplete or uncertain;
  * one summary line per status report (busy, peak, quarantined, C-heap
    allocations, traced blocks, and whether it is complete);
  * every guard damage, with the chain that allocated the block (written at
    the release, or from an earlier report that traced it) and the chain
    that released it;
  * invalid releases (already free, quarantined, inside a block) grouped by
    the chain that made them, and blocks written after their release with
    the chains that released them and met them;
  * leak suspects: blocks alive in two reports at the same address with the
    same chain, one entry per chain (count, bytes, address range);
  * the call sites whose live blocks grew between the two reports, ranked by
    bytes gained and by how steadily they grew;
  * the live traced blocks of one report grouped by call chain;
  * the fallbacks (C heap by size, full pools, zero-byte requests), and the
    pool table of the last report (or of --report N).

Chains are symbolized with llvm-symbolizer or addr2line (or --addr2line
PROG, e.g. mips-linux-gnu-addr2line), one run per binary, through the
module map KovaMemLogModules() wrote, the map in force when each chain was
first seen. Binaries are found at the map's paths, under --sysroot DIR, and
under --debug-dir DIR by build ID (.build-id/xx/rest.debug) or path; one
whose build ID differs from the log's is not used.

Exit status: 0 answered; 1 answered, with warnings that affect an answer;
2 bad options, or no KovaMem log to read; 3 the tool itself failed.

JSON (--json): one document; --schema prints its schema.
HTML (--html FILE): one self-contained page with every section of the text.
Folded stacks (--folded FILE, for flamegraph.pl, inferno, speedscope) and
pprof (--pprof FILE, gzipped profile.proto for `go tool pprof`): the live
bytes by chain of the call-site report (--report N, default the latest
complete traced one), or with --from/--to the growth between two reports
(chains that grew, by what they gained); of the last process, or of
--process K.
"""

import argparse
import json
import os
import sys

from . import analysis, export, logparse, render, schema
from .symbolize import Symbolizer


def fail(message):
    print("kovamem-analyze: %s" % message, file=sys.stderr)
    return 2


def positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number" % text)
    if value < 1:
        raise argparse.ArgumentTypeError("%d: numbers start at 1" % value)
    return value


def options():
    ap = argparse.ArgumentParser(prog="kovamem-analyze", description=__doc__.split("\n")[0],
                                 epilog="\n".join(__doc__.split("\n")[3:]),
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("log", nargs="?", help="the log file, /tmp/memmgr-<pid>.log, or - for standard input")
    ap.add_argument("--addr2line", metavar="PROG", help="symbolize with this addr2line (e.g. mips-linux-gnu-addr2line)")
    ap.add_argument("--sysroot", metavar="DIR", help="find the binaries of the module map under DIR")
    ap.add_argument("--debug-dir", metavar="DIR", action="append", default=[],
                    help="find binaries under DIR by build ID (.build-id/xx/rest.debug) or by path; repeatable")
    ap.add_argument("--process", type=positive, metavar="K", help="answer for process K of the log only")
    ap.add_argument("--report", type=positive, metavar="N", help="group the live blocks of report N")
    ap.add_argument("--from", dest="first", type=positive, metavar="N",
                    help="first report of the comparison (default: the first complete traced one)")
    ap.add_argument("--to", dest="last", type=positive, metavar="N",
                    help="second report of the comparison (default: the last complete traced one)")
    ap.add_argument("--top", type=positive, default=10, metavar="N", help="entries per list in the text (default 10)")
    ap.add_argument("--json", action="store_true", help="print one JSON document instead of text")
    ap.add_argument("--html", metavar="FILE", help="also write a self-contained HTML page")
    ap.add_argument("--folded", metavar="FILE", help="also write the live bytes by chain as folded stacks")
    ap.add_argument("--folded-count", action="store_true", help="--folded counts live blocks instead of bytes")
    ap.add_argument("--pprof", metavar="FILE", help="also write a gzipped pprof profile (inuse_objects, inuse_space)")
    ap.add_argument("--schema", action="store_true", help="print the JSON document's schema and exit")
    return ap


def emit(text):
    """Writes to standard output; a reader that went away (| head) is not an error."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())


def parse(ap, argv, document_schema):
    """(args, None) to go on, or (None, exit status) when argparse ended the
    run (--help, a bad option) or --schema printed document_schema."""
    try:
        args = ap.parse_args(argv)
    except SystemExit as e:
        return None, 2 if e.code else 0
    if args.schema:
        emit(json.dumps(document_schema, indent=1) + "\n")
        return None, 0
    return args, None


def main(argv):
    if argv[:1] == ["fleet"]:
        from . import fleet
        return fleet.main(argv[1:])
    args, status = parse(options(), argv, schema.SCHEMA)
    if args is None:
        return status
    if not args.log:
        return fail("no log given (see --help)")
    if args.first and args.last and args.first >= args.last:
        return fail("--from %d --to %d: the first report must come before the second" % (args.first, args.last))
    page_file = None
    if args.html:
        try:
            page_file = open(args.html, "w", encoding="utf-8")
        except OSError as e:
            return fail("cannot write the page %s: %s" % (args.html, e.strerror or e))
    exports = []
    for path, kind in ((args.folded, "folded"), (args.pprof, "pprof")):
        if path:
            try:
                exports.append((open(path, "wb"), kind))
            except OSError as e:
                return fail("cannot write %s: %s" % (path, e.strerror or e))
    wanted = {n for n in (args.first, args.last, args.report) if n}
    keep = lambda p, r: (args.process is None or p == args.process) and r in wanted
    try:
        if args.log == "-":
            log = logparse.parse(sys.stdin, "-", keep)
        else:
            with open(args.log, "r", encoding="utf-8", errors="replace") as f:
                log = logparse.parse(f, args.log, keep)
    except OSError as e:
        return fail("cannot read %s: %s" % (args.log, e.strerror or e))
    if log.recognised == 0:
        return fail("%s holds no KovaMem log entry" % args.log)
    procs = [p for p in log.processes if p.content or p.reports or p.init_seen]
    if args.process is not None and args.process not in [p.index for p in procs]:
        return fail("--process %d: the log holds %d process(es)" % (args.process, len(procs)))
    if wanted and args.process is None and len(procs) > 1:
        return fail("the log holds %d processes: name one with --process K for --report, --from or --to"
                    % len(procs))
    target = [p for p in procs if args.process in (None, p.index)]
    if target:
        have = {r.index for r in target[-1].reports}
        for flag, n in (("--report", args.report), ("--from", args.first), ("--to", args.last)):
            if n and n not in have:
                return fail("%s %d: %s holds reports 1 to %d" % (flag, n, target[-1].name, len(have)))
    try:
        sym = Symbolizer(args.addr2line, args.sysroot, args.debug_dir)
        doc = analysis.analyse(log, sym, analysis.Options(args.process, args.report, args.first, args.last))
        out = json.dumps(doc, indent=1) + "\n" if args.json else render.text(doc, args.top, args.report)
        if page_file is not None:
            with page_file:
                page_file.write(render.page(doc, args.top, args.report))
        growth = bool(args.first or args.last)
        for f, kind in exports:
            with f:
                proc = doc["processes"][-1] if doc["processes"] else None
                if proc is None:
                    continue
                if kind == "folded":
                    f.write(export.folded(proc, growth, args.folded_count).encode("utf-8"))
                else:
                    f.write(export.pprof(proc, growth))
    except Exception as e:  # a fault of this tool: say so in one line rather than give half an answer
        print("kovamem-analyze: the analysis failed (%s: %s); please report it with the log" % (type(e).__name__, e),
              file=sys.stderr)
        return 3
    emit(out)
    return 1 if doc["warnings"] else 0
