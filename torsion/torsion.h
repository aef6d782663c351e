// One-top torsional problems and the torsional integrals of a B set.
#pragma once

#include "driver/state.h"

namespace ruvo {

// Solve the torsional problems of every top and symmetry number of set B for
// K = -maxJ..maxJ and fill sw.tors (energies, operator elements, labels,
// integrals).  The window of kept states per top comes from
// sw.blk.firstV / sw.blk.nV (set by the sweep).  `pass` is the sweep's pass.
void calmk(RunState& rs, SweepWork& sw, int B, ConstParamView par, ConstFlagView flags,
           int pass);

} // namespace ruvo
