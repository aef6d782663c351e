// The partition function Q(T) = sum of g exp(-E/kT) over the levels of the
// molecule, for the catalogue intensities.  Energies in GHz inside, summed
// relative to the lowest output level.
//
// Above the J range of the lines Q needs levels that no line names: they
// are computed here, J by J, energies only, until a J adds less than
// PARTITION_STEP of Q(300 K) and the shares of J have begun to fall.  With
// tops the levels of the torsional states of the model are followed by
// those of the excited torsional states the model leaves out, each product
// state in one-state blocks of its own, from J = 0 on.  The work storage is
// this routine's own and grows with the J that the sums reach.
//
// The excited states are independent of each other: on more than one
// thread they are computed side by side, each on a lane with a run state and
// storage of its own, and their levels are then added to Q one state after
// the other, J by J, exactly as on one thread.  Where a state's sum stops
// depends on Q, which the states before it are still adding to; a lane
// therefore goes on until the J where the sum stops whatever those states
// add (its share against a smaller Q is the larger), and the sum in state
// order stops at that J or before it.
#include "driver/partition_function.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "core/stop.h"
#include "core/worker_pool.h"
#include "driver/sweep.h"
#include "fit/adjust.h"
#include "hamiltonian/axis_rotation.h"
#include "hamiltonian/block.h"
#include "hamiltonian/wang_blocks.h"
#include "torsion/torsion.h"
#include "torsion/torsional_matrices.h"

namespace ruvo {

namespace {

// kT at 300 K in GHz (208.5 cm^-1)
constexpr double KT300_GHZ = 300.0 / C2_CM_K * GHZ_PER_WAVENUMBER;

// A run state of its own for a thread that computes energies beside the
// run: the settings the blocks read (controls, species, sets, state tables),
// and the run's messages.
std::unique_ptr<RunState> copyOfBlockSettings(const RunState& from) {
  auto to = std::make_unique<RunState>();
  to->ctl = from.ctl;
  to->parName = from.parName;
  to->nB = from.nB;
  to->woodsB = from.woodsB;
  to->adjfB = from.adjfB;
  to->maxmTop = from.maxmTop;
  to->maxvmTop = from.maxvmTop;
  to->species = from.species;
  to->use = from.use;
  to->kept = from.kept;
  to->maxJ = from.maxJ;
  to->threads = 1;
  to->io.out = from.io.out;
  to->io.err = from.io.err;
  return to;
}

// Threads that sum excited states side by side, at most
constexpr int MOST_LANES = 64;

// A torsional product state: the one-top state (1-based) of each top.
using ProductState = std::array<int, DIMTOP + 1>;

// The levels of one excited state as a lane made them: for J = J0, J0 + 1,
// ..., J0 + count - 1 the energies (GHz) and degeneracies of every species
// (the storage of each J is kept from one state to the next).
struct StateLevels {
  int J0 = 0;
  std::size_t count = 0;
  std::vector<std::vector<double>> E;
  std::vector<std::vector<int>> g;
  bool below = false;  // the last J made holds a level below the lowest output level
  bool failed = false; // the lane stopped (the state is made again on the calling thread)
  void clear() {
    count = 0;
    below = failed = false;
  }
  // room for the next J
  std::size_t next() {
    if (E.size() <= count) {
      E.emplace_back();
      g.emplace_back();
    }
    return count++;
  }
};

// What a thread needs to compute the blocks of one excited state: a run
// state of its own (the block settings name the state), the sweep storage
// of its blocks and torsional tables, and the largest J they hold.
struct StateLane {
  std::unique_ptr<RunState> rs;
  std::unique_ptr<SweepWork> sw;
  int tableJ = 0;
  std::vector<double> work;
};

// Q of a molecule with tops, set by set.
class PartitionWithTops {
public:
  PartitionWithTops(RunState& rs, const FitModel& fm, PartitionTable& pt)
      : rs_(rs), fm_(fm), pt_(pt), savedUse_(rs.use), savedMaxJ_(rs.maxJ) {
    ntop_ = std::clamp(rs.ctl.ntop, 1, DIMTOP);
    nsym_ = std::clamp(rs.species.nsym, 0, DIMSYM);
    spin_ = rs.ctl.spin;
    states_ = std::max(DIMV, rs.ctl.vkeep);
    blockStates_ = std::max(DIMVV, rs.ctl.vkeep);
    tableJ_ = std::clamp(rs.maxJ + 16, 0, DIMJ);
    sw_ = std::make_unique<SweepWork>();
    sw_->allocate(blockStates_ * (2 * tableJ_ + 1), states_, ntop_, tableJ_);
    kT_ = pt_.onlyAtT ? KT300_GHZ * pt_.T / 300.0 : KT300_GHZ;
    pt_.torsionalCut = TORSIONAL_STATES_KT * kT_ / GHZ_PER_WAVENUMBER;
    lanes_.resize(static_cast<std::size_t>(std::clamp(rs.threads, 1, MOST_LANES)));
  }
  ~PartitionWithTops() {
    rs_.use = savedUse_;
    rs_.maxJ = savedMaxJ_;
  }

