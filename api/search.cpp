// The triples search: for every combination of peaks in three windows, the
// rotational constants BJ, BK, B- (GHz) that reproduce the three peak
// frequencies, the check lines predicted with them and looked up in the peak
// list.  Frequencies inside are in GHz as everywhere in the program; the
// caller's peaks, windows and tolerances are in MHz.
//
// The model's run is made once: its input is read, its set 1 prepared (the
// dependent top parameters and the torsional tables of the guessed V3, rho
// vector and F) and then, in place of the fit, an evaluator keeps only the
// J blocks that the lines of the search name.  One evaluation sets BJ, BK,
// B-, builds and diagonalises those blocks (the rigid rotor through its Wang
// blocks) and reads the levels by their rank in the block; the derivatives
// dE/dBJ, dE/dBK, dE/dB- are the Hellmann-Feynman expectation values of the
// recorded dH/dp elements.  Every thread works in its own block storage,
// sized when the search starts; a combination allocates nothing.
#include "ruvo/search.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>

#include "api/model_run.h"
#include "core/state.h"
#include "core/stop.h"
#include "core/worker_pool.h"
#include "fit/adjust.h"
#include "hamiltonian/axis_rotation.h"
#include "hamiltonian/block.h"
#include "hamiltonian/rotor_terms.h"
#include "torsion/torsion.h"

