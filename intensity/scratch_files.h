// Scratch files of eigenvectors (one per block) and torsional integrals (one
// per B set), held by the run's scratch store (in memory, or in its private
// directory beyond the memory budget; kept in the working directory with
// ints bit 16).
//
// The files hold records written one after another.  Every record is framed
// by its length in bytes (a 32-bit integer) before and after its contents,
// so that a reader can check that it gets the record whole.  Integers are
// 32-bit, reals double precision, in the machine's byte order; only this
// program reads the files back.
//
// Block file (J, species S, 2F, B):
//   1       the 39-integer block-state record (N, 2J+1, nvv, maxJ, nB, nsym,
//           firstV/nV of every top, ntop, woods, adjf, zeros)
//   2       per basis function p = 1..N: K and the one-top state of tops 1..3
//   2 + l   level l = 1..N: its energy (GHz), 14 label integers (columns
//           1..12 of the level label table, two zeros), then the N complex
//           eigenvector components as (real, imaginary) pairs
// Torsional integral file of set B:
//   1       the block-state record
//   2       sigma of every species s = 1..nsym (outer) and top t = 1..ntop
//   then    one record per integral T(K, K', v, v', sigma, t), loops from
//           outer to inner: t, s, v, K = -maxJ..maxJ, v', K'
#pragma once

#include <array>
#include <string>
#include <vector>

#include "core/state.h"

namespace ruvo {

inline constexpr int NFILELABEL = 14; // label integers stored with a level

// Name of the block file of (J, S, 2F, B), e.g. "j05f03b1.s02", "j05b1.s02";
// 2F < 0 is a block without hyperfine splitting.  Empty when the numbers
// cannot be written into a name (J, S or 2F outside 0..99, B outside 0..9).
std::string blockFileName(int J, int S, int F2, int B);
// Name of the torsional integral file of set B ("tori.b1"); empty when B is
// outside 0..9.
std::string torsionalFileName(int B);
// Next scratch-file number: 11, 12, ... 51, then 11 again.
int nextScratchUnit(int& counter);

// Write the eigenvectors, energies, basis and labels of the block just
// computed (sw.Zr, sw.Zi, sw.E, sw.basis, sw.labels, sw.blk).  A failure is
// reported in the listing and on standard error; the run goes on.
void writeBlockEigenvectors(RunState& rs, const SweepWork& sw, int J, int S, int F2, int B);
// Write the torsional integrals of set B (sw.tors, sw.blk, rs.species).
void writeTorsionalIntegrals(RunState& rs, const SweepWork& sw, int B);

// One level read back from a block file.
struct StoredLevel {
  std::array<int, NBLOCKREC> rec{};
  int N = 0, d = 0, nvv = 0, ntop = 0;
  std::array<BasisRow, DIMBLOCK> basis{}; // positions 0..N-1
  std::array<double, DIMBLOCK> re{}, im{};
  double energy = 0.0;
  std::array<int, NFILELABEL + 1> labels{}; // columns 1..14
};

// A whole block read back (sized once with allocate()).
struct StoredBlock {
  std::array<int, NBLOCKREC> rec{};
  int N = 0, d = 0, nvv = 0, ntop = 0;
  std::vector<BasisRow> basis; // positions 0..N-1
  // eigenvectors, level l in column l-1 of leading dimension ld (the block's
  // order once read, so that a small block touches little of the room)
  ZeroedVector<double> re, im; // room for DIMBLOCK*DIMBLOCK
  int ld = DIMBLOCK;
  std::vector<double> energy;                          // levels 0..N-1
  std::vector<std::array<int, NFILELABEL + 1>> labels; // levels 1..N, columns 1..14
  void allocate();
};

// Outcome of reading a scratch file.
enum class ScratchRead {
  ok,
  unreadable, // missing, short, or with contents that do not fit the block
  notFound    // the level is not in the file (the operator resumed the pause)
};

// Read the level of rank T (label column 8) of block (J, S, 2F, B).  A level
// that is not in the file pauses the run with "eigenvector not found".  A file
// that is missing, short or inconsistent is reported on standard error.
ScratchRead readLevelEigenvector(RunState& rs, int J, int T, int S, int F2, int B, StoredLevel& lv);
// Whether this run has stored the block file of (J, S, 2F, B) completely.
bool hasBlockFile(const RunState& rs, int J, int S, int F2, int B);
// Read the whole block (J, S, 2F, B); failures as for readLevelEigenvector.
ScratchRead readBlockEigenvectors(RunState& rs, int J, int S, int F2, int B, StoredBlock& blk);
// The same without a word, for readers on several threads: true when the
// block was read (its file name in *nameRead when asked for).
bool readBlockEigenvectorsQuietly(const ScratchDir& dir, int J, int S, int F2, int B,
                                  StoredBlock& blk, std::string* nameRead = nullptr);
// Read the torsional integrals of set B into sw.tors, the block-state record
// into sw.blk and the symmetry numbers into rs.species; failures as for
// readLevelEigenvector (the tables are then not to be used).
ScratchRead readTorsionalIntegrals(RunState& rs, SweepWork& sw, int B);

} // namespace ruvo