  void addSet(int B, const ParamSets& par) {
    std::array<double, NPAR> set{};
    for (int p = 1; p <= NPAR; ++p) set[static_cast<std::size_t>(p - 1)] = par(p, B);
    adjustDependentParameters(rs_, ParamView{set.data()}, fm_.npar, rs_.adjfB[B]);
    const ConstParamView view{set.data()};
    BlockState& blk = sw_->blk;
    blk.maxJ = savedMaxJ_;
    blk.nB = rs_.nB;
    blk.nsym = rs_.species.nsym;
    blk.adjf = rs_.adjfB[B];

    // the model's torsional states above the J range of the output levels,
    // in the blocks the level calculation makes (every F; with vkeep one top
    // keeps its states coupled, in blocks whose bands the band solver
    // takes); two or three tops keeping product states: each product state
    // in one-state blocks of its own, as the excited states, since coupled
    // blocks of tens of products would grow to ten thousand rows at the J
    // that Q needs
    std::vector<StateJob> jobs;
    if (rs_.ctl.vkeep > 0 && ntop_ > 1) {
      for (const ProductState& v : keptProducts(B)) jobs.push_back({v, savedMaxJ_ + 1, false});
    } else {
      modelSettings(B);
      sumStates(B, view, savedMaxJ_ + 1, true);
    }

    // the excited states below the cut, one product state per block, made
    // a batch of one state per lane at a time and added in state order
    for (const ProductState& v : excitedStates(B, view)) jobs.push_back({v, 0, true});
    rs_.use = savedUse_;
    const std::size_t batch = lanes_.size();
    if (batch > 1 && jobs.size() > 1 && pool_ == nullptr)
      pool_ = std::make_unique<WorkerPool>(static_cast<int>(batch));
    made_.resize(batch);
    for (std::size_t first = 0; first < jobs.size(); first += batch) {
      const std::size_t n = std::min(batch, jobs.size() - first);
      BatchJob job{this, B, view, &jobs[first], judged()};
      if (n > 1 && pool_ != nullptr)
        pool_->run(static_cast<int>(n), &PartitionWithTops::makeOfBatch, &job);
      else
        makeOfBatch(&job, 0);
      for (std::size_t i = 0; i < n; ++i) {
        const StateJob& state = jobs[first + i];
        StateLevels& made = made_[i];
        if (made.failed) {
          // made again here, where a stop reaches the caller
          made.clear();
          makeState(lanes_[0], B, view, state.v, state.J0, DIMJ, job.Qref, made);
        }
        bool edge = false;
        for (int t = 1; t <= ntop_; ++t) edge = edge || state.v[t] == 2 * rs_.maxmTop[t];
        const double added = addState(lanes_[0], B, view, state, made);
        if (edge) edgeSum_ = std::max(edgeSum_, added);
        if (state.excited) ++pt_.excitedStates;
      }
    }
  }