namespace ruvo {

bool rankedBefore(const SearchHit& a, const SearchHit& b) {
  if (a.score != b.score) return a.score > b.score;
  if (a.rms_MHz != b.rms_MHz) return a.rms_MHz < b.rms_MHz;
  return a.combination < b.combination;
}

std::vector<SearchHit> mergeSearchHits(const std::vector<std::vector<SearchHit>>& parts, int keep) {
  std::vector<SearchHit> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  std::sort(all.begin(), all.end(), rankedBefore);
  if (keep >= 0 && all.size() > static_cast<std::size_t>(keep))
    all.resize(static_cast<std::size_t>(keep));
  return all;
}

namespace {

constexpr int SET = 1;                   // the search works on parameter set 1
constexpr double LAST_STEP_GHZ = 2e-3;   // triple residuals below which one more step converges
constexpr int MAX_NEWTON = 8;            // Newton steps after the shared first one
constexpr std::uint64_t BATCH = 512;     // combinations a thread takes at a time
constexpr std::uint64_t PART_RUN = 4096; // longest run of combinations of an interleaved part
constexpr int MAXTHREADS = 64;           // threads of a search at most

// A predicted line of the catalogue with its levels.
struct Candidate {
  SearchLine line;
  Level up, lo;
  int type = 0; // parities of Delta Ka (2) and Delta Kc (1)
};

std::string describe(const TransitionName& t) {
  std::ostringstream s;
  auto q = [&](const Quanta& x) {
    s << x.J << ' ' << x.Ka << ' ' << x.Kc;
    if (x.species != 0) s << " species " << x.species;
    if (x.v != 0) s << " v " << x.v;
    if (x.F2 >= 0) s << " 2F " << x.F2;
  };
  q(t.upper);
  s << " - ";
  q(t.lower);
  return s.str();
}

Quanta quantaOfLevel(const Level& l) {
  Quanta q;
  q.J = l.J;
  q.Ka = l.Ka;
  q.Kc = l.Kc;
  q.v = l.v;
  q.species = l.species;
  q.set = l.set;
  q.F2 = l.F2;
  return q;
}

bool sameLevel(const Quanta& q, const Level& l) {
  return q.J == l.J && q.Ka == l.Ka && q.Kc == l.Kc && q.v == l.v && q.species == l.species &&
         q.set == l.set && (q.F2 == l.F2 || (q.F2 < 0 && l.F2 < 0));
}

// ------------------------------------------------------------ evaluator

// A J block that lines of the search name, with the levels read from it.
struct EvalBlock {
  int J = 0, S = 0, F2 = -1;
  bool triple = false, check = false;      // holds a level of a triple / check line
  std::vector<std::pair<int, int>> levels; // (rank in the block, level slot)
  std::vector<char> solved;                // per level: a level of the triple (derivatives)
  std::vector<OperatorElement> ops;        // dH/dBJ, dH/dBK, dH/dB- of the block
  std::array<int, 34> opsStart{};          // where the elements of p begin
  std::array<int, 34> opsOddK{};           // where those of p between odd K begin (-1: none)
};

struct Evaluator {
  const RunState* rs = nullptr;
  const SweepWork* prepared = nullptr; // the set's torsional tables and axis rotations
  BlockState setBlk;
  ParamSets par; // set 1 with its dependent parameters adjusted
  FitFlags flags;
  std::vector<EvalBlock> blocks;
  std::vector<std::array<int, 2>> lineSlots; // per line: upper and lower level slot
  int nSlots = 0;
};

// What one thread works in (a cache line of its own: the counters are
// written all the time).
struct alignas(64) Worker {
  std::unique_ptr<SweepWork> sw;
  ParamSets par;
  std::vector<std::vector<OperatorElement>> ops; // the blocks' records, this thread's copy
  std::vector<double> E, dE;                     // levels (GHz), dE/d(BJ, BK, B-) per level
  std::vector<double> checkF;                    // frequencies of the lines at the solution (GHz)
  std::vector<SearchHit> best;                   // ranked, at most keep + 1
  std::exception_ptr error;
  std::uint64_t solved = 0;
};

void makeWorker(const Evaluator& ev, Worker& w, int keep) {
  w.sw = std::make_unique<SweepWork>();
  w.sw->allocate();
  w.sw->tors = ev.prepared->tors;
  w.sw->blk = ev.setBlk;
  w.par = ev.par;
  w.ops.clear();
  for (const EvalBlock& b : ev.blocks) w.ops.push_back(b.ops);
  w.sw->rotorOps.reserve(8);
  w.E.assign(static_cast<std::size_t>(ev.nSlots), 0.0);
  w.dE.assign(static_cast<std::size_t>(ev.nSlots) * 3, 0.0);
  w.checkF.assign(ev.lineSlots.size(), 0.0);
  w.best.clear();
  w.best.reserve(static_cast<std::size_t>(keep) + 1);
}

// Energies of the levels of the blocks selected by `which` (1 triple blocks,
// 3 all) at BJ, BK, B- = x (GHz), with `derivatives` their derivatives by
// BJ, BK, B- (those of the triple's levels; of every level when all blocks
// are taken).
void evaluate(const Evaluator& ev, Worker& w, const double x[3], int which, bool derivatives) {
  SweepWork& sw = *w.sw;
  w.par(par::BJ, SET) = x[0];
  w.par(par::BK, SET) = x[1];
  w.par(par::Bm, SET) = x[2];
  const ConstParamView view = std::as_const(w.par).set(SET);
  const ConstFlagView flags = ev.flags.set(SET);
  for (std::size_t b = 0; b < ev.blocks.size(); ++b) {
    const EvalBlock& blk = ev.blocks[b];
    const bool take = which == 3 || blk.triple;
    if (!take) continue;
    sw.blk = ev.setBlk;
    if (blk.S == 0) {
      sw.blk.ntop = 0;
      sw.blk.nvv = 1;
    }
    for (int t = 1; t <= sw.blk.ntop; ++t)
      loadTopRotation(sw.rot[t], ev.prepared->rotTable[t], blk.J);
    computeBlock(*ev.rs, sw, blk.J, blk.S, blk.F2, SET, view, 0);
    if (derivatives) {
      std::swap(sw.rotorOps, w.ops[b]);
      sw.rotorOpsStart = blk.opsStart;
      sw.rotorOpsOddK = blk.opsOddK;
    }
    for (const auto& lv : blk.levels) {
      const auto [rank, slot] = lv;
      w.E[static_cast<std::size_t>(slot)] = sw.E[static_cast<std::size_t>(rank - 1)];
      if (!derivatives || (which != 3 && !blk.solved[&lv - blk.levels.data()])) continue;
      const std::size_t col = static_cast<std::size_t>(rank - 1) * static_cast<std::size_t>(sw.ld);
      rotorParameterDerivatives(sw, sw.Zr.data() + col, sw.Zi.data() + col, flags, sw.dEdp.data());
      for (int k = 0; k < 3; ++k)
        w.dE[static_cast<std::size_t>(slot) * 3 + k] = sw.dEdp[static_cast<std::size_t>(1 + k)];
    }
    if (derivatives) std::swap(sw.rotorOps, w.ops[b]);
  }
}

double frequency(const Evaluator& ev, const Worker& w, int line) {
  const auto& s = ev.lineSlots[static_cast<std::size_t>(line)];
  return w.E[static_cast<std::size_t>(s[0])] - w.E[static_cast<std::size_t>(s[1])];
}

double frequencyDerivative(const Evaluator& ev, const Worker& w, int line, int k) {
  const auto& s = ev.lineSlots[static_cast<std::size_t>(line)];
  return w.dE[static_cast<std::size_t>(s[0]) * 3 + k] -
         w.dE[static_cast<std::size_t>(s[1]) * 3 + k];
}

// Solve a x = r (3 x 3, row-major) by elimination with partial pivoting;
// false when a is singular.
bool solve3(double a[9], double r[3], double x[3]) {
  for (int c = 0; c < 3; ++c) {
    int p = c;
    for (int i = c + 1; i < 3; ++i)
      if (std::fabs(a[i * 3 + c]) > std::fabs(a[p * 3 + c])) p = i;
    if (!(std::fabs(a[p * 3 + c]) > 0.0)) return false;
    if (p != c) {
      for (int k = 0; k < 3; ++k) std::swap(a[c * 3 + k], a[p * 3 + k]);
      std::swap(r[c], r[p]);
    }
    for (int i = c + 1; i < 3; ++i) {
      const double f = a[i * 3 + c] / a[c * 3 + c];
      for (int k = c; k < 3; ++k) a[i * 3 + k] -= f * a[c * 3 + k];
      r[i] -= f * r[c];
    }
  }
  for (int c = 2; c >= 0; --c) {
    double s = r[c];
    for (int k = c + 1; k < 3; ++k) s -= a[c * 3 + k] * x[k];
    x[c] = s / a[c * 3 + c];
  }
  return std::isfinite(x[0]) && std::isfinite(x[1]) && std::isfinite(x[2]);
}

// Lines 0..2 of the evaluator are the triple, 3.. the check lines.
struct Search {
  const Evaluator* ev = nullptr;
  const SearchOptions* opt = nullptr;
  std::vector<double> peakF;           // peak frequencies sorted, GHz
  std::vector<int> peakIndex;          // their indices in the caller's list
  std::vector<double> peakLogI;        // log10 of their intensities (NaN: unknown)
  std::array<std::vector<int>, 3> win; // positions in the sorted peaks, per window
  std::vector<double> lgint;           // predicted log10 intensity per line
  int nLines = 0;
  double x0[3]{};     // the guess
  double F0[3]{};     // the triple's frequencies at the guess (GHz)
  double M[9]{};      // inverse of the triple's Jacobian at the guess
  double H[27]{};     // H[k*9 + i*3 + j]: d2 nu_k / dx_i dx_j at the guess
  double Bguess[3]{}; // Bx, By, Bz of the guess
  std::uint64_t begin = 0, end = 0;
  std::uint64_t parts = 1, part = 0; // the runs of `run` combinations this part takes
  std::uint64_t run = PART_RUN;
  std::uint64_t size = 0; // combinations of this part
  std::atomic<std::uint64_t> next{0}, done{0};
  std::atomic<bool> stopped{false};
  std::vector<Worker>* workers = nullptr;
};

bool physical(const Search& s, const double x[3]) {
  const double B[3] = {x[0] + x[2], x[0] - x[2], x[0] + x[1]}; // Bx, By, Bz
  for (int k = 0; k < 3; ++k) {
    if (!(B[k] > 0.0)) return false;
    if (!(std::fabs(B[k] / s.Bguess[k] - 1.0) <= s.opt->max_change)) return false;
  }
  return true;
}

// Position in the sorted peaks of the peak nearest to f (GHz), -1 if none.
int nearestPeak(const Search& s, double f) {
  const auto& F = s.peakF;
  if (F.empty()) return -1;
  const auto it = std::lower_bound(F.begin(), F.end(), f);
  int i = static_cast<int>(it - F.begin());
  if (i == static_cast<int>(F.size()) ||
      (i > 0 && f - F[static_cast<std::size_t>(i - 1)] <= F[static_cast<std::size_t>(i)] - f))
    --i;
  return i;
}

// One combination: Newton from the guess, then the check lines.  false when
// Newton does not converge or the rotor is unphysical.  `matched` (when
// given) receives the caller's index of the peak of each check line.
bool evaluateCombination(Search& s, Worker& w, std::uint64_t c, SearchHit& hit, int* matched) {
  const Evaluator& ev = *s.ev;
  const std::uint64_t n2 = s.win[1].size(), n3 = s.win[2].size();
  const int pos[3] = {static_cast<int>(c / (n2 * n3)), static_cast<int>((c / n3) % n2),
                      static_cast<int>(c % n3)};
  double nu[3];
  for (int k = 0; k < 3; ++k) {
    const int p = s.win[static_cast<std::size_t>(k)][static_cast<std::size_t>(pos[k])];
    nu[k] = s.peakF[static_cast<std::size_t>(p)];
    hit.peaks[static_cast<std::size_t>(k)] = s.peakIndex[static_cast<std::size_t>(p)];
  }
  hit.combination = c;
  // The start: the step from the guess on the quadratic model of the
  // triple's frequencies at the guess, the same map for every combination;
  // its error is of third order in the change of the constants.
  double x[3], d[3] = {0.0, 0.0, 0.0};
  for (int pass = 0; pass < 2; ++pass) {
    double rhs[3];
    for (int k = 0; k < 3; ++k) {
      double q = 0.0;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) q += s.H[k * 9 + i * 3 + j] * d[i] * d[j];
      rhs[k] = nu[k] - s.F0[k] - 0.5 * q;
    }
    double dn[3];
    for (int i = 0; i < 3; ++i)
      dn[i] = s.M[i * 3] * rhs[0] + s.M[i * 3 + 1] * rhs[1] + s.M[i * 3 + 2] * rhs[2];
    std::copy(dn, dn + 3, d);
  }
  for (int i = 0; i < 3; ++i) x[i] = s.x0[i] + d[i];
  // Newton steps on the triple.  Once its residuals are below LAST_STEP_GHZ
  // the step's error (about the residual squared over the frequency) is far
  // below a kHz: the last step is taken on every line at once, the check
  // lines moved along their derivatives.
  const int nl = s.nLines;
  bool converged = false, all = true;
  int it = 1;
  for (; it <= MAX_NEWTON; ++it) {
    if (!physical(s, x)) return false;
    evaluate(ev, w, x, all ? 3 : 1, true);
    double r[3], a[9], dx[3];
    double worst = 0.0;
    for (int k = 0; k < 3; ++k) {
      r[k] = nu[k] - frequency(ev, w, k);
      worst = std::max(worst, std::fabs(r[k]));
    }
    if (!std::isfinite(worst)) return false;
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 3; ++j) a[k * 3 + j] = frequencyDerivative(ev, w, k, j);
    if (!solve3(a, r, dx)) return false;
    for (int k = 0; k < 3; ++k) x[k] += dx[k];
    if (all && worst < LAST_STEP_GHZ) {
      for (int line = 3; line < nl; ++line) {
        double f = frequency(ev, w, line);
        for (int k = 0; k < 3; ++k) f += frequencyDerivative(ev, w, line, k) * dx[k];
        w.checkF[static_cast<std::size_t>(line)] = f;
      }
      converged = physical(s, x);
      break;
    }
    // all lines again once the triple is close
    all = worst < 10.0 * LAST_STEP_GHZ;
  }
  if (!converged) return false;
  hit.BJ = x[0];
  hit.BK = x[1];
  hit.Bm = x[2];
  hit.iterations = it;
  int n = 0;
  double sumSq = 0.0, sumD = 0.0, sumD2 = 0.0;
  int nI = 0;
  auto intensityTerm = [&](int p, int line) {
    const double li = s.peakLogI[static_cast<std::size_t>(p)];
    if (std::isnan(li)) return;
    const double d = li - s.lgint[static_cast<std::size_t>(line)];
    sumD += d;
    sumD2 += d * d;
    ++nI;
  };
  for (int k = 0; k < 3; ++k)
    intensityTerm(s.win[static_cast<std::size_t>(k)][static_cast<std::size_t>(pos[k])], k);
  const double tol = s.opt->tolerance_MHz / 1000.0;
  for (int line = 3; line < s.nLines; ++line) {
    const double f = w.checkF[static_cast<std::size_t>(line)];
    const int p = nearestPeak(s, f);
    const double d = p >= 0 ? s.peakF[static_cast<std::size_t>(p)] - f : 0.0;
    const bool on = p >= 0 && std::fabs(d) <= tol;
    if (matched) matched[line - 3] = on ? s.peakIndex[static_cast<std::size_t>(p)] : -1;
    if (!on) continue;
    ++n;
    sumSq += d * d;
    intensityTerm(p, line);
  }
  hit.matches = n;
  hit.rms_MHz = n > 0 ? 1000.0 * std::sqrt(sumSq / n) : 0.0;
  // scatter of log10(I_peak / I_predicted) about its mean
  hit.intensity_rms =
      nI > 1 ? std::sqrt(std::max(0.0, sumD2 / nI - (sumD / nI) * (sumD / nI))) : 0.0;
  hit.score = n - s.opt->intensity_weight * hit.intensity_rms;
  return true;
}

