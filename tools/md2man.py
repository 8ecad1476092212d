#!/usr/bin/env python3
"""Turns a manual page kept as Markdown in docs/ into roff, gzipped.

    md2man.py PAGE.md OUT.1.gz VERSION

The Markdown is the small subset the pages use: a first line
"# name(section) -- summary", "## HEADING" sections, paragraphs, "* `term`:"
items whose text follows on indented lines, and code indented by four
spaces. `code` becomes bold. The output is compressed as Debian's policy
asks (gzip -9n: no name, no time), so that it is the same for the same
text.
"""
import gzip
import re
import sys


def inline(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    text = re.sub(r"`([^`]*)`", r"\\fB\1\\fR", text)
    return text


def line(text):
    """A text line that roff must not take for a request."""
    text = inline(text)
    return "\\&" + text if text.startswith((".", "'")) else text


def convert(md, version):
    lines = md.split("\n")
    m = re.match(r"^# ([\w.-]+)\((\d)\) -- (.*)$", lines[0])
    if not m:
        raise SystemExit("md2man: the first line must be '# name(section) -- summary'")
    name, section, summary = m.groups()
    out = ['.TH "%s" "%s" "" "KovaMem %s" "KovaMem manual"' % (name.upper(), section, version),
           ".SH NAME", "%s \\- %s" % (name, inline(summary))]
    i = 1
    while i < len(lines):
        l = lines[i]
        if l.startswith("## "):
            out.append(".SH " + l[3:].strip())
        elif l.startswith("* "):
            term = re.match(r"^\* (.*?):\s*$", l)
            out += [".TP", line(term.group(1) if term else l[2:])]
            while i + 1 < len(lines) and lines[i + 1].startswith("  ") and not lines[i + 1].startswith("    "):
                i += 1
                out.append(line(lines[i].strip()))
        elif l.startswith("    "):
            out += [".PP", ".RS 4", ".nf"]
            while i < len(lines) and (lines[i].startswith("    ") or lines[i] == ""):
                if lines[i]:
                    out.append(line(lines[i][4:]))
                i += 1
            out += [".fi", ".RE"]
            continue
        elif l.strip():
            if out[-1].startswith(".SH") is False and not out[-1].startswith(".PP"):
                out.append(".PP")
            out.append(line(l.strip()))
        i += 1
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) != 4:
        raise SystemExit(__doc__.strip().split("\n\n")[1])
    with open(argv[1], encoding="utf-8") as f:
        roff = convert(f.read(), argv[3])
    with open(argv[2], "wb") as f:
        f.write(gzip.compress(roff.encode("utf-8"), compresslevel=9, mtime=0))


if __name__ == "__main__":
    main(sys.argv)