  void finish() {
    if (anyRun_) pt_.lastShare = worstEnd_;
    const double Q = pt_.onlyAtT ? pt_.QT : pt_.Q[0];
    pt_.edgeShare = Q > 0.0 ? edgeSum_ / Q : 0.0;
  }

private:
  // Block settings of the set's own torsional states, as the sweep makes
  // them: the product states of its torsional-state line and the window of
  // one-top states each top keeps, or the kept states of vkeep.
  void modelSettings(int B) {
    BlockState& blk = sw_->blk;
    blk.woods = rs_.woodsB[B];
    int nvv = 0;
    while (nvv < DIMVV && rs_.use(nvv + 1, 1, B) != -1) ++nvv;
    nvv = std::max(nvv, 1);
    blk.nvv = nvv;
    blk.ntop = ntop_;
    for (int t = 1; t <= ntop_; ++t) {
      int lo = rs_.use(1, t, B), hi = lo;
      for (int i = 2; i <= nvv; ++i) {
        lo = std::min(lo, rs_.use(i, t, B));
        hi = std::max(hi, rs_.use(i, t, B));
      }
      blk.firstV[t] = lo;
      blk.nV[t] = hi - lo + 1;
    }
    blk.complete = false;
    if (rs_.ctl.vkeep > 0) keepStatesCompletely(blk, rs_.ctl.vkeep, ntop_);
  }

  // The product states chosen for set B when two or three tops keep their
  // states (vkeep).
  std::vector<ProductState> keptProducts(int B) const {
    const KeptProducts& kept = rs_.kept[B];
    if (kept.states != rs_.ctl.vkeep || kept.n < 1)
      stop("ERROR: vkeep: the product torsional states of set " + std::to_string(B) +
           " were not chosen before the partition function");
    std::vector<ProductState> states;
    for (int i = 1; i <= kept.n; ++i) {
      ProductState v{};
      for (int t = 1; t <= ntop_; ++t) v[t] = kept.v[static_cast<std::size_t>(i)][t];
      states.push_back(v);
    }
    return states;
  }

  // The product states the model of some set computes already: those of
  // the torsional-state lines, or with vkeep the kept states of the top.
  bool inSomeModel(const ProductState& v) const {
    if (rs_.ctl.vkeep > 0) {
      if (ntop_ == 1) return v[1] <= rs_.ctl.vkeep;
      for (int b = 1; b <= std::clamp(rs_.nB, 1, DIMB); ++b)
        for (int i = 1; i <= rs_.kept[b].n; ++i) {
          bool same = true;
          for (int t = 1; t <= ntop_; ++t) same = same && rs_.kept[b].v[i][t] == v[t];
          if (same) return true;
        }
      return false;
    }
    for (int b = 1; b <= std::clamp(rs_.nB, 1, DIMB); ++b)
      for (int i = 1; i <= DIMVV && savedUse_(i, 1, b) != -1; ++i) {
        bool same = true;
        for (int t = 1; t <= ntop_; ++t) same = same && savedUse_(i, t, b) == v[t];
        if (same) return true;
      }
    return false;
  }