void keepHit(std::vector<SearchHit>& best, const SearchHit& h, int keep) {
  if (keep <= 0) return;
  if (static_cast<int>(best.size()) == keep && !rankedBefore(h, best.back())) return;
  const auto at = std::upper_bound(best.begin(), best.end(), h, rankedBefore);
  best.insert(at, h);
  if (static_cast<int>(best.size()) > keep) best.pop_back();
}

// The run length of the interleaved parts of a range of `total`
// combinations: at least eight runs a part, at most PART_RUN long.
std::uint64_t partRun(std::uint64_t total, std::uint64_t parts) {
  return std::clamp<std::uint64_t>(total / (8 * parts), 1, PART_RUN);
}

// The combination of the i-th combination of this part (0-based): run
// i / run of the part is run part + parts (i / run) of the range.
std::uint64_t combinationOfPart(const Search& s, std::uint64_t i) {
  if (s.parts == 1) return s.begin + i;
  return s.begin + (s.part + s.parts * (i / s.run)) * s.run + i % s.run;
}

// Combinations of the range begin .. end - 1 that part `part` of `parts`
// takes, in runs of `run`.
std::uint64_t combinationsOfPart(std::uint64_t begin, std::uint64_t end, std::uint64_t parts,
                                 std::uint64_t part, std::uint64_t run) {
  const std::uint64_t total = end - begin;
  if (parts == 1) return total;
  const std::uint64_t runs = (total + run - 1) / run;
  if (part >= runs) return 0;
  const std::uint64_t mine = (runs - part + parts - 1) / parts; // runs part, part + parts, ...
  const std::uint64_t lastRun = part + parts * (mine - 1);
  const std::uint64_t lastSize = lastRun == runs - 1 ? total - (runs - 1) * run : run;
  return (mine - 1) * run + lastSize;
}

