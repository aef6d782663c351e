// The partition function of the molecule for the catalogue.
#pragma once

#include <vector>

#include "core/state.h"
#include "report/catalogue.h"

namespace ruvo {

// With tops, Q includes every torsional product state of each set whose
// lowest level (J = 0, the torsional energy at K = 0, lowest over the
// species) lies less than this many kT at 300 K (208.5 cm^-1) above the
// torsional ground state: a state at E adds about exp(-E/kT) of the ground
// state's share, and the free-rotor states above the barrier left out
// beyond 10 kT add a few 1e-5 of Q for a methyl top (F about 5 cm^-1).
inline constexpr double TORSIONAL_STATES_KT = 10.0;

// Q(T) at the catalogue temperatures (and at T): the output levels `levels`
// (J <= rs.maxJ, the model's torsional states), then J by J above their J
// range until a J adds less than PARTITION_STEP of Q(300 K), energies only,
// from the parameter sets `par` (dependent top parameters as the sweep
// makes them, with fm.npar).  Without tops the rigid-rotor levels of every
// set and F up to J = 1000; with tops the blocks of the model's states up
// to J = DIMJ, then the excited torsional states below
// TORSIONAL_STATES_KT, each from J = 0 on in blocks of its own.  The
// listing prints, the transitions and `levels` are left as they are.
// With `onlyAtT` Q is converged at T alone (PartitionTable::onlyAtT).
PartitionTable partitionOfTheMolecule(RunState& rs, const FitModel& fm, const ParamSets& par,
                                      const std::vector<OutputLevel>& levels, double T,
                                      bool onlyAtT = false);

} // namespace ruvo
