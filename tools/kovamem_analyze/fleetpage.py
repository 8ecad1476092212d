"""The fleet answer's page and its JSON document's schema.

The page is one self-contained file: a table of the fault groups, one row
each, with a heat map of its events per firmware (the darker, the more of
the group's events that firmware had), and each group's sites and chains
under it. Nothing is loaded from elsewhere.
"""

import html

# The fleet document, in the form schema.py describes and checks.
FRAME = {"address": "str: the offset in its module (0x...), or the address outside every known one",
         "module": "str or null: the module's name", "build_id": "str or null", "offset": "str or null: 0x...",
         "function": "str or null: compiler clone suffixes dropped", "file": "str or null", "line": "int or null",
         "discriminator": "int or null", "location": "str or null: file:line"}

SCHEMA = {
    "version": "int: 1",
    "records": "int: fault events, whole records plus repeat counts",
    "wholeRecords": "int",
    "devices": "int",
    "baseline": "str or null: --baseline",
    "compared": "str or null: the firmware last seen other than the baseline",
    "firmware": [{"fw": "str", "devices": "int",
                  "deviceDays": "int: distinct (device, UTC day) pairs that sent a census"}],
    "groups": [{
        "type": "str: the record's kind",
        "cause": "str",
        "location": "str or null: the first frame of the fault site, else of the allocation site",
        "portableKey": "str: kind|allocation site|fault site, by function names",
        "exactKeys": ["str: kind|allocation site|fault site as build-id+offset, one per build"],
        "signatures": ["str: the records' signatures"],
        "errorReportCount": "int",
        "distinctDevices": "int",
        "distinctProcesses": "int",
        "distinctBoots": "int",
        "perFirmware": [{"fw": "str", "events": "int"}],
        "firstSeen": "int: seconds since 1970", "firstFw": "str",
        "lastReportTime": "int: seconds since 1970", "lastFw": "str",
        "ratePer1000DeviceDays": "num or null",
        "status": "str or null: new, gone, regressed or ongoing against the baseline",
        "allocSite": [FRAME], "faultSite": [FRAME], "allocChain": [FRAME], "faultChain": [FRAME],
        "samples": ["str: file:line of a whole record"]}],
    "growth": [{"program": "str", "location": "str or null: the allocation site's first frame; null: all live bytes",
                "site": [FRAME], "devices": "int", "censusRecords": "int", "bytesPerHourOfUptime": "num"}],
    "problems": [{"file": "str", "line": "int: 0 when none", "why": "str"}],
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
    fws = [f["fw"] for f in doc["firmware"]]
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
        per = {x["fw"]: x["events"] for x in g["perFirmware"]}
        top = max(per.values()) or 1
        cells = "".join("<td class='heat' data-fw='%s' style='background:rgba(200,40,40,%.2f)'>%d</td>" % (
            html.escape(fw), 0.1 + 0.8 * per.get(fw, 0) / top if per.get(fw) else 0.0, per.get(fw, 0))
            for fw in fws)
        sites = chain_html("allocated at", g["allocSite"]) + chain_html("went wrong at", g["faultSite"])
        chains = chain_html("allocating chain", g["allocChain"]) + chain_html("faulting chain", g["faultChain"])
        out.append("<tr class='group'><td>%d</td><td>%s</td><td>%s</td><td class='%s'>%s</td><td>%d</td><td>%d</td>"
                   "%s<td>%s<details><summary>chains</summary>%s</details></td></tr>" % (
                       i, html.escape(g["type"]), html.escape(g["location"] or "?"), g["status"] or "",
                       g["status"] or "", g["errorReportCount"], g["distinctDevices"], cells, sites, chains))
    out.append("</table>")
    if doc["growth"]:
        out.append("<h2>Live bytes against uptime</h2><table><tr><th>program</th><th>allocation site</th>"
                   "<th>devices</th><th>bytes per hour</th></tr>%s</table>" % "".join(
                       "<tr><td>%s</td><td>%s</td><td>%d</td><td>%.1f</td></tr>" % (
                           html.escape(x["program"]), html.escape(x["location"] or "all live bytes"), x["devices"],
                           x["bytesPerHourOfUptime"]) for x in doc["growth"]))
    out.append("<script>document.body.dataset.ready = String(document.querySelectorAll('tr.group').length);</script>")
    out.append("</body></html>\n")
    return "\n".join(out)