void searchTask(void* context, int index) {
  Search& s = *static_cast<Search*>(context);
  Worker& w = (*s.workers)[static_cast<std::size_t>(index)];
  try {
    if (!w.sw) makeWorker(*s.ev, w, s.opt->keep);
    SearchHit hit;
    while (!s.stopped.load(std::memory_order_relaxed)) {
      if (interruptRequested()) {
        s.stopped = true;
        break;
      }
      const std::uint64_t from = s.next.fetch_add(BATCH);
      if (from >= s.size) break;
      const std::uint64_t to = std::min(from + BATCH, s.size);
      for (std::uint64_t i = from; i < to; ++i)
        if (evaluateCombination(s, w, combinationOfPart(s, i), hit, nullptr)) {
          ++w.solved;
          keepHit(w.best, hit, s.opt->keep);
        }
      const std::uint64_t d = s.done.fetch_add(to - from) + (to - from);
      if (index == 0 && s.opt->progress) s.opt->progress(d, s.size);
    }
  } catch (...) {
    w.error = std::current_exception();
    s.stopped = true;
  }
}

// ---------------------------------------------------------- the run hook

struct SearchRun : RunHooks {
  const PeakList* peaks = nullptr;
  const SearchOptions* opt = nullptr;
  std::vector<Candidate> predicted; // the model's catalogue (set 1, state 0)
  SearchResult result;

  bool aSpecies(const RunState& rs, int S) const {
    if (S == 0) return true;
    for (int t = 1; t <= rs.ctl.ntop; ++t)
      if (rs.species.sigma[static_cast<std::size_t>(S)][static_cast<std::size_t>(t)] != 0)
        return false;
    return true;
  }

  const Candidate& find(const TransitionName& t) const {
    for (const Candidate& c : predicted)
      if (sameLevel(t.upper, c.up) && sameLevel(t.lower, c.lo)) return c;
    stop("ERROR: the search line " + describe(t) +
         " is not among the predicted lines of the model (set 1, torsional ground state, "
         "inside the peak list's range)");
  }

