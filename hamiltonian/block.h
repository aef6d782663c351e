// One J block of the rotation-torsion problem: build, diagonalise, label.
#pragma once

#include <vector>

#include "core/state.h"

namespace ruvo {

// Compute the levels of block (J, species S, 2F, set B) and store energies,
// labels and analytic derivatives into the transitions.  Uses sw.blk (nvv,
// ntop in effect, woods), sw.tors and sw.rot as prepared by the sweep.
// Leaves the ascending eigenvalues in sw.E, the eigenvectors in (sw.Zr,
// sw.Zi), their signed moduli in sw.V and the level labels in sw.labels.
// The matrix is complex Hermitian when a top in effect has gamma != 0 or
// chi_yz, chi_xy or P_y is nonzero, otherwise real symmetric.
void solveBlock(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, ConstParamView par,
                ConstFlagView flags, const FitModel& fm, int pass);

// solveBlock in its two halves.  computeBlock builds and diagonalises the
// block: it reads the run state, the parameters and sw.tors / sw.rot, and
// writes only sw, so blocks of one set can be computed side by side, each
// in its own SweepWork, as long as none of the block prints (aprint
// block-list, matrix and eigenvector bits; eval > 3 inspection files) is on.
// finishBlock labels the levels and stores energies and derivatives into
// the transitions; blocks are finished one at a time, in todo order.
void computeBlock(const RunState& rs, SweepWork& sw, int J, int S, int F2, int B,
                  ConstParamView par, int pass);
void finishBlock(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, ConstFlagView flags,
                 const FitModel& fm, int pass);

// finishBlock in its two halves.  labelBlockLevels labels the levels; it
// may write the evaluation file and messages, so blocks are labelled one at
// a time, in todo order.  storeBlockLevels stores the energies, labels and
// analytic derivatives of the labelled levels into the transition ends that
// name the block (J, S, 2F, B), and reads no other end's labels: blocks of
// one set that differ in J, S or 2F are stored side by side, each from its
// own SweepWork.
void labelBlockLevels(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, int pass);
// labelBlockLevels on the thread that computed the block, when the sweep
// prints no level table (blockLabelsPrinted false): the K trouble found and
// the species' +-K flag wait in sw for reportBlockLabels, called in todo
// order on the calling thread.
bool blockLabelsPrinted(const Controls& ctl, int pass);
void labelBlockLevelsAside(const RunState& rs, SweepWork& sw, int J, int S, int F2, int B);
void reportBlockLabels(RunState& rs, const SweepWork& sw, int J, int S);
void storeBlockLevels(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, ConstFlagView flags,
                      const FitModel& fm);

// The energies alone of block (J, S, 2F, B), into sw.E (ascending, sw.blk.N
// of them): the matrix of computeBlock, diagonalised without eigenvectors,
// for sums over levels that need no labels (the partition function).  sw.H
// is destroyed; `work` is the solvers' storage (the dense real one's, or the
// bands of a block that couples only nearby K and their solver's scratch),
// grown to the largest block and then reused.  False when the
// iteration failed.
bool blockEnergies(const RunState& rs, SweepWork& sw, int J, int S, int F2, int B,
                   ConstParamView par, std::vector<double>& work);

} // namespace ruvo
