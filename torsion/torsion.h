// One-top torsional problems and the torsional integrals of a B set.
#pragma once

#include "core/state.h"

namespace ruvo {

// Solve the torsional problems of every top and symmetry number of set B for
// K = -maxJ..maxJ and fill sw.tors (energies, operator elements, labels,
// integrals).  The window of kept states per top comes from
// sw.blk.firstV / sw.blk.nV (set by the sweep).  `pass` is the sweep's pass.
void solveTorsionalProblems(RunState& rs, SweepWork& sw, int B, ConstParamView par,
                            ConstFlagView flags, int pass);

// Torsional integrals T(K, K', v, v', sigma, t) of top t for symmetry number
// sigma from the kept eigenvectors of every K in sw.tors (the current (t,
// sigma)), for the nV kept states of basis half-width M.  Governed by
// sw.blk.woods bits 1 and 2.
void torsionalOverlapIntegrals(RunState& rs, SweepWork& sw, int sigma, int t, int pass, int M,
                               int firstV, int nV);

} // namespace ruvo