  // The blocks and level slots of `lines`; the first three are the triple
  // when `withTriple`.
  void buildEvaluator(const RunState& rs, FitState& fs, const SweepWork& sw, Evaluator& ev,
                      const std::vector<const Candidate*>& lines, bool withTriple) {
    ev.blocks.clear();
    ev.lineSlots.clear();
    ev.nSlots = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      std::array<int, 2> slots{};
      for (int end = 0; end < 2; ++end) {
        const Level& l = end == 0 ? lines[i]->up : lines[i]->lo;
        const int rank = l.Ka - l.Kc + l.J + 1; // tau: the rank in the state's levels
        EvalBlock* b = nullptr;
        for (EvalBlock& e : ev.blocks)
          if (e.J == l.J && e.S == l.species && e.F2 == l.F2) b = &e;
        if (!b) {
          ev.blocks.push_back({});
          b = &ev.blocks.back();
          b->J = l.J;
          b->S = l.species;
          b->F2 = l.F2;
        }
        (withTriple && i < 3 ? b->triple : b->check) = true;
        int slot = -1;
        for (const auto& [r, sl] : b->levels)
          if (r == rank) slot = sl;
        if (slot < 0) {
          slot = ev.nSlots++;
          b->levels.emplace_back(rank, slot);
          b->solved.push_back(0);
        }
        if (!withTriple || i < 3)
          for (std::size_t j = 0; j < b->levels.size(); ++j)
            if (b->levels[j].second == slot) b->solved[j] = 1;
        slots[static_cast<std::size_t>(end)] = slot;
      }
      ev.lineSlots.push_back(slots);
    }
    // the triple's lines are predicted too (their blocks count as check blocks
    // for the evaluation of all lines)
    for (EvalBlock& b : ev.blocks) b.check = true;
    // the dH/dp elements of each block, once
    SweepWork& w = const_cast<SweepWork&>(sw);
    for (EvalBlock& b : ev.blocks) {
      w.blk = ev.setBlk;
      if (b.S == 0) {
        w.blk.ntop = 0;
        w.blk.nvv = 1;
      }
      for (int t = 1; t <= w.blk.ntop; ++t) loadTopRotation(w.rot[t], sw.rotTable[t], b.J);
      computeBlock(rs, w, b.J, b.S, b.F2, SET, std::as_const(ev.par).set(SET), 0);
      for (const auto& lv : b.levels)
        if (lv.first < 1 || lv.first > w.blk.N)
          stop("ERROR: a level of the search is not in its block");
      recordRotorParameterOperators(rs, w, b.J, b.S, b.F2, std::as_const(ev.flags).set(SET));
      b.ops = w.rotorOps;
      b.opsStart = w.rotorOpsStart;
      b.opsOddK = w.rotorOpsOddK;
    }
    (void)fs;
  }

  // Prepare set 1 as the sweep does: dependent parameters, torsional
  // problems, axis rotations.
  void prepareSet(RunState& rs, FitState& fs, SweepWork& sw, Evaluator& ev, int maxJ) {
    const int B = SET;
    rs.maxJ = std::max(rs.maxJ, maxJ);
    rs.ctl.aprint = 0;
    rs.ctl.eval = 0;
    rs.detailPrint = 0;
    sw.blk.maxJ = rs.maxJ;
    sw.blk.nB = rs.nB;
    sw.blk.nsym = rs.species.nsym;
    sw.blk.woods = rs.woodsB[B];
    sw.blk.adjf = rs.adjfB[B];
    int nvv = 0;
    while (nvv < DIMVV && rs.use(nvv + 1, 1, B) != -1) ++nvv;
    if (nvv < 1) nvv = 1;
    const int ntop = std::clamp(rs.ctl.ntop, 0, DIMTOP);
    if (ntop > 0 && nvv > 1)
      stop("ERROR: the search takes the levels of one torsional state; set 1 keeps " +
           std::to_string(nvv) + " product states (give one state, V 0)");
    sw.blk.nvv = nvv;
    sw.blk.ntop = ntop;
    for (int t = 1; t <= ntop; ++t) {
      sw.blk.firstV[t] = rs.use(1, t, B);
      sw.blk.nV[t] = 1;
    }
    ev.par = fs.best;
    adjustDependentParameters(rs, ev.par.set(B), fs.model.npar, sw.blk.adjf);
    const ConstParamView view = std::as_const(ev.par).set(B);
    for (int t = 1; t <= DIMTOP; ++t) sw.rot[t].mark = 0;
    solveTorsionalProblems(rs, sw, B, view, std::as_const(fs.flags).set(B), 0);
    for (int t = 1; t <= ntop; ++t) {
      tabulateTopRotations(sw.rotTable[t], sw.rot[t], view(par::top(t, par::beta)), rs.maxJ);
      sw.blk.firstV[t] = sw.tors.firstV[t];
      sw.blk.nV[t] = sw.tors.nV[t];
    }
    ev.rs = &rs;
    ev.prepared = &sw;
    ev.setBlk = sw.blk;
    ev.flags = FitFlags{};
    ev.flags(par::BJ, B) = ev.flags(par::BK, B) = ev.flags(par::Bm, B) = 1;
  }

  bool replaceFit(RunState& rs, FitState& fs, SweepWork& sw) override {
    SearchResult& R = result;
    const SearchOptions& o = *opt;
    // the lines of the model that the search may use
    std::vector<Candidate> pool;
    int maxJ = 0;
    for (Candidate& c : predicted) {
      c.line.a_species = aSpecies(rs, c.up.species);
      maxJ = std::max({maxJ, c.up.J, c.lo.J});
    }
    // the sweep storage holds the J range of the transition list; the lines
    // of the search may reach higher
    if (maxJ > rs.maxJ) {
      rs.maxJ = std::min(maxJ, DIMJ);
      sw.allocate(DIMVV * (2 * rs.maxJ + 1), DIMV, DIMTOP, rs.maxJ);
      sw.blk.maxJ = rs.maxJ;
      sw.blk.nB = rs.nB;
      sw.blk.nsym = rs.species.nsym;
    }
    Evaluator ev;
    prepareSet(rs, fs, sw, ev, maxJ);
    R.guess_BJ = ev.par(par::BJ, SET);
    R.guess_BK = ev.par(par::BK, SET);
    R.guess_Bm = ev.par(par::Bm, SET);

    std::vector<const Candidate*> triple, checks;
    if (o.triple.empty()) {
      chooseTriple(rs, fs, sw, ev, triple);
    } else {
      if (o.triple.size() != 3) stop("ERROR: a search needs three lines in its triple");
      for (const TransitionName& t : o.triple) triple.push_back(&find(t));
    }
    if (o.check_lines.empty()) {
      chooseChecks(rs, triple, checks);
    } else {
      for (const TransitionName& t : o.check_lines) checks.push_back(&find(t));
    }
    std::vector<const Candidate*> lines = triple;
    lines.insert(lines.end(), checks.begin(), checks.end());
    buildEvaluator(rs, fs, sw, ev, lines, true);
    for (const Candidate* c : triple) R.triple.push_back(c->line);
    for (const Candidate* c : checks) R.checks.push_back(c->line);
    runSearch(ev, lines);
    return true;
  }

  void chooseTriple(RunState& rs, FitState& fs, SweepWork& sw, Evaluator& ev,
                    std::vector<const Candidate*>& triple) {
    // the strongest A lines, strongest first
    std::vector<const Candidate*> strong;
    for (const Candidate& c : predicted)
      if (c.line.a_species && (rs.ctl.ntop == 0 || c.up.species != 0)) strong.push_back(&c);
    std::stable_sort(strong.begin(), strong.end(), [](const Candidate* a, const Candidate* b) {
      return a->line.lgint > b->line.lgint;
    });
    // the strongest of each type (a-type R lines alone barely depend on A)
    {
      std::array<int, 4> perType{};
      std::vector<const Candidate*> kept;
      for (const Candidate* c : strong)
        if (perType[static_cast<std::size_t>(c->type)]++ < 12) kept.push_back(c);
      strong.swap(kept);
    }
    if (strong.size() < 3)
      stop("ERROR: the model predicts fewer than three A lines in the range of the peak list; "
           "no triple can be chosen (check the dipole components and jmax)");
    // how each line's frequency follows BJ, BK, B- at the guess, as unit vectors
    buildEvaluator(rs, fs, sw, ev, strong, false);
    Worker w;
    makeWorker(ev, w, 0);
    const double x0[3] = {ev.par(par::BJ, SET), ev.par(par::BK, SET), ev.par(par::Bm, SET)};
    evaluate(ev, w, x0, 3, true);
    std::vector<std::array<double, 3>> g(strong.size());
    for (std::size_t i = 0; i < strong.size(); ++i) {
      double n = 0.0;
      for (int k = 0; k < 3; ++k) {
        g[i][static_cast<std::size_t>(k)] = frequencyDerivative(ev, w, static_cast<int>(i), k);
        n += g[i][static_cast<std::size_t>(k)] * g[i][static_cast<std::size_t>(k)];
      }
      n = std::sqrt(n);
      for (double& v : g[i]) v = n > 0.0 ? v / n : 0.0;
    }
    auto det = [&](std::size_t i, std::size_t j, std::size_t k) {
      const auto &a = g[i], &b = g[j], &c = g[k];
      return a[0] * (b[1] * c[2] - b[2] * c[1]) - a[1] * (b[0] * c[2] - b[2] * c[0]) +
             a[2] * (b[0] * c[1] - b[1] * c[0]);
    };
    // the first triple in order of strength whose lines fix the three
    // constants well (|det| of the unit gradients >= 0.1), of at least two
    // types where there is one
    constexpr double INDEPENDENT = 0.1;
    for (int pass = 0; pass < 2 && triple.empty(); ++pass)
      for (std::size_t i = 0; i < strong.size() && triple.empty(); ++i)
        for (std::size_t j = i + 1; j < strong.size() && triple.empty(); ++j)
          for (std::size_t k = j + 1; k < strong.size() && triple.empty(); ++k) {
            if (std::fabs(det(i, j, k)) < INDEPENDENT) continue;
            const int ti = strong[i]->type, tj = strong[j]->type, tk = strong[k]->type;
            if (pass == 0 && ti == tj && tj == tk) continue;
            triple = {strong[i], strong[j], strong[k]};
          }
    if (triple.empty())
      stop("ERROR: no three of the strongest predicted A lines fix BJ, BK and B- independently; "
           "name the triple");
  }

  void chooseChecks(const RunState& rs, const std::vector<const Candidate*>& triple,
                    std::vector<const Candidate*>& checks) {
    auto used = [&](const Candidate* c) {
      return std::find(triple.begin(), triple.end(), c) != triple.end() ||
             std::find(checks.begin(), checks.end(), c) != checks.end();
    };
    const std::size_t want = static_cast<std::size_t>(std::max(opt->checks, 0));
    // the partners of the triple in the other species (E lines of a top)
    for (const Candidate* t : triple)
      for (const Candidate& c : predicted)
        if (!c.line.a_species && checks.size() < want && c.up.J == t->up.J && c.up.Ka == t->up.Ka &&
            c.up.Kc == t->up.Kc && c.lo.J == t->lo.J && c.lo.Ka == t->lo.Ka &&
            c.lo.Kc == t->lo.Kc && c.up.F2 == t->up.F2 && c.lo.F2 == t->lo.F2)
          checks.push_back(&c);
    std::vector<const Candidate*> rest;
    for (const Candidate& c : predicted)
      if ((rs.ctl.ntop == 0 || c.up.species != 0) && !used(&c)) rest.push_back(&c);
    std::stable_sort(rest.begin(), rest.end(), [](const Candidate* a, const Candidate* b) {
      return a->line.lgint > b->line.lgint;
    });
    // the strongest of each type in turn: lines of other types than the
    // triple's test the constants the triple's lines depend on least
    std::array<std::size_t, 4> next{};
    while (checks.size() < want) {
      const Candidate* pick = nullptr;
      for (int t = 0; t < 4 && checks.size() < want; ++t) {
        auto& i = next[static_cast<std::size_t>(t)];
        while (i < rest.size() && rest[i]->type != t) ++i;
        if (i == rest.size()) continue;
        if (rest[i]->line.lgint < rest[0]->line.lgint - 2.0) continue; // too weak to count
        pick = rest[i++];
        checks.push_back(pick);
      }
      if (!pick) break;
    }
  }

  void runSearch(const Evaluator& ev, const std::vector<const Candidate*>& lines) {
    SearchResult& R = result;
    const SearchOptions& o = *opt;
    Search s;
    s.ev = &ev;
    s.opt = &o;
    s.nLines = static_cast<int>(lines.size());
    for (const Candidate* c : lines) s.lgint.push_back(c->line.lgint);
    // the peaks by frequency (GHz), with their places in the caller's list
    const std::size_t np = peaks->size();
    std::vector<std::size_t> order(np);
    for (std::size_t i = 0; i < np; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return peaks->freq_MHz[a] < peaks->freq_MHz[b];
    });
    for (std::size_t i : order) {
      s.peakF.push_back(peaks->freq_MHz[i] / 1000.0);
      s.peakIndex.push_back(static_cast<int>(i));
      const double I = peaks->intensity.empty() ? 0.0 : peaks->intensity[i];
      s.peakLogI.push_back(I > 0.0 ? std::log10(I) : std::numeric_limits<double>::quiet_NaN());
    }
    // the guess, the triple's Jacobian and second derivatives there
    std::vector<Worker> workers(1);
    makeWorker(ev, workers[0], o.keep);
    Worker& w0 = workers[0];
    s.x0[0] = R.guess_BJ;
    s.x0[1] = R.guess_BK;
    s.x0[2] = R.guess_Bm;
    s.Bguess[0] = s.x0[0] + s.x0[2];
    s.Bguess[1] = s.x0[0] - s.x0[2];
    s.Bguess[2] = s.x0[0] + s.x0[1];
    evaluate(ev, w0, s.x0, 1, true);
    double a[9];
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 3; ++j) a[k * 3 + j] = frequencyDerivative(ev, w0, k, j);
    // M = a^-1, column by column
    for (int j = 0; j < 3; ++j) {
      double aa[9], e[3] = {0.0, 0.0, 0.0}, col[3];
      std::copy(a, a + 9, aa);
      e[j] = 1.0;
      if (!solve3(aa, e, col))
        stop("ERROR: the three lines of the triple do not fix BJ, BK and B- (their frequencies "
             "depend on them in dependent ways)");
      for (int i = 0; i < 3; ++i) s.M[i * 3 + j] = col[i];
    }
    for (int k = 0; k < 3; ++k) s.F0[k] = frequency(ev, w0, k);
    // second derivatives of the triple's frequencies at the guess, by
    // central differences of the analytic first derivatives (GHz per GHz^2)
    for (int j = 0; j < 3; ++j) {
      const double h =
          1e-4 * std::max({std::fabs(s.x0[0]), std::fabs(s.x0[1]), std::fabs(s.x0[2])});
      double g[2][9];
      for (int side = 0; side < 2; ++side) {
        double xs[3] = {s.x0[0], s.x0[1], s.x0[2]};
        xs[j] += side == 0 ? h : -h;
        evaluate(ev, w0, xs, 1, true);
        for (int k = 0; k < 3; ++k)
          for (int i = 0; i < 3; ++i) g[side][k * 3 + i] = frequencyDerivative(ev, w0, k, i);
      }
      for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 3; ++i)
          s.H[k * 9 + i * 3 + j] = (g[0][k * 3 + i] - g[1][k * 3 + i]) / (2.0 * h);
    }
    // the predicted frequencies at the guess
    evaluate(ev, w0, s.x0, 3, false);
    for (std::size_t k = 0; k < R.triple.size(); ++k)
      R.triple[k].freq_MHz = 1000.0 * frequency(ev, w0, static_cast<int>(k));
    for (std::size_t k = 0; k < R.checks.size(); ++k)
      R.checks[k].freq_MHz = 1000.0 * frequency(ev, w0, static_cast<int>(k + 3));

    for (int k = 0; k < 3; ++k) {
      const double f = R.triple[static_cast<std::size_t>(k)].freq_MHz;
      // by default: how far the line moves when each constant is off by
      // the guess's relative uncertainty (MHz)
      double moves = 0.0;
      for (int j = 0; j < 3; ++j) moves += std::fabs(a[k * 3 + j] * s.x0[j]);
      const double half = o.window_MHz[static_cast<std::size_t>(k)] > 0.0
                              ? o.window_MHz[static_cast<std::size_t>(k)]
                              : 1000.0 * o.guess_uncertainty * moves;
      for (std::size_t p = 0; p < np; ++p)
        if (std::fabs(s.peakF[p] * 1000.0 - f) <= half) {
          s.win[static_cast<std::size_t>(k)].push_back(static_cast<int>(p));
          R.candidates[static_cast<std::size_t>(k)].push_back(s.peakIndex[p]);
        }
    }
    R.combinations =
        static_cast<std::uint64_t>(s.win[0].size()) * s.win[1].size() * s.win[2].size();
    s.begin = std::min(o.first, R.combinations);
    s.end = R.combinations - s.begin <= o.count ? R.combinations : s.begin + o.count;
    s.parts = o.parts;
    s.part = o.part;
    s.run = partRun(s.end - s.begin, s.parts);
    s.size = combinationsOfPart(s.begin, s.end, s.parts, s.part, s.run);
    // threads: as asked, no more than there are batches of combinations
    const std::uint64_t batches = (s.size + BATCH - 1) / BATCH;
    int threads = o.threads > 0
                      ? o.threads
                      : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    threads = static_cast<int>(std::clamp<std::uint64_t>(
        batches, 1, static_cast<std::uint64_t>(std::clamp(threads, 1, MAXTHREADS))));
    // the other threads make their stores themselves, in memory of their own
    workers.resize(static_cast<std::size_t>(threads));
    s.workers = &workers;
    if (s.size > 0) {
      const int n = static_cast<int>(workers.size());
      if (n == 1) {
        searchTask(&s, 0);
      } else {
        WorkerPool pool(n);
        pool.run(n, searchTask, &s);
      }
    }
    std::vector<std::vector<SearchHit>> parts;
    for (Worker& w : workers) {
      if (w.error) std::rethrow_exception(w.error);
      parts.push_back(w.best);
      R.solved += w.solved;
    }
    R.searched = s.done.load();
    R.interrupted = R.searched < s.size;
    R.hits = mergeSearchHits(parts, o.keep);
    // where the check lines of each hit landed
    const std::size_t nc = R.checks.size();
    R.matched.assign(R.hits.size() * nc, -1);
    for (std::size_t h = 0; h < R.hits.size(); ++h) {
      SearchHit again;
      evaluateCombination(s, workers[0], R.hits[h].combination, again, R.matched.data() + h * nc);
    }
  }
};

