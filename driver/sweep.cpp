// The calculation sweep: from one parameter array to the calculated energies
// of every transition, and the numerical derivatives by repeated sweeps.
#include "driver/sweep.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "core/worker_pool.h"
#include "driver/kept_states.h"
#include "fit/adjust.h"
#include "hamiltonian/axis_rotation.h"
#include "hamiltonian/block.h"
#include "hamiltonian/level_assignment.h"
#include "intensity/intensity_listing.h"
#include "intensity/line_strength.h"
#include "intensity/scratch_files.h"
#include "torsion/torsion.h"

namespace ruvo {

namespace {

// Most threads a sweep uses, whatever the machine offers.
constexpr int MAXTHREADS = 64;
// Blocks of one round per thread: the threads take the blocks of a round one
// after the other as they become free, so that a round of blocks of unequal
// cost (a real A block beside a complex E block of the same J) keeps every
// thread busy until its end.
constexpr int BLOCKS_PER_THREAD = 3;
constexpr int MAXROUND = MAXTHREADS * BLOCKS_PER_THREAD;
// Blocks whose diagonalisation costs less than that of a full matrix of
// this order are computed on the calling thread: handing them to another
// thread would cost more than it saves.
constexpr int MIN_SHARED_ORDER = 32;

// Rigid-rotor blocks of lower J are computed on the calling thread: their
// four Wang blocks of order J/2 or so cost less than handing a round of
// them to the threads and back (measured: a 10-cycle fit of lines with
// J <= 8 took 5.0 ms on two threads against 3.3 ms on one; with the blocks
// below J = 20 on the calling thread 3.3 ms on either).
constexpr int MIN_SHARED_RIGID_J = 20;

// Blocks of fewer rows are diagonalised whole even when only their lowest
// levels are read: below this order the bisection and inverse iteration of
// the lowest levels cost more than the rotations of all eigenvectors they
// save (measured: a sweep of J <= 15 with 5 kept states, blocks up to 155
// rows, took 25 % longer with the lowest levels alone; at 200 rows the two
// cost the same).
constexpr int MIN_ORDER_FOR_LOWEST_LEVELS = 200;
// Two levels closer than this (GHz) count as degenerate: their eigenvectors
// are any two orthogonal combinations of the pair.
constexpr double DEGENERATE_LEVELS_GHZ = 1e-7;
// A rigid-rotor block: no tops in effect and one torsional state, mostly
// solved as four Wang blocks of order J + 1 at most.
bool rigidRotorBlock(const TodoEntry& te, int nvv, int ntop) {
  const int states = te.Sym == 0 && te.predicted ? 1 : nvv;
  return (te.Sym == 0 || ntop == 0) && states == 1;
}

// Whether a block is worth handing to another thread for its
// diagonalisation alone: its order is the number of basis states.
bool worthSharing(const TodoEntry& te, int nvv, int ntop) {
  const int states = te.Sym == 0 && te.predicted ? 1 : nvv;
  const double n = double(states) * (2 * te.J + 1);
  // A rigid-rotor block is too little work to hand over for its
  // diagonalisation alone (measured: a sweep of the blocks J = 0 .. 60 took
  // 30 % longer on two threads when they were shared that way); runs of
  // them are handed out whole instead (rigidRound).
  if (rigidRotorBlock(te, nvv, ntop)) return false;
  return n * n * n >= double(MIN_SHARED_ORDER) * MIN_SHARED_ORDER * MIN_SHARED_ORDER;
}

// Options that print or write inspection files from inside a block: with
// any of them the blocks are computed one after the other, so that their
// text keeps its place in the listing.
bool printsInsideBlocks(const RunState& rs) {
  const int bits =
      aprintbit::BLOCK_LIST | aprintbit::BLOCK_MATRICES | aprintbit::BLOCK_EIGENVECTORS;
  return (rs.ctl.aprint & bits) != 0 || rs.ctl.eval > 3;
}

// The torsional tables of the set just prepared in `from`, as far as the
// blocks read them (tops 1..ntop, K and K' within -maxJ..maxJ).
void copySetTables(const TorsionTables& from, TorsionTables& to, int ntop, int maxJ) {
  using TT = TorsionTables;
  // a store made before the run's tables grew takes their shape first
  if (to.nvs != from.nvs || to.ntops != from.ntops || to.maxJ != from.maxJ)
    to.allocate(from.nvs, from.ntops, from.maxJ);
  maxJ = std::clamp(maxJ, 0, from.maxJ);
  to.firstV = from.firstV;
  to.nV = from.nV;
  to.nVfixed = from.nVfixed;
  to.energy = from.energy;
  to.label = from.label;
  const int k0 = from.ks(-maxJ), nk = 2 * maxJ + 1;
  const std::size_t vv = static_cast<std::size_t>(from.nvs) * from.nvs;
  for (int t = 1; t <= ntop; ++t)
    for (int s = 0; s < TT::NS; ++s) {
      const std::size_t ts = static_cast<std::size_t>(t - 1) * TT::NS + s;
      // O(op, v, v') for K = -maxJ..maxJ, one run of memory
      const std::size_t o = (ts * from.NK + k0) * TT::NOP * vv;
      std::copy_n(from.ovv.begin() + o, nk * TT::NOP * vv, to.ovv.begin() + o);
      // T(K, K', v, v') for K' = -maxJ..maxJ, one run per K
      for (int k = k0; k < k0 + nk; ++k) {
        const std::size_t i = ((ts * from.NK + k) * from.NK + k0) * vv;
        std::copy_n(from.tint.begin() + i, nk * vv, to.tint.begin() + i);
      }
      // P(K, K', v, v') for K' = K-1..K+1 (kept states coupled completely)
      if (!from.pint.empty()) {
        const std::size_t o3 = (ts * from.NK + k0) * 3 * vv;
        std::copy_n(from.pint.begin() + o3, nk * 3 * vv, to.pint.begin() + o3);
      }
    }
}

// The transition ends by the J of their level (core/state.h), made when a
// sweep starts and dropped when it ends, however it ends.
class EndsOfJIndex {
public:
  explicit EndsOfJIndex(Transitions& tr) : tr_(tr) {
    std::vector<int>& start = tr.endsOfJStart;
    start.assign(DIMJ + 2, 0);
    const auto jOf = [&](int k, int end) { return tr.qn[k][end][slot::J]; };
    for (int k = 1; k <= tr.ndata; ++k)
      for (int end : {UP, LO})
        if (const int J = jOf(k, end); J >= 0 && J <= DIMJ) ++start[J + 1];
    for (int J = 0; J <= DIMJ; ++J) start[J + 1] += start[J];
    tr.endsOfJ.resize(static_cast<std::size_t>(start[DIMJ + 1]));
    std::vector<int> fill(start.begin(), start.end());
    for (int k = 1; k <= tr.ndata; ++k)
      for (int end : {UP, LO})
        if (const int J = jOf(k, end); J >= 0 && J <= DIMJ)
          tr.endsOfJ[static_cast<std::size_t>(fill[J]++)] = 2 * k + end;
  }
  ~EndsOfJIndex() { tr_.endsOfJStart.clear(); }
  EndsOfJIndex(const EndsOfJIndex&) = delete;
  EndsOfJIndex& operator=(const EndsOfJIndex&) = delete;

private:
  Transitions& tr_;
};

// One block of a round: its todo entry, the work store that computes it and
// the stop (or other exception) its computation ended with.
struct BlockJob {
  const TodoEntry* te = nullptr;
  SweepWork* work = nullptr;
  std::exception_ptr error;
};

// Consecutive blocks of one set, computed side by side and then finished
// in todo order on the calling thread.
struct Round {
  RunState* rs = nullptr;
  SweepWork* main = nullptr; // the sweep's own store, which holds the set's tables
  ConstParamView par{nullptr};
  int pass = 0, ntop = 0, maxJ = 0;
  BlockState setBlk; // block settings common to the set
  std::array<BlockJob, MAXROUND> jobs{};
  int n = 0;
  std::atomic<int> next{0}; // the next block of the round not yet taken
  // a run of rigid-rotor blocks: besides being computed, their labelled
  // levels are stored into the transitions side by side
  bool rigidRound = false;
  // ... and labelled on the thread that computed them (no level table printed)
  bool labelAside = false;
  // the blocks compute their lowest levels alone (kept states, nothing
  // that reads the other levels)
  bool lowestOnly = false;
  // species whose blocks were found with degenerate levels in this sweep:
  // their later blocks are computed whole at once
  std::array<bool, DIMSYM + 1> wholeSpecies{};
  ConstFlagView flags{nullptr};
  const FitModel* fm = nullptr;
};

// Whether a sweep may compute the lowest levels of its blocks alone: the
// tops keep their states coupled completely, and no level table, derivative
// table, line strength, eigenvector print or inspection file reads the
// levels above those the transitions name.
bool lowestLevelsSuffice(const RunState& rs) {
  return rs.ctl.vkeep > 0 && rs.ctl.eval == 0 && rs.ctl.dfreq == 0 &&
         intensityMode(rs.ctl.ints) == 0 && !printsInsideBlocks(rs);
}

// Levels of a block of N rows to compute, the lowest first (0: all of a
// block below MIN_ORDER_FOR_LOWEST_LEVELS rows): twice the 2J+1
// of the torsional ground state, and at least the highest energy rank T a
// transition end names.  Should an end find no level among them, the block
// is computed again whole (completeIfLevelsMissing).
int lowestLevelsOfBlock(const RunState& rs, const TodoEntry& te, int N) {
  if (N < MIN_ORDER_FOR_LOWEST_LEVELS) return 0;
  const Transitions& tr = rs.tr;
  int wanted = 2 * (2 * te.J + 1);
  const int J = te.J;
  if (J >= 0 && static_cast<std::size_t>(J) + 1 < tr.endsOfJStart.size())
    for (int i = tr.endsOfJStart[J]; i < tr.endsOfJStart[J + 1]; ++i) {
      const int code = tr.endsOfJ[static_cast<std::size_t>(i)];
      const Slots& q = tr.qn[code / 2][code % 2];
      if (q[slot::F] == te.F && q[slot::B] == te.B && q[slot::S] == te.Sym &&
          hasBit(q[slot::KIND], kindbit::BY_T))
        wanted = std::max(wanted, q[slot::T]);
    }
  return wanted < N ? wanted : 0;
}

// A block of which only the lowest levels were computed: labelled once
// without a word, it is computed again whole when a transition end finds
// none of them (its level lies higher) or two of them are degenerate, so
// that the ends take the same levels and labels as from the whole block.
void completeIfLevelsMissing(RunState& rs, SweepWork& w, const TodoEntry& te, ConstParamView par,
                             int pass, std::array<bool, DIMSYM + 1>& wholeSpecies) {
  if (w.blk.levels <= 0) return;
  std::ostringstream sink;
  std::ostream* out = rs.io.out;
  rs.io.out = &sink;
  try {
    labelBlockLevels(rs, w, te.J, te.Sym, te.F, te.B, pass);
  } catch (...) {
    rs.io.out = out;
    throw;
  }
  rs.io.out = out;
  // two levels degenerate to within the rounding of the solvers: which
  // combination of the pair each solver returns is set by its rounding, and
  // the K labels with it, so the block takes the whole solution's
  bool degenerate = false;
  for (int l = 1; l < w.blk.levels && !degenerate; ++l)
    degenerate = w.E[l] - w.E[l - 1] < DEGENERATE_LEVELS_GHZ;
  if (!degenerate && everyEndFindsALevel(rs, w, te.J, te.Sym, te.F, te.B)) return;
  if (degenerate && te.Sym >= 0 && te.Sym <= DIMSYM) wholeSpecies[te.Sym] = true;
  w.lowestLevelsWanted = 0;
  computeBlock(rs, w, te.J, te.Sym, te.F, te.B, par, pass);
}

// The compute half of block i of the round, on whichever thread runs it:
// reads the run state, the parameters and (for a helper's first block of a
// set) the main store's tables; writes only its own store.
void computeJob(Round& r, int i) {
  BlockJob& job = r.jobs[i];
  SweepWork& w = *job.work;
  const TodoEntry& te = *job.te;
  try {
    if (&w != r.main && w.setSerial != r.main->setSerial) {
      copySetTables(r.main->tors, w.tors, r.ntop, r.maxJ);
      for (int t = 1; t <= DIMTOP; ++t) w.rot[t].mark = 0;
      w.setSerial = r.main->setSerial;
    }
    w.blk = r.setBlk;
    // axis system of every top for this J
    for (int t = 1; t <= r.ntop; ++t) loadTopRotation(w.rot[t], r.main->rotTable[t], te.J);
    // species 0: a block without internal rotation; one added for the
    // predicted spectrum holds the rigid rotor of the set with one torsional
    // state, whatever states the set keeps
    if (te.Sym == 0) w.blk.ntop = 0;
    if (te.Sym == 0 && (te.predicted || w.blk.complete)) w.blk.nvv = 1;
    const bool whole = te.Sym >= 0 && te.Sym <= DIMSYM && r.wholeSpecies[te.Sym];
    w.lowestLevelsWanted =
        r.lowestOnly && !whole ? lowestLevelsOfBlock(*r.rs, te, w.blk.nvv * (2 * te.J + 1)) : 0;
    computeBlock(*r.rs, w, te.J, te.Sym, te.F, te.B, r.par, r.pass);
    if (r.labelAside) labelBlockLevelsAside(*r.rs, w, te.J, te.Sym, te.F, te.B);
  } catch (...) {
    job.error = std::current_exception();
  }
}

// One thread of a round: takes the round's blocks in turn until none is left.
void computeJobsTask(void* round, int) {
  Round& r = *static_cast<Round*>(round);
  for (int i = r.next.fetch_add(1); i < r.n; i = r.next.fetch_add(1)) computeJob(r, i);
}

// The store half of rigid-rotor block i of the round, once every block of
// the round is labelled: energies and derivatives of its levels into the
// transition ends that name it, which no other block of the round names.
void storeJob(Round& r, int i) {
  BlockJob& job = r.jobs[i];
  const TodoEntry& te = *job.te;
  try {
    storeBlockLevels(*r.rs, *job.work, te.J, te.Sym, te.F, te.B, r.flags, *r.fm);
  } catch (...) {
    job.error = std::current_exception();
  }
}

void storeJobsTask(void* round, int) {
  Round& r = *static_cast<Round*>(round);
  for (int i = r.next.fetch_add(1); i < r.n; i = r.next.fetch_add(1)) storeJob(r, i);
}

// Threads this sweep may compute its blocks on.
int sweepThreads(const RunState& rs, SweepWork& sw) {
  const int n = std::min(rs.threads, MAXTHREADS);
  if (n <= 1 || printsInsideBlocks(rs)) return 1;
  for (auto& h : sw.helpers) h->setSerial = -1; // tables of no set yet
  return n;
}

// The pool of `threads` threads and the work stores of a round's blocks
// beyond the first, made at the first round that shares its blocks and kept
// for the run.
void makeTeam(SweepWork& sw, int threads, int ntop) {
  if (sw.pool && sw.pool->size() == threads) {
    // stores made before the blocks grew (the levels of the partition function)
    for (auto& h : sw.helpers)
      if (h->ld < sw.ld || h->tors.maxJ < sw.tors.maxJ) {
        h->allocate(sw.ld, sw.tors.nvs, sw.tors.ntops, sw.tors.maxJ, std::max(ntop, 0));
        h->setSerial = -1;
      }
    return;
  }
  sw.pool.reset();
  sw.pool = std::make_shared<WorkerPool>(threads);
  sw.helpers.resize(static_cast<std::size_t>(threads * BLOCKS_PER_THREAD - 1));
  for (auto& h : sw.helpers)
    if (!h) {
      h = std::make_shared<SweepWork>();
      h->allocate(sw.ld, sw.tors.nvs, sw.tors.ntops, sw.tors.maxJ, std::max(ntop, 0));
      h->setSerial = -1;
    }
}

// One shifted-parameter sweep of a numerical derivative.  It works in a run
// state of its own, a copy of the run's made when it starts, so that the
// sweeps of one derivative calculation are independent of each other and
// of the order they run in: each starts from the levels and labels of the
// value sweep, and none relabels the run's transitions.
struct ShiftedSweep {
  int var = 0;                // fit variable
  double step = 0.0;          // step h of the variable (the forward one)
  bool central = false;       // this sweep and the next form a central difference
  ParamSets par;              // the shifted parameters
  std::vector<double> up, lo; // energies of the transition ends, GHz (1..ndata)
  std::string out, err;       // listing text and messages, when buffered
  int problems = 0;
  std::array<int, DIMSYM + 1> pmKSign{};
  bool assignWarned = false;
  int lastPrintedPass = 0;
  std::exception_ptr error;
};

// Sweeps computed side by side, one per lane.
struct ShiftedRound {
  RunState* rs = nullptr;
  SweepWork* main = nullptr;
  const FitModel* fm = nullptr;
  ShiftedSweep* jobs = nullptr;
  int size = 0;
  bool buffered = false; // listing text kept per sweep (side by side)
};

// The part of the run state a sweep reads, and the transition list it
// writes, copied into the run state of a shifted sweep.
} // namespace

void keepStatesCompletely(BlockState& blk, int states, int ntop, const KeptProducts* products) {
  blk.complete = true;
  blk.woods = woodsbit::completeCoupling(blk.woods);
  blk.nvv = states;
  blk.ntop = ntop;
  for (int t = 1; t <= ntop && t <= DIMTOP; ++t) {
    blk.firstV[t] = 1;
    blk.nV[t] = states;
  }
  if (ntop < 2 || products == nullptr) return;
  // two or three tops: the product states chosen for the run
  if (products->states != states || products->n < 1 || products->n > DIMVKEEP)
    stop("ERROR: vkeep: the product torsional states of the tops do not fit the kept states");
  blk.nvv = products->n;
  blk.product = products->v;
}

namespace {

void copyForShiftedSweep(const RunState& from, RunState& to) {
  to.ctl = from.ctl;
  to.parName = from.parName;
  to.nB = from.nB;
  to.woodsB = from.woodsB;
  to.adjfB = from.adjfB;
  to.maxmTop = from.maxmTop;
  to.maxvmTop = from.maxvmTop;
  to.species = from.species;
  to.use = from.use;
  to.todo.n = from.todo.n;
  std::copy_n(from.todo.e.begin(), std::min(from.todo.e.size(), to.todo.e.size()),
              to.todo.e.begin());
  to.maxJ = from.maxJ;
  to.cyclePrint = from.cyclePrint;
  to.detailPrint = from.detailPrint;
  to.assignWarned = from.assignWarned;
  to.lastPrintedPass = from.lastPrintedPass;
  to.fileUnit = from.fileUnit;
  to.pmKSign = from.pmKSign;
  to.kept = from.kept;
  to.problems = 0;
  to.threads = from.threads;
  const Transitions& a = from.tr;
  Transitions& b = to.tr;
  const std::size_t n = static_cast<std::size_t>(std::max(a.ndata, 0)) + 1;
  b.ndata = a.ndata;
  b.qn.assign(a.qn.begin(), a.qn.begin() + n);
  b.freq.assign(a.freq.begin(), a.freq.begin() + n);
  b.err.assign(a.err.begin(), a.err.begin() + n);
  b.psi.assign(a.psi.begin(), a.psi.begin() + n);
  b.inten.assign(a.inten.begin(), a.inten.begin() + n);
  b.levelIndex.assign(a.levelIndex.begin(), a.levelIndex.begin() + n);
  b.partnerOfData = a.partnerOfData;
  // energies only: the derivative columns are not touched by these sweeps
  if (b.eUp.size() < n) {
    b.eUp.resize(n);
    b.eLo.resize(n);
  }
  for (std::size_t k = 0; k < n; ++k) {
    b.eUp[k][0] = a.eUp[k][0];
    b.eLo[k][0] = a.eLo[k][0];
  }
}

// Shifted sweep i of the round, on lane i: lane 0 computes in the sweep's
// own store (sharing its blocks out when it runs alone), the others in the
// stores of the sweep's helper threads.
void runShiftedSweep(ShiftedRound& r, int i) {
  ShiftedSweep& job = r.jobs[i];
  RunState& lane = *r.main->lanes[static_cast<std::size_t>(i)];
  SweepWork& w = i == 0 ? *r.main : *r.main->helpers[static_cast<std::size_t>(i - 1)];
  RunState& rs = *r.rs;
  std::ostringstream out, err;
  try {
    copyForShiftedSweep(rs, lane);
    if (r.size > 1) lane.threads = 1;
    lane.io.in = rs.io.in;
    lane.io.interactive = rs.io.interactive;
    lane.io.out = r.buffered ? &out : rs.io.out;
    lane.io.err = r.buffered ? &err : rs.io.err;
    // the level tables of every sweep go to the run's evaluation file (only
    // sweeps one after the other print them)
    if (!r.buffered) std::swap(lane.io.evalFile, rs.io.evalFile);
    // the window of torsional states the value sweep fixed for the run
    if (&w != r.main) w.tors.nVfixed = r.main->tors.nVfixed;
    try {
      FitFlags noFlags{};
      calculationSweep(lane, w, job.par, noFlags, *r.fm, job.var);
    } catch (...) {
      job.error = std::current_exception();
    }
    if (!r.buffered) std::swap(lane.io.evalFile, rs.io.evalFile);
    const std::size_t n = static_cast<std::size_t>(std::max(lane.tr.ndata, 0)) + 1;
    job.up.resize(n);
    job.lo.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
      job.up[k] = lane.tr.eUp[k][0];
      job.lo[k] = lane.tr.eLo[k][0];
    }
  } catch (...) {
    if (!job.error) job.error = std::current_exception();
  }
  job.out = out.str();
  job.err = err.str();
  job.problems = lane.problems;
  job.pmKSign = lane.pmKSign;
  job.assignWarned = lane.assignWarned;
  job.lastPrintedPass = lane.lastPrintedPass;
}

void runShiftedSweepTask(void* round, int i) {
  runShiftedSweep(*static_cast<ShiftedRound*>(round), i);
}

// What a shifted sweep leaves for the run: its text in the listing and on
// standard error, in sweep order, its problems, and the species it found in
// sign-labelled +-K pairs.
void mergeShiftedSweep(RunState& rs, const ShiftedSweep& job) {
  *rs.io.out << job.out;
  *rs.io.err << job.err;
  rs.problems += job.problems;
  for (int s = 0; s <= DIMSYM; ++s)
    if (job.pmKSign[s] != 0) rs.pmKSign[s] = job.pmKSign[s];
  rs.assignWarned = rs.assignWarned || job.assignWarned;
  rs.lastPrintedPass = job.lastPrintedPass;
}

} // namespace

