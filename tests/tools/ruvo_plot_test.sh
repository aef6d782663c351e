#!/bin/sh
# ruvo-plot on the one-top example: a fit's residuals and a catalogue's
# stick spectrum must come out as non-empty files.  Exit 77 (skipped) when
# /usr/bin/python3 has no matplotlib.
set -e
ruvo=$1
src=$2
/usr/bin/python3 -c "import matplotlib" 2>/dev/null || exit 77
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
sed 's/^F_1 158 V1n_1 11500 rho_1 0.051 beta_1 0.34/&\nmu_x 0.8 mu_z 1.5/' "$src/examples/one_top.inp" > run.inp
# (a top's partition function summed to J = 70 is not converged at 300 K:
# exit status 1 with that warning alone)
"$ruvo" --json run.json --catalog run.cat run.inp > run.out 2> run.err ||
  test "$(grep -cv 'partition function at 300 K is not converged' run.err)" = 0
"$src/tools/ruvo-plot" residuals run.json -o residuals.png
"$src/tools/ruvo-plot" spectrum run.cat --json run.json -o spectrum.svg
"$src/tools/ruvo-plot" spectrum run.cat --decades 4 -o spectrum.pdf
test -s residuals.png
test -s spectrum.svg
test "$(head -c 5 spectrum.pdf)" = "%PDF-"
# one stick colour per species (A and E), measured lines marked only when some are
test "$(grep -c 'label.*/A\|/A</text>\|<!-- /A -->' spectrum.svg)" -ge 1
! "$src/tools/ruvo-plot" spectrum run.cat -o spectrum.gif 2> /dev/null