void checkInputs(const PeakList& peaks, const SearchOptions& o) {
  if (peaks.freq_MHz.empty()) throw Error("ERROR: the search needs a peak list");
  if (!peaks.intensity.empty() && peaks.intensity.size() != peaks.freq_MHz.size())
    throw Error("ERROR: the peak list has " + std::to_string(peaks.freq_MHz.size()) +
                " frequencies but " + std::to_string(peaks.intensity.size()) + " intensities");
  for (std::size_t i = 0; i < peaks.size(); ++i)
    if (!(std::isfinite(peaks.freq_MHz[i]) && peaks.freq_MHz[i] > 0.0))
      throw Error("ERROR: peak " + std::to_string(i + 1) + " has no positive finite frequency");
  for (std::size_t i = 0; i < peaks.intensity.size(); ++i)
    if (!std::isfinite(peaks.intensity[i]))
      throw Error("ERROR: peak " + std::to_string(i + 1) + " has no finite intensity");
  for (double w : o.window_MHz)
    if (!(std::isfinite(w) && w >= 0.0))
      throw Error("ERROR: a search window must be a finite width of 0 (automatic) or more MHz");
  if (!(std::isfinite(o.tolerance_MHz) && o.tolerance_MHz > 0.0))
    throw Error("ERROR: the tolerance of the check lines must be a positive number of MHz");
  if (!(std::isfinite(o.max_change) && o.max_change > 0.0))
    throw Error("ERROR: max_change must be a positive fraction");
  if (!(std::isfinite(o.intensity_weight) && o.intensity_weight >= 0.0))
    throw Error("ERROR: the intensity weight must be 0 or more");
  if (o.keep < 1) throw Error("ERROR: a search keeps at least one combination");
  if (o.checks < 0 || o.checks > 200) throw Error("ERROR: checks must lie in 0 .. 200");
  if (o.parts < 1 || o.part >= o.parts)
    throw Error("ERROR: a search part must lie in 0 .. parts - 1 (parts " +
                std::to_string(o.parts) + ", part " + std::to_string(o.part) + ")");
  if (!(o.T > 0.0)) throw Error("ERROR: the temperature must be positive");
}

} // namespace

