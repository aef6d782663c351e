// The calculation sweep: from one parameter array to the calculated energies
// of every transition, and the numerical derivatives by repeated sweeps.
#include "driver/sweep.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "fit/adjust.h"
#include "hamiltonian/axis_rotation.h"
#include "hamiltonian/block.h"
#include "intensity/intensity_listing.h"
#include "intensity/line_strength.h"
#include "intensity/scratch_files.h"
#include "torsion/torsion.h"

namespace ruvo {

void calculationSweep(RunState& rs, SweepWork& sw, ParamSets& par, const FitFlags& flags,
                      const FitModel& fm, int pass) {
  Transitions& tr = rs.tr;
  Controls& ctl = rs.ctl;
  std::ostream& out = *rs.io.out;
  const int ndata = tr.ndata;

  // 1. every level is to be found again
  for (int k = 1; k <= ndata; ++k) {
    for (int end : {UP, LO}) {
      int& kind = tr.qn[k][end][slot::KIND];
      kind &= ~(kindbit::FOUND | kindbit::SUSPECT);
      tr.levelIndex[k][end] = -1000;
    }
  }

  // 2. no B set prepared yet
  sw.lastB = -1;
  sw.blk.maxJ = rs.maxJ;
  sw.blk.nB = rs.nB;
  sw.blk.nsym = rs.species.nsym;
  const int ntop = ctl.ntop;
  // the parameters of the set being computed; its dependent parameters are
  // recomputed in the caller's array (the derivative sweeps hand in a
  // shifted copy)
  ConstParamView setView{&std::as_const(par)(1, 1)};

  // 3. the blocks of the todo list
  const int nTodo = rs.todo.n;
  for (int e = 1; e <= nTodo; ++e) {
    const TodoEntry& te = rs.todo.e[e];
    if (pass != 0 && !hasBit(te.Stat, TODO_DERIV)) continue;
    stopIfTerminated();
    const int B = te.B;
    if (B < 1 || B > DIMB) stop("B > DIM B");

    // option bits of set B and the product torsional states of its blocks
    sw.blk.woods = rs.woodsB[B];
    sw.blk.adjf = rs.adjfB[B];
    int nvv = 0;
    while (nvv < DIMVV && rs.use(nvv + 1, 1, B) != -1) ++nvv;
    if (nvv < 1) nvv = 1;
    // the set's own count of product states: the torsional problem and the
    // set's torsional file are made with it (a species-0 block added for the
    // predicted spectrum takes one state below)
    sw.blk.nvv = nvv;
    sw.blk.ntop = ntop;

    // window of one-top states kept per top
    if (ntop >= 1) {
      for (int t = 1; t <= ntop && t <= DIMTOP; ++t) {
        int lo = rs.use(1, t, B), hi = rs.use(1, t, B);
        for (int i = 2; i <= nvv; ++i) {
          lo = std::min(lo, rs.use(i, t, B));
          hi = std::max(hi, rs.use(i, t, B));
        }
        const int span = hi - lo + 1;
        if (span < 0) stop("error in calc2");
        sw.blk.firstV[t] = lo;
        sw.blk.nV[t] = span;
      }
    }

    // a new B set: dependent parameters and the torsional problem
    if (B != sw.lastB) {
      sw.lastB = B;
      for (int t = 1; t <= DIMTOP; ++t) sw.rot[t].mark = 0;
      adjustDependentParameters(rs, par.set(B), fm.npar, sw.blk.adjf);
      setView = std::as_const(par).set(B);
      if (hasBit(ctl.aprint, aprintbit::PARAMETERS_AND_RHO) && rs.detailPrint != 0) {
        put(out, "(2(A,I3))", {"Parameter for B=", B, "   deriv.=", pass});
        put(out, "(A,3F18.9)",
            {"BJ  BK    B-  ", setView(par::BJ), setView(par::BK), setView(par::Bm)});
        for (int t = 1; t <= ntop && t <= DIMTOP; ++t)
          put(out, "(A,3F18.9)",
              {"rho gamma beta", setView(par::top(t, par::rho)), setView(par::top(t, par::gamma)),
               setView(par::top(t, par::beta))});
      }
      solveTorsionalProblems(rs, sw, B, setView, flags.set(B), pass);
      if (intensityMode(ctl.ints) >= intsbit::SPECTRUM_BY_SPECIES && pass == 0)
        writeTorsionalIntegrals(rs, sw, B);
    }

    // the tables of set B hold the window solveTorsionalProblems settled on (with woods bit 4
    // every top's states from the ground state on): index into that window
    if (ntop >= 1)
      for (int t = 1; t <= ntop && t <= DIMTOP; ++t) {
        sw.blk.firstV[t] = sw.tors.firstV[t];
        sw.blk.nV[t] = sw.tors.nV[t];
      }

    // axis system of every top for this J
    if (ntop >= 1)
      for (int t = 1; t <= ntop && t <= DIMTOP; ++t)
        rotateTopAxes(sw.rot[t], setView(par::top(t, par::beta)), te.J);

    // species 0: a block without internal rotation; one added for the
    // predicted spectrum holds the rigid rotor of the set with one torsional
    // state, whatever states the set keeps
    if (te.Sym == 0) sw.blk.ntop = 0;
    if (te.Sym == 0 && te.predicted) sw.blk.nvv = 1;

    solveBlock(rs, sw, te.J, te.Sym, te.F, B, setView, flags.set(B), fm, pass);
    // the block's eigenvectors go to its scratch file for the line strengths
    if (intensityMode(ctl.ints) > 0 && pass == 0)
      writeBlockEigenvectors(rs, sw, te.J, te.Sym, te.F, B);

    // line strengths of set B once its last block is done
    const bool lastOfB = e == nTodo || rs.todo.e[e + 1].B != B;
    if (pass == 0 && intensityMode(ctl.ints) > 0 && lastOfB) {
      for (int k = 1; k <= ndata; ++k)
        if (tr.qn[k][UP][slot::B] == B && tr.qn[k][LO][slot::B] == B)
          tr.inten[k] =
              lineStrength(rs, sw, k, setView(par::mu_x), setView(par::mu_y), setView(par::mu_z));
    }
    sw.blk.ntop = ntop;
  }

  // 4. levels that no block provided
  for (int k = 1; k <= ndata; ++k) {
    const int up = tr.qn[k][UP][slot::KIND], lo = tr.qn[k][LO][slot::KIND];
    if (pass != 0 && !hasBit(up, kindbit::MEASURED) && !hasBit(lo, kindbit::MEASURED)) continue;
    if (!hasBit(up, kindbit::FOUND) || !hasBit(lo, kindbit::FOUND))
      put(out, "(A,I" + std::to_string(std::max(4, decimalWidth(ndata))) + ",A,2I4)",
          {" Assign error at line", k, " reason", up, lo});
  }

  // 5. the predicted spectrum, with the dipole components of the last set
  if (intensityMode(ctl.ints) >= intsbit::SPECTRUM_BY_SPECIES && pass == 0 && nTodo >= 1) {
    const int Blast = rs.todo.e[nTodo].B;
    if (Blast >= 1 && Blast <= DIMB) {
      const double mux = par(par::mu_x, Blast), muy = par(par::mu_y, Blast),
                   muz = par(par::mu_z, Blast);
      if (intensityMode(ctl.ints) == intsbit::SPECTRUM_BY_SPECIES)
        printPredictedSpectrum(rs, sw, mux, muy, muz, ctl.temp);
      else if (intensityMode(ctl.ints) == intsbit::SPECTRUM_GROUPED)
        printGroupedSpectrum(rs, sw, mux, muy, muz, ctl.temp);
    }
  }
}

void sweepWithDerivatives(RunState& rs, SweepWork& sw, ParamSets& par, const FitFlags& flags,
                          const FitModel& fm, int mode) {
  Transitions& tr = rs.tr;
  const int ndata = tr.ndata;

  if (mode == 0) {
    // energies and analytic derivatives of the given parameters
    for (int k = 1; k <= ndata; ++k) {
      tr.eUp[k].fill(0.0);
      tr.eLo[k].fill(0.0);
    }
    rs.detailPrint = rs.cyclePrint != 0 ? 1 : 0;
    calculationSweep(rs, sw, par, flags, fm, 0);
    for (int k = 1; k <= ndata; ++k) {
      sw.baseUp[k] = tr.eUp[k][0];
      sw.baseLo[k] = tr.eLo[k][0];
    }
    return;
  }

  // numerical derivatives: no analytic ones in these sweeps, and no matrix
  // or eigenvector prints
  FitFlags noFlags{};
  rs.detailPrint =
      (hasBit(rs.ctl.aprint, aprintbit::TRANSITIONS_SELECTED_CYCLES) && rs.cyclePrint != 0) ? 1 : 0;
  const ListingBitsOff quiet(rs.ctl.aprint,
                             aprintbit::BLOCK_EIGENVECTORS | aprintbit::BLOCK_MATRICES);

  ParamSets shifted;
  for (int n = 1; n <= fm.nfit && n <= DIMFIT; ++n) {
    const FitVar& fv = fm.var[n];
    if (fv.kind >= 0) continue;
    // the sign of the step alternates from one derivative calculation to the next
    sw.stepSign[n] = -sw.stepSign[n];
    // step: the relative step (percent) of the mean size of the terms
    double basis = 0.0;
    int nterm = 0;
    for (int j = 1; j <= fv.nterm && j <= DIMPLC; ++j) {
      if (fv.par[j] < 1 || fv.par[j] > NPAR || fv.set[j] < 1 || fv.set[j] > DIMB) continue;
      basis += std::fabs(fv.coef[j] * par(fv.par[j], fv.set[j]));
      ++nterm;
    }
    if (nterm == 0 || basis == 0.0) continue; // no step can be formed; column left 0
    const double h = sw.stepSign[n] * (fv.step / 100.0) * basis / fv.nterm;
    if (h == 0.0) continue;

    auto shiftedSweep = [&](double step) {
      shifted = par;
      for (int j = 1; j <= fv.nterm && j <= DIMPLC; ++j) {
        if (fv.par[j] < 1 || fv.par[j] > NPAR || fv.set[j] < 1 || fv.set[j] > DIMB) continue;
        shifted(fv.par[j], fv.set[j]) += step * fv.coef[j];
      }
      calculationSweep(rs, sw, shifted, noFlags, fm, n);
    };

    shiftedSweep(h);
    if (fv.kind == -2 || mode > 1) {
      // central difference
      for (int k = 1; k <= ndata; ++k) {
        sw.fwdUp[k] = tr.eUp[k][0];
        sw.fwdLo[k] = tr.eLo[k][0];
      }
      shiftedSweep(-h);
      for (int k = 1; k <= ndata; ++k) {
        tr.eUp[k][n] = (sw.fwdUp[k] - tr.eUp[k][0]) / (2.0 * h);
        tr.eLo[k][n] = (sw.fwdLo[k] - tr.eLo[k][0]) / (2.0 * h);
      }
    } else {
      // one-sided difference from the energies of the value sweep
      for (int k = 1; k <= ndata; ++k) {
        tr.eUp[k][n] = (tr.eUp[k][0] - sw.baseUp[k]) / h;
        tr.eLo[k][n] = (tr.eLo[k][0] - sw.baseLo[k]) / h;
      }
    }
  }

  for (int k = 1; k <= ndata; ++k) {
    tr.eUp[k][0] = sw.baseUp[k];
    tr.eLo[k][0] = sw.baseLo[k];
  }
}

} // namespace ruvo
