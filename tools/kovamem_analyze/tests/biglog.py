"""Writes a large KovaMem log for measuring the analyser.

    biglog.py TEMPLATE OUT MEGABYTES

TEMPLATE is a real log with a module map (the test host's); its first
report's pool table and its module map are reused. Each report lists 3000
traced blocks of 8 frames from 400 call chains whose addresses lie in the
executable's code: most blocks come and go, one chain leaks 10 more
blocks a report. Reports are added until the file reaches MEGABYTES.
"""
import random
import re
import sys


def main(template, out, megabytes):
    text = open(template, errors="replace").read()
    lines = text.split("\n")
    head = [l for l in lines if l.startswith("Number of pools") or "KovaMemInit: Success" in l
            or "KovaMemLogModules" in l]
    seg = re.search(r"module 0 segment 0x([0-9a-f]+)-0x([0-9a-f]+) r-x", text)
    lo, hi = int(seg.group(1), 16), int(seg.group(2), 16)
    begin = text.index("-" * 79 + "\n" + "-" * 22 + " Memory Manager Status -> Begin")
    end = text.index("Memory Manager Status -> End", begin)
    status = text[begin:text.index("\n", text.index("\n", end) + 1) + 1]
    rng = random.Random(7)
    chains = [[rng.randrange(lo, hi) for _ in range(8)] for _ in range(400)]
    leak = []
    target = megabytes * 1024 * 1024
    written = 0
    with open(out, "w") as f:
        f.write("\n".join(head) + "\n")
        while written < target:
            leak.extend(rng.randrange(1 << 20) for _ in range(10))
            blocks = [(a, chains[0]) for a in leak] + [(rng.randrange(1 << 20), rng.choice(chains[1:]))
                                                       for _ in range(3000 - len(leak) % 3000)]
            blocks = blocks[:3000]
            parts = [status, "-" * 79, "-" * 22 + " Memory Manager Stack -> Begin " + "-" * 26, "-" * 79,
                     " Debug Memory Usage  = 180028", " Stack Free Count : 0, Stack Busy Count : %d" % len(blocks),
                     "-" * 79]
            for i, (a, chain) in enumerate(blocks):
                addr = 0x5500000000 + a * 16
                parts.append("INFO: P:3, B:%d, S:48, O:0, DPtr:0x%x, DSPtr:0x%x, N:0x0, STPtr:0x7f0000001000"
                             % (i % 1000, addr, addr + 0x1000))
                parts.append("STACK DETAILS: A:%X L:    48 T:       0 c: " % addr)
                parts.extend("[%X] in  /bin/appmain " % x for x in chain)
                parts.append("*" * 64)
                parts.append("")
            parts += ["-" * 79, "-" * 22 + " Memory Manager Stack -> End " + "-" * 28, "-" * 79, ""]
            chunk = "\n".join(parts)
            f.write(chunk)
            written += len(chunk)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
