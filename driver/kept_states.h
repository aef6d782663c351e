// How many torsional states the top keeps when the run asks for converged
// levels (vkeep = -1).
#pragma once

#include "core/state.h"

namespace ruvo {

// Raises the states that the top keeps, coupled completely, from 3 in steps
// of 2 until no calculated frequency of the transition list changes by more
// than vtol (kHz) from one count to the next, with the starting parameters;
// lists each count and its largest change and leaves the count in
// rs.ctl.vkeep.  Frequencies still changing at the largest count the basis
// allows (2 maxm) are reported on standard error and counted as a problem.
void convergeKeptStates(RunState& rs, const FitState& fs, SweepWork& sw);

// The product torsional states of two or three tops that keep their states
// 1..states coupled completely, for set B: every product |v1>|v2>(|v3>)
// whose torsional excitation energy, the sum over the tops of
// E_t(v_t) - E_t(1) at K = 0 (the tops' symmetry numbers in species 1, from
// the set's tables `tors`), does not exceed the excitation energy of state
// `states` of the top whose state `states` lies lowest, numbered by that
// energy.  Two alike tops thus keep states(states+1)/2 products.  More than
// DIMVKEEP products are cut to the lowest DIMVKEEP, reported on standard
// error and counted.
void chooseKeptProducts(RunState& rs, TorsionTables& tors, int states, int ntop, int B,
                        KeptProducts& kept);

} // namespace ruvo
