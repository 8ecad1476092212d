"""The JSON document's schema, and a checker for it.

Leaf strings name a type first ("int", "str", "bool", "num", "frame", "list
of frame"), optionally followed by "or null", then a colon and a description.
A dict with the key "?" may itself be null. Lists hold items of their first
element's shape. Fields are only ever added, never renamed or removed.
"""

VERSION = 2

FRAME = {"address": "str: 0x..., as the log has it", "module": "str or null: the module's path",
         "function": "str or null", "file": "str or null", "line": "int or null",
         "discriminator": "int or null: from addr2line's \"(discriminator N)\"",
         "location": "str or null: file:line"}

GROUP = {"count": "int: live blocks", "bytes": "int: requested bytes", "pools": ["int"],
         "address_low": "str: lowest block address", "address_high": "str: highest block address",
         "chain": "int: index into chains",
         "estimate": {"?": "or null: null unless tracing was sampled",
                      "count": "int: count x the sampling rate", "bytes": "int: bytes x the sampling rate"}}

POOL = {"index": "int", "size": "int: block size S", "blocks": "int: N", "free": "int: F", "used": "int: B",
        "requested": "int: A, bytes asked for", "peak": "int: P", "quarantined": "int: C",
        "free_bytes": "int: F x S"}

TOTALS = {"?": "or null: null when the report was cut before them", "blocks": "int", "free": "int",
          "used": "int", "requested": "int", "peak": "int", "quarantined": "int", "free_bytes": "int"}

COUNTERS = {"?": "or null: null when the report was cut before them",
            "mem_malloc": "int or null", "mem_realloc": "int or null", "mem_free": "int or null",
            "sys_malloc": "int or null", "sys_realloc": "int or null", "sys_free": "int or null"}

REPORT = {"index": "int: 1 for the process's first report", "line": "int: where it begins",
          "complete": "bool: every part of it was read",
          "cut": "str or null: why it is incomplete",
          "pools": [POOL], "totals": TOTALS, "counters": COUNTERS,
          "traced_blocks": "int: live traced blocks listed",
          "traced_expected": "int or null: traced blocks its header counts",
          "trace_table_full": "bool: no trace record was free: later blocks have no chain",
          "sampling": "int: one live block in this many is listed (1: every traced block)",
          "call_sites": [GROUP]}

CALL_SITES = {"report": "int or null: the report whose live blocks are grouped",
              "sampling": "int: that report's sampling rate (1 without a report)",
              "groups": [dict(GROUP, frames=["frame"])]}

GROWTH = {
    "from_report": "int or null", "to_report": "int or null",
    "grown": [{"count_before": "int", "count_after": "int", "bytes_before": "int", "bytes_after": "int",
               "steps": "int: complete traced reports from..to, less one",
               "steps_rising": "int: steps in which the count rose",
               "steps_falling": "int: steps in which the count fell",
               "chain": "int", "frames": ["frame"]}],
    "leak_suspects": [{"count": "int", "bytes": "int", "pools": ["int"], "address_low": "str",
                       "address_high": "str", "addresses": ["str"], "chain": "int", "frames": ["frame"]}],
}

DAMAGE = {"address": "str", "pool": "int", "block": "int", "line": "int",
          "guard": "str: 'behind' (an overrun), 'in front' (an underrun) or 'both'",
          "found": "str: 'release' (the block was quarantined) or 'report' (still busy when a report, snapshot "
                   "or check met it)",
          "report_before": "int or null: the earlier report the allocating chain comes from, if it does",
          "chain": "int or null", "frames": "list of frame or null: the chain that allocated the block",
          "allocation_from": "str or null: 'entry' (written at the release) or 'report' (an earlier report)",
          "released_chain": "int or null", "released_by": "list of frame or null: the chain of the release",
          "not_sampled": ["str: the chains the log says were not sampled ('allocated by')"],
          "sampling": "int or null: the rate the log gave with them"}

BAD_RELEASES = [{"call": "str: 'free' or 'realloc', the call that named no busy block",
                 "count": "int: calls from this chain", "kinds": {"already free": "int", "quarantined": "int",
                                                                    "inside a block": "int"},
                 "addresses": ["str"], "first_line": "int",
                 "chain": "int or null", "frames": "list of frame or null: the chain of the release",
                 "first_released_chain": "int or null",
                 "first_released_by": "list of frame or null: the earlier release of the first address, "
                                      "when its block kept it",
                 "allocated_chain": "int or null",
                 "allocated_by": "list of frame or null: the allocation of the first address's block that the "
                                 "log names (a live traced block, or a block the chain store kept)"}]

FREED_WRITTEN = {"blocks": [{"address": "str", "pool": "int", "block": "int", "offset": "int: first byte changed",
                             "line": "int", "allocated_chain": "int or null",
                             "allocated_by": "list of frame or null", "released_chain": "int or null",
                             "released_by": "list of frame or null", "found_chain": "int or null",
                             "found_by": "list of frame or null: the allocation that found it",
                             "not_sampled": ["str: 'released by' when its allocation was not sampled"],
                             "not_kept": ["str: the chains the log says the full chain store lost"],
                             "sampling": "int or null"}],
                 "more": "int: further blocks found written, not described"}

