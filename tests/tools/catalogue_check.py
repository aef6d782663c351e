#!/usr/bin/python3
"""A rigid-rotor catalogue of ruvo checked card by card.

Independent of the program: the levels come from numpy (H = A Ja^2 + B Jb^2
+ C Jc^2 in the |J K> basis, z = a), labelled J Ka Kc within each symmetry
class of D2 (the characters of the eigenvector under the twofold rotations
about a and c give the parities of Ka and Kc; the levels of one class and one
J take the labels of that class in the order of tau = Ka - Kc), the line
strengths from the direction cosines (3j symbols), Q(T) as an explicit sum
to convergence.  The cards are read with astroquery's JPL reader when it is
installed (else by their fixed columns).  Prints the comparison, exits 1
on any difference beyond one unit of the last printed digit.

usage: catalogue_check.py RUVO WORKDIR
"""
import functools
import math
import os
import subprocess
import sys

import numpy as np

A, B, C = 9.0, 1.6, 1.4  # GHz
MU = {"a": 1.0, "b": 0.6, "c": 0.3}  # Debye
JMAX = 12
C2 = 1.43878  # cm K
GHZ_PER_CM = 29.9792458

INPUT = f"""independent check

nzyk 1

BJ {(B + C) / 2} BK {A - (B + C) / 2} B- {(B - C) / 2}
mu_z {MU['a']} mu_x {MU['b']} mu_y {MU['c']}


Jup {JMAX} K-up 0 K+up {JMAX} Jlo {JMAX - 1} K-lo 0 K+lo {JMAX - 1}
"""


def rotor_matrix(J):
    """<J K'|H|J K> (GHz), K = -J..J, z = a, x = b, y = c."""
    K = np.arange(-J, J + 1, dtype=float)
    h = np.diag(0.5 * (B + C) * (J * (J + 1) - K**2) + A * K**2)
    for i in range(2 * J - 1):
        k = K[i]
        v = 0.25 * (B - C) * math.sqrt((J - k) * (J + k + 1) * (J - k - 1) * (J + k + 2))
        h[i + 2, i] = h[i, i + 2] = v
    return h


