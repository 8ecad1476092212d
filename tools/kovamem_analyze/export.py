"""The answers in the formats heap-profile viewers open.

folded: one line per call chain, frames outermost first joined by ';', then
a space and the chain's live bytes (or blocks): the "collapsed" stack text
of flamegraph.pl, inferno, speedscope, Perfetto and Pyroscope.

pprof: a gzip-compressed profile.proto with the sample types inuse_objects
(count) and inuse_space (bytes), one location per code address with its
mapping (path, start, limit, offset, build ID) and its symbolized function
and line, read by `go tool pprof` and the viewers built on it. The encoder
is written here (a few varint and length-delimited fields): the format is
small and stable, and the tool keeps to Python's standard library.

Both take one process's document and export either the live traced blocks
of one report (the call sites) or the growth between two reports (only
chains that grew, by what they gained).
"""

import gzip
import os


def samples(proc, growth):
    """(frames innermost first, blocks, bytes) for each chain exported."""
    out = []
    if growth:
        for g in proc["growth"]["grown"]:
            gained = g["bytes_after"] - g["bytes_before"]
            if gained > 0:
                out.append((g["frames"], max(g["count_after"] - g["count_before"], 0), gained))
    else:
        for g in proc["call_sites"]["groups"]:
            # With tracing by sampling, the estimates: a viewer's totals then
            # stand for all the live blocks, not the one in n listed.
            est = g.get("estimate") or g
            out.append((g["frames"], est["count"], est["bytes"]))
    return out


def frame_name(f):
    """A frame as a viewer shows it: its function, else module+offset, else its address."""
    if f.get("function"):
        return f["function"].replace(";", ":").replace("\n", " ")
    if f.get("module"):
        return "%s@%s" % (os.path.basename(f["module"]), f["address"])
    return f["address"]


def folded(proc, growth=False, count=False):
    """The folded text; lines of equal chains (equal once named) are merged."""
    totals = {}
    order = []
    for frames, blocks, size in samples(proc, growth):
        key = ";".join(frame_name(f) for f in reversed(frames)) or "[no chain]"
        if key not in totals:
            totals[key] = 0
            order.append(key)
        totals[key] += blocks if count else size
    return "".join("%s %d\n" % (k, totals[k]) for k in order if totals[k] > 0)


# ---- profile.proto ----

def _varint(n):
    n &= (1 << 64) - 1
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def _int(field, value):
    return _varint(field << 3) + _varint(value) if value else b""


def _bytes(field, data):
    return _varint(field << 3 | 2) + _varint(len(data)) + data


def _packed(field, values):
    return _bytes(field, b"".join(_varint(v) for v in values)) if values else b""


class _Strings:
    def __init__(self):
        self.index = {"": 0}
        self.table = [""]

    def __call__(self, s):
        s = s or ""
        if s not in self.index:
            self.index[s] = len(self.table)
            self.table.append(s)
        return self.index[s]


def _mappings(proc):
    """The modules of the process's maps by path (the latest map's wins):
    (start, limit, build ID)."""
    found = {}
    for m in proc["module_maps"]:
        for mod in m["modules"]:
            segs = mod.get("segments") or []
            start = min([int(s["low"], 16) for s in segs] or [int(mod["base"], 16)])
            limit = max([int(s["high"], 16) for s in segs] or [start])
            found[mod["path"]] = (start, limit, int(mod["base"], 16), mod.get("build_id") or "")
    return found


def profile(proc, growth=False):
    """The profile.proto bytes (not compressed)."""
    s = _Strings()
    mods = _mappings(proc)
    mapping_ids, mappings = {}, []
    function_ids, functions = {}, []
    location_ids, locations = {}, []
    sample_msgs = []

    def mapping_of(path):
        if not path or path not in mods:
            return 0
        if path not in mapping_ids:
            start, limit, base, build_id = mods[path]
            mapping_ids[path] = len(mappings) + 1
            # file_offset: the offset in the file that start maps, for the
            # usual layout in which the first segment begins at the load base.
            mappings.append(_int(1, mapping_ids[path]) + _int(2, start) + _int(3, limit) + _int(4, start - base) +
                            _int(5, s(path)) + _int(6, s(build_id)) + _int(7, 1) + _int(8, 1) + _int(9, 1))
        return mapping_ids[path]

    def function_of(f):
        key = (frame_name(f), f.get("file") or "")
        if key not in function_ids:
            function_ids[key] = len(functions) + 1
            functions.append(_int(1, function_ids[key]) + _int(2, s(key[0])) + _int(3, s(key[0])) +
                             _int(4, s(key[1])))
        return function_ids[key]

    def location_of(f):
        address = int(f["address"], 16)
        key = (address, f.get("module") or "")
        if key not in location_ids:
            location_ids[key] = len(locations) + 1
            line = _int(1, function_of(f)) + _int(2, f.get("line") or 0)
            locations.append(_int(1, location_ids[key]) + _int(2, mapping_of(f.get("module"))) + _int(3, address) +
                             _bytes(4, line))
        return location_ids[key]

    for frames, blocks, size in samples(proc, growth):
        ids = [location_of(f) for f in frames]  # the leaf first, as pprof has it
        sample_msgs.append(_packed(1, ids) + _packed(2, [blocks, size]))

    types = [_int(1, s("inuse_objects")) + _int(2, s("count")), _int(1, s("inuse_space")) + _int(2, s("bytes"))]
    period_type = _int(1, s("space")) + _int(2, s("bytes"))
    default = s("inuse_space")
    out = bytearray()
    for t in types:
        out += _bytes(1, t)
    for m in sample_msgs:
        out += _bytes(2, m)
    for m in mappings:
        out += _bytes(3, m)
    for m in locations:
        out += _bytes(4, m)
    for m in functions:
        out += _bytes(5, m)
    for text in s.table:
        out += _bytes(6, text.encode("utf-8"))
    out += _bytes(11, period_type) + _int(12, 1) + _int(14, default)
    return bytes(out)


def pprof(proc, growth=False):
    return gzip.compress(profile(proc, growth), mtime=0)