GUARDED_FAULTS = [{"access": "str: write, read, or access where the target cannot tell",
                   "address": "str: the address that faulted", "block": "str: the guarded block's address",
                   "kind": "str: past the end, past the end, released, after release, before, before, released, or "
                           "outside any block",
                   "distance": "int or null: bytes past the block's end (0: the first byte behind it), or "
                               "before its start",
                   "size": "int or null: the block's requested size", "line": "int",
                   "outcome": "str or null: recovered (the run went on) or signal (handed on to the process)",
                   "faulted_chain": "int or null",
                   "faulted_at": "list of frame or null: the faulting instruction, then its callers",
                   "allocated_chain": "int or null", "allocated_by": "list of frame or null",
                   "released_chain": "int or null", "released_by": "list of frame or null"}]

LIVE_SINCE = [{"line": "int", "mark": "int", "now": "int: the serial when it was written",
               "blocks": "int", "bytes": "int", "complete": "bool: its end was read",
               "groups": [{"count": "int", "bytes": "int", "pools": ["int"],
                           "size": "int or null: the requested size of an untraced group",
                           "chain": "int or null", "frames": "list of frame or null: a traced group's chain"}],
               "more": {"?": "or null", "groups": "int", "blocks": "int", "bytes": "int"}}]

PROCESS = {
    "index": "int: 1 for the first process in the log", "name": "str",
    "first_line": "int", "last_line": "int",
    "reports": [REPORT],
    "module_maps": [{"line": "int", "modules": [{"index": "int", "path": "str", "base": "str",
                                                 "build_id": "str or null",
                                                 "segments": [{"low": "str", "high": "str: exclusive",
                                                               "flags": "str: r, w, x or -"}]}]}],
    "call_sites": CALL_SITES,
    "growth": GROWTH,
    "guard_damage": [DAMAGE],
    "guard_damage_more": "int: further busy blocks found damaged at reports, counted, not described",
    "invalid_releases": BAD_RELEASES,
    "guarded_faults": GUARDED_FAULTS,
    "guarded_sampling": [{"line": "int", "rate": "int: one allocation in this many guarded", "slots": "int",
                          "page": "int: slot size", "low": "str: the area's first address",
                          "high": "str: its last address"}],
    "live_since": LIVE_SINCE,
    "write_after_release": FREED_WRITTEN,
    "fallbacks": {"sys_sizes": [{"size": "int: -1 for the sizes counted together", "count": "int"}],
                  "pool_full": [{"pool": "int", "size": "int or null", "count": "int"}],
                  "handler_refused": [{"size": "int: -1 for the sizes counted together",
                                       "count": "int: allocations from signal handlers that interrupted their "
                                                "thread inside the library and found no pool free: NULL"}],
                  "handler_releases_lost": "int: releases from such handlers that found no place to wait: "
                                           "their blocks stay busy",
                  "zero": "int: zero-byte requests",
                  "grown": [{"pool": "int: the built pool that grew", "size": "int", "new_pool": "int",
                             "blocks": "int", "bytes": "int: growth bytes taken after it", "budget": "int",
                             "line": "int"}],
                  "grow_refused": [{"pool": "int", "size": "int", "why": "str", "line": "int"}],
                  "counted": "bool: counts from entries written at 1, 2, 4, 8 ...: the true count lies "
                             "below twice the one given"},
    "cap": {"?": "or null", "line": "int", "size": "int"},
    "trace_sampling": [{"line": "int", "rate": "int: one allocation in this many traced from here on"}],
}

DOCUMENT = {
    "version": "int: the document's format, %d" % VERSION,
    "log": "str: the log read ('-' for standard input)",
    "warnings": [{"process": "int or null", "report": "int or null",
                  "text": "str: what makes an answer incomplete or uncertain"}],
    "notes": ["str"],
    "processes": [PROCESS],
    "chains": [{"id": "int", "process": "int", "map_line": "int or null: the module map used",
                "frames": ["frame"], "warnings": ["str"]}],
    # The last process answered, in the places version 1 had them.
    "reports": [REPORT],
    "call_sites": CALL_SITES,
    "growth": GROWTH,
    "guard_damage": [DAMAGE],
    "guarded_faults": GUARDED_FAULTS,
}

SCHEMA = {"document": DOCUMENT, "frame": FRAME}


def check(schema, value, where="$"):
    """Raises AssertionError naming the first place where value leaves schema."""
    if isinstance(schema, dict):
        if value is None and "?" in schema:
            return
        assert isinstance(value, dict), "%s: %r is not an object" % (where, value)
        keys = set(schema) - {"?"}
        assert set(value) == keys, "%s: keys %s, want %s" % (where, sorted(value), sorted(keys))
        for k in keys:
            check(schema[k], value[k], where + "." + k)
    elif isinstance(schema, list):
        assert isinstance(value, list), "%s: %r is not a list" % (where, value)
        for i, v in enumerate(value):
            check(schema[0], v, "%s[%d]" % (where, i))
    else:
        kind = schema.split(":")[0]
        if kind.endswith(" or null"):
            if value is None:
                return
            kind = kind[:-len(" or null")]
        if kind == "frame":
            check(FRAME, value, where)
        elif kind == "list of frame":
            check([FRAME], value, where)
        else:
            want = {"int": int, "str": str, "bool": bool, "num": (int, float)}[kind]
            ok = isinstance(value, want) and (want is bool or not isinstance(value, bool))
            assert ok, "%s: %r is not %s" % (where, value, kind)
