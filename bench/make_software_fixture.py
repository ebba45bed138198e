#!/usr/bin/env python3
"""Makes the fixture of the software walk benchmark.

    make_software_fixture.py OUTDIR [FILES] [ENTRIES]

OUTDIR/TREE gets FILES empty files (default 100000) in 100 directories of 10
subdirectories each: program files P<n>.EXE, libraries F<n>.DLL and texts
R<n>.TXT. OUTDIR/QVAPPL.INI gets ENTRIES [Applications] entries (default
50000) naming P0.EXE upwards with SIZE 1, so about half the programs of the
tree are known.
"""
import os
import sys

out = sys.argv[1]
files = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
entries = int(sys.argv[3]) if len(sys.argv) > 3 else 50000
tree = os.path.join(out, "TREE")
per_dir = max(1, files // 1000)
n = 0
for a in range(100):
    for b in range(10):
        d = os.path.join(tree, "D%02d" % a, "S%d" % b)
        os.makedirs(d, exist_ok=True)
        for _ in range(per_dir):
            kind = n % 4
            name = ("P%d.EXE" if kind < 2 else "F%d.DLL" if kind == 2 else "R%d.TXT") % n
            open(os.path.join(d, name), "wb").close()
            n += 1
with open(os.path.join(out, "QVAPPL.INI"), "wb") as f:
    f.write(b"[Corvane Inventory]\r\nVersion=2.0\r\nMode=Listed\r\n[Applications]\r\n")
    for i in range(entries):
        f.write(b"<I>,P%d.EXE,1,Program number %d,1.%d\r\n" % (i * 2, i, i % 10))
    f.write(b"[Ignore]\r\n<I>,P1.EXE\r\n")
print("fixture: %d files in %s, %d entries" % (n, tree, entries))
