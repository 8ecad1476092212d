"""The HTML page: one self-contained file (no network, no external script or
font), readable with scripts disabled and improved with them.

For each process: a summary table of the reports; inline SVG timelines of
busy blocks (share of each pool) and busy bytes per pool across the
reports, with C-heap allocations and quarantines marked; an icicle graph
of live bytes by call chain for the chosen report and one for the growth
between the two compared reports; each finding as a table with its
chains; the other sections of the text as text. The page holds aggregates
only (per report and per chain), never every block, so a large log makes a
page of the same size as a small one with as many chains.
"""

import html

from . import export

E = html.escape
WIDTH = 1000        # the graphs' width in SVG units
ROW = 17            # one frame's height in the icicle graph
MIN_WIDTH = 1.0     # nodes narrower than this are left out of the graph
COLOURS = ["#4a7", "#37a", "#c63", "#a4a", "#d9a21b", "#3aa", "#c33", "#777", "#6a3", "#36c", "#a63", "#939",
           "#5b8", "#b55", "#48c", "#8a4"]

STYLE = """body{font-family:sans-serif;margin:1.5em;color:#222}
table{border-collapse:collapse;margin:.5em 0}td,th{padding:2px 8px;border-bottom:1px solid #ddd;text-align:right}
td.chain{text-align:left;font-family:monospace;font-size:85%}th{background:#f3f3f3}
pre{font-size:90%}#warnings pre{color:#a00}svg{display:block;margin:.3em 0;max-width:100%;height:auto}
figure{margin:.8em 0}
svg text{font-size:11px;font-family:sans-serif}.legend span{margin-right:1em;white-space:nowrap}
.legend i{display:inline-block;width:.8em;height:.8em;margin-right:.3em}
rect.frame{stroke:#fff;stroke-width:.5}rect.frame:hover{stroke:#000}#chain{font-family:monospace;min-height:1.2em}
"""

# Clicking a frame shows its whole chain; hovering a legend entry thickens its series.
SCRIPT = """(function(){
document.body.setAttribute('data-ready','1');
var info=document.getElementById('chain');
document.querySelectorAll('rect.frame').forEach(function(r){r.addEventListener('click',function(){
var t=r.querySelector('title');if(info&&t){info.textContent=t.textContent;}});});
document.querySelectorAll('.legend span').forEach(function(s){
var pool=s.getAttribute('data-pool');
function mark(on){document.querySelectorAll('polyline.series[data-pool="'+pool+'"]').forEach(function(p){
p.setAttribute('stroke-width',on?'4':'2');});}
s.addEventListener('mouseenter',function(){mark(true);});s.addEventListener('mouseleave',function(){mark(false);});});
})();"""


def colour(i):
    return COLOURS[i % len(COLOURS)]


def chain_text(frames):
    return " <- ".join(export.frame_name(f) for f in frames or []) or "(no chain)"


def table(head, rows):
    out = ["<table><tr>", "".join("<th>%s</th>" % E(h) for h in head), "</tr>"]
    for row in rows:
        out.append("<tr>")
        for cell in row:
            if isinstance(cell, tuple):  # ("chain", frames)
                out.append("<td class='chain'>%s</td>" % E(chain_text(cell[1])))
            else:
                out.append("<td>%s</td>" % E(str(cell)))
        out.append("</tr>")
    out.append("</table>")
    return "".join(out)


def summary(p):
    rows = []
    for r in p["reports"]:
        t, c = r["totals"] or {}, r["counters"] or {}
        rows.append([r["index"], r["line"], t.get("used", "?"), t.get("peak", "?"), t.get("quarantined", "?"),
                     c.get("sys_malloc") if c.get("sys_malloc") is not None else "?", r["traced_blocks"],
                     "yes" if r["complete"] else "no: %s" % r["cut"]])
    return table(["report", "line", "busy", "peak", "quarantined", "C-heap allocations", "traced", "complete"], rows)


