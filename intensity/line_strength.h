// Line strengths of electric-dipole transitions from stored eigenvectors.
//
// The strength of a line between two levels is the standard
//   S = sum over M, M' and the space-fixed axes Z of |<J' t' M'| mu . Phi_Z |J t M>|^2
// with mu the dipole moment in the molecule-fixed axes and Phi_Z the
// direction cosines between them and the space-fixed axes.  S is in the
// square of the unit the dipole components are given in (debye^2).
#pragma once

#include <vector>

#include "core/state.h"
#include "intensity/scratch_files.h"

namespace ruvo {

// Marks stored as the strength of a line that has none.
inline constexpr double STRENGTH_SPECIES_DIFFER = -99.0; // ends in different species
inline constexpr double STRENGTH_DJ_TOO_LARGE = -98.0;   // |Delta J| >= 2
inline constexpr double STRENGTH_UNREADABLE = -97.0;     // eigenvector could not be read back

// One level's eigenvector in its block basis, as the strength routines read
// it: basis rows 0..N-1 and the complex components (re, im).
struct LevelRef {
  int N = 0, d = 0, nvv = 0, ntop = 0;
  const BasisRow* basis = nullptr;
  const double* re = nullptr;
  const double* im = nullptr;
};
LevelRef levelRef(const StoredLevel& lv);
LevelRef levelRef(const StoredBlock& blk, int level); // level 1..N

// One term of a transition amplitude: c x conj(w_g) u_f with the complex
// factor c = cre + i cim (dipole components, debye) and the real x (angular
// factor times torsional overlap) between function f of the first level u
// and function g of the second w.
struct DipoleTerm {
  int f = 0, g = 0;
  double cre = 0.0, cim = 0.0, x = 0.0;
};
// The terms of the amplitude between any level of one block and any level of
// another: they depend only on the two blocks' bases, so the strengths of
// all pairs of levels of two blocks share them.  strength = |A|^2 numer / denom.
struct DipoleCouplings {
  enum Status { NONE, READY, FORBIDDEN, RESUMED };
  Status status = NONE; // NONE: the levels do not fit the torsional tables
  const char* who = "";
  std::vector<DipoleTerm> terms;
  double numer = 1.0, denom = 1.0;
};
// The couplings of Delta J = 0 and Delta J = 1 (first level J + 1); false
// when no strength can be formed (the strength routine says why).
bool sameJCouplings(RunState& rs, TorsionTables& tors, int Jfirst, int Jsecond, int S, double muz,
                    double mux, double muy, const LevelRef& first, const LevelRef& second,
                    DipoleCouplings& couplings);
bool jPlusOneCouplings(RunState& rs, TorsionTables& tors, int Jfirst, int Jsecond, int S,
                       double muz, double mux, double muy, const LevelRef& first,
                       const LevelRef& second, DipoleCouplings& couplings);
// The strength of levels `first` and `second` of the blocks the couplings
// were made for.
double lineStrengthFromCouplings(RunState& rs, const DipoleCouplings& couplings,
                                 const LevelRef& first, const LevelRef& second);

// What the amplitude sums need of the levels of one block: whether each
// level's components are all real, and the pattern of its nonzero
// components.  A rigid-rotor level solved in its Wang block has components
// at K of one parity only; a term of the amplitude with a zero component (or
// a zero coefficient) adds an exact zero, so leaving it out gives the same
// sum to the last bit.
struct LevelSupports {
  static constexpr int MAXPATTERNS = 8; // more: the level counts as dense
  int N = 0;
  std::vector<char> real;               // per level 0..n-1
  std::vector<int> pattern;             // per level: its pattern, or -1 (dense)
  std::vector<std::vector<char>> masks; // per pattern: N flags, nonzero component
  // levels l = 0..n-1 with components re/im + l * stride
  void describe(int N, int n, const double* re, const double* im, std::size_t stride);
};

// The strengths of every pair of levels of two blocks from the couplings made
// once for them: the sums of lineStrengthFromCouplings, term for term in the
// same order, without the terms that are exactly zero for the pair of levels.
class PairStrengths {
public:
  void prepare(const DipoleCouplings& c, const LevelSupports& first, const LevelSupports& second);
  // level lu of the first block (u), lw of the second (w), 0-based
  double operator()(RunState& rs, const LevelRef& u, int lu, const LevelRef& w, int lw);

private:
  const DipoleCouplings* c_ = nullptr;
  const LevelSupports* a_ = nullptr;
  const LevelSupports* b_ = nullptr;
  int nb_ = 1;
  std::vector<std::vector<int>> lists_; // terms per pair of patterns
  std::vector<char> made_;
};

// Delta J = 0: strength between two levels of the same J (first, second).
// Returns STRENGTH_UNREADABLE when the operator resumed an inconsistency
// pause.
double lineStrengthSameJ(RunState& rs, TorsionTables& tors, int Jfirst, int Jsecond, int S,
                         double muz, double mux, double muy, const LevelRef& first,
                         const LevelRef& second);
// Delta J = 1: the first level has J + 1, the second J.
double lineStrengthJPlusOne(RunState& rs, TorsionTables& tors, int Jfirst, int Jsecond, int S,
                            double muz, double mux, double muy, const LevelRef& first,
                            const LevelRef& second);

// Line strength of transition `line` from the block files of its two
// levels and the torsional integrals in sw.tors: -99 for different species,
// -98 for |Delta J| >= 2, -97 when an eigenvector could not be read back.
double lineStrength(RunState& rs, SweepWork& sw, int line, double mux, double muy, double muz);

} // namespace ruvo
