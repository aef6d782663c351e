#!/usr/bin/env python3
"""Builds the self-consistency fit inputs of tests/data/fit.

A spectrum is calculated by ruvo itself (nzyk 1, lines without measured
frequency) from known parameters; Gaussian noise of a stated size (fixed
seed) is added to the calculated frequencies, and the fit input is written
with start values a few percent off the true ones.

    make_fit_data.py RUVO_BINARY
"""
import random
import re
import subprocess
import sys

RUVO = sys.argv[1] if len(sys.argv) > 1 else "ruvo"
LINE = re.compile(r"^.\s*(\d+):.*?\s(-?\d+\.\d+)")


def calculate(head, lines):
    text = head + "\n".join(lines) + "\n"
    out = subprocess.run([RUVO], input=text, capture_output=True, text=True).stdout
    calc = {}
    for row in out.splitlines():
        m = LINE.match(row)
        if m:
            calc[int(m.group(1))] = float(m.group(2))
    return calc


def asym_levels(jmax):
    for j in range(jmax + 1):
        for km in range(j + 1):
            for kp in (j - km, j - km + 1):
                if 0 <= kp <= j and km + kp in (j, j + 1):
                    yield (j, km, kp)


def allowed(up, lo):
    dj = up[0] - lo[0]
    if dj not in (0, 1) or up == lo:
        return False
    pm = (up[1] - lo[1]) % 2
    pp = (up[2] - lo[2]) % 2
    return (pm == 0 and pp == 1) or (pm == 1 and pp == 1)  # a-type, b-type


def rigid(seed=20261208, noise_mhz=0.020):
    truth = "BJ 2.75 BK 6.25 B- 0.25\nDJ 1.0e-6 DJK -5.0e-6 DK 3.0e-5 dj 2.0e-7 dk 1.0e-6\n"
    head = "calc\n\nnzyk 1\n\n" + truth + "\n\n"
    levels = list(asym_levels(8))
    cand = []
    for up in levels:
        for lo in levels:
            if allowed(up, lo):
                cand.append((up, lo))
    lines = ["Jup %d K-up %d K+up %d Jlo %d K-lo %d K+lo %d" % (u + l) for u, l in cand]
    calc = calculate(head, lines)
    rng = random.Random(seed)
    chosen = []
    for i, (u, l) in enumerate(cand, start=1):
        f = calc.get(i)
        if f is not None and 4.0 < f < 60.0:
            chosen.append((u, l, f + rng.gauss(0.0, noise_mhz * 1e-3)))
    start = ("BJ 2.70 BK 6.40 B- 0.26\n"
             "DJ 1.05e-6 DJK -4.8e-6 DK 3.1e-5 dj 1.9e-7 dk 1.05e-6\n")
    # the true parameters are those of `truth`; the title keeps the noise
    out = ["Asymmetric rotor, quartic distortion, calculated spectrum with noise %.3f MHz"
           % noise_mhz,
           "", "nzyk 20 defer 2.0e-5   ! Gaussian noise, seed %d" % seed, "", start, 
           "fit BJ\nfit BK\nfit B-\nfit DJ\nfit DJK\nfit DK\nfit dj\nfit dk", ""]
    for u, l, f in chosen:
        out.append("Jup %d K-up %d K+up %d Jlo %d K-lo %d K+lo %d = %.7f" % (u + l + (f,)))
    return "\n".join(out) + "\n", len(chosen)