SearchResult search(const Model& model, const PeakList& peaks, const SearchOptions& options) {
  checkInputs(peaks, options);
  const auto [lo, hi] = std::minmax_element(peaks.freq_MHz.begin(), peaks.freq_MHz.end());
  // the predicted lines in the range of the peaks, with their intensities
  CatalogueOptions co;
  co.fmin_MHz = *lo;
  co.fmax_MHz = *hi;
  co.jmax = options.jmax;
  co.T = options.T;
  co.fit = false;
  // the search reads intensities at T alone: Q converged at T (the LGINT
  // cut-off at 300 K, with a partial Q(300 K), then keeps every line it kept
  // with the whole Q and more, and still leaves out strengths zero to rounding)
  const Catalogue cat = modelCatalogue(model, co, RunOptions{}, true);
  SearchRun run;
  run.peaks = &peaks;
  run.opt = &options;
  for (const CatalogueEntry& e : cat.entries) {
    const Level& up = cat.levels[static_cast<std::size_t>(e.upper)];
    const Level& low = cat.levels[static_cast<std::size_t>(e.lower)];
    if (up.set != SET || low.set != SET || up.v != 0 || low.v != 0) continue;
    Candidate c;
    c.up = up;
    c.lo = low;
    c.line.name = {quantaOfLevel(up), quantaOfLevel(low)};
    c.line.freq_MHz = e.freq_MHz;
    c.line.lgint = e.lgint;
    c.type = (std::abs(up.Ka - low.Ka) % 2) * 2 + std::abs(up.Kc - low.Kc) % 2;
    run.predicted.push_back(c);
  }
  if (run.predicted.empty())
    throw Error("ERROR: the model predicts no line in the range of the peak list (" +
                std::to_string(*lo) + " .. " + std::to_string(*hi) +
                " MHz); check the dipole components and jmax");
  runModelWithHooks(model, run);
  return std::move(run.result);
}

} // namespace ruvo