def labels_by_symmetry(J, vecs, energies):
    """J Ka Kc of each eigenvector from its D2 characters."""
    K = np.arange(-J, J + 1)
    want = {}
    for Ka in range(J + 1):
        for Kc in (J - Ka, J - Ka + 1):
            if 0 <= Kc <= J:
                want.setdefault((Ka % 2, Kc % 2), []).append((Ka - Kc, Ka, Kc))
    got = {}
    for l in range(2 * J + 1):
        v = vecs[:, l]
        pz = 1 if np.sum(np.where(K % 2 == 0, 1, -1) * v * v) > 0 else -1  # about a
        s = 1 if np.dot(v, v[::-1]) > 0 else -1  # <v|P|v>, P|K> = |-K>
        py = s * (-1) ** J * pz  # about c: s (-1)^(J+K)
        got.setdefault(((1 - pz) // 2, (1 - py) // 2), []).append(l)
    lab = [None] * (2 * J + 1)
    for cls, ls in got.items():
        ls.sort(key=lambda l: energies[l])
        for l, (_, Ka, Kc) in zip(ls, sorted(want[cls])):
            lab[l] = (Ka, Kc)
    return lab


@functools.lru_cache(maxsize=None)
def three_j(j1, j2, j3, m1, m2, m3):
    if m1 + m2 + m3 != 0 or not abs(j1 - j2) <= j3 <= j1 + j2:
        return 0.0
    if abs(m1) > j1 or abs(m2) > j2 or abs(m3) > j3:
        return 0.0
    f = math.factorial
    pre = math.sqrt(f(j1 + j2 - j3) * f(j1 - j2 + j3) * f(-j1 + j2 + j3) / f(j1 + j2 + j3 + 1)
                    * f(j1 + m1) * f(j1 - m1) * f(j2 + m2) * f(j2 - m2) * f(j3 + m3) * f(j3 - m3))
    s = 0.0
    for k in range(0, j1 + j2 - j3 + 1):
        d = [j1 + j2 - j3 - k, j1 - m1 - k, j2 + m2 - k, j3 - j2 + m1 + k, j3 - j1 - m2 + k]
        if min(d) < 0:
            continue
        s += (-1) ** k / (f(k) * f(d[0]) * f(d[1]) * f(d[2]) * f(d[3]) * f(d[4]))
    return (-1) ** (j1 - j2 - m3) * pre * s


def strength(Ju, cu, Jl, cl):
    """S mu^2 (D^2) summed over M: (2J'+1)(2J+1)|sum c'c (-1)^K' (J' 1 J; -K' q K) mu_q|^2."""
    # spherical components mu_0 = mu_a, mu_+-1 = -+(mu_b +- i mu_c)/sqrt2
    mu = {0: MU["a"], 1: -(MU["b"] + 1j * MU["c"]) / math.sqrt(2),
          -1: (MU["b"] - 1j * MU["c"]) / math.sqrt(2)}
    amp = 0.0
    for Kp in range(-Ju, Ju + 1):
        for q in (-1, 0, 1):
            K = Kp - q
            if abs(K) > Jl:
                continue
            amp += cu[Kp + Ju] * cl[K + Jl] * (-1) ** Kp * three_j(Ju, 1, Jl, -Kp, q, K) * mu[q]
    return (2 * Ju + 1) * (2 * Jl + 1) * abs(amp) ** 2


def partition_function(T):
    Q, J = 0.0, 0
    while True:
        q = (2 * J + 1) * np.sum(np.exp(-C2 * np.linalg.eigvalsh(rotor_matrix(J)) / GHZ_PER_CM / T))
        Q += q
        if q < 1e-10 * Q:
            return Q
        J += 1


def read_cards(path):
    try:
        from astroquery.jplspec import JPLSpec

        class Response:
            text = open(path).read()

        JPLSpec.maxlines = 10**9  # set by a query, not by the reader itself
        t = JPLSpec._parse_result(Response())
        reader = "astroquery's JPL reader"
        rows = [(float(r["FREQ"]), float(r["ERR"]), float(r["LGINT"]), int(r["DR"]),
                 float(r["ELO"]), int(r["GUP"]), int(r["TAG"]), int(r["QNFMT"]),
                 str(r["QN'"]), str(r['QN"'])) for r in t]
    except ImportError:
        reader = "fixed columns"
        rows = []
        for c in open(path):
            rows.append((float(c[0:13]), float(c[13:21]), float(c[21:29]), int(c[29:31]),
                         float(c[31:41]), int(c[41:44]), int(c[44:51]), int(c[51:55]),
                         c[55:67], c[67:79]))
    return reader, rows


def main():
    ruvo, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    cat = os.path.join(work, "check.cat")
    run = subprocess.run([ruvo, "--catalog", cat, "--tag", "34001", "-"], input=INPUT,
                         capture_output=True, text=True)
    if run.returncode != 0:
        print(run.stderr)
        return 1
    # independent levels and lines
    levels = []
    for J in range(JMAX + 1):
        # The twofold rotations about a and c commute with H: diagonalising
        # H + 0.001 GHz (C2a + 2 C2c) gives eigenvectors of H that belong to
        # one symmetry class each, also within a doublet degenerate to
        # rounding; the energies are those of H.
        K = np.arange(-J, J + 1)
        c2a = np.diag(np.where(K % 2 == 0, 1.0, -1.0))
        c2c = np.zeros((2 * J + 1, 2 * J + 1))
        for i, k in enumerate(K):
            c2c[J - k, i] = (-1.0) ** (J + k)
        h = rotor_matrix(J)
        _, v = np.linalg.eigh(h + 1e-3 * (c2a + 2 * c2c))
        e = np.einsum("rl,rc,cl->l", v, h, v)
        for l, (Ka, Kc) in enumerate(labels_by_symmetry(J, v, e)):
            levels.append((J, Ka, Kc, e[l], v[:, l]))
    Q300 = partition_function(300.0)
    want = {}
    for Ju, Kau, Kcu, Eu, cu in levels:
        for Jl, Kal, Kcl, El, cl in levels:
            nu = Eu - El
            if nu <= 0 or abs(Ju - Jl) > 1 or nu * 1000 < 0.5e-4:
                continue
            s = strength(Ju, cu, Jl, cl)
            elo, eup = El / GHZ_PER_CM, Eu / GHZ_PER_CM
            I = 4.16231e-5 * nu * 1000 * s * (math.exp(-C2 * elo / 300) - math.exp(-C2 * eup / 300)) / Q300
            if I <= 0 or math.log10(I) < -20:
                continue
            want[(Ju, Kau, Kcu, Jl, Kal, Kcl)] = (nu * 1000, math.log10(I), elo, 2 * Ju + 1)
    reader, rows = read_cards(cat)
    bad = 0
    worst = [0.0, 0.0, 0.0]
    seen = set()
    for f, err, lgint, dr, elo, gup, tag, qnfmt, qu, ql in rows:
        q = tuple(int(qu[2 * i:2 * i + 2]) for i in range(3)) + tuple(int(ql[2 * i:2 * i + 2]) for i in range(3))
        w = want.get(q)
        ok = w is not None and dr == 3 and tag == 34001 and qnfmt == 303 and gup == w[3]
        if ok:
            d = [abs(f - w[0]), abs(lgint - w[1]), abs(elo - w[2])]
            worst = [max(a, b) for a, b in zip(worst, d)]
            ok = d[0] <= 1.5e-4 and d[1] <= 1.5e-4 and d[2] <= 1.5e-4
        if not ok:
            bad += 1
            if bad <= 5:
                print("differs:", f, lgint, elo, gup, q, w)
        seen.add(q)
    missing = [k for k in want if k not in seen]
    print(f"{len(rows)} cards read with {reader}; independent calculation: {len(want)} lines,"
          f" Q(300 K) = {Q300:.6e}")
    print(f"largest differences: FREQ {worst[0]:.1e} MHz, LGINT {worst[1]:.1e}, ELO {worst[2]:.1e} cm-1;"
          f" {bad} cards differ, {len(missing)} lines missing")
    return 0 if bad == 0 and not missing and len(rows) == len(want) else 1


if __name__ == "__main__":
    sys.exit(main())
