# Writes one_top_600_lines.inp: 300 a- and b-type lines up to J = 40, each
# as an A and an E line, calculated with the "true" one-top parameters
# and given 20 kHz of Gaussian noise; the fit starts from displaced
# parameters, with the barrier, rho and beta as numerical variables.
# Usage: python3 make_one_top_600_lines.py path/to/ruvo
import random, re, subprocess, sys
RUVO=sys.argv[1]
random.seed(5)
LINE = re.compile(r"^\s*(\d+):(?:\s+-?\d+){6}\s+/\w+\s*(-?\d+\.\d+)")
true = "BJ 2.70 BK 6.40 B- 0.26 DJ 1.05e-6 DJK -4.8e-6\nF_1 160 V1n_1 12500 rho_1 0.052 beta_1 0.31\n"
start = "BJ 2.701 BK 6.399 B- 0.2601 DJ 1.0e-6 DJK -4.5e-6\nF_1 160 V1n_1 12400 rho_1 0.0521 beta_1 0.312\n"
lines=[]
for J in range(1,41):
  for t in range(1, 2*J+2):
    Ka = t//2; Kc = (2*J-t+2)//2
    for dKa in (0, 1, -1):
      lKa = Ka + dKa
      if lKa < 0 or lKa > J-1: continue
      for lKc in (J-1-lKa, J-lKa):
        if lKc < 0 or lKc > J-1 or lKa+lKc not in (J-1, J): continue
        if (Ka - lKa) % 2 == 0 and (Kc - lKc) % 2 == 1 or (Ka - lKa) % 2 == 1 and (Kc - lKc) % 2 == 1:
          lines.append("Jup %d K-up %d K+up %d Jlo %d K-lo %d K+lo %d" % (J, Ka, Kc, J-1, lKa, lKc))
random.shuffle(lines)
lines = sorted(lines[:300], key=lambda s: int(s.split()[1]))
lines = [l + s for l in lines for s in (" /A", " /E")]
sym = "/A S 0\n/E S 1\n\nV 0\n\n"
head = "one top\n\nnzyk 1 ntop 1 print 0\n\n" + true + "\n\n" + sym
out = subprocess.run([RUVO], input=head+"\n".join(lines)+"\n\n", capture_output=True, text=True).stdout
calc={}
for row in out.splitlines():
  m=LINE.match(row)
  if m: calc[int(m.group(1))]=float(m.group(2))
fit = ("one top fit 600 lines J 40, 3 numerical variables\n\nnzyk 11 ntop 1 print 0 convg 1.5\n\n" + start + "\n"
       + "".join("fit %s\n" % p for p in "BJ BK B- DJ DJK".split())
       + "dqu 0.1 1 V1n_1\ndqu 0.1 1 rho_1\ndqu 0.1 1 beta_1\n\n" + sym)
body = []
for i,l in enumerate(lines, 1):
  f = calc[i] + random.gauss(0, 20e-6)
  body.append("%s = %.7f Err 20e-6" % (l, f))
open("one_top_600_lines.inp","w").write(fit + "\n".join(body) + "\n\n")
print(len(body), len(calc))
