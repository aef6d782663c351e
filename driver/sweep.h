// The calculation sweep: one parameter set -> energies of every transition.
#pragma once

#include "core/state.h"

namespace ruvo {

// Block settings of a set whose tops keep their one-top states 1..states
// with every coupling between them (vkeep), with the woods bits of the
// complete coupling: one top has one product state per kept state; two or
// three tops have the product states `products` chosen for the set
// (chooseKeptProducts); without them (not chosen yet) the per-top windows
// only.
void keepStatesCompletely(BlockState& blk, int states, int ntop,
                          const KeptProducts* products = nullptr);

// One sweep over the todo list.  pass 0: values (and analytic derivatives);
// pass n: numerical-derivative sweep of fit variable n.  The dependent
// parameters of each set are recomputed (adjustDependentParameters) in `par`
// itself: the value sweep adjusts the sets it is given, the derivative
// sweeps adjust their shifted copy.
void calculationSweep(RunState& rs, SweepWork& sw, ParamSets& par, const FitFlags& flags,
                      const FitModel& fm, int pass);
// mode 0: values; 1: add numerical derivatives (one-sided for dqu, two-sided
// for dqx); 2, 3: every numerical derivative two-sided.
void sweepWithDerivatives(RunState& rs, SweepWork& sw, ParamSets& par, const FitFlags& flags,
                          const FitModel& fm, int mode);
// The signs of the numerical-derivative steps live in sw.stepSign and are
// kept for the whole run (the same SweepWork serves every sweep of a run).

} // namespace ruvo