def timeline(p, kind):
    """Busy blocks (share of each pool) or busy bytes per pool across the reports."""
    reports = p["reports"]
    sizes = sorted({x["size"] for r in reports for x in r["pools"]})
    if not reports or not sizes:
        return ""
    h, left, top, plot_h = 190, 60, 10, 150
    n = max(len(reports) - 1, 1)
    x_of = lambda i: left + (WIDTH - left - 20) * (i / n if len(reports) > 1 else 0.5)
    if kind == "blocks":
        value = lambda x: x["used"] / max(x["blocks"], 1)
        top_value, label = 1.0, "busy blocks, share of each pool"
    else:
        value = lambda x: x["used"] * x["size"]
        top_value = max([value(x) for r in reports for x in r["pools"]] + [1])
        label = "busy bytes per pool (top: %d)" % top_value
    y_of = lambda v: top + plot_h - plot_h * v / top_value
    out = ["<svg class='timeline' data-kind='%s' viewBox='0 0 %d %d' width='%d' height='%d' "
           "xmlns='http://www.w3.org/2000/svg' role='img' aria-label='%s'>" % (kind, WIDTH, h, WIDTH, h, E(label)),
           "<rect x='%d' y='%d' width='%d' height='%d' fill='none' stroke='#999'/>"
           % (left, top, WIDTH - left - 20, plot_h),
           "<text x='4' y='%d'>%s</text><text x='4' y='%d'>0</text>"
           % (top + 10, "100%" if kind == "blocks" else E(str(top_value)), top + plot_h)]
    for k, size in enumerate(sizes):
        pts = [(i, value(x)) for i, r in enumerate(reports) for x in r["pools"] if x["size"] == size]
        out.append("<polyline class='series' data-pool='%d' fill='none' stroke='%s' stroke-width='2' points='%s'>"
                   "<title>%d-byte blocks</title></polyline>"
                   % (size, colour(k), " ".join("%.1f,%.1f" % (x_of(i), y_of(v)) for i, v in pts), size))
    before = None
    for i, r in enumerate(reports):
        c = r["counters"] or {}
        heap = c.get("sys_malloc")
        if heap is not None and heap > (before or 0):
            out.append("<circle class='mark-heap' cx='%.1f' cy='%d' r='4' fill='#c33'><title>report %d: %d C-heap "
                       "allocations</title></circle>" % (x_of(i), top + plot_h + 12, r["index"], heap))
        if heap is not None:
            before = heap
        q = (r["totals"] or {}).get("quarantined")
        if q:
            out.append("<rect class='mark-quarantine' x='%.1f' y='%d' width='8' height='8' fill='#a0a'><title>report "
                       "%d: %d quarantined</title></rect>" % (x_of(i) - 4, top + plot_h + 20, r["index"], q))
        out.append("<text x='%.1f' y='%d' text-anchor='middle'>%d</text>" % (x_of(i), h - 2, r["index"]))
    out.append("</svg>")
    legend = "".join("<span data-pool='%d'><i style='background:%s'></i>%d B</span>" % (s, colour(k), s)
                     for k, s in enumerate(sizes))
    return "<figure><figcaption>%s; red dots: C-heap allocations rose, purple squares: blocks quarantined; x: " \
           "report</figcaption>%s<div class='legend'>%s</div></figure>" % (E(label), "".join(out), legend)


def icicle(p, growth, title):
    """Live bytes (or bytes gained) by chain, outermost frame on top."""
    samples = export.samples(p, growth)
    total = sum(s[2] for s in samples)
    if total <= 0:
        return "<p>%s: nothing to draw.</p>" % E(title)
    root = {"name": "all", "bytes": 0, "kids": {}, "ends": 0}
    for frames, _, size in samples:
        node = root
        node["bytes"] += size
        for f in reversed(frames):
            name = export.frame_name(f)
            node = node["kids"].setdefault(name, {"name": name, "bytes": 0, "kids": {}, "ends": 0})
            node["bytes"] += size
        node["ends"] += size
    rects, depth = [], [0]

    def draw(node, x, level, path):
        w = WIDTH * node["bytes"] / total
        if w < MIN_WIDTH:
            return
        depth[0] = max(depth[0], level)
        chain = path + [node["name"]]
        leaf = " data-leaf='1'" if node["ends"] > 0 else ""
        rects.append("<g><rect class='frame'%s x='%.2f' y='%d' width='%.2f' height='%d' fill='%s'><title>%s: %d bytes"
                     " (%.1f%%)</title></rect>%s</g>"
                     % (leaf, x, level * ROW, w, ROW - 1, colour(level), E(" <- ".join(reversed(chain[1:])) or "all"),
                        node["bytes"], 100.0 * node["bytes"] / total,
                        "<text x='%.2f' y='%d' clip-path='none'>%s</text>" % (x + 3, level * ROW + 12, E(node["name"][
                            :int(w / 7)])) if w > 30 else ""))
        for kid in sorted(node["kids"].values(), key=lambda k: -k["bytes"]):
            draw(kid, x, level + 1, chain)
            x += WIDTH * kid["bytes"] / total

    draw(root, 0.0, 0, [])
    h = (depth[0] + 1) * ROW
    return ("<figure><figcaption>%s: %d bytes; width is bytes, outermost frame on top (click a frame for its chain)"
            "</figcaption><svg class='flame' data-growth='%d' viewBox='0 0 %d %d' width='%d' height='%d' "
            "xmlns='http://www.w3.org/2000/svg'>%s</svg></figure>"
            % (E(title), total, 1 if growth else 0, WIDTH, h, WIDTH, h, "".join(rects)))


def pool_sizes(p):
    """A pool index named by its block size, from the process's reports."""
    sizes = {x["index"]: x["size"] for r in p["reports"] for x in r["pools"]}
    return lambda k: "%d B" % sizes[k] if k in sizes else str(k)


