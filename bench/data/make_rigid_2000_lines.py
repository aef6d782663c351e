#!/usr/bin/env python3
"""Writes the rigid-rotor speed jobs of this directory.

An asymmetric top in the Watson A reduction (A 9.5, B 4.1, C 3.2 GHz, all
quartic and sextic constants; z = a, so BJ = (B+C)/2, BK = A - BJ,
B- = (B-C)/2):

  rigid_2000_lines.inp   a fit of 2,000 a-, b- and c-type lines with J <= 60
                         up to 816 GHz, 15 parameters, started a little off
                         the true values; the frequencies are calculated by
                         ruvo itself from the true values and given 20 kHz
                         of Gaussian noise (fixed seed)
  predict_j20.inp        the predicted spectrum (ints 2) of all levels up
                         to J = 20, 0 .. 300 GHz
  predict_j60.inp        the same up to J = 60, 0 .. 300 GHz

    make_rigid_2000_lines.py RUVO_BINARY      (in this directory)

With a line count N as well it writes only rigid_N_lines.inp, the same fit
with N lines (for the scaling of large fits; not kept in the tree): beyond
what the 816 GHz window holds, lines changing K- by up to 5 below 999 GHz.

    make_rigid_2000_lines.py RUVO_BINARY 50000

and with a largest J as well, lines up to that J (the 2,000-line job and the
predictions keep J <= 60):

    make_rigid_2000_lines.py RUVO_BINARY 50000 100
"""
import random
import re
import subprocess
import sys

RUVO = sys.argv[1] if len(sys.argv) > 1 else "ruvo"
LINE = re.compile(r"^.\s*(\d+):.*?\s(-?\d+\.\d+)")
NAMES = ["BJ", "BK", "B-", "DJ", "DJK", "DK", "dj", "dk",
         "H_J", "HJK", "HKJ", "H_K", "h_j", "hjk", "h_k"]
# GHz; the sextic constants of a molecule of this size
TRUE = [3.65, 5.85, 0.45, 1.5e-6, -5.0e-6, 4.0e-5, 3.0e-7, 2.0e-6,
        1.0e-12, 1.0e-11, -5.0e-11, 5.0e-10, 5.0e-13, 5.0e-12, 1.0e-10]
FMAX = 816.0
JMAX = int(sys.argv[3]) if len(sys.argv) > 3 else 60


def params(values):
    return "".join("%s %.10g\n" % (n, v) for n, v in zip(NAMES, values))


def levels(jmax):
    for j in range(jmax + 1):
        for ka in range(j + 1):
            for kc in (j - ka, j - ka + 1):
                if 0 <= kc <= j:
                    yield (j, ka, kc)


def dipole_type(up, lo):
    """a, b or c for an allowed pair (up above lo in J or equal J), else None"""
    if up[0] - lo[0] not in (0, 1) or up == lo:
        return None
    pa, pc = (up[1] - lo[1]) % 2, (up[2] - lo[2]) % 2
    return {(0, 1): "a", (1, 1): "b", (1, 0): "c"}.get((pa, pc))


def candidates(max_dka=3):
    lv = list(levels(JMAX))
    byj = {}
    for l in lv:
        byj.setdefault(l[0], []).append(l)
    for up in lv:
        for lo in byj.get(up[0], []) + byj.get(up[0] - 1, []):
            # equal-J pairs once, and only transitions that change Ka by at most 3
            if lo[0] == up[0] and lo >= up:
                continue
            if abs(up[1] - lo[1]) <= max_dka and dipole_type(up, lo):
                yield up, lo


def fmt_line(up, lo):
    return "Jup %d K-up %d K+up %d Jlo %d K-lo %d K+lo %d" % (up + lo)


def calculate(lines):
    head = "calc\n\nnzyk 1 print 0\n\n" + params(TRUE) + "\n\n"
    out = subprocess.run([RUVO], input=head + "\n".join(lines) + "\n\n",
                         capture_output=True, text=True).stdout
    calc = {}
    for row in out.splitlines():
        m = LINE.match(row)
        if m:
            calc[int(m.group(1))] = float(m.group(2))
    return calc


def main():
    rnd = random.Random(20261209)
    nlines = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    pairs = list(candidates(3 if nlines <= 2000 else 5))
    texts = [fmt_line(u, l) for u, l in pairs]
    # the listing of a calculation ends at a line whose frequency is exactly
    # zero (the two levels of a K doublet that is degenerate to the last
    # digit): such a line is left out and the calculation goes on after it
    calc = {}
    start = 0
    while start < len(texts):
        part = calculate(texts[start:start + 8000])
        calc.update({start + k: v for k, v in part.items()})
        start += len(part) + (1 if len(part) < min(8000, len(texts) - start) else 0)
    # above 1000 GHz the listing prints frequencies to 0.1 MHz: the calculated
    # values would carry a rounding error larger than the noise
    fmax = FMAX if nlines <= 2000 else 999.0
    inside = [i for i in range(len(texts)) if i + 1 in calc and 0 < calc[i + 1] <= fmax]
    chosen = sorted(rnd.sample(inside, nlines), key=lambda i: pairs[i])
    start = [v * (1 + rnd.choice((-1, 1)) * rnd.uniform(0.002, 0.01)) if k >= 3 else
             v * (1 + rnd.choice((-1, 1)) * 2e-5) for k, v in enumerate(TRUE)]
    with open("rigid_%d_lines.inp" % nlines, "w") as f:
        f.write("Watson A asymmetric top: %d a, b and c lines J <= %d up to %g GHz, "
                "noise 0.020 MHz\n\n" % (nlines, JMAX, fmax))
        f.write("nzyk 20 reduct 0 defer 2.0e-5\n\n")
        f.write(params(start) + "\n")
        f.write("".join("fit %s\n" % n for n in NAMES) + "\n")
        for i in chosen:
            f.write("%s = %.7f\n" % (texts[i], calc[i + 1] * 1 + rnd.gauss(0, 2.0e-5)))
        f.write("\n")
    if nlines != 2000:
        return
    for jmax, fmax, name in ((20, 300.0, "predict_j20.inp"), (JMAX, 300.0, "predict_j60.inp")):
        with open(name, "w") as f:
            f.write("Watson A asymmetric top: predicted spectrum of all levels J <= %d, "
                    "0 .. %g GHz\n\n" % (jmax, fmax))
            f.write("nzyk 1 reduct 0 ints 2 freq_l 0 freq_h %g limit 0.001 temp 300\n\n" % fmax)
            f.write(params(TRUE) + "mu_x 0.5 mu_y 0.3 mu_z 1.5\n\n\n")
            f.write("Jup %d K-up 0 K+up %d Jlo %d K-lo 0 K+lo %d\n\n" % (jmax, jmax, jmax - 1, jmax - 1))


main()
