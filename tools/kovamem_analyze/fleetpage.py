"""The fleet answer's page and its JSON document's schema.

The page is one self-contained file: a table of the fault groups, one row
each, with a heat map of its events per firmware (the darker, the more of
the group's events that firmware had), and each group's sites and chains
under it. Nothing is loaded from elsewhere.
"""

import html

FRAME = {"type": "object", "properties": {
    "address": {"type": "string"}, "module": {"type": ["string", "null"]}, "build_id": {"type": ["string", "null"]},
    "offset": {"type": ["string", "null"]}, "function": {"type": ["string", "null"]},
    "file": {"type": ["string", "null"]}, "line": {"type": ["integer", "null"]},
    "location": {"type": ["string", "null"]}}}
FRAMES = {"type": "array", "items": FRAME}

SCHEMA = {
    "$schema": "https://json-schema.org/draft/2020-12/schema",
    "title": "kovamem-analyze fleet",
    "type": "object",
    "required": ["records", "wholeRecords", "devices", "firmware", "groups", "growth", "problems"],
    "properties": {
        "records": {"type": "integer", "description": "fault events: whole records plus repeat counts"},
        "wholeRecords": {"type": "integer"},
        "devices": {"type": "integer"},
        "baseline": {"type": ["string", "null"], "description": "--baseline"},
        "compared": {"type": ["string", "null"], "description": "the firmware last seen other than the baseline"},
        "firmware": {"type": "object", "additionalProperties": {"type": "object", "properties": {
            "devices": {"type": "integer"},
            "deviceDays": {"type": "integer", "description": "distinct (device, UTC day) pairs with a census"}}}},
        "groups": {"type": "array", "description": "most devices first", "items": {"type": "object", "properties": {
            "type": {"type": "string", "description": "the record's kind"},
            "cause": {"type": "string"},
            "location": {"type": ["string", "null"], "description": "the first frame of the fault site (else the allocation site)"},
            "portableKey": {"type": "string", "description": "kind|allocation site|fault site by function names"},
            "exactKeys": {"type": "array", "items": {"type": "string"},
                          "description": "kind|allocation site|fault site as build-id+offset, one per firmware build"},
            "signatures": {"type": "array", "items": {"type": "string"}},
            "errorReportCount": {"type": "integer"},
            "distinctDevices": {"type": "integer"},
            "distinctProcesses": {"type": "integer"},
            "distinctBoots": {"type": "integer"},
            "perFirmware": {"type": "object", "additionalProperties": {"type": "integer"}},
            "firstSeen": {"type": "integer", "description": "seconds since 1970"},
            "firstFw": {"type": "string"},
            "lastReportTime": {"type": "integer"},
            "lastFw": {"type": "string"},
            "ratePer1000DeviceDays": {"type": ["number", "null"]},
            "status": {"enum": ["new", "gone", "regressed", "ongoing", None]},
            "allocSite": FRAMES, "faultSite": FRAMES, "allocChain": FRAMES, "faultChain": FRAMES,
            "samples": {"type": "array", "items": {"type": "string"}, "description": "file:line of whole records"}}}},
        "growth": {"type": "array", "items": {"type": "object", "properties": {
            "program": {"type": "string"}, "devices": {"type": "integer"}, "censusRecords": {"type": "integer"},
            "bytesPerHourOfUptime": {"type": "number"}}}},
        "problems": {"type": "array", "items": {"type": "object", "properties": {
            "file": {"type": "string"}, "line": {"type": "integer"}, "why": {"type": "string"}}}},
    },
}

STYLE = """body{font:14px sans-serif;margin:1.5em;color:#222}table{border-collapse:collapse}
td,th{border:1px solid #ccc;padding:3px 6px;text-align:left;vertical-align:top}
td.heat{text-align:right;min-width:4em}.new{color:#b00}.gone{color:#080}.regressed{color:#b60}
pre{margin:0;font-size:12px}"""


def chain_html(name, frames):
    if not frames:
        return ""
    rows = "\n".join("%s  %s" % (html.escape(f["function"] or "?"),
                                 html.escape(f["location"] or "%s+%s" % (f["module"] or "?", f["offset"] or f["address"])))
                     for f in frames)
    return "<b>%s</b><pre>%s</pre>" % (html.escape(name), rows)


def page(doc):
    fws = list(doc["firmware"])
    out = ["<!DOCTYPE html><html><head><meta charset='utf-8'><title>kovamem fleet</title><style>%s</style></head><body>"
           % STYLE, "<h1>Fault groups across the fleet</h1>",
           "<p>%d events, %d devices, %d groups</p>" % (doc["records"], doc["devices"], len(doc["groups"]))]
    if doc["problems"]:
        out.append("<h2>Warnings</h2><ul>%s</ul>" % "".join(
            "<li>%s: %s</li>" % (html.escape("%s:%s" % (p["file"], p["line"])), html.escape(p["why"]))
            for p in doc["problems"]))
    out.append("<h2>Groups</h2><table id='groups'><tr><th>#</th><th>kind</th><th>location</th><th>status</th>"
               "<th>events</th><th>devices</th>%s<th>sites</th></tr>" % "".join(
                   "<th>fw %s</th>" % html.escape(fw) for fw in fws))
    for i, g in enumerate(doc["groups"], 1):
        top = max(g["perFirmware"].values()) or 1
        cells = "".join("<td class='heat' data-fw='%s' style='background:rgba(200,40,40,%.2f)'>%d</td>" % (
            html.escape(fw), 0.1 + 0.8 * g["perFirmware"].get(fw, 0) / top if g["perFirmware"].get(fw) else 0.0,
            g["perFirmware"].get(fw, 0)) for fw in fws)
        sites = chain_html("allocated at", g["allocSite"]) + chain_html("went wrong at", g["faultSite"])
        chains = chain_html("allocating chain", g["allocChain"]) + chain_html("faulting chain", g["faultChain"])
        out.append("<tr class='group'><td>%d</td><td>%s</td><td>%s</td><td class='%s'>%s</td><td>%d</td><td>%d</td>"
                   "%s<td>%s<details><summary>chains</summary>%s</details></td></tr>" % (
                       i, html.escape(g["type"]), html.escape(g["location"] or "?"), g["status"] or "",
                       g["status"] or "", g["errorReportCount"], g["distinctDevices"], cells, sites, chains))
    out.append("</table>")
    if doc["growth"]:
        out.append("<h2>Live bytes against uptime</h2><table><tr><th>program</th><th>devices</th>"
                   "<th>bytes per hour</th></tr>%s</table>" % "".join(
                       "<tr><td>%s</td><td>%d</td><td>%.1f</td></tr>" % (html.escape(x["program"]), x["devices"],
                                                                       x["bytesPerHourOfUptime"])
                       for x in doc["growth"]))
    out.append("<script>document.body.dataset.ready = String(document.querySelectorAll('tr.group').length);</script>")
    out.append("</body></html>\n")
    return "\n".join(out)