void calculationSweep(RunState& rs, SweepWork& sw, ParamSets& par, const FitFlags& flags,
                      const FitModel& fm, int pass) {
  Transitions& tr = rs.tr;
  Controls& ctl = rs.ctl;
  std::ostream& out = *rs.io.out;
  const int ndata = tr.ndata;

  // 1. every level is to be found again
  for (int k = 1; k <= ndata; ++k) {
    for (int end : {UP, LO}) {
      int& kind = tr.qn[k][end][slot::KIND];
      kind &= ~(kindbit::FOUND | kindbit::SUSPECT);
      tr.levelIndex[k][end] = -1000;
    }
  }
  // the ends by the J of their level, so that a block looks only at its own
  // J's ends (kept for this sweep only)
  const EndsOfJIndex endsOfJ(tr);

  // 2. no B set prepared yet; the block files this sweep writes are those of
  // its parameters
  sw.lastB = -1;
  if (pass == 0 && intensityMode(ctl.ints) > 0) sw.filesValid.fill(false);
  sw.blk.maxJ = rs.maxJ;
  sw.blk.nB = rs.nB;
  sw.blk.nsym = rs.species.nsym;
  const int ntop = ctl.ntop;
  const int threads = sweepThreads(rs, sw);
  // the parameters of the set being computed; its dependent parameters are
  // recomputed in the caller's array (the derivative sweeps hand in a
  // shifted copy)
  ConstParamView setView{&std::as_const(par)(1, 1)};
  Round round;
  round.rs = &rs;
  round.main = &sw;
  round.pass = pass;
  round.ntop = std::clamp(ntop, 0, DIMTOP);
  round.maxJ = std::clamp(rs.maxJ, 0, DIMJ);

  // 3. the blocks of the todo list, a round of consecutive blocks of one set
  // at a time
  const int nTodo = rs.todo.n;
  const auto takesPart = [&](const TodoEntry& te) {
    return pass == 0 || hasBit(te.Stat, TODO_DERIV);
  };
  for (int e = 1; e <= nTodo;) {
    const TodoEntry& te = rs.todo.e[e];
    if (!takesPart(te)) {
      ++e;
      continue;
    }
    stopIfTerminated();
    const int B = te.B;
    if (B < 1 || B > DIMB) stop("B > DIM B");

    // option bits of set B and the product torsional states of its blocks
    sw.blk.woods = rs.woodsB[B];
    sw.blk.adjf = rs.adjfB[B];
    int nvv = 0;
    while (nvv < DIMVV && rs.use(nvv + 1, 1, B) != -1) ++nvv;
    if (nvv < 1) nvv = 1;
    // vkeep: the top keeps its states 1..vkeep, coupled completely; the
    // options that approximate the couplings between the states give way
    // to the complete coupling (overlaps from the eigenvectors, unscaled,
    // in the rotor terms)
    sw.blk.complete = false;
    if (rs.ctl.vkeep > 0 && ntop >= 1) {
      // (products not chosen yet: the set's first tables choose them below)
      const bool chosen = ntop < 2 || rs.kept[B].states == rs.ctl.vkeep;
      keepStatesCompletely(sw.blk, rs.ctl.vkeep, ntop, chosen ? &rs.kept[B] : nullptr);
      nvv = sw.blk.nvv;
    }
    // the set's own count of product states: the torsional problem and the
    // set's torsional file are made with it (a species-0 block added for the
    // predicted spectrum takes one state below)
    sw.blk.nvv = nvv;
    sw.blk.ntop = ntop;

    // window of one-top states kept per top
    if (!sw.blk.complete && ntop >= 1) {
      for (int t = 1; t <= ntop && t <= DIMTOP; ++t) {
        int lo = rs.use(1, t, B), hi = rs.use(1, t, B);
        for (int i = 2; i <= nvv; ++i) {
          lo = std::min(lo, rs.use(i, t, B));
          hi = std::max(hi, rs.use(i, t, B));
        }
        const int span = hi - lo + 1;
        if (span < 0) stop("error in calc2");
        sw.blk.firstV[t] = lo;
        sw.blk.nV[t] = span;
      }
    }

    // a new B set: dependent parameters and the torsional problem
    if (B != sw.lastB) {
      sw.lastB = B;
      ++sw.setSerial;
      for (int t = 1; t <= DIMTOP; ++t) sw.rot[t].mark = 0;
      adjustDependentParameters(rs, par.set(B), fm.npar, sw.blk.adjf);
      setView = std::as_const(par).set(B);
      if (hasBit(ctl.aprint, aprintbit::PARAMETERS_AND_RHO) && rs.detailPrint != 0) {
        put(out, "(2(A,I3))", {"Parameter for B=", B, "   deriv.=", pass});
        put(out, "(A,3F18.9)",
            {"BJ  BK    B-  ", setView(par::BJ), setView(par::BK), setView(par::Bm)});
        for (int t = 1; t <= ntop && t <= DIMTOP; ++t)
          put(out, "(A,3F18.9)",
              {"rho gamma beta", setView(par::top(t, par::rho)), setView(par::top(t, par::gamma)),
               setView(par::top(t, par::beta))});
      }
      solveTorsionalProblems(rs, sw, B, setView, flags.set(B), pass);
      // two or three tops keeping their states: the product states of the
      // set, chosen from its first torsional tables and kept for the run
      if (sw.blk.complete && ntop >= 2) {
        if (rs.kept[B].states != rs.ctl.vkeep)
          chooseKeptProducts(rs, sw.tors, rs.ctl.vkeep, ntop, B, rs.kept[B]);
        keepStatesCompletely(sw.blk, rs.ctl.vkeep, ntop, &rs.kept[B]);
        nvv = sw.blk.nvv;
        // blocks of that many product states (the helpers follow in makeTeam)
        if (nvv * (2 * rs.maxJ + 1) > sw.ld) sw.growForJ(rs.maxJ, nvv);
      }
      // the axis rotations of the set's tops for every J (kept while beta stays)
      for (int t = 1; t <= ntop && t <= DIMTOP; ++t)
        tabulateTopRotations(sw.rotTable[t], sw.rot[t], setView(par::top(t, par::beta)), rs.maxJ);
      if (intensityMode(ctl.ints) >= intsbit::SPECTRUM_BY_SPECIES && pass == 0)
        writeTorsionalIntegrals(rs, sw, B);
      if (intensityMode(ctl.ints) > 0 && pass == 0) {
        for (int p = 1; p <= NPAR; ++p) sw.filesPar[B][p - 1] = setView(p);
        sw.filesValid[B] = true;
      }
    }

    // the tables of set B hold the window solveTorsionalProblems settled on (with woods bit 4
    // every top's states from the ground state on): index into that window
    if (ntop >= 1)
      for (int t = 1; t <= ntop && t <= DIMTOP; ++t) {
        sw.blk.firstV[t] = sw.tors.firstV[t];
        sw.blk.nV[t] = sw.tors.nV[t];
      }

    // the round: this block and the next ones of set B, taken by the threads
    // in turn
    round.par = setView;
    round.setBlk = sw.blk;
    round.n = 0;
    // a run of rigid-rotor blocks goes to the threads whole: computed,
    // labelled in todo order, then stored side by side
    round.rigidRound = threads > 1 && rigidRotorBlock(te, nvv, ntop) && te.J >= MIN_SHARED_RIGID_J;
    round.flags = flags.set(B);
    round.lowestOnly = sw.blk.complete && lowestLevelsSuffice(rs);
    round.fm = &fm;
    int next = e + 1;
    const int roundSize = threads > 1 ? threads * BLOCKS_PER_THREAD : 1;
    for (int f = e; f <= nTodo && round.n < roundSize; ++f) {
      const TodoEntry& tf = rs.todo.e[f];
      next = f + 1;
      if (!takesPart(tf)) continue;
      const bool shared =
          round.rigidRound ? rigidRotorBlock(tf, nvv, ntop) : worthSharing(tf, nvv, ntop);
      if (tf.B != B || (round.n > 0 && !shared)) {
        next = f;
        break;
      }
      BlockJob& job = round.jobs[round.n];
      job.te = &tf;
      job.work = &sw;
      job.error = nullptr;
      ++round.n;
      if (f == nTodo || rs.todo.e[f + 1].B != B) break; // the set's last block
      if (!shared) break;
    }
    round.rigidRound = round.rigidRound && round.n > 1;
    round.labelAside = round.rigidRound && !blockLabelsPrinted(ctl, pass);
    if (round.n == 1) {
      computeJob(round, 0);
    } else {
      makeTeam(sw, threads, ntop);
      for (int i = 1; i < round.n; ++i) round.jobs[i].work = sw.helpers[i - 1].get();
      round.next = 0;
      sw.pool->run(std::min(threads, round.n), computeJobsTask, &round);
    }
    if (round.rigidRound) {
      // labels in todo order (made beside the blocks unless they print the
      // level table; what they found for the run in todo order), then the
      // stores side by side
      int labelled = 0;
      for (; labelled < round.n && !round.jobs[labelled].error; ++labelled) {
        const TodoEntry& tb = *round.jobs[labelled].te;
        SweepWork& w = *round.jobs[labelled].work;
        if (round.labelAside)
          reportBlockLabels(rs, w, tb.J, tb.Sym);
        else
          labelBlockLevels(rs, w, tb.J, tb.Sym, tb.F, B, pass);
      }
      const int computed = round.n;
      round.n = labelled; // a block that failed and those after it are not stored
      round.next = 0;
      if (labelled > 0) sw.pool->run(std::min(threads, labelled), storeJobsTask, &round);
      round.n = computed;
    }

    // finish the round's blocks in todo order
    for (int i = 0; i < round.n; ++i) {
      const BlockJob& job = round.jobs[i];
      if (job.error) std::rethrow_exception(job.error);
      SweepWork& w = *job.work;
      const TodoEntry& tb = *job.te;
      if (!round.rigidRound)
        completeIfLevelsMissing(rs, w, tb, round.par, pass, round.wholeSpecies);
      if (!round.rigidRound) finishBlock(rs, w, tb.J, tb.Sym, tb.F, B, flags.set(B), fm, pass);
      // the block's eigenvectors go to its scratch file for the line strengths
      if (intensityMode(ctl.ints) > 0 && pass == 0)
        writeBlockEigenvectors(rs, w, tb.J, tb.Sym, tb.F, B);
      if (&w != &sw) sw.blk = w.blk; // the state the set's files record

      // line strengths of set B once its last block is done
      const int eb = static_cast<int>(job.te - &rs.todo.e[0]);
      const bool lastOfB = eb == nTodo || rs.todo.e[eb + 1].B != B;
      if (pass == 0 && intensityMode(ctl.ints) > 0 && lastOfB) {
        for (int k = 1; k <= ndata; ++k)
          if (tr.qn[k][UP][slot::B] == B && tr.qn[k][LO][slot::B] == B)
            tr.inten[k] =
                lineStrength(rs, sw, k, setView(par::mu_x), setView(par::mu_y), setView(par::mu_z));
      }
      sw.blk.ntop = ntop;
    }
    e = next;
  }

  // 4. levels that no block provided
  for (int k = 1; k <= ndata; ++k) {
    const int up = tr.qn[k][UP][slot::KIND], lo = tr.qn[k][LO][slot::KIND];
    if (pass != 0 && !hasBit(up, kindbit::MEASURED) && !hasBit(lo, kindbit::MEASURED)) continue;
    if (!hasBit(up, kindbit::FOUND) || !hasBit(lo, kindbit::FOUND))
      put(out, "(A,I" + std::to_string(std::max(4, decimalWidth(ndata))) + ",A,2I4)",
          {" Assign error at line", k, " reason", up, lo});
  }

  // 5. the predicted spectrum, with the dipole components of the last set
  if (intensityMode(ctl.ints) >= intsbit::SPECTRUM_BY_SPECIES && pass == 0 && nTodo >= 1) {
    const int Blast = rs.todo.e[nTodo].B;
    if (Blast >= 1 && Blast <= DIMB) {
      const double mux = par(par::mu_x, Blast), muy = par(par::mu_y, Blast),
                   muz = par(par::mu_z, Blast);
      if (intensityMode(ctl.ints) == intsbit::SPECTRUM_BY_SPECIES) {
        // the lines of ranges of J are made on the sweep's threads
        if (threads > 1) makeTeam(sw, threads, ntop);
        printPredictedSpectrum(rs, sw, mux, muy, muz, ctl.temp);
      } else if (intensityMode(ctl.ints) == intsbit::SPECTRUM_GROUPED)
        printGroupedSpectrum(rs, sw, mux, muy, muz, ctl.temp);
    }
  }
}

