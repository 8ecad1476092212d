"""From addresses to function, file and line: one symbolizer run per binary.

Addresses are first collected from every chain an answer shows, then each
binary is asked once, its addresses batched on the symbolizer's standard
input. A binary is used only when it is found (at the module map's path,
under --sysroot, or by build ID or path under --debug-dir) and its build ID
matches the log's. Whatever keeps a frame from being named is recorded as a
problem of its module, and the frames carry it, so each answer can say why a
frame shows "?".
"""

import os
import re
import shutil
import subprocess

from . import elf

LOCATION = re.compile(r"^(.*?):(\d+|\?)(?::\d+)?(?: \(discriminator (\d+)\))?$")
LLVM_NAMES = ("llvm-symbolizer", "llvm-symbolizer-16", "llvm-symbolizer-15", "llvm-symbolizer-14")


def short(name):
    """A C++ function without its parameter list: "ns::f(int, ...)" is "ns::f"."""
    if not name.endswith(")") and not name.endswith(") const"):
        return name
    end = name.rfind(")")
    depth = 0
    for i in range(end, -1, -1):
        depth += {")": 1, "(": -1}.get(name[i], 0)
        if depth == 0:
            return name[:i] if i > 0 else name
    return name


def split_location(text):
    """'file:line[:col] [(discriminator N)]' as (file, line, discriminator); '??' parts are None."""
    text = text.strip()
    m = LOCATION.match(text)
    if not m:
        return (None if text.startswith("??") or not text else text), None, None
    path = None if m.group(1) in ("??", "") else m.group(1)
    line = int(m.group(2)) if m.group(2).isdigit() and int(m.group(2)) > 0 else None
    disc = int(m.group(3)) if m.group(3) else None
    return path, line, disc


class Binary:
    """A module's file as found on this machine, and what is wrong with it."""

    def __init__(self, module):
        self.module = module
        self.path = None  # the file symbolized, or None
        self.problem = None  # text: why its frames may be unnamed or untrustworthy
        self.untrusted = False  # the names may belong to another build
        self.offsets = set()
        self.answers = {}  # offset -> (function, file, line, discriminator)
        self.refused = []  # files found but not used, each with why


class Symbolizer:
    def __init__(self, addr2line=None, sysroot=None, debug_dirs=()):
        self.sysroot = sysroot
        self.debug_dirs = list(debug_dirs)
        self.binaries = {}  # Module.key() -> Binary
        self.runs = 0
        self.tool = None
        self.tool_problem = None
        if addr2line:
            if shutil.which(addr2line):
                self.tool = ("addr2line", addr2line)
            else:
                self.tool_problem = "the symbolizer %s was not found" % addr2line
        else:
            for name in LLVM_NAMES:
                if shutil.which(name):
                    self.tool = ("llvm", name)
                    break
            if self.tool is None and shutil.which("addr2line"):
                self.tool = ("addr2line", "addr2line")
            if self.tool is None:
                self.tool_problem = "neither llvm-symbolizer nor addr2line was found"

    # ---- finding binaries ----

    def candidates(self, module):
        path = module.path
        out = []
        if module.build_id and len(module.build_id) > 2:
            for d in self.debug_dirs:
                out.append(os.path.join(d, ".build-id", module.build_id[:2], module.build_id[2:] + ".debug"))
        for d in self.debug_dirs:
            out.append(os.path.join(d, path.lstrip("/")))
        if self.sysroot:
            out.append(os.path.join(self.sysroot, path.lstrip("/")))
        out.append(path)
        return out

    def binary(self, module):
        b = self.binaries.get(module.key())
        if b is not None:
            return b
        b = self.binaries[module.key()] = Binary(module)
        found = [c for c in self.candidates(module) if os.path.isfile(c)]
        if not found:
            b.problem = "binary not found: %s" % module.path
            return b
        reasons = []
        for path in found:
            info = elf.read(path)
            if info.error:
                reasons.append("%s %s" % (path, info.error))
                continue
            if module.build_id and info.build_id and info.build_id != module.build_id:
                reasons.append("build ID of %s is %s, the log says %s: not used" % (path, info.build_id,
                                                                                 module.build_id))
                b.refused.append(reasons[-1])
                continue
            b.path = path
            if not module.build_id or not info.build_id:
                b.untrusted = True
                b.problem = ("%s cannot be checked against the log (%s): its names may belong to another build"
                             % (path, "the log has no build ID" if not module.build_id else "the file has no build ID"))
            elif not info.has_symtab and not info.has_debug:
                b.problem = "%s is stripped: only its exported functions are named, without file:line" % path
            return b
        b.problem = "; ".join(reasons)
        return b

    # ---- asking ----

    def want(self, module, address, exact=False):
        """exact: the address is an instruction's own (a faulting pc), not a return address."""
        b = self.binary(module)
        b.offsets.add(address - module.base - (0 if exact else 1))  # a return address: the call is just before it

    def run(self):
        """Asks every binary with wanted offsets, once."""
        for b in self.binaries.values():
            todo = sorted(o for o in b.offsets if o not in b.answers)
            if not todo or b.path is None:
                continue
            if self.tool is None:
                b.problem = b.problem or self.tool_problem
                continue
            self.ask(b, todo)

    def ask(self, b, offsets):
        stdin = "".join("0x%x\n" % o for o in offsets).encode()
        if self.tool[0] == "llvm":
            cmd = [self.tool[1], "--obj=" + b.path, "--no-inlines", "--demangle"]
        else:
            cmd = [self.tool[1], "-f", "-C", "-e", b.path]
        self.runs += 1
        try:
            proc = subprocess.run(cmd, input=stdin, capture_output=True, timeout=600)
        except (OSError, subprocess.SubprocessError) as e:
            b.problem = "the symbolizer failed on %s: %s" % (b.path, e)
            return
        out = proc.stdout.decode("utf-8", errors="replace")
        err = proc.stderr.decode("utf-8", errors="replace").strip().split("\n")[0]
        if self.tool[0] == "llvm":
            blocks = [blk.split("\n") for blk in out.strip("\n").split("\n\n")] if out.strip() else []
        else:
            lines = out.split("\n")
            blocks = [lines[i:i + 2] for i in range(0, len(lines) - 1, 2)]
        blocks = [blk for blk in blocks if len(blk) >= 2]
        if proc.returncode != 0 or len(blocks) != len(offsets):
            b.problem = ("the symbolizer %s failed on %s (status %d, %d of %d answers)%s"
                         % (self.tool[1], b.path, proc.returncode, len(blocks), len(offsets),
                            (": " + err) if err else ""))
            if proc.returncode != 0 or len(blocks) < len(offsets):
                blocks = blocks if proc.returncode == 0 else []
        for o, blk in zip(offsets, blocks):
            fn = blk[0].strip()
            path, line, disc = split_location(blk[1])
            b.answers[o] = (None if fn in ("??", "") else short(fn), path, line, disc)

    # ---- frames ----

    def frame(self, module, address, exact=False):
        """One frame as the documents show it, and the problem that marks it (or None)."""
        out = {"address": "0x%x" % address, "module": module.path if module else None, "function": None,
               "file": None, "line": None, "discriminator": None, "location": None}
        if module is None:
            return out, None
        b = self.binary(module)
        ans = b.answers.get(address - module.base - (0 if exact else 1))
        if ans:
            out["function"], out["file"], out["line"], out["discriminator"] = ans
            if out["file"]:
                out["location"] = out["file"] + (":%d" % out["line"] if out["line"] else "")
        problem = None
        if b.problem and (b.untrusted or out["function"] is None):
            problem = b.problem
        return out, problem