def findings(p):
    """The finding sections as tables, by the ident their text section has."""
    name = pool_sizes(p)
    names = lambda ks: ", ".join(name(k) for k in ks)
    out = {}
    if p["guarded_faults"]:
        out["guarded"] = table(["access", "address", "block", "kind", "line", "faulted at", "allocated by",
                                "released by"],
                               [[f["access"], f["address"], f["block"], f["kind"], f["line"], ("chain", f["faulted_at"]),
                                 ("chain", f["allocated_by"]), ("chain", f["released_by"])]
                                for f in p["guarded_faults"]])
    if p["guard_damage"]:
        out["damage"] = table(["address", "pool", "block", "guard", "found", "line", "allocated by", "released by"],
                              [[d["address"], name(d["pool"]), d["block"], d["guard"], d["found"], d["line"],
                                ("chain", d["frames"]), ("chain", d["released_by"])] for d in p["guard_damage"]])
    if p["invalid_releases"]:
        out["invalid"] = table(["call", "count", "already free", "quarantined", "inside a block", "first line", "by",
                                "first released by", "allocated by"],
                               [[g["call"], g["count"], g["kinds"]["already free"], g["kinds"]["quarantined"],
                                 g["kinds"]["inside a block"], g["first_line"], ("chain", g["frames"]),
                                 ("chain", g["first_released_by"]), ("chain", g["allocated_by"])]
                                for g in p["invalid_releases"]])
    w = p["write_after_release"]
    if w["blocks"]:
        out["freed-written"] = table(["address", "pool", "block", "offset", "line", "allocated by", "released by",
                                      "found by"],
                                     [[b["address"], name(b["pool"]), b["block"], b["offset"], b["line"],
                                       ("chain", b["allocated_by"]), ("chain", b["released_by"]),
                                       ("chain", b["found_by"])] for b in w["blocks"]])
    g = p["growth"]
    if g["leak_suspects"]:
        out["leaks"] = table(["blocks", "bytes", "pools", "addresses", "allocated by"],
                             [[s["count"], s["bytes"], names(s["pools"]),
                               "%s .. %s" % (s["address_low"], s["address_high"]), ("chain", s["frames"])]
                              for s in g["leak_suspects"]])
    if g["grown"]:
        out["growth"] = table(["blocks before", "blocks after", "bytes before", "bytes after", "steps rising",
                               "steps", "allocated by"],
                              [[x["count_before"], x["count_after"], x["bytes_before"], x["bytes_after"],
                                x["steps_rising"], x["steps"], ("chain", x["frames"])] for x in g["grown"]])
    if p["call_sites"]["groups"]:
        out["call-sites"] = table(["blocks", "bytes", "pools", "allocated by"],
                                  [[x["count"], x["bytes"], names(x["pools"]), ("chain", x["frames"])]
                                   for x in p["call_sites"]["groups"]])
    return out


def page(doc, sections):
    """The page for the document; sections are the text's, in its order."""
    many = len(doc["processes"]) > 1
    parts = ["<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'><title>KovaMem log: %s</title><style>%s"
             "</style></head><body><h1>KovaMem log: %s</h1><p id='chain'></p>" % (E(doc["log"]), STYLE, E(doc["log"]))]
    tables = {}
    first = [s for s in sections if s.ident == "warnings"]  # warnings first, as in the text
    for s in first:
        parts.append("<section id='warnings'><h2>%s</h2><pre>%s</pre></section>" % (E(s.title), E("\n".join(s.lines))))
    for p in doc["processes"]:
        ident = "p%d-" % p["index"] if many else ""
        tag = "%s: " % p["name"] if many else ""
        parts.append("<section id='%soverview'><h2>%sAt a glance</h2>" % (ident, E(tag)))
        parts.append(summary(p))
        parts.append(timeline(p, "blocks"))
        parts.append(timeline(p, "bytes"))
        cs = p["call_sites"]
        if cs["report"] is not None:
            parts.append(icicle(p, False, "Live bytes by call chain, report %d" % cs["report"]))
        gr = p["growth"]
        if gr["from_report"] is not None and gr["to_report"] is not None and gr["from_report"] != gr["to_report"]:
            parts.append(icicle(p, True, "Growth by call chain, report %d to report %d"
                                % (gr["from_report"], gr["to_report"])))
        parts.append("</section>")
        for key, html_table in findings(p).items():
            tables[ident + key] = html_table
    for s in sections:
        if s in first:
            continue
        body = tables.get(s.ident)
        if body is None:
            body = "<pre>%s</pre>" % E("\n".join(s.lines))
        parts.append("<section id='%s'><h2>%s</h2>%s</section>" % (E(s.ident), E(s.title), body))
    parts.append("<script>%s</script></body></html>\n" % SCRIPT)
    return "".join(parts)
