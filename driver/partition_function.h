// The partition function of the molecule for the catalogue.
#pragma once

#include <array>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/state.h"
#include "hamiltonian/wang_blocks.h"
#include "report/catalogue.h"

namespace ruvo {

// With tops, Q includes every torsional product state of each set whose
// lowest level (J = 0, the torsional energy at K = 0, lowest over the
// species) lies less than this many kT at 300 K (208.5 cm^-1) above the
// torsional ground state: a state at E adds about exp(-E/kT) of the ground
// state's share, and the free-rotor states above the barrier left out
// beyond 10 kT add a few 1e-5 of Q for a methyl top (F about 5 cm^-1).
inline constexpr double TORSIONAL_STATES_KT = 10.0;

// Q(T) at the catalogue temperatures (and at T): the output levels `levels`
// (J <= rs.maxJ, the model's torsional states), then J by J above their J
// range until a J adds less than PARTITION_STEP of Q(300 K), energies only,
// from the parameter sets `par` (dependent top parameters as the sweep
// makes them, with fm.npar).  Without tops the rigid-rotor levels of every
// set and F up to J = 1000; with tops the blocks of the model's states up
// to J = DIMJ, then the excited torsional states below
// TORSIONAL_STATES_KT, each from J = 0 on in blocks of its own.  The
// listing prints, the transitions and `levels` are left as they are.
// Largest J of the rigid-rotor levels summed for Q.
inline constexpr int PARTITION_LARGEST_J = 1000;

// The rigid-rotor levels of J = firstJ, firstJ + 1, ... for Q, energies
// only.  With `onThread` they are made ahead on a thread of their own, from
// the moment this is made, while the caller computes the output levels; the
// thread stops a few J after a J adds less than PARTITION_STEP of what it
// made (less still of the whole Q, where the sum stops) or when this is
// destroyed.  levels() hands them out in J order, made ahead or made there
// and then: the same numbers either way.  The run state and the parameters
// are read, not written, by the thread: the caller does not change the
// rotor's controls while it runs.
class RigidLevelsAhead {
public:
  RigidLevelsAhead(const RunState& rs, const ParamSets& par, int firstJ, double T, bool onlyAtT,
                   bool onThread);
  ~RigidLevelsAhead();
  RigidLevelsAhead(const RigidLevelsAhead&) = delete;
  RigidLevelsAhead& operator=(const RigidLevelsAhead&) = delete;
  int firstJ() const { return firstJ_; }
  // whether the levels are those of these parameters (to the bit) from
  // firstJ on, for a sum judged at T (or at 300 K)
  bool madeFor(const ParamSets& par, int firstJ, double T, bool onlyAtT) const;
  // energies (GHz) and degeneracies of J >= firstJ, asked for in J order;
  // false where they can not be had
  bool levels(int J, std::vector<double>& EJ, std::vector<int>& g);

private:
  struct Made {
    std::vector<double> E;
    std::vector<int> g;
    bool ok = false;
  };
  bool levelsOfOneJ(int J, RigidEnergyWork& work, std::vector<double>& E, std::vector<double>& EJ,
                    std::vector<int>& g) const;
  void produce();
  void produceLevels();

  // the settings the energies read, a copy of the run's: the run goes on
  // while the levels are made
  std::unique_ptr<RunState> rs_;
  std::vector<std::array<double, NPAR>> sets_;
  int firstJ_ = 0, spin_ = 0;
  double T_ = 300.0;
  bool onlyAtT_ = false;
  double kT_ = 0.0; // GHz, of the temperature the sum is judged at
  RigidEnergyWork inlineWork_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Made> made_; // J = firstJ + index
  bool done_ = false;     // the thread makes no more
  bool enough_ = false;   // the caller needs no more
  std::thread producer_;
};

// With `onlyAtT` Q is converged at T alone (PartitionTable::onlyAtT).
// `ahead`: the rigid-rotor levels above the output levels, made ahead from
// J = their largest J + 1 (when it starts elsewhere it is not used).
PartitionTable partitionOfTheMolecule(RunState& rs, const FitModel& fm, const ParamSets& par,
                                      const std::vector<OutputLevel>& levels, double T,
                                      bool onlyAtT = false, RigidLevelsAhead* ahead = nullptr);

} // namespace ruvo
