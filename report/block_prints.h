// Inspection prints of one J block: what the block builder shows on request
// (aprint bits from 1024 up, eval > 3) of its basis, its Hamiltonian matrix
// (GHz) and its eigenvectors.  Listings go to rs.io.out; the inspection
// files are free-format text files named "ruvo", a letter and a tail such
// as "s1.j05" (matrix of block J = 5, species 1: ruvohs1.j05).
#pragma once

#include <string>

#include "core/state.h"

namespace ruvo {

// Name of an inspection file: "ruvo" + letter + second + species digit +
// ".j" + the two digits of J.
std::string inspectionName(char letter, const std::string& second, int S, int J);

// The product torsional states of the block (one-top states of every top)
// and, per top, the coupling mask between them.
void printProductStates(const RunState& rs, const SweepWork& sw, int B);
// The packed block matrix as it goes to the solver (" H_tot").
void printBlockMatrix(const RunState& rs, const SweepWork& sw);
// The eigenvectors (Zr, Zi) and the ascending eigenvalues of the block.
void printBlockEigenpairs(const RunState& rs, const SweepWork& sw);

// Inspection files.  The block matrix (packed Hermitian layout), one record per row.
void writeMatrixFile(const SweepWork& sw, const std::string& name, int J, int S);
// The per-top files of an internal-rotation block: the rotation matrix of
// the top weighted by its torsional overlaps ('t'), the overlaps at equal K
// ('p'), and the rotation matrix weighted by the overlaps of all tops over
// the block basis ('r').
void writeTopFiles(const RunState& rs, SweepWork& sw, int J, int S);
// Eigenvalues ('e') and eigenvectors ('v') of a real block.
void writeEigenFiles(const SweepWork& sw, int J, int S);

} // namespace ruvo
