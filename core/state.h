// Limits and shared run state of ruvo.
//
// Every size of the program is fixed here.  Storage is sized once when the
// run starts (RunState, SweepWork and FitState are allocated once on the heap;
// the large arrays take physical memory only where the run touches them) and
// nothing is allocated while blocks are computed.
//
// Index conventions (used throughout the program):
//  * Quantities that spectroscopists number from 1 keep their number as the
//    index: parameter places 1..77, transition lines 1..ndata, quantum-number
//    slots 1..14, fit variables 1..60, B sets 1..5, species 1..14, tops 1..3,
//    product torsional states 1..3, todo entries 1..count.  Element 0 of such
//    arrays is unused.
//  * Matrices are column-major, 0-based: element (r, c) of a matrix with
//    leading dimension ld is a[r + c*ld], r, c = 0..n-1.  Matrix positions
//    that the physics numbers from 1 (basis position p = 1..N) are p-1 there.
//  * K runs from -maxJ to +maxJ of the run (at most -150..150) and is stored
//    at K + maxJ of the table that holds it; the torsional symmetry number
//    sigma (-1, 0, +1) at sigma + 1.
#pragma once

#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iosfwd>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/option_bits.h"
#include "core/scratch_dir.h"

namespace ruvo {

class WorkerPool;

// ------------------------------------------------ storage that starts zero
// The work storage is sized for the largest run the limits allow, but a run
// pays only for the pages it touches: storage of 64 KiB or more is mapped
// from the kernel, whose fresh pages come, already zero, on first use (the
// heap would write zeros over memory it had handed out before), smaller
// storage comes from calloc, and a vector made with n elements leaves them
// as they came instead of writing n zeros.  Only for element types whose
// zero bytes are their value-initialised state.
void* zeroPages(std::size_t n, std::size_t size); // throws std::bad_alloc
void releaseZeroPages(void* p, std::size_t n, std::size_t size) noexcept;
template <class T> struct ZeroPageAllocator {
  using value_type = T;
  ZeroPageAllocator() = default;
  template <class U> ZeroPageAllocator(const ZeroPageAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(zeroPages(n, sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { releaseZeroPages(p, n, sizeof(T)); }
  // value-initialisation: the zero bytes are there already
  template <class U> void construct(U*) noexcept { static_assert(std::is_trivially_copyable_v<U>); }
  template <class U, class... A> void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
  template <class U> bool operator==(const ZeroPageAllocator<U>&) const noexcept { return true; }
};
template <class T> using ZeroedVector = std::vector<T, ZeroPageAllocator<T>>;

// ---------------------------------------------------------------- limits
inline constexpr int DIMTOP = 3;   // internal tops
inline constexpr int DIMJ = 150;   // largest J of a level
inline constexpr int DIM2J1 = 301; // 2*DIMJ+1 K values of a block
inline constexpr int DIMM = 71;    // free-rotor basis 2*maxm+1 of one top
inline constexpr int DIMV = 3;     // torsional states kept per top (state section)
inline constexpr int DIMVV = 3;    // product torsional states of a block (state section)
// smallest leading dimension of the block matrices (the state section at
// J 70); a run of larger blocks has its own (SweepWork::allocate)
inline constexpr int DIMTOT = 423;
// largest block of the state section: DIMVV product states times 2*DIMJ+1
inline constexpr int DIMBLOCK = DIMVV * DIM2J1;
// torsional states a top may keep with vkeep (coupled completely): at most
// one fewer than the largest free-rotor basis 2*maxm+1
inline constexpr int DIMVKEEP = DIMM - 1;
inline constexpr int DIMB = 5;        // parameter sets (B sets)
inline constexpr int DIMSIG = 1;      // largest |sigma| of a top
inline constexpr int DIMSYM = 14;     // lines of the species section
inline constexpr int DIMFIT = 60;     // fit variables
inline constexpr int DIMPLC = 15;     // (parameter, set) terms of one fit variable
inline constexpr int DIMTDO = 3000;   // todo-list entries (blocks)
inline constexpr int NPAR = 77;       // places of one parameter set
inline constexpr int NSLOT = 14;      // quantum-number slots of a level
inline constexpr int NCOL = 61;       // energy + 60 derivatives per level
inline constexpr int MARKSTACK = 127; // nested marks of the input reader
inline constexpr int NINTCTL = 20;    // integer controls
inline constexpr int NREALCTL = 10;   // real controls
inline constexpr int NKEPTCTL = 2;    // controls of the kept torsional states: vkeep, vtol
inline constexpr int NBLOCKREC = 39;  // integers of the block-state record
// transition lines, and the room the list starts with: it grows to the
// run's number of lines as they are read
inline constexpr int DIMDATA = 100000;
inline constexpr int INITIAL_LINES = 10000;

inline constexpr double NODATA = 1.0e12; // error of a line that is no data point

// --------------------------------------------------- parameter places
// Places 1..32 are molecule-wide, 33.. hold 15 places per top.
namespace par {
inline constexpr int BJ = 1, BK = 2, Bm = 3, DJ = 4, DJK = 5, DK = 6, dj = 7, dk = 8, F12 = 9,
                     chi_z = 10, chi_m = 11, chi_xy = 12, chi_xz = 13, chi_yz = 14, Vss = 15,
                     Vcc = 16, H_J = 17, HJK = 18, HKJ = 19, H_K = 20, h_j = 21, hjk = 22, h_k = 23,
                     Cp = 24, C_z = 25, Cm = 26, mu_x = 27, mu_y = 28, mu_z = 29, P_x = 30,
                     P_y = 31, P_z = 32;
// offsets within the 15 places of a top
inline constexpr int F = 0, V1n = 1, V2n = 2, rho = 3, beta = 4, gamma = 5, Dc3J = 6, Dc3K = 7,
                     Dc3m = 8, Dpi2J = 9, Dpi2K = 10, Dpi2m = 11, F0 = 12, epsil = 13, delta = 14;
// place of top parameter `offset` of top t (1..3)
constexpr int top(int t, int offset) { return 33 + 15 * (t - 1) + offset; }
} // namespace par

// ------------------------------------------------------------ controls
// The 20 integer and 10 real controls, in the order of the keyword table.
struct Controls {
  // integers
  int nzyk = 1, print = 3, eval = 0, dfreq = 0, orger = 0, ints = 0, maxm = 8, woods = 33,
      ndata = 0, nfold = 3, spin = 0, ntop = 0, adjf = 0, maxvm = 0, aprint = 0, xprint = 0,
      ncycl = 0, svderr = 0, fitscl = 0, reduct = 0;
  // kept torsional states per top, coupled completely (0: the states of the
  // state section; -1: raised until the frequencies converge to vtol)
  int vkeep = 0;
  // reals
  double rofit = 0.0, eps = 1e-12, defer = 1e-5, weigf = 0.0, convg = 0.999, lambda = 1e-5,
         freq_l = 6.0, freq_h = 40.0, limit = 0.1, temp = 273.0;
  double vtol = 0.1; // kHz: convergence of the frequencies in the kept states (vkeep = -1)
};

// --------------------------------------------------------- bit helpers
constexpr std::int32_t commonBits(std::int32_t a, std::int32_t b) { return a & b; }
constexpr std::int32_t withBits(std::int32_t a, std::int32_t b) { return a | b; }

// ------------------------------------------------------ parameter sets
// 77 places for each of the 5 B sets, stored set after set so that place j
// of the flat array (1-based) lies in set (j-1)/77 + 1.
template <class T> struct SetView {
  T* base; // place 1 of one set
  T& operator()(int p) const { return base[p - 1]; }
};
using ParamView = SetView<double>;
using ConstParamView = SetView<const double>;
using FlagView = SetView<int>;
using ConstFlagView = SetView<const int>;

template <class T> struct SetArray {
  std::array<T, DIMB * NPAR> v{};
  T& operator()(int p, int b) { return v[(b - 1) * NPAR + (p - 1)]; }
  const T& operator()(int p, int b) const { return v[(b - 1) * NPAR + (p - 1)]; }
  T& flat(int j) { return v[j - 1]; } // j = 1 .. 5*77
  SetView<T> set(int b) { return {&v[(b - 1) * NPAR]}; }
  SetView<const T> set(int b) const { return {&v[(b - 1) * NPAR]}; }
};
using ParamSets = SetArray<double>;
using FitFlags = SetArray<int>;

// -------------------------------------------------------- fit variables
// A fit variable is the linear combination sum_k coef[k]*parameter(par[k], set[k]).
struct FitVar {
  int kind = 1;                      // +1 fit (analytic), -1 dqu (one-sided), -2 dqx (two-sided)
  double step = 0.1;                 // first number: relative derivative step in percent
  double factor = 1.0;               // second number: multiplies the fit step
  int nterm = 0;                     // 0..DIMPLC
  std::array<int, DIMPLC + 1> par{}; // terms 1..nterm: parameter place
  std::array<int, DIMPLC + 1> set{}; //                  B set
  std::array<double, DIMPLC + 1> coef{}; //                 coefficient
};
struct FitModel {
  int nfit = 0;
  int npar = 32;                        // active places per set: 32 + 15*ntop
  std::array<FitVar, DIMFIT + 1> var{}; // 1..nfit
};

// --------------------------------------------------------- transitions
enum End { UP = 0, LO = 1 };
namespace slot {
inline constexpr int J = 1, K = 2, V1 = 3, V2 = 4, B = 5, S = 6, F = 7, T = 8, t = 9, KIND = 10,
                     K2 = 11, Q = 12, SPLIT = 13, AVG = 14;
}
// slot 10 holds the kind bits of the level (kindbit in core/option_bits.h)
using Slots = std::array<int, NSLOT + 1>;    // slots 1..14
using LevelArray = std::array<double, NCOL>; // energy, d/d(fit var 1..60)

struct Transitions {
  int ndata = 0;
  // lines 1..ndata; the vectors hold INITIAL_LINES + 1 lines at first and
  // grow (ensureLines) as the reader needs more, up to DIMDATA + 1
  ZeroedVector<std::array<Slots, 2>> qn;      // qn[i][UP|LO][slot]
  ZeroedVector<double> freq;                  // measured frequency, GHz (0 = none)
  std::vector<double> err;                    // error, GHz (NODATA = no data point)
  ZeroedVector<double> psi;                   // value saved by the fit (robust weight)
  ZeroedVector<double> inten;                 // line strength from the sweep
  std::vector<std::array<int, 2>> levelIndex; // -1000 = not found yet
  ZeroedVector<LevelArray> eUp, eLo;          // calculated energies and derivatives
  // lines that are no data point themselves but whose calculated frequency
  // enters one: the & partner of a blend, the # partner of a splitting
  std::vector<char> partnerOfData;
  // input summary
  int nDataPoints = 0, nSplit = 0;
  double effData = 0.0, sumAbsSplit = 0.0, sumSqSplit = 0.0;
  void allocate();
  void ensureLines(int n); // room for lines 1..n (n <= DIMDATA)
  // During a sweep: the transition ends (2 k + end) by the J of their level,
  // in list order, those of J at endsOfJ[endsOfJStart[J] .. endsOfJStart[J +
  // 1]); empty outside a sweep
  std::vector<int> endsOfJ, endsOfJStart;
  LevelArray& level(int i, int end) { return end == UP ? eUp[i] : eLo[i]; }
  const LevelArray& level(int i, int end) const { return end == UP ? eUp[i] : eLo[i]; }
  double calc(int i) const { return eUp[i][0] - eLo[i][0]; }
  // observed minus calculated of line i as the fit forms it (with its
  // average partner and splitting partner), GHz
  double residual(int i) const;
  // The energies of both levels of line i enter a data point of the fit:
  // their derivatives are needed.
  bool entersData(int i) const {
    return err[i] != NODATA ||
           (static_cast<std::size_t>(i) < partnerOfData.size() && partnerOfData[i] != 0);
  }
  // Marks the partners of the data points among lines 1..ndata: the line
  // whose frequency is averaged with a measured one (&), and the line a
  // measured splitting is taken against (#).
  void markPartnersOfData();
  // Lines 0..ndata and the input summary, in vectors of ndata + 1 lines, to
  // be put back with restoreListedLines after a calculation that may change
  // them: copying the whole store would touch every page of its room for
  // INITIAL_LINES lines and more.
  Transitions listedLines() const;
  void restoreListedLines(const Transitions& saved);
};

// ----------------------------------------------------- species, states
struct SpeciesTable {
  int nsym = 0;                                // lines of the species section
  bool present = false;                        // false without tops (section not read)
  std::array<std::string, DIMSYM + 1> label{}; // 5 chars or blank
  std::array<std::array<int, DIMTOP + 1>, DIMSYM + 1> sigma{}; // sigma[s][t]
};
// use(i, t, B): one-top torsional state (1-based) of top t in product state i
// of set B; -1 where the place is not in use.
struct StateTable {
  std::array<std::array<std::array<int, DIMB + 1>, DIMTOP + 1>, DIMVV + 1> u{};
  int& operator()(int i, int t, int b) { return u[i][t][b]; }
  int operator()(int i, int t, int b) const { return u[i][t][b]; }
};

// The product torsional states of a set whose two or three tops keep their
// states 1..states coupled completely (vkeep): the products |v1>|v2>(|v3>)
// whose torsional excitation energy lies within the cut-off, lowest first
// (driver/kept_states).
struct KeptProducts {
  int states = 0;         // states kept per top (the vkeep the list was made for)
  int n = 0;              // product states, at most DIMVKEEP
  bool truncated = false; // more products lay within the cut-off than a block holds
  std::array<std::array<int, DIMTOP + 1>, DIMVKEEP + 1> v{}; // v[i][t], i = 1..n
};

// ------------------------------------------------------------ todo list
struct TodoEntry {
  int J = 0, Sym = 0, B = 0, F = -1, Stat = 0;
  bool predicted = false; // added for the predicted spectrum, named by no line
};
struct TodoList {
  int n = 0;
  std::vector<TodoEntry> e; // 1..n, sized once to DIMTDO+1
};

// ------------------------------------------------------------ run state
// Output channels.  The listing is standard output; stop, pause and
// interrupt messages go to standard error.
struct Io {
  std::istream* in = nullptr;  // the answer to a pause (the input stream, or
                               // standard input when the input is a named file)
  bool interactive = false;    // the input is typed at a terminal: nothing is
                               // read after the empty line ending the transitions
  std::ostream* out = nullptr; // the listing
  std::ostream* err = nullptr; // messages
  std::ofstream evalFile;      // "eval.out" when eval != 0
  std::ofstream dfreqFile;     // "dfreq.out" when dfreq != 0
  FileIdentity inputFile;      // the input file, which no output may replace
};

// Parsed input and run-wide state (the `data` block).  A field added here
// that a sweep reads or writes must also be handed to the run states of the
// derivative sweeps (copyForShiftedSweep, mergeShiftedSweep in driver/sweep.cpp).
struct RunState {
  Io io;
  Controls ctl;
  std::array<std::string, NPAR + 1> parName{}; // may change (dk -> R6)
  // transition keywords 1..44: 30 fixed ones, then the species labels
  std::array<std::string, 45> trKey{};
  int nB = 1;                                  // parameter sets in use
  std::array<int, DIMB + 1> woodsB{}, adjfB{}; // per set option bits
  std::array<int, DIMTOP + 1> maxmTop{}, maxvmTop{};
  SpeciesTable species;
  StateTable use;
  Transitions tr;
  TodoList todo;
  int maxJ = 0;
  int cyclePrint = 0;        // cycle print flag of the fit cycles
  int detailPrint = 0;       // detail-print switch of the sweep
  bool assignWarned = false; // the assignment warning was printed once
  int lastPrintedPass = 0;   // level tables: pass printed last
  int fileUnit = 10;         // scratch-file number handed out last (nextScratchUnit)
  // per species: a block of it held a +-K pair labelled by the sign of its
  // two dominant components (set by the level assignment, read by listings)
  std::array<int, DIMSYM + 1> pmKSign{};
  // per set: the product states of two or three tops keeping their states
  // coupled completely (vkeep)
  std::array<KeptProducts, DIMB + 1> kept{};
  // problems that let the run finish but make it unclean (input that was
  // ignored or reinterpreted, results that could not be computed): each one
  // is reported on standard error where it is found; any makes the exit
  // status 1
  int problems = 0;
  // threads that compute the blocks of a sweep (1: all on the calling thread)
  int threads = 1;
  std::string title; // the title lines of the input, joined by line ends
  // input line (record) where transition k begins, 1..ndata
  std::vector<long> trInputLine;
  // input line where control k (1..30, in the order of the control names)
  // was given; 0 for a default
  std::array<long, NINTCTL + NREALCTL + NKEPTCTL + 1> controlInputLine{};
  // the private directory of this run's scratch files
  ScratchDir scratch;
  void allocate(); // sizes the vectors once
};

// The interrupt flag (set by the console-interrupt handler only).  Both
// flags are written in a signal handler and read by every thread of a
// sweep, so they are lock-free atomics (a volatile sig_atomic_t is safe for
// the handler but a data race between threads).
extern std::atomic<int> g_interrupted;
// The number of a SIGTERM or SIGHUP that asks the run to end (0: none; set by
// the handler only).  The run ends through the stop path at its next check.
extern std::atomic<int> g_terminateSignal;
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free flags");

// ------------------------------------------------- sweep work storage
// Values of the block being computed and of the B set being prepared.  The
// first twelve of them form the block-state record of the scratch files.
struct BlockState {
  int N = 0, d = 1, nvv = 1, maxJ = 0, nB = 1, nsym = 0;
  std::array<int, DIMTOP + 1> firstV{}, nV{};
  int ntop = 0;  // tops in effect for this block (0 for species 0)
  int woods = 0; // option bits of the current B set
  int adjf = 0;
  // the tops keep states 1..nvv with every coupling of the rotation-torsion
  // Hamiltonian between them (vkeep); not part of the scratch-file record
  bool complete = false;
  // with two or three tops coupled completely: the one-top states of each
  // top in product state i = 1..nvv (product[i][t]); one top takes state i
  std::array<std::array<int, DIMTOP + 1>, DIMVKEEP + 1> product{};
  // levels the diagonalisation gave, the lowest first: 0 for all N (the
  // lowest ones alone are computed for a sweep that reads no others)
  int levels = 0;
  int levelCount() const { return levels > 0 && levels < N ? levels : N; }
  int toRecord(int rec[NBLOCKREC]) const; // fills 39 ints, returns 39
  void fromRecord(const int rec[NBLOCKREC]);
};

// Torsional tables of one B set, for every top, symmetry number and K.
// They hold nvs states per top: DIMV for the states of the state section,
// the kept count of vkeep when the run keeps more (allocate), and the K of
// the run's J range, -maxJ..maxJ, so that a run of small J copies small
// tables to its threads.
struct TorsionTables {
  static constexpr int NS = 3;  // sigma -1, 0, +1
  static constexpr int NOP = 8; // operators 1..8
  int nvs = DIMV;               // states stored per top, sigma and K
  int ntops = DIMTOP;           // tops stored
  int maxJ = 0;                 // largest |K| stored
  int NK = 1;                   // K values stored, 2*maxJ+1
  // E(v, sigma, K, t): kept torsional energies, GHz
  std::vector<double> energy; // [t][s][k][v]
  // ovv(op, v, v', sigma, K, t)
  ZeroedVector<double> ovv; // [t][s][k][op][v][v']
  // labels of kept states
  std::vector<int> label; // [t][s][k][v]
  // eigenvectors of kept states of the current (t, sigma): c_K(m index, v)
  ZeroedVector<double> vec; // [k][v][m], m = 0..DIMM-1
  // torsional integrals T(K, K', v, v', sigma, t)
  ZeroedVector<double> tint; // [t][s][k][k'][v][v']
  // momentum of the top between the states of neighbouring K,
  // P(K, K', v, v') = <v,K| p |v',K'> = sum_m c_K(m, v) m c_K'(m, v'), K' = K-1, K, K+1
  // (filled only with vkeep, where the tilt of the top axis couples them)
  ZeroedVector<double> pint; // [t][s][k][dK+1][v][v']
  // window of one-top states the tables hold per top (v = 1..nV is state
  // firstV+v-1), and the count fixed by the first set computed with woods
  // bit 4 (0 until then; kept for the whole run)
  std::array<int, DIMTOP + 1> firstV{}, nV{}, nVfixed{};
  // sizes the tables for `tops` tops of `states` states each, K = -maxJ..maxJ
  void allocate(int states = DIMV, int tops = DIMTOP, int maxJ = DIMJ);
  int ks(int K) const { return K + maxJ; }
  static int ss(int sigma) { return sigma + 1; }
  double& E(int v, int sigma, int K, int t) {
    return energy[(((t - 1) * NS + ss(sigma)) * NK + ks(K)) * nvs + (v - 1)];
  }
  double& O(int op, int v, int vp, int sigma, int K, int t) {
    return ovv[(((((std::size_t)(t - 1) * NS + ss(sigma)) * NK + ks(K)) * NOP + (op - 1)) * nvs +
                (v - 1)) *
                   nvs +
               (vp - 1)];
  }
  int& lab(int v, int sigma, int K, int t) {
    return label[(((t - 1) * NS + ss(sigma)) * NK + ks(K)) * nvs + (v - 1)];
  }
  double& C(int m, int v, int K) { return vec[((std::size_t)ks(K) * nvs + (v - 1)) * DIMM + m]; }
  double& T(int K, int Kp, int v, int vp, int sigma, int t) {
    return tint[(((((std::size_t)(t - 1) * NS + ss(sigma)) * NK + ks(K)) * NK + ks(Kp)) * nvs +
                 (v - 1)) *
                    nvs +
                (vp - 1)];
  }
  double& P(int K, int Kp, int v, int vp, int sigma, int t) {
    return pint[(((((std::size_t)(t - 1) * NS + ss(sigma)) * NK + ks(K)) * 3 + (Kp - K + 1)) * nvs +
                 (v - 1)) *
                    nvs +
                (vp - 1)];
  }
};

// Wigner rotation matrix d^J(beta) of one top and its derivative by beta,
// indexed d(K, K') with K, K' = -maxJ..maxJ of the run (K the top-frame index).
struct RotationStore {
  ZeroedVector<double> d, dd, dPrev, ddPrev; // (2maxJ+1)^2 each
  int mark = 0;                              // J held now (rotation mark)
  int maxJ = 0;                              // largest J it holds
  void allocate(int maxJ = DIMJ);
  int at(int K, int Kp) const { return (K + maxJ) + (Kp + maxJ) * (2 * maxJ + 1); }
  double& D(int K, int Kp) { return d[at(K, Kp)]; }
  double& dD(int K, int Kp) { return dd[at(K, Kp)]; }
};

// d^J(beta) and its derivative by beta of one top for every J = 0..maxJ,
// made once for a value of beta and read by every block of the sweeps that
// use it.  The elements of J start at offset(J), row K (-J..J) fastest.
struct RotationTable {
  double beta = 0.0;
  int maxJ = -1; // -1: nothing tabulated
  std::vector<double> d, dd;
  // sum of (2j+1)^2 over j < J
  static std::size_t offset(int J) {
    return static_cast<std::size_t>(J) * (2 * J - 1) * (2 * J + 1) / 3;
  }
};

// One element of the operator dH/dp of a parameter between basis positions
// r and c (0-based), GHz per unit of p: on the diagonal (r = c), real
// symmetric, or imaginary (H(r, c) = -i g, H(c, r) = +i g).
struct OperatorElement {
  enum Kind : int { DIAGONAL, REAL, IMAGINARY };
  int r = 0, c = 0;
  Kind kind = DIAGONAL;
  double g = 0.0;
};

// Basis row of a block: K and the one-top state of each top.
struct BasisRow {
  int K = 0;
  std::array<int, DIMTOP + 1> v{};
};
inline constexpr int NLABEL = 12; // level label columns 1..12

// The large work storage of one sweep.  One object per
// sweep: two sweeps with their own SweepWork do not disturb each other.
struct SweepWork {
  BlockState blk;
  // leading dimension of the block matrices: DIMTOT, or the largest block
  // order of a run whose blocks are larger (vkeep, a partition function's J)
  int ld = DIMTOT;
  // block matrices, leading dimension ld
  ZeroedVector<double> H, Zr, Zi, V;           // ld*ld each
  ZeroedVector<double> E;                      // eigenvalues, ld
  ZeroedVector<double> w1, w2, w3, w4, w5, w6; // vectors of ld (solver scratch)
  ZeroedVector<double> tau;                    // 2*ld
  // LAPACK work space of the solver of the lowest levels: 40*ld and 12*ld
  ZeroedVector<double> solverWork;
  ZeroedVector<int> solverIwork;
  // levels the next block is to compute, the lowest first (0: all); read
  // and cleared by the block, so that it asks for one block only
  int lowestLevelsWanted = 0;
  ZeroedVector<BasisRow> basis; // positions 1..N
  std::array<std::array<std::array<int, DIMVKEEP + 1>, DIMVKEEP + 1>, DIMTOP + 1>
      mask{};                                       // M_t(i,j)
  ZeroedVector<std::array<int, NLABEL + 1>> labels; // levels 1..N, columns 1..12
  ZeroedVector<int> need;                           // levels 1..N
  // what labelling a block on a helper thread found for the run: the levels
  // whose +-K pair had dominant rows of different |K|, and whether a pair was
  // told by the sign of its components
  struct LabelNotes {
    std::vector<int> kTrouble;
    bool pmPair = false;
  } labelNotes;
  std::array<double, 33> dEdp{}; // dE/dp, p = 1..32
  // the elements of dH/dp of the fitted rotor parameters of the block being
  // finished, p after p: those of p are rotorOps[rotorOpsStart[p] ..
  // rotorOpsStart[p + 1])
  std::vector<OperatorElement> rotorOps;
  std::array<int, 34> rotorOpsStart{};
  // where the elements of p between rows of odd K begin, when p keeps the
  // parity of K (those of even K come first); -1 otherwise
  std::array<int, 34> rotorOpsOddK{};
  std::vector<OperatorElement> rotorOpsScratch; // the two runs being made
  // the transition ends (2 k + end) that name the block (J, S, 2F, B) last
  // stored into the transitions, so that the derivatives of its levels need
  // not search the whole list again
  ZeroedVector<int> blockEnds; // 2 * (DIMDATA + 1)
  int nBlockEnds = 0;
  std::array<int, 4> blockEndsKey{-1, -1, -1, -1}; // J, S, 2F, B
  // the same ends by the rank T of the level they name once the energies are
  // stored, in list order: those of level T are levelEnds[levelEndsStart[T]
  // .. levelEndsStart[T + 1])
  ZeroedVector<int> levelEnds;                     // 2 * (DIMDATA + 1)
  ZeroedVector<int> levelEndsStart, levelEndsFill; // ld + 2 each
  // torsional problem of the current B set
  TorsionTables tors;
  ZeroedVector<double> torsMat; // DIMTOT*DIMTOT work matrix of the one-top problems
  // axis rotation of each top for the current J
  std::array<RotationStore, DIMTOP + 1> rot{};
  // the axis rotations of each top for all J of the set being prepared
  std::array<RotationTable, DIMTOP + 1> rotTable{};
  // rotated one-top operators O_t(K, v; K', v') per top, leading dimension ld
  std::array<ZeroedVector<double>, DIMTOP + 1> rotOp{};
  // base energies of the value sweep and of the forward step (lines 1..ndata)
  ZeroedVector<double> baseUp, baseLo, fwdUp, fwdLo;
  int lastB = -1;
  // the parameters of each set (dependent ones adjusted) that the block files
  // of the last value sweep with line strengths were written from: the
  // catalogue reads those blocks back instead of solving them again when its
  // parameters are the same to the last bit
  std::array<bool, DIMB + 1> filesValid{};
  std::array<std::array<double, NPAR>, DIMB + 1> filesPar{};
  // the threads of the sweep and the work storage of each thread beyond the
  // first, made by the first sweep on several threads and kept for the run
  std::shared_ptr<WorkerPool> pool;
  std::vector<std::shared_ptr<SweepWork>> helpers;
  // sets prepared by this sweep store so far; in a helper's store: the set
  // whose torsional tables it holds
  long setSerial = 0;
  // the run state each shifted-parameter sweep of the numerical derivatives
  // works in (its own copy of the transition list), one per sweep running at
  // the same time; made at the first such sweep and kept for the run
  std::vector<std::shared_ptr<RunState>> lanes;
  // sign of the next numerical-derivative step of each fit variable 1..60;
  // it alternates from one derivative calculation to the next for the whole run
  std::array<double, DIMFIT + 1> stepSign = [] {
    std::array<double, DIMFIT + 1> s{};
    s.fill(1.0);
    return s;
  }();
  // sizes the storage for blocks of order `order` (at least DIMTOT) and
  // torsional tables of `states` states per top and of J up to maxJ
  // (axis rotations and rotated operators for the first rotatedTops tops
  // only, all `tops` when negative: a helper of a run without tops needs none)
  void allocate(int order = DIMTOT, int states = DIMV, int tops = DIMTOP, int maxJ = DIMJ,
                int rotatedTops = -1);
  // makes room for blocks of J up to maxJ of `states` product states each
  // (the levels above the run's J range for the partition function); what
  // the storage holds for the blocks computed so far is kept only when
  // nothing needs to grow
  void growForJ(int maxJ, int states);
  // (both) the storage of the block order ld
  void sizeForOrder(int rotatedTops);
  double& h(int r, int c) { return H[r + static_cast<std::size_t>(c) * ld]; }
};

// ------------------------------------------------------------ fit state
// Statistics of the transition listing: [kind 1..2][V 1..3][B 1..5].
struct FitStats {
  std::array<std::array<std::array<int, DIMB + 1>, 4>, 3> count{};
  std::array<std::array<std::array<double, DIMB + 1>, 4>, 3> devSum{};
  std::array<std::array<std::array<double, DIMB + 1>, 4>, 3> wSum{};
};

// How the fit cycles ended.  Only Converged is a fit whose parameters have
// settled; the others leave the parameters of the best cycle so far.
enum class FitEnd {
  NoFit,        // a pure calculation (nzyk 1): nothing was fitted
  Converged,    // the convergence test (conv > 2) was met
  CycleLimit,   // the last cycle (nzyk) was reached first
  DampingLimit, // the damping factor lambda grew beyond its limit
  Interrupted   // the operator ended the fit (Ctrl-C)
};

struct FitState {
  ParamSets best, work, change; // change set: steps during the fit, errors after
  FitFlags flags;
  FitModel model;
  std::array<double, DIMFIT + 1> sing{};        // singular values 1..nfit
  ZeroedVector<double> evec, cov, alpha, workm; // DIMFIT*DIMFIT each, 0-based
  std::array<double, DIMFIT + 1> beta{}, spare{};
  int nindep = 0;
  double stepw = 1.0;
  double reducedChi2 = 1.0; // chi-square per degree of freedom, kept between fit calls
  FitStats stats;
  // how the fit ended, for the output files: cycles done, convergence
  // reached (or why not), standard deviation of the accepted point (GHz)
  // and the data points it rests on
  int cycles = 0;
  bool converged = false;
  // the fit's final pass ran: errors, correlations and the standard
  // deviation exist (also for a fit ended in its first cycle, where they
  // are those of the input parameters)
  bool errorsComputed = false;
  FitEnd end = FitEnd::NoFit;
  double standardDeviation = 0.0;
  int dataPoints = 0;
  void allocate();
};

} // namespace ruvo