  // The product states of set B whose lowest level (J = 0: the torsional
  // energies at K = 0 of every top, lowest over the species) lies below the
  // cut above the torsional ground state and not below the lowest state of
  // the set's model, except those that a model computes.  A top offers the
  // states 1 .. 2 maxm of its free-rotor basis.
  std::vector<ProductState> excitedStates(int B, ConstParamView view) {
    // energies at K = 0 of every state of each top and symmetry number, GHz
    std::array<std::array<std::vector<double>, TorsionTables::NS>, DIMTOP + 1> e{};
    auto res = std::make_unique<TorsResult>();
    std::array<int, DIMTOP + 1> count{};
    for (int t = 1; t <= ntop_; ++t) {
      const int M = rs_.maxmTop[t];
      count[t] = std::clamp(2 * M, 1, DIMVKEEP);
      TorsParams p;
      p.F = view(par::top(t, par::F));
      p.V1n = view(par::top(t, par::V1n));
      p.V2n = view(par::top(t, par::V2n));
      p.rho = view(par::top(t, par::rho));
      for (int s = 1; s <= nsym_; ++s) {
        const int sigma = rs_.species.sigma[s][t];
        std::vector<double>& es = e[t][static_cast<std::size_t>(TorsionTables::ss(sigma))];
        if (!es.empty()) continue;
        solveOneTopTorsion(rs_.ctl.nfold, sigma, sw_->torsMat.data(), *res, p, 0, M, 1, count[t]);
        es.assign(res->E.begin(), res->E.begin() + count[t]);
      }
    }
    // torsional energy of product state v, lowest over the species
    auto energy = [&](const ProductState& v) {
      double lowest = std::numeric_limits<double>::infinity();
      for (int s = 1; s <= nsym_; ++s) {
        double sum = 0.0;
        for (int t = 1; t <= ntop_; ++t)
          sum += e[t][static_cast<std::size_t>(TorsionTables::ss(rs_.species.sigma[s][t]))]
                  [static_cast<std::size_t>(v[t] - 1)];
        lowest = std::min(lowest, sum);
      }
      return lowest;
    };
    ProductState ground{};
    for (int t = 1; t <= ntop_; ++t) ground[t] = 1;
    const double e0 = energy(ground);
    const double cut = e0 + TORSIONAL_STATES_KT * kT_;
    double modelLowest = std::numeric_limits<double>::infinity();
    for (int i = 1; i <= DIMVV && savedUse_(i, 1, B) != -1; ++i) {
      ProductState v{};
      for (int t = 1; t <= ntop_; ++t) v[t] = savedUse_(i, t, B);
      if (rs_.ctl.vkeep > 0) v = ground;
      modelLowest = std::min(modelLowest, energy(v));
    }
    std::vector<std::pair<double, ProductState>> found;
    ProductState v = ground;
    for (;;) {
      const double ev = energy(v);
      if (ev < cut && ev >= modelLowest && !inSomeModel(v)) found.emplace_back(ev, v);
      int t = 1; // next product state, top 1 fastest
      while (t <= ntop_ && ++v[t] > count[t]) v[t++] = 1;
      if (t > ntop_) break;
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<ProductState> states;
    for (const auto& f : found) states.push_back(f.second);
    return states;
  }

  // A state summed in one-state blocks from J0 on: an excited state (from
  // J = 0) or, with vkeep, a kept state above the J range of the levels.
  struct StateJob {
    ProductState v;
    int J0;
    bool excited;
  };
  // One batch of states, state i of it on lane i.
  struct BatchJob {
    PartitionWithTops* self;
    int B;
    ConstParamView view;
    const StateJob* states;
    double Qref; // Q judged before the batch: no state of it makes Q smaller
  };
  static void makeOfBatch(void* context, int i) {
    BatchJob& job = *static_cast<BatchJob*>(context);
    PartitionWithTops& self = *job.self;
    StateLevels& made = self.made_[static_cast<std::size_t>(i)];
    made.clear();
    try {
      self.makeState(self.lanes_[static_cast<std::size_t>(i)], job.B, job.view, job.states[i].v,
                     job.states[i].J0, DIMJ, job.Qref, made);
    } catch (...) {
      // what failed (a stop, a termination) is met again on the calling thread
      made.failed = true;
    }
  }

  // A lane's run state holds the block settings of the run (the state
  // tables are set per state); its storage is made when first used.
  void prepareLane(StateLane& lane) const {
    if (lane.rs == nullptr) lane.rs = copyOfBlockSettings(rs_);
    if (lane.sw == nullptr) {
      lane.tableJ = std::clamp(savedMaxJ_ + 16, 0, DIMJ);
      lane.sw = std::make_unique<SweepWork>();
      lane.sw->allocate(2 * lane.tableJ + 1, states_, ntop_, lane.tableJ);
    }
    lane.rs->use = savedUse_;
    lane.rs->maxJ = savedMaxJ_;
  }

  // The block settings of excited state v of set B on the lane: the state
  // alone, each top in its one-top state, energies without overlaps.
  void settleState(StateLane& lane, int B, const ProductState& v) const {
    prepareLane(lane);
    RunState& rs = *lane.rs;
    for (int i = 1; i <= DIMVV; ++i)
      for (int t = 1; t <= DIMTOP; ++t) rs.use(i, t, B) = i == 1 && t <= ntop_ ? v[t] : -1;
    BlockState& blk = lane.sw->blk;
    blk.maxJ = savedMaxJ_;
    blk.nB = rs_.nB;
    blk.nsym = rs_.species.nsym;
    blk.adjf = rs_.adjfB[B];
    blk.complete = false;
    blk.woods = rs_.woodsB[B] & ~woodsbit::OVERLAPS_IN_ENERGIES; // the window is the state
    blk.nvv = 1;
    blk.ntop = ntop_;
    for (int t = 1; t <= ntop_; ++t) {
      blk.firstV[t] = v[t];
      blk.nV[t] = 1;
    }
  }

  // Levels of state v, J = J0 ... lastJ on the lane into `made`,
  // until a J adds less than PARTITION_STEP of Qref plus what the
  // state has added so far and less than the J before it (the sum in state
  // order then stops there or earlier: its Q is at least that), a level lies
  // below the lowest output level, or J reaches lastJ.
  void makeState(StateLane& lane, int B, ConstParamView view, const ProductState& v, int J0,
                 int lastJ, double Qref, StateLevels& made) const {
    settleState(lane, B, v);
    made.J0 = J0;
    prepareTables(lane, B, view);
    // the judged temperature's kT in the units of addLevelsOfOneJ
    const double T = pt_.onlyAtT ? pt_.T : CATALOGUE_TEMPERATURES[0];
    double own = 0.0, before = 0.0;
    for (int J = J0; J <= lastJ; ++J) {
      const std::size_t k = made.next();
      levelsOfOneJ(lane, B, view, J, made.E[k], made.g[k]);
      double a = 0.0; // what J adds to Q at T
      for (std::size_t l = 0; l < made.E[k].size(); ++l) {
        const double e = made.E[k][l];
        if (!(e >= pt_.Emin)) {
          made.below = true;
          return;
        }
        a += made.g[k][l] * std::exp(-C2_CM_K * (e - pt_.Emin) / GHZ_PER_WAVENUMBER / T);
      }
      own += a;
      // against the rounding of the two ways of summing Q, a margin of 1e-9
      if (J > J0 && a < (1.0 - 1e-9) * PARTITION_STEP * (Qref + own) && a < before) return;
      before = a;
    }
  }

  // Adds the levels of a state, as made, to Q J by J with the rule
  // of sumStates; J that the rule still needs are made on lane 0.  Returns
  // what the state adds to Q(300 K).
  double addState(StateLane& lane0, int B, ConstParamView view, const StateJob& state,
                  StateLevels& made) {
    if (state.J0 > DIMJ) return 0.0;
    anyRun_ = true;
    const ProductState& v = state.v;
    StateSum sum;
    for (int J = state.J0; J <= DIMJ; ++J) {
      std::size_t k = static_cast<std::size_t>(J - made.J0);
      if (k >= made.count) {
        // beyond the J made ahead (the lane's rule makes them all; here
        // against rounding): the rest on lane 0
        made.clear();
        makeState(lane0, B, view, v, J, DIMJ, judged(), made);
        k = 0;
      }
      if (made.below && k + 1 == made.count) return endOf(sum, true);
      if (addOneJ(sum, J, made.E[k], made.g[k])) break;
    }
    return endOf(sum, false);
  }

  // The sum of one state's levels, J by J: what they add to Q(300 K), and
  // the shares of Q of its last J and of the J before.
  struct StateSum {
    double added = 0.0, previous = 0.0, share = 1.0;
  };
  // Adds the levels of J to Q; true when the sum stops after them: the J
  // adds less than PARTITION_STEP of Q, and less than the J before.
  bool addOneJ(StateSum& sum, int J, const std::vector<double>& E, const std::vector<int>& g) {
    const double before = judged();
    sum.share = addLevelsOfOneJ(pt_, E.data(), g.data(), E.size());
    sum.added += judged() - before;
    pt_.lastJ = std::max(pt_.lastJ, J);
    if (sum.share < PARTITION_STEP && sum.share <= sum.previous) return true;
    sum.previous = sum.share;
    return false;
  }
  // The end of a sum (`below`: at a J with a level below the lowest output
  // level, a model whose energies fall with J, which has no partition
  // function); returns what it added to Q(300 K).
  double endOf(const StateSum& sum, bool below) {
    worstEnd_ = std::max(worstEnd_, below ? sum.previous : sum.share);
    return sum.added;
  }

  // The torsional problems and integrals of the block settings in sw for K
  // up to the J the tables hold.
  void prepareTables(RunState& rs, SweepWork& sw, int tableJ, int B, ConstParamView view) const {
    sw.blk.ntop = ntop_;
    rs.maxJ = tableJ;
    const FitFlags noFlags{};
    solveTorsionalProblems(rs, sw, B, view, noFlags.set(B), 0);
    rs.maxJ = savedMaxJ_;
    for (int t = 1; t <= ntop_; ++t) {
      sw.blk.firstV[t] = sw.tors.firstV[t];
      sw.blk.nV[t] = sw.tors.nV[t];
      sw.rot[t].mark = 0; // the axis rotations start again from J = 1
    }
  }
  void prepareTables(StateLane& lane, int B, ConstParamView view) const {
    prepareTables(*lane.rs, *lane.sw, lane.tableJ, B, view);
  }

  // Energies (GHz) and degeneracies of the levels of J of every species of
  // the block settings in sw (nvv product states a block), the J following
  // the J before it or the first after prepareTables.  `hyperfine`: the
  // blocks of every F (degeneracy 2F+1), as the output levels; otherwise the
  // blocks without hyperfine structure with degeneracy (2J+1)(2I+1), whose
  // Boltzmann sum the hyperfine splittings (MHz against kT of THz) do not
  // change.
  void levelsOfOneJ(RunState& rs, SweepWork& sw, int& tableJ, std::vector<double>& work, int B,
                    ConstParamView view, int nvv, int J, bool hyperfine, std::vector<double>& E,
                    std::vector<int>& g) const {
    BlockState& blk = sw.blk;
    if (J > tableJ) {
      // the tables and blocks grow by half at a time, so that the
      // torsional problems are solved a few times, not once per J
      tableJ = std::min(DIMJ, J + std::max(16, J / 2));
      sw.growForJ(tableJ, std::max(nvv, 1));
      prepareTables(rs, sw, tableJ, B, view);
    }
    for (int t = 1; t <= ntop_; ++t) rotateTopAxes(sw.rot[t], view(par::top(t, par::beta)), J);
    E.clear();
    g.clear();
    for (int S = 1; S <= nsym_; ++S) {
      const bool split = hyperfine && spin_ > 0;
      const int F2lo = split ? std::abs(2 * J - spin_) : -1;
      const int F2hi = split ? 2 * J + spin_ : -1;
      for (int F2 = F2lo; F2 <= F2hi; F2 += 2) {
        stopIfTerminated();
        blk.nvv = nvv;
        blk.ntop = ntop_;
        if (!blockEnergies(rs, sw, J, S, F2, B, view, work))
          stop("ERROR: the energies of block J " + std::to_string(J) + " species " +
               std::to_string(S) + " for the partition function did not converge");
        const int degeneracy = F2 >= 0 ? F2 + 1 : (2 * J + 1) * (spin_ + 1);
        E.insert(E.end(), sw.E.begin(), sw.E.begin() + blk.N);
        g.insert(g.end(), static_cast<std::size_t>(blk.N), degeneracy);
      }
    }
    blk.ntop = ntop_;
  }
  void levelsOfOneJ(StateLane& lane, int B, ConstParamView view, int J, std::vector<double>& E,
                    std::vector<int>& g) const {
    levelsOfOneJ(*lane.rs, *lane.sw, lane.tableJ, lane.work, B, view, 1, J, false, E, g);
  }

  // Levels of J = J0, J0 + 1, ... of every species of the model's block
  // settings, into Q, until a J adds less than PARTITION_STEP of it with
  // its share falling, or up to DIMJ.  Returns what the levels add to
  // Q(300 K).
  double sumStates(int B, ConstParamView view, int J0, bool hyperfine) {
    if (J0 > DIMJ) return 0.0;
    SweepWork& sw = *sw_;
    const int nvv = sw.blk.nvv;
    anyRun_ = true;
    prepareTables(rs_, sw, tableJ_, B, view);
    StateSum sum;
    for (int J = J0; J <= DIMJ; ++J) {
      levelsOfOneJ(rs_, sw, tableJ_, work_, B, view, nvv, J, hyperfine, E_, g_);
      for (double x : E_)
        if (!(x >= pt_.Emin)) return endOf(sum, true);
      if (addOneJ(sum, J, E_, g_)) break;
    }
    return endOf(sum, false);
  }

  // Q at the temperature whose convergence the sums are judged by
  double judged() const { return pt_.onlyAtT ? pt_.QT : pt_.Q[0]; }

  RunState& rs_;
  const FitModel& fm_;
  PartitionTable& pt_;
  const StateTable savedUse_;
  const int savedMaxJ_;
  int ntop_ = 1, nsym_ = 0, spin_ = 0, states_ = DIMV, blockStates_ = DIMVV;
  int tableJ_ = 0;        // largest J of the torsional tables and blocks
  double kT_ = KT300_GHZ; // kT of the torsional-state cut, GHz
  std::unique_ptr<SweepWork> sw_;
  std::vector<StateLane> lanes_;     // one a thread for the excited states
  std::vector<StateLevels> made_;    // the levels of a batch, state i by lane i
  std::unique_ptr<WorkerPool> pool_; // threads of the lanes beyond the first
  std::vector<double> E_, work_;
  std::vector<int> g_;
  bool anyRun_ = false;
  double worstEnd_ = 0.0; // largest share of the last J of a sum
  double edgeSum_ = 0.0;  // largest Q(300 K) of a state at the end of a basis
};

} // namespace

// ------------------------------------------- rigid-rotor levels ahead

// The energies (GHz) and degeneracies of the rigid-rotor levels of one J,
// every set and (with hyperfine structure) every F; false where the energies
// can not be had (Wang symmetry broken, iteration failed).
bool RigidLevelsAhead::levelsOfOneJ(int J, RigidEnergyWork& work, std::vector<double>& E,
                                    std::vector<double>& EJ, std::vector<int>& g) const {
  EJ.clear();
  g.clear();
  for (const std::array<double, NPAR>& set : sets_) {
    const ConstParamView view{set.data()};
    const int F2lo = spin_ > 0 ? std::abs(2 * J - spin_) : -1;
    const int F2hi = spin_ > 0 ? 2 * J + spin_ : -1;
    for (int F2 = F2lo; F2 <= F2hi; F2 += 2) {
      if (!rigidRotorEnergies(*rs_, J, F2, view, work, E)) return false;
      EJ.insert(EJ.end(), E.begin(), E.end());
      g.insert(g.end(), E.size(), F2 >= 0 ? F2 + 1 : 2 * J + 1);
    }
  }
  return true;
}

RigidLevelsAhead::RigidLevelsAhead(const RunState& rs, const ParamSets& par, int firstJ, double T,
                                   bool onlyAtT, bool onThread)
    : rs_(copyOfBlockSettings(rs)), firstJ_(firstJ), spin_(rs.ctl.spin), T_(T), onlyAtT_(onlyAtT),
      kT_(onlyAtT ? T / C2_CM_K * GHZ_PER_WAVENUMBER : 300.0 / C2_CM_K * GHZ_PER_WAVENUMBER) {
  const int nB = std::clamp(rs.nB, 1, DIMB);
  sets_.resize(static_cast<std::size_t>(nB));
  for (int B = 1; B <= nB; ++B)
    for (int p = 1; p <= NPAR; ++p) sets_[static_cast<std::size_t>(B - 1)][p - 1] = par(p, B);
  if (onThread && rs.ctl.ntop == 0 && firstJ_ <= PARTITION_LARGEST_J)
    producer_ = std::thread([this] { produce(); });
}

RigidLevelsAhead::~RigidLevelsAhead() {
  if (!producer_.joinable()) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    enough_ = true;
  }
  changed_.notify_all();
  producer_.join();
}

// On the producer's thread: J = firstJ, firstJ + 1, ... until a J adds less
// than PARTITION_STEP of the levels made here, which are part of Q: by then
// it adds less than that of the whole Q too, where the sum stops.  Two J
// more are made against rounding.
void RigidLevelsAhead::produce() {
  try {
    produceLevels();
  } catch (...) {
    // what failed here is met again where the caller makes the J itself
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  changed_.notify_all();
}

void RigidLevelsAhead::produceLevels() {
  RigidEnergyWork work;
  std::vector<double> E;
  double partial = 0.0, reference = 0.0;
  int after = -1;
  for (int J = firstJ_; J <= PARTITION_LARGEST_J; ++J) {
    Made m;
    m.ok = levelsOfOneJ(J, work, E, m.E, m.g);
    if (m.ok && J == firstJ_ && !m.E.empty()) reference = *std::min_element(m.E.begin(), m.E.end());
    // Boltzmann sum of the J at the judged temperature, relative to the
    // lowest level of the first J made here
    double added = 0.0;
    for (std::size_t l = 0; l < m.E.size(); ++l)
      added += m.g[l] * std::exp(-(m.E[l] - reference) / kT_);
    partial += added;
    const bool last = !m.ok || !std::isfinite(partial) || (after >= 0 && J >= after + 2);
    if (after < 0 && partial > 0.0 && added < PARTITION_STEP * partial) after = J;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      made_.push_back(std::move(m));
    }
    changed_.notify_all();
    if (last) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (enough_) return;
  }
}

bool RigidLevelsAhead::madeFor(const ParamSets& par, int firstJ, double T, bool onlyAtT) const {
  if (firstJ != firstJ_ || T != T_ || onlyAtT != onlyAtT_) return false;
  const int nB = std::clamp(rs_->nB, 1, DIMB);
  for (int B = 1; B <= nB; ++B)
    for (int p = 1; p <= NPAR; ++p)
      if (std::memcmp(&sets_[static_cast<std::size_t>(B - 1)][p - 1], &par(p, B), sizeof(double)))
        return false;
  return true;
}

bool RigidLevelsAhead::levels(int J, std::vector<double>& EJ, std::vector<int>& g) {
  const std::size_t k = static_cast<std::size_t>(J - firstJ_);
  if (producer_.joinable()) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return made_.size() > k || done_; });
    if (made_.size() > k) {
      Made& m = made_[k];
      EJ.swap(m.E);
      g.swap(m.g);
      return m.ok;
    }
  }
  // not made ahead: on this thread
  std::vector<double> E;
  return levelsOfOneJ(J, inlineWork_, E, EJ, g);
}