void sweepWithDerivatives(RunState& rs, SweepWork& sw, ParamSets& par, const FitFlags& flags,
                          const FitModel& fm, int mode) {
  Transitions& tr = rs.tr;
  const int ndata = tr.ndata;

  if (mode == 0) {
    // energies and analytic derivatives of the given parameters
    for (int k = 1; k <= ndata; ++k) {
      tr.eUp[k].fill(0.0);
      tr.eLo[k].fill(0.0);
    }
    rs.detailPrint = rs.cyclePrint != 0 ? 1 : 0;
    calculationSweep(rs, sw, par, flags, fm, 0);
    for (int k = 1; k <= ndata; ++k) {
      sw.baseUp[k] = tr.eUp[k][0];
      sw.baseLo[k] = tr.eLo[k][0];
    }
    return;
  }

  // numerical derivatives: no analytic ones in these sweeps, and no matrix
  // or eigenvector prints
  rs.detailPrint =
      (hasBit(rs.ctl.aprint, aprintbit::TRANSITIONS_SELECTED_CYCLES) && rs.cyclePrint != 0) ? 1 : 0;
  const ListingBitsOff quiet(rs.ctl.aprint,
                             aprintbit::BLOCK_EIGENVECTORS | aprintbit::BLOCK_MATRICES);

  // the shifted sweeps: one per numerical variable, two for a central
  // difference; the sign of the step alternates from one derivative
  // calculation to the next
  std::vector<ShiftedSweep> jobs;
  for (int n = 1; n <= fm.nfit && n <= DIMFIT; ++n) {
    const FitVar& fv = fm.var[n];
    if (fv.kind >= 0) continue;
    sw.stepSign[n] = -sw.stepSign[n];
    // step: the relative step (percent) of the mean size of the terms
    double basis = 0.0;
    int nterm = 0;
    for (int j = 1; j <= fv.nterm && j <= DIMPLC; ++j) {
      if (fv.par[j] < 1 || fv.par[j] > NPAR || fv.set[j] < 1 || fv.set[j] > DIMB) continue;
      basis += std::fabs(fv.coef[j] * par(fv.par[j], fv.set[j]));
      ++nterm;
    }
    if (nterm == 0 || basis == 0.0) continue; // no step can be formed; column left 0
    const double h = sw.stepSign[n] * (fv.step / 100.0) * basis / fv.nterm;
    if (h == 0.0) continue;
    const bool central = fv.kind == -2 || mode > 1;
    for (const double step : {h, -h}) {
      ShiftedSweep& job = jobs.emplace_back();
      job.var = n;
      job.step = h;
      job.central = central;
      job.par = par;
      for (int j = 1; j <= fv.nterm && j <= DIMPLC; ++j) {
        if (fv.par[j] < 1 || fv.par[j] > NPAR || fv.set[j] < 1 || fv.set[j] > DIMB) continue;
        job.par(fv.par[j], fv.set[j]) += step * fv.coef[j];
      }
      if (!central) break;
    }
  }

  ShiftedRound round;
  round.rs = &rs;
  round.main = &sw;
  round.fm = &fm;
  const int threads = std::min(rs.threads, MAXTHREADS);
  const bool sideBySide = threads > 1 && !printsInsideBlocks(rs) && rs.detailPrint == 0 &&
                          rs.ctl.eval <= 1 && jobs.size() > 1;
  if (sideBySide) makeTeam(sw, threads, rs.ctl.ntop);
  while (static_cast<int>(sw.lanes.size()) < (sideBySide ? threads : 1)) {
    auto lane = std::make_shared<RunState>();
    lane->todo.e.assign(static_cast<std::size_t>(DIMTDO) + 1, {});
    sw.lanes.push_back(std::move(lane));
  }

  const int njobs = static_cast<int>(jobs.size());
  for (int first = 0; first < njobs;) {
    // a round: as many sweeps as there are threads, each on one thread; a
    // sweep alone shares its blocks out instead
    const int size = sideBySide ? std::min(threads, njobs - first) : 1;
    round.jobs = &jobs[static_cast<std::size_t>(first)];
    round.size = size;
    round.buffered = sideBySide;
    if (size == 1) {
      runShiftedSweep(round, 0);
    } else {
      sw.pool->run(size, runShiftedSweepTask, &round);
    }
    for (int i = 0; i < size; ++i) {
      ShiftedSweep& job = jobs[static_cast<std::size_t>(first + i)];
      mergeShiftedSweep(rs, job);
      if (job.error) std::rethrow_exception(job.error);
    }
    first += size;
  }

  // the derivative columns, in GHz per unit of the fit variable
  for (int j = 0; j < njobs; ++j) {
    const ShiftedSweep& job = jobs[static_cast<std::size_t>(j)];
    const int n = job.var;
    if (job.central) {
      const ShiftedSweep& back = jobs[static_cast<std::size_t>(++j)];
      for (int k = 1; k <= ndata; ++k) {
        tr.eUp[k][n] = (job.up[k] - back.up[k]) / (2.0 * job.step);
        tr.eLo[k][n] = (job.lo[k] - back.lo[k]) / (2.0 * job.step);
      }
    } else {
      // one-sided difference from the energies of the value sweep
      for (int k = 1; k <= ndata; ++k) {
        tr.eUp[k][n] = (job.up[k] - sw.baseUp[k]) / job.step;
        tr.eLo[k][n] = (job.lo[k] - sw.baseLo[k]) / job.step;
      }
    }
  }

  for (int k = 1; k <= ndata; ++k) {
    tr.eUp[k][0] = sw.baseUp[k];
    tr.eLo[k][0] = sw.baseLo[k];
  }
}

} // namespace ruvo
