#!/usr/bin/python3
"""Worked example of the user guide, "Using ruvo from Python": fit the
one-top example, look at the results as arrays, predict levels and a
catalogue, and scan the barrier V3 and the rho vector.

    PYTHONPATH=build/python examples/python/one_top_scan.py [examples/one_top.inp]
"""
import pathlib
import sys

import numpy as np

import ruvo

path = sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[1] / "one_top.inp"
m = ruvo.read(path)

# the fit as the program makes it
fit = m.fit()
print(f"converged {fit.converged} after {fit.cycles} cycles, sd {fit.sd_MHz * 1000:.2f} kHz")
for name in ("V1n_1", "rho_1", "beta_1"):
    print(f"  {name:7s} {fit.parameters[name]:14.6f} +- {fit.errors[name]:.6f}")
strongest = np.unravel_index(np.argmax(np.abs(fit.correlations - np.eye(len(fit.fit_names)))),
                             fit.correlations.shape)
print("  strongest correlation:", fit.fit_names[strongest[0]], fit.fit_names[strongest[1]],
      f"{fit.correlations[strongest]:.3f}")

# the worst lines, from the structured array of the transition list
lines = fit.lines
worst = lines[np.argsort(-np.abs(lines["oc_MHz"]))[:3]]
for l in worst:
    print(f"  line {l['index']:3d}  J {l['upper']['J']:2d} <- {l['lower']['J']:2d}"
          f"  o-c {l['oc_MHz'] * 1000:8.2f} kHz")

# levels of the fitted molecule up to J = 20, and its partition function
best = m.with_parameters(fit)
levels = best.levels(jmax=20)
print(f"{len(levels.levels)} levels up to J = 20, Q(300 K) = {levels.Q(300):.1f}")

# a scan from a grid of start values: V3 (GHz) and rho
scan = ruvo.scan(m, {"V1n_1": np.linspace(11000, 12000, 5), "rho_1": [0.049, 0.051, 0.053]},
                 threads=2)
best_row = np.nanargmin(scan.sd_MHz)
print(f"scan of {len(scan)} points: all converged {bool(scan.converged.all())},"
      f" best sd {scan.sd_MHz[best_row] * 1000:.2f} kHz from V1n_1 = {scan.column('V1n_1')[best_row]:.0f}")

# errors carry the input line the program names
try:
    ruvo.parse(m.text.replace("K-up 0 K+up 1", "K-up 3 K+up 1", 1))
except ruvo.Error as e:
    print(f"input error at line {e.line}: {str(e).splitlines()[0]}")
