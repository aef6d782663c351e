// Scratch files of eigenvectors (one per block) and torsional integrals (one
// per B set) in the working directory.
#pragma once

#include <string>

#include "driver/state.h"

namespace ruvo {

// Name of the block file of (J, S, 2F, B), e.g. "j05f03b1.s02", "j05b1.s02".
std::string binnam(int J, int S, int F2, int B);
// Write the eigenvectors, energies, basis and labels of the block just
// computed (sw.Zr, sw.Zi, sw.E, sw.basis, sw.labels, sw.blk).
void wrvec(RunState& rs, const SweepWork& sw, int J, int S, int F2, int B);
// Write the torsional integrals of set B (sw.tors, sw.blk, rs.species).
void wrtori(RunState& rs, const SweepWork& sw, int B);

} // namespace ruvo