def one_top(seed=20261209, noise_mhz=0.010, jmax=7, jmin=0):
    truth = ("BJ 2.75 BK 6.25 B- 0.25 DJ 1.0e-6 DJK -5.0e-6\n"
             "F_1 160 V1n_1 12000 rho_1 0.05 beta_1 0.3\n")
    tail = "/A S 0\n/E S 1\n\nV 0\n\n"
    head = "calc\n\nnzyk 1 ntop 1\n\n" + truth + "\nfit BJ\n\n" + tail
    levels = list(asym_levels(jmax))
    cand = []
    for up in levels:
        for lo in levels:
            if allowed(up, lo) and up[0] >= jmin:
                for species in ("/A", "/E"):
                    cand.append((up, lo, species))
    lines = ["Jup %d K-up %d K+up %d Jlo %d K-lo %d K+lo %d %s" % (u + l + (sp,))
             for u, l, sp in cand]
    calc = calculate(head, lines)
    rng = random.Random(seed)
    out = ["Molecule with one methyl top, calculated spectrum with noise %.3f MHz" % noise_mhz,
           "", "nzyk 30 ntop 1 defer 1.0e-5   ! Gaussian noise, seed %d" % seed, "",
           "BJ 2.70 BK 6.40 B- 0.26 DJ 1.05e-6 DJK -4.8e-6",
           "F_1 160 V1n_1 12500 rho_1 0.052 beta_1 0.31", "",
           "fit BJ\nfit BK\nfit B-\nfit DJ\nfit DJK\n"
           "dqu 0.1 1 V1n_1\ndqu 0.1 1 rho_1\ndqu 0.1 1 beta_1", "", tail.rstrip("\n"), ""]
    n = 0
    for i, (u, l, sp) in enumerate(cand, start=1):
        f = calc.get(i)
        if f is not None and 4.0 < f < 60.0:
            f += rng.gauss(0.0, noise_mhz * 1e-3)
            out.append("Jup %d K-up %d K+up %d Jlo %d K-lo %d K+lo %d %s = %.7f"
                       % (u + l + (sp, f)))
            n += 1
    return "\n".join(out) + "\n", n


def two_tops(seed=20261210, noise_mhz=0.010, jmax=5):
    truth = ("BJ 2.75 BK 6.25 B- 0.25\n"
             "F_1 160 V1n_1 6000 rho_1 0.05 beta_1 0.3\n"
             "F_2 160 V1n_2 4500 rho_2 0.04 beta_2 1.2 gamma_2 3.14159\n")
    tail = "/AA S 0 0\n/AE S 0 1\n/EA S 1 0\n\nV 0 0\n\n"
    head = "calc\n\nnzyk 1 ntop 2\n\n" + truth + "\nfit BJ\n\n" + tail
    levels = list(asym_levels(jmax))
    cand = []
    for up in levels:
        for lo in levels:
            if allowed(up, lo):
                for species in ("/AA", "/AE", "/EA"):
                    cand.append((up, lo, species))
    lines = ["Jup %d K-up %d K+up %d Jlo %d K-lo %d K+lo %d %s" % (u + l + (sp,))
             for u, l, sp in cand]
    calc = calculate(head, lines)
    rng = random.Random(seed)
    out = ["Molecule with two methyl tops, calculated spectrum with noise %.3f MHz" % noise_mhz,
           "", "nzyk 30 ntop 2 defer 1.0e-5   ! Gaussian noise, seed %d" % seed, "",
           "BJ 2.70 BK 6.40 B- 0.26",
           "F_1 160 V1n_1 6200 rho_1 0.052 beta_1 0.3",
           "F_2 160 V1n_2 4400 rho_2 0.041 beta_2 1.24 gamma_2 3.14159", "",
           "fit BJ\nfit BK\nfit B-\n"
           "dqu 0.1 1 V1n_1\ndqu 0.1 1 V1n_2\ndqu 0.1 1 rho_1\ndqu 0.1 1 rho_2\n"
           "dqu 0.1 1 beta_2", "", tail.rstrip("\n"), ""]
    n = 0
    for i, (u, l, sp) in enumerate(cand, start=1):
        f = calc.get(i)
        if f is not None and 4.0 < f < 60.0:
            f += rng.gauss(0.0, noise_mhz * 1e-3)
            out.append("Jup %d K-up %d K+up %d Jlo %d K-lo %d K+lo %d %s = %.7f"
                       % (u + l + (sp, f)))
            n += 1
    return "\n".join(out) + "\n", n


if __name__ == "__main__":
    for name, make in (("rigid_distortion_fit.inp", rigid), ("one_top_fit.inp", one_top),
                       ("two_top_fit.inp", two_tops)):
        text, n = make()
        with open(name, "w") as fh:
            fh.write(text)
        print(name, n, "lines")
    # blocks of order 33 and more: large enough to be computed side by side
    text, n = one_top(jmax=17, jmin=16)
    with open("one_top_high_j_fit.inp", "w") as fh:
        fh.write(text)
    print("one_top_high_j_fit.inp", n, "lines")
