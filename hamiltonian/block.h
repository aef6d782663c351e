// One J block of the rotation-torsion problem: build, diagonalise, label.
#pragma once

#include "driver/state.h"

namespace ruvo {

// Compute the levels of block (J, species S, 2F, set B) and store energies,
// labels and analytic derivatives into the transitions.  Uses sw.blk (nvv,
// ntop in effect, woods), sw.tors and sw.rot as prepared by the sweep.
void calvjk(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, ConstParamView par,
            ConstFlagView flags, const FitModel& fm, int pass);

} // namespace ruvo
