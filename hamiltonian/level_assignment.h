// Quantum-number labels of the levels of a block and their hand-over to the
// transitions.
#pragma once

#include "core/state.h"

namespace ruvo {

// Labels of the levels of the block just diagonalised (sw.V, sw.E, sw.basis)
// into sw.labels; the level tables go to the energy-level file.  Uses sw.H
// (free after the diagonalisation) as work storage for the weights.
void labelLevels(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, int pass);
// Whether the labels of a block in sweep `pass` print the level table.
bool levelTablePrinted(const Controls& ctl, int pass);
// labelLevels for a block labelled beside others on a helper thread, when
// no level table is printed: reads the run state only and leaves the K
// trouble it meets and a +-K pair told by sign in sw.labelNotes, which
// reportLabelNotes then hands to the run (blocks in todo order).
void labelLevelsAside(const RunState& rs, SweepWork& sw, int J, int S, int F2, int B);
void reportLabelNotes(RunState& rs, const SweepWork& sw, int J, int S);
// Energies and labels into the transition ends that name a level of the
// block; sw.need[l] = 1 for the levels used by fitted lines.
void storeLevelEnergies(RunState& rs, SweepWork& sw, int J, int S, int F2, int B);
// Whether every transition end that names the block (J, S, 2F, B) finds a
// level among the labelled ones: when only the lowest levels were computed,
// the ends then name the levels the full block would give them, since the
// labels of the lowest levels do not depend on the levels above.
bool everyEndFindsALevel(const RunState& rs, const SweepWork& sw, int J, int S, int F2, int B);
// Add dE/dp (p = 1..32, dEdp[p]) of the level of rank T, combined into the
// analytic fit variables, into the derivative columns of its transition ends.
void storeLevelDerivatives(RunState& rs, const SweepWork& sw, int J, int S, int F2, int B, int T,
                           const FitModel& fm, const double* dEdp);

} // namespace ruvo