PartitionTable partitionOfTheMolecule(RunState& rs, const FitModel& fm, const ParamSets& par,
                                      const std::vector<OutputLevel>& levels, double T,
                                      bool onlyAtT, RigidLevelsAhead* ahead) {
  PartitionTable pt = partitionTable(levels, T, onlyAtT);
  const int nB = std::clamp(rs.nB, 1, DIMB);
  if (rs.ctl.ntop != 0) {
    PartitionWithTops tops(rs, fm, pt);
    for (int B = 1; B <= nB; ++B) tops.addSet(B, par);
    tops.finish();
    return pt;
  }
  std::unique_ptr<RigidLevelsAhead> own;
  if (ahead == nullptr || ahead->firstJ() != pt.lastJ + 1) {
    own = std::make_unique<RigidLevelsAhead>(rs, par, pt.lastJ + 1, T, onlyAtT, false);
    ahead = own.get();
  }
  std::vector<double> EJ;
  std::vector<int> g;
  for (int J = pt.lastJ + 1; J <= PARTITION_LARGEST_J && pt.lastShare >= PARTITION_STEP; ++J) {
    if (!ahead->levels(J, EJ, g)) return pt;
    // a level below the lowest output level: a model whose energies fall
    // with J has no partition function; the sum stops there
    for (double e : EJ)
      if (!(e >= pt.Emin)) return pt;
    pt.lastShare = addLevelsOfOneJ(pt, EJ.data(), g.data(), EJ.size());
    pt.lastJ = J;
  }
  return pt;
}

} // namespace ruvo
