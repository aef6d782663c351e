// Line strengths of electric-dipole transitions from stored eigenvectors.
//
// A level is a complex vector over the block basis |J K> |v1 v2 v3>.  The
// dipole operator mu . Phi couples K to K (mu_z) and K to K +- 1 (mu_x, mu_y
// through mu_x +- i mu_y); between functions of different K the torsional
// parts of the two functions overlap through the torsional integrals
// T(K, K', v, v', sigma, t) of each top, since the torsional eigenfunctions
// depend on K.  The sums below form the reduced amplitude A of the transition;
// the strength is |A|^2 with the normalisation of the Delta J = 0 or 1 case.
#include "intensity/line_strength.h"

#include <cmath>
#include <cstdlib>
#include <ostream>

#include "core/fortran_format.h"
#include "core/stop.h"

namespace ruvo {

LevelRef levelRef(const StoredLevel& lv) {
  return {lv.N, lv.d, lv.nvv, lv.ntop, lv.basis.data(), lv.re.data(), lv.im.data()};
}

LevelRef levelRef(const StoredBlock& blk, int level) {
  const std::size_t col = static_cast<std::size_t>(level - 1) * static_cast<std::size_t>(blk.ld);
  return {
      blk.N, blk.d, blk.nvv, blk.ntop, blk.basis.data(), blk.re.data() + col, blk.im.data() + col};
}

namespace {

// Complex amplitude of a transition, accumulated term by term.
struct Amplitude {
  double re = 0.0, im = 0.0;
  // A += c * x * P with the complex factor c = (cre + i cim), real x and the
  // product P = conj(w_g) u_f of the two components (u first level, w second)
  void add(double cre, double cim, double x, const LevelRef& u, int f, const LevelRef& w, int g) {
    const double pRe = u.re[f] * w.re[g] + u.im[f] * w.im[g];
    const double pIm = w.re[g] * u.im[f] - u.re[f] * w.im[g];
    re += x * (cre * pRe - cim * pIm);
    im += x * (cre * pIm + cim * pRe);
  }
  double norm2() const { return re * re + im * im; }
};

// One term with real eigenvectors: the product of the two components is
// real (the same sums as Amplitude::add without the terms that are zero).
inline void addRealTerm(Amplitude& A, const DipoleTerm& t, const LevelRef& u, const LevelRef& w) {
  const double p = u.re[t.f] * w.re[t.g];
  A.re += t.x * (t.cre * p);
  A.im += t.x * (t.cim * p);
}

// Torsional overlap m between function f of the first level and function g
// of the second.  Without internal rotation (species 0): 1 for the same
// product torsional state, 0 otherwise.  With tops: the product over the
// tops of the torsional integral between the second function's (K, v) and
// the first function's (K', v') at the species' symmetry number.
class Overlap {
public:
  Overlap(TorsionTables& tors, const SpeciesTable& sp, int S, const LevelRef& first,
          const LevelRef& second)
      : tors_(tors), S_(S), u_(first), w_(second) {
    ntop_ = S == 0 ? 0 : first.ntop;
    for (int t = 1; t <= ntop_; ++t) sigma_[t] = sp.sigma[S][t];
  }
  // Every state that the two levels' basis functions name lies in the window
  // of the torsional tables, and every sigma is one of the tables'.
  bool fits() const {
    if (S_ == 0) return true;
    if (S_ < 0 || S_ > DIMSYM || ntop_ > DIMTOP) return false;
    for (int t = 1; t <= ntop_; ++t) {
      if (sigma_[t] < -DIMSIG || sigma_[t] > DIMSIG) return false;
      for (const LevelRef* l : {&u_, &w_})
        for (int p = 0; p < l->N; ++p) {
          const int v = local(*l, p, t);
          if (v < 1 || v > tors_.nV[t] || v > tors_.nvs) return false;
          if (std::abs(l->basis[p].K) > DIMJ) return false;
        }
    }
    return true;
  }
  double operator()(int f, int g) const {
    if (S_ == 0) return f / u_.d == g / w_.d ? 1.0 : 0.0;
    double m = 1.0;
    for (int t = 1; t <= ntop_; ++t)
      m *= tors_.T(w_.basis[g].K, u_.basis[f].K, local(w_, g, t), local(u_, f, t), sigma_[t], t);
    return m;
  }

private:
  int local(const LevelRef& l, int p, int t) const { return l.basis[p].v[t] - tors_.firstV[t] + 1; }
  TorsionTables& tors_;
  int S_ = 0, ntop_ = 0;
  const LevelRef& u_;
  const LevelRef& w_;
  std::array<int, DIMTOP + 1> sigma_{};
};

// Whether every component of a level is real.
bool isReal(const LevelRef& l) {
  for (int p = 0; p < l.N; ++p)
    if (l.im[p] != 0.0) return false;
  return true;
}

bool sizesFit(const LevelRef& l, int J) {
  return l.d == 2 * J + 1 && l.nvv >= 1 && l.N == l.d * l.nvv && l.N <= DIMBLOCK;
}

double notComputable(RunState& rs, const char* who) {
  *rs.io.err << ' ' << who
             << ": the stored levels do not fit the torsional tables; strength marked -97\n";
  ++rs.problems;
  return STRENGTH_UNREADABLE;
}

} // namespace

bool sameJCouplings(RunState& rs, TorsionTables& tors, int Jfirst, int Jsecond, int S, double muz,
                    double mux, double muy, const LevelRef& u, const LevelRef& w,
                    DipoleCouplings& c) {
  c.terms.clear();
  c.status = DipoleCouplings::NONE;
  c.who = "CALIQ";
  if (Jfirst != Jsecond) {
    pause(rs.io, "CALIQ: intens error: jlo <> jup");
    ++rs.problems; // resumed: the strength stays marked
    c.status = DipoleCouplings::RESUMED;
    return false;
  }
  const int J = Jfirst;
  // two J = 0 levels: the dipole cannot connect them (J = 0 <-> 0 is forbidden)
  if (J == 0) {
    c.status = DipoleCouplings::FORBIDDEN;
    return true;
  }
  if (!sizesFit(u, J) || !sizesFit(w, J)) return false;
  const Overlap m(tors, rs.species, S, u, w);
  if (!m.fits()) return false;
  const int d = 2 * J + 1;
  const double cx = mux, cy = muy;

  // Delta K = 0: mu_z couples each function with itself, weight K
  const int nSame = u.N < w.N ? u.N : w.N;
  for (int f = 0; f < nSame; ++f) c.terms.push_back({f, f, 2.0 * muz, 0.0, double(w.basis[f].K)});

  // K -> K + 1 in the second level through (mu_x + i mu_y)
  for (int k = 1; k <= 2 * J; ++k)
    for (int j = 1; j <= w.nvv; ++j)
      for (int kp = 1; kp <= u.nvv; ++kp) {
        const int f = (k - 1) + d * (kp - 1), g = k + d * (j - 1);
        const int K = u.basis[f].K;
        const double s = std::sqrt(double(J - K) * double(J + K + 1));
        c.terms.push_back({f, g, -cx, -cy, s * m(f, g)});
      }
  // K -> K - 1 in the second level through (mu_x - i mu_y)
  for (int k = 2; k <= d; ++k)
    for (int j = 1; j <= w.nvv; ++j)
      for (int kp = 1; kp <= u.nvv; ++kp) {
        const int f = (k - 1) + d * (kp - 1), g = (k - 2) + d * (j - 1);
        const int K = u.basis[f].K;
        const double s = std::sqrt(double(J + K) * double(J - K + 1));
        c.terms.push_back({f, g, -cx, cy, s * m(f, g)});
      }

  // summed over M, M' and the space-fixed axes
  c.numer = 2.0 * J + 1.0;
  c.denom = 2.0 * J * (2.0 * J + 2.0);
  c.status = DipoleCouplings::READY;
  return true;
}

bool jPlusOneCouplings(RunState& rs, TorsionTables& tors, int Jfirst, int Jsecond, int S,
                       double muz, double mux, double muy, const LevelRef& u, const LevelRef& w,
                       DipoleCouplings& c) {
  c.terms.clear();
  c.status = DipoleCouplings::NONE;
  c.who = "CALIR";
  if (Jsecond + 1 != Jfirst) {
    pause(rs.io, "CALIR: intens error: jlo+1 <> jup");
    ++rs.problems; // resumed: the strength stays marked
    c.status = DipoleCouplings::RESUMED;
    return false;
  }
  const int J = Jsecond; // the lower J; u holds J + 1, w holds J
  if (!sizesFit(u, J + 1) || !sizesFit(w, J)) return false;
  const Overlap m(tors, rs.species, S, u, w);
  if (!m.fits()) return false;
  const int d = 2 * J + 1, d1 = 2 * J + 3;
  const double cx = mux, cy = muy;

  // Delta K = 0 through mu_z: the J function at K position k and the J + 1
  // function one position further have the same K
  for (int k = 1; k <= d; ++k)
    for (int j = 1; j <= w.nvv && j <= u.nvv; ++j) {
      const int g = (k - 1) + d * (j - 1), f = k + d1 * (j - 1);
      const int K = w.basis[g].K;
      if (u.basis[f].K != K) stop("Error in CALIR : K numbers");
      const double s = std::sqrt(double(K + J + 1) * double(J - K + 1));
      c.terms.push_back({f, g, -2.0 * muz * s, 0.0, 1.0});
    }

  // Delta K = -1 and +1 (K' of the J + 1 function) through mu_x +- i mu_y
  for (int k = 1; k <= d; ++k)
    for (int j = 1; j <= w.nvv; ++j)
      for (int kp = 1; kp <= u.nvv; ++kp) {
        const int g = (k - 1) + d * (j - 1);
        const int fDown = (k - 1) + d1 * (kp - 1); // K' = K - 1
        const int Kd = u.basis[fDown].K;
        const double sDown = std::sqrt(double(J - Kd) * double(J - Kd + 1));
        c.terms.push_back({fDown, g, cx, cy, sDown * m(fDown, g)});
        const int fUp = (k + 1) + d1 * (kp - 1); // K' = K + 1
        const int Ku = u.basis[fUp].K;
        const double sUp = std::sqrt(double(J + Ku) * double(J + Ku + 1));
        c.terms.push_back({fUp, g, -cx, cy, sUp * m(fUp, g)});
      }

  // summed over M, M' and the space-fixed axes
  c.numer = 1.0;
  c.denom = (2.0 * J + 2.0) * 2.0;
  c.status = DipoleCouplings::READY;
  return true;
}

double lineStrengthFromCouplings(RunState& rs, const DipoleCouplings& c, const LevelRef& u,
                                 const LevelRef& w) {
  switch (c.status) {
  case DipoleCouplings::READY:
    break;
  case DipoleCouplings::FORBIDDEN:
    return 0.0;
  case DipoleCouplings::RESUMED:
    return STRENGTH_UNREADABLE;
  case DipoleCouplings::NONE:
    return notComputable(rs, c.who);
  }
  // the amplitude, term after term in the order the couplings were written
  Amplitude A;
  if (isReal(u) && isReal(w)) {
    for (const DipoleTerm& t : c.terms) addRealTerm(A, t, u, w);
  } else {
    for (const DipoleTerm& t : c.terms) A.add(t.cre, t.cim, t.x, u, t.f, w, t.g);
  }
  return A.norm2() * c.numer / c.denom;
}

void LevelSupports::describe(int n0, int n, const double* re, const double* im,
                             std::size_t stride) {
  N = n0;
  real.assign(static_cast<std::size_t>(n), 1);
  pattern.assign(static_cast<std::size_t>(n), -1);
  masks.clear();
  std::vector<char> mask(static_cast<std::size_t>(N));
  for (int l = 0; l < n; ++l) {
    const double* zr = re + static_cast<std::size_t>(l) * stride;
    const double* zi = im + static_cast<std::size_t>(l) * stride;
    for (int p = 0; p < N; ++p) {
      mask[static_cast<std::size_t>(p)] = zr[p] != 0.0 || zi[p] != 0.0;
      if (zi[p] != 0.0) real[static_cast<std::size_t>(l)] = 0;
    }
    int k = 0;
    while (k < static_cast<int>(masks.size()) && masks[static_cast<std::size_t>(k)] != mask) ++k;
    if (k == static_cast<int>(masks.size())) {
      if (k == MAXPATTERNS) continue; // dense: every term is summed
      masks.push_back(mask);
    }
    pattern[static_cast<std::size_t>(l)] = k;
  }
}

void PairStrengths::prepare(const DipoleCouplings& c, const LevelSupports& first,
                            const LevelSupports& second) {
  c_ = &c;
  a_ = &first;
  b_ = &second;
  nb_ = static_cast<int>(second.masks.size()) + 1;
  const std::size_t n = static_cast<std::size_t>(first.masks.size() + 1) * nb_;
  lists_.resize(n);
  made_.assign(n, 0);
}

double PairStrengths::operator()(RunState& rs, const LevelRef& u, int lu, const LevelRef& w,
                                 int lw) {
  const DipoleCouplings& c = *c_;
  if (c.status != DipoleCouplings::READY) return lineStrengthFromCouplings(rs, c, u, w);
  const int pa = a_->pattern[static_cast<std::size_t>(lu)],
            pb = b_->pattern[static_cast<std::size_t>(lw)];
  // a dense level takes the last pattern, which keeps every position
  const int ka = pa < 0 ? static_cast<int>(a_->masks.size()) : pa;
  const int kb = pb < 0 ? nb_ - 1 : pb;
  const std::size_t at = static_cast<std::size_t>(ka) * nb_ + kb;
  std::vector<int>& list = lists_[at];
  if (!made_[at]) {
    list.clear();
    const std::vector<char>* ma = pa < 0 ? nullptr : &a_->masks[static_cast<std::size_t>(pa)];
    const std::vector<char>* mb = pb < 0 ? nullptr : &b_->masks[static_cast<std::size_t>(pb)];
    for (std::size_t i = 0; i < c.terms.size(); ++i) {
      const DipoleTerm& t = c.terms[i];
      if (t.x == 0.0 || (t.cre == 0.0 && t.cim == 0.0)) continue;
      if (ma && !(*ma)[static_cast<std::size_t>(t.f)]) continue;
      if (mb && !(*mb)[static_cast<std::size_t>(t.g)]) continue;
      list.push_back(static_cast<int>(i));
    }
    made_[at] = 1;
  }
  Amplitude A;
  const DipoleTerm* terms = c.terms.data();
  if (a_->real[static_cast<std::size_t>(lu)] && b_->real[static_cast<std::size_t>(lw)]) {
    for (int i : list) addRealTerm(A, terms[i], u, w);
  } else {
    for (int i : list) {
      const DipoleTerm& t = terms[i];
      A.add(t.cre, t.cim, t.x, u, t.f, w, t.g);
    }
  }
  return A.norm2() * c.numer / c.denom;
}

double lineStrengthSameJ(RunState& rs, TorsionTables& tors, int Jfirst, int Jsecond, int S,
                         double muz, double mux, double muy, const LevelRef& u, const LevelRef& w) {
  // the terms' storage is kept per thread: a strength per line allocates nothing
  thread_local DipoleCouplings c;
  sameJCouplings(rs, tors, Jfirst, Jsecond, S, muz, mux, muy, u, w, c);
  return lineStrengthFromCouplings(rs, c, u, w);
}

double lineStrengthJPlusOne(RunState& rs, TorsionTables& tors, int Jfirst, int Jsecond, int S,
                            double muz, double mux, double muy, const LevelRef& u,
                            const LevelRef& w) {
  thread_local DipoleCouplings c;
  jPlusOneCouplings(rs, tors, Jfirst, Jsecond, S, muz, mux, muy, u, w, c);
  return lineStrengthFromCouplings(rs, c, u, w);
}

double lineStrength(RunState& rs, SweepWork& sw, int line, double mux, double muy, double muz) {
  const Transitions& tr = rs.tr;
  if (line < 1 || line > tr.ndata) return STRENGTH_UNREADABLE;
  const Slots& up = tr.qn[line][UP];
  const Slots& lo = tr.qn[line][LO];
  if (up[slot::S] != lo[slot::S]) return STRENGTH_SPECIES_DIFFER;
  if (std::abs(up[slot::J] - lo[slot::J]) >= 2) return STRENGTH_DJ_TOO_LARGE;
  const int S = up[slot::S];
  stopIfTerminated();

  StoredLevel a, b; // the upper and the lower level
  const ScratchRead ra =
      readLevelEigenvector(rs, up[slot::J], up[slot::T], S, up[slot::F], up[slot::B], a);
  const ScratchRead rb =
      ra == ScratchRead::ok
          ? readLevelEigenvector(rs, lo[slot::J], lo[slot::T], S, lo[slot::F], lo[slot::B], b)
          : ra;
  if (ra != ScratchRead::ok || rb != ScratchRead::ok) {
    *rs.io.err << " intens: line " << line << " has no line strength; marked -97\n";
    ++rs.problems;
    return STRENGTH_UNREADABLE;
  }
  const LevelRef ua = levelRef(a), lb = levelRef(b);
  const int Ju = up[slot::J], Jl = lo[slot::J];
  if (Ju > Jl) return lineStrengthJPlusOne(rs, sw.tors, Ju, Jl, S, muz, mux, muy, ua, lb);
  if (Jl > Ju) return lineStrengthJPlusOne(rs, sw.tors, Jl, Ju, S, muz, mux, muy, lb, ua);
  return lineStrengthSameJ(rs, sw.tors, Ju, Jl, S, muz, mux, muy, ua, lb);
}

} // namespace ruvo
