#!/usr/bin/env python3
"""Writes the fold table of name_fold.cpp from the Unicode Character Database.

    python3 src/fold_table.py /usr/share/unicode > table.txt   (Debian's unicode-data)

Each code point folds to: its canonical decomposition (NFD, UnicodeData.txt),
with its simple uppercase mapping taken first (so that dotless i meets I, as
the upcase tables of FAT, exFAT and NTFS have it), then full case folding
(CaseFolding.txt, statuses C and F), decomposed again, with every combining
mark (canonical combining class above 0) dropped: marks then need no
reordering, and e + U+0301, e-acute and e all fold alike. That folds more than
any file system does, never less. Hangul syllables decompose by rule in the
C++ code, and the CJK ideographs, whose compatibility forms decompose one by
one, all fold to U+4E00 there. Prints the single-code-point runs and the longer foldings as C++
initialisers.
"""
import sys

ucd = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
decomposition, combining, upper = {}, {}, {}
for line in open(f"{ucd}/UnicodeData.txt"):
    f = line.split(";")
    cp = int(f[0], 16)
    if f[5] and not f[5].startswith("<"):
        decomposition[cp] = [int(x, 16) for x in f[5].split()]
    if int(f[3]):
        combining[cp] = int(f[3])
    if f[12]:
        upper[cp] = int(f[12], 16)
folding = {}
for line in open(f"{ucd}/CaseFolding.txt"):
    line = line.split("#")[0].strip()
    if not line:
        continue
    code, status, mapping = [x.strip() for x in line.split(";")[:3]]
    if status in ("C", "F"):
        folding[int(code, 16)] = [int(x, 16) for x in mapping.split()]


def nfd(cps):
    out = []
    for cp in cps:
        out += nfd(decomposition[cp]) if cp in decomposition else [cp]
    return out


def fold(cp):
    cps = nfd([upper.get(c, c) for c in nfd([cp])])
    cps = nfd([x for c in cps for x in folding.get(c, [c])])
    return [c for c in cps if c not in combining]


hangul = range(0xAC00, 0xD7A4)
ideographs = [range(0x3400, 0x4DC0), range(0x4E00, 0xA000), range(0xF900, 0xFB00), range(0x20000, 0x323B0)]
single, longer = {}, {}
for cp in range(0x110000):
    if 0xD800 <= cp < 0xE000 or cp in hangul:
        continue
    if any(cp in r for r in ideographs):  # all one: the code folds them to U+4E00
        assert all(any(c in r for r in ideographs) for c in fold(cp)), hex(cp)
        continue
    f = fold(cp)
    if f == [cp]:
        continue
    if len(f) <= 1:
        single[cp] = f[0] if f else 0  # 0: dropped
    else:
        longer[cp] = f
# Folding twice changes nothing: a folded name is already folded.
for cp, f in list(single.items()) + list(longer.items()):
    flat = [f] if isinstance(f, int) else f
    again = [y for x in flat for y in ([single[x]] if x in single else longer.get(x, [x]))]
    assert again == flat, hex(cp)

# Runs: `count` code points from `first`, `stride` apart, folding to
# `target` on, `step` apart (0: all to one).
runs, cps, at = [], sorted(single), 0
while at < len(cps):
    first, best = cps[at], (1, 1, 0)
    for stride in (1, 2):
        for step in (0, 1, 2):
            n = 1
            while (first + n * stride in single and single[first + n * stride] == single[first] + n * step and
                   all(first + n * stride - k not in single and first + n * stride - k not in longer
                       for k in range(1, stride))):
                n += 1
            if n > best[0]:
                best = (n, stride, step)
    n, stride, step = best
    runs.append((first, n, stride, single[first], step))
    at = cps.index(first + (n - 1) * stride) + 1


def items(entries, per_line):
    for i in range(0, len(entries), per_line):
        print("    " + " ".join(entries[i:i + per_line]))


print(f"// {len(runs)} runs")
items([f"{{0x{a:X},{n},{s},0x{t:X},{d}}}," for a, n, s, t, d in runs], 4)
print(f"// {len(longer)} longer")
items([f"{{0x{cp:X},{{{','.join(f'0x{x:X}' for x in f)}}}}}," for cp, f in sorted(longer.items())], 4)
