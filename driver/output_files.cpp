// Output files at the end of a run.  Every level of every species and set up
// to the run's largest J (with hyperfine structure every F) is computed once
// more from the final parameters; the catalogue takes the pairs of levels
// that the predicted-spectrum listing would find, and the uncertainty of
// each catalogue frequency follows from the covariance of the fitted
// combinations with derivatives by central differences of two further
// level calculations per fit variable.  Energies in GHz inside.
#include "driver/output_files.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <map>
#include <memory>
#include <ostream>
#include <pthread.h>
#include <sstream>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "core/stop.h"
#include "core/worker_pool.h"
#include "driver/kept_states.h"
#include "driver/partition_function.h"
#include "driver/sweep.h"
#include "fit/adjust.h"
#include "hamiltonian/axis_rotation.h"
#include "hamiltonian/block.h"
#include "hamiltonian/wang_blocks.h"
#include "intensity/line_strength.h"
#include "intensity/scratch_files.h"
#include "report/catalogue.h"
#include "report/json_output.h"
#include "report/line_list.h"
#include "torsion/torsion.h"

namespace ruvo {

// ------------------------------------------------------------- options

bool parseOutputOption(const std::vector<std::string>& args, std::size_t& index,
                       OutputRequests& req, std::string& error) {
  error.clear();
  const std::string& arg = args[index];
  static const char* const names[] = {"--catalog", "--lines",    "--levels", "--json",
                                      "--tag",     "--cat-from", "--cat-to", "--cat-lgint"};
  std::string name, value;
  bool haveValue = false;
  for (const char* n : names) {
    const std::string sn(n);
    if (arg == sn) {
      name = sn;
    } else if (arg.rfind(sn + "=", 0) == 0) {
      name = sn;
      value = arg.substr(sn.size() + 1);
      haveValue = true;
    }
  }
  if (name.empty()) return false;
  ++index;
  if (!haveValue) {
    if (index >= args.size()) {
      error = "ERROR: option " + name + " needs a value";
      return true;
    }
    value = args[index++];
  }
  if (value.empty()) {
    error = "ERROR: option " + name + " needs a value";
    return true;
  }
  if (name == "--tag") {
    char* end = nullptr;
    errno = 0;
    const long t = std::strtol(value.c_str(), &end, 10);
    // the tag goes into 7 columns, negated for measured lines
    if (*end != '\0' || errno != 0 || t < 0 || t > 999999) {
      error = "ERROR: --tag needs an integer 0 .. 999999, not \"" + value + "\"";
      return true;
    }
    req.tag = static_cast<int>(t);
    req.tagGiven = true;
    return true;
  }
  if (name.rfind("--cat-", 0) == 0) {
    char* end = nullptr;
    errno = 0;
    const double x = std::strtod(value.c_str(), &end);
    if (*end != '\0' || errno != 0 || !std::isfinite(x)) {
      error = "ERROR: " + name + " needs a number, not \"" + value + "\"";
      return true;
    }
    if (name != "--cat-lgint" && (x < 0.0 || x > CATALOGUE_LARGEST_MHZ)) {
      error = "ERROR: " + name + " needs a frequency 0 .. 99999999.9999 MHz, not \"" + value + "\"";
      return true;
    }
    (name == "--cat-from" ? req.catFromMHz
     : name == "--cat-to" ? req.catToMHz
                          : req.catMinLgint) = x;
    req.catCutGiven = true;
    return true;
  }
  std::string& target = name == "--catalog"  ? req.catalog
                        : name == "--lines"  ? req.lines
                        : name == "--levels" ? req.levels
                                             : req.json;
  target = value;
  return true;
}

namespace {

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// What an output path names.  Nothing yet, a regular file or a symbolic
// link to one: the file is written under a temporary name that is renamed
// into place (a link is replaced, the file it points to is never written).
// A FIFO or a character device (also behind a link, /dev/stdout): the text
// is written into it, and it stays what it is.  Anything else is refused.
enum class OutputTarget { file, stream, refused };

OutputTarget outputTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return OutputTarget::file;
  if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) return OutputTarget::file;
  if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) return OutputTarget::file;
  if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) return OutputTarget::stream;
  return OutputTarget::refused;
}

bool checkPath(const std::string& option, const std::string& path, const FileIdentity& input,
               std::string& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = "ERROR: " + option + " " + path + ": is a directory";
    return false;
  }
  if (input.known && isSameFile(path, input)) {
    error = "ERROR: " + option + " " + path + ": is the input file; name another file";
    return false;
  }
  const OutputTarget target = outputTarget(path);
  if (target == OutputTarget::refused) {
    error = "ERROR: " + option + " " + path +
            ": is no regular file, FIFO or character device; name another file";
    return false;
  }
  if (target == OutputTarget::stream) {
    if (::access(path.c_str(), W_OK) != 0) {
      error = "ERROR: " + option + " " + path + ": is not writable";
      return false;
    }
    return true;
  }
  const std::string dir = directoryOf(path);
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "ERROR: " + option + " " + path + ": directory " + dir + " does not exist";
    return false;
  }
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    error = "ERROR: " + option + " " + path + ": directory " + dir + " is not writable";
    return false;
  }
  return true;
}

// Write `text` into a FIFO or device.  Opening a FIFO waits for its reader
// and a write into a full pipe waits for room; a termination signal ends
// either wait through the stop path.
bool writeIntoStream(const std::string& path, const std::string& text, std::string& error) {
  // A reader that leaves a FIFO early makes the write fail with EPIPE (a
  // message and exit status 1) instead of ending the run by SIGPIPE.
  struct PipeSignalHeld {
    sigset_t pipe{}, old{};
    PipeSignalHeld() {
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, &old);
    }
    ~PipeSignalHeld() {
      const timespec none{};
      if (!sigismember(&old, SIGPIPE)) {
        while (sigtimedwait(&pipe, nullptr, &none) == SIGPIPE) {} // the one the write raised
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
      }
    }
  } held;
  int fd = -1;
  // a FIFO without a reader: wait for one without blocking in open, so that a
  // termination signal that arrives at any moment ends the wait
  for (;;) {
    stopIfTerminated();
    fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
      const int flags = ::fcntl(fd, F_GETFL);
      if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      break;
    }
    if (errno != ENXIO && errno != EINTR) break;
    ::usleep(20000); // 20 ms
  }
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  bool ok = true;
  const char* p = text.data();
  std::size_t n = text.size();
  while (n > 0) {
    const ssize_t k = ::write(fd, p, n);
    if (k < 0 && errno == EINTR) {
      if (g_terminateSignal != 0) ::close(fd);
      stopIfTerminated();
      continue;
    }
    if (k <= 0) {
      error = k < 0 ? std::strerror(errno) : "nothing could be written";
      ok = false;
      break;
    }
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  if (::close(fd) != 0 && ok) {
    error = std::strerror(errno);
    ok = false;
  }
  return ok;
}

} // namespace

bool checkOutputRequests(const OutputRequests& req, std::string& error) {
  const std::pair<const char*, std::string> files[] = {
      {"--catalog", req.catalog},
      {"--catalog", req.catalog.empty() ? "" : req.catalog + ".q"},
      {"--lines", req.lines},
      {"--levels", req.levels},
      {"--json", req.json}};
  for (std::size_t i = 0; i < std::size(files); ++i) {
    if (files[i].second.empty()) continue;
    if (!checkPath(files[i].first, files[i].second, req.input, error)) return false;
    for (std::size_t k = 0; k < i; ++k)
      if (files[k].second == files[i].second) {
        error = "ERROR: " + std::string(files[k].first) + " and " + files[i].first +
                " name the same file " + files[i].second;
        return false;
      }
  }
  if (req.tagGiven && req.catalog.empty()) {
    error = "ERROR: --tag is only used with --catalog";
    return false;
  }
  if (req.catCutGiven && req.catalog.empty()) {
    error = "ERROR: --cat-from, --cat-to and --cat-lgint are only used with --catalog";
    return false;
  }
  if (!(req.catFromMHz < req.catToMHz)) {
    error = "ERROR: the catalogue window --cat-from .. --cat-to is empty";
    return false;
  }
  return true;
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  std::string tmp = path + ".XXXXXX";
  // mkstemp creates the name exclusively (O_CREAT | O_EXCL) with mode 0600
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  bool ok = ::fchmod(fd, 0666 & ~mask) == 0;
  const char* p = text.data();
  std::size_t n = text.size();
  while (ok && n > 0) {
    const ssize_t k = ::write(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      ok = false;
      break;
    }
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  if (ok) ok = ::fsync(fd) == 0;
  if (!ok) error = std::strerror(errno);
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = std::strerror(errno);
  }
  // rename replaces the name itself, never what a symbolic link there points to
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = std::strerror(errno);
  }
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

// -------------------------------------------------- level calculation

namespace {

// Eigenvectors of one block, kept while the blocks of the next J are
// computed (its lines to J + 1 need them).
struct HeldVectors {
  int S = 0, F2 = -1;
  int N = 0, d = 0, nvv = 0, ntop = 0;
  std::vector<BasisRow> basis;
  std::vector<double> re, im; // level l (1-based) in column l - 1, length N each
  std::vector<int> level;     // level index in the list, per position 1..N
  LevelSupports support;      // real levels and their nonzero components
  LevelRef ref(int l) const {
    const std::size_t col = static_cast<std::size_t>(l - 1) * static_cast<std::size_t>(N);
    return {N, d, nvv, ntop, basis.data(), re.data() + col, im.data() + col};
  }
};

// All levels, and with `lines` the catalogue lines, of parameters `par`.
class LevelSweep {
public:
  LevelSweep(RunState& rs, FitState& fs, SweepWork& sw) : rs_(rs), fs_(fs), sw_(sw) {}

  void run(const ParamSets& par, std::vector<OutputLevel>& levels,
           std::vector<CatalogueLine>* lines) {
    levels.clear();
    if (lines) lines->clear();
    haveRef_ = false;
    qSoFar_ = 0.0;
    const Controls& ctl = rs_.ctl;
    const int ntop = ctl.ntop;
    const int s0 = ntop > 0 ? 1 : 0;
    const int nsym = std::clamp(rs_.species.nsym, 0, DIMSYM);
    const int nB = std::clamp(rs_.nB, 1, DIMB);
    const FitFlags noFlags{};
    std::array<double, NPAR> setB{};
    const ConstParamView setView{setB.data()};
    std::vector<HeldVectors> prev, cur;

    // room for the blocks and torsional tables of every J computed here
    rs_.maxJ = std::clamp(rs_.maxJ, 0, DIMJ);
    // (two or three tops keeping their states: the product states of each set)
    int blockStates = std::max(sw_.tors.nvs, DIMVV);
    if (ctl.vkeep > 0 && ntop >= 2)
      for (int B = 1; B <= nB; ++B) blockStates = std::max(blockStates, rs_.kept[B].n);
    sw_.growForJ(rs_.maxJ, blockStates);
    sw_.blk.maxJ = rs_.maxJ;
    sw_.blk.nB = rs_.nB;
    sw_.blk.nsym = rs_.species.nsym;
    for (int B = 1; B <= nB; ++B) {
      for (int p = 1; p <= NPAR; ++p) setB[p - 1] = par(p, B);
      sw_.blk.woods = rs_.woodsB[B];
      sw_.blk.adjf = rs_.adjfB[B];
      adjustDependentParameters(rs_, ParamView{setB.data()}, fs_.model.npar, sw_.blk.adjf);
      // the last value sweep with line strengths had these parameters: its
      // block files hold the levels and eigenvectors computed here
      const bool fromFiles = sw_.filesValid[B] && std::memcmp(setB.data(), sw_.filesPar[B].data(),
                                                              sizeof(double) * NPAR) == 0;
      int nvv = 0;
      while (nvv < DIMVV && rs_.use(nvv + 1, 1, B) != -1) ++nvv;
      nvv = std::max(nvv, 1);
      sw_.blk.nvv = nvv;
      sw_.blk.ntop = ntop;
      for (int t = 1; t <= ntop && t <= DIMTOP; ++t) {
        int lo = rs_.use(1, t, B), hi = lo;
        for (int i = 2; i <= nvv; ++i) {
          lo = std::min(lo, rs_.use(i, t, B));
          hi = std::max(hi, rs_.use(i, t, B));
        }
        sw_.blk.firstV[t] = lo;
        sw_.blk.nV[t] = hi - lo + 1;
      }
      sw_.blk.complete = false;
      if (ctl.vkeep > 0 && ntop >= 1) {
        const bool chosen = ntop < 2 || rs_.kept[B].states == ctl.vkeep;
        keepStatesCompletely(sw_.blk, ctl.vkeep, ntop, chosen ? &rs_.kept[B] : nullptr);
        nvv = sw_.blk.nvv;
      }
      for (int t = 1; t <= DIMTOP; ++t) sw_.rot[t].mark = 0;
      solveTorsionalProblems(rs_, sw_, B, setView, noFlags.set(B), 0);
      if (sw_.blk.complete && ntop >= 2) {
        if (rs_.kept[B].states != ctl.vkeep)
          chooseKeptProducts(rs_, sw_.tors, ctl.vkeep, ntop, B, rs_.kept[B]);
        keepStatesCompletely(sw_.blk, ctl.vkeep, ntop, &rs_.kept[B]);
        nvv = sw_.blk.nvv;
        sw_.growForJ(rs_.maxJ, nvv);
      }
      for (int t = 1; t <= ntop && t <= DIMTOP; ++t) {
        sw_.blk.firstV[t] = sw_.tors.firstV[t];
        sw_.blk.nV[t] = sw_.tors.nV[t];
      }
      const double mux = setView(par::mu_x), muy = setView(par::mu_y), muz = setView(par::mu_z);
      prev.clear();
      for (int J = 0; J <= rs_.maxJ; ++J) {
        for (int t = 1; t <= ntop && t <= DIMTOP; ++t)
          rotateTopAxes(sw_.rot[t], setView(par::top(t, par::beta)), J);
        cur.clear();
        for (int S = s0; S <= nsym; ++S) {
          const int spin = ctl.spin;
          const int F2lo = spin > 0 ? std::abs(2 * J - spin) : -1;
          const int F2hi = spin > 0 ? 2 * J + spin : -1;
          for (int F2 = F2lo; F2 <= F2hi; F2 += 2) {
            stopIfTerminated();
            sw_.blk.nvv = S == 0 ? 1 : nvv;
            sw_.blk.ntop = S == 0 ? 0 : ntop;
            HeldVectors& h = cur.emplace_back();
            if (fromFiles && readStoredBlock(J, S, F2, B)) {
              keepStoredBlock(h, levels, J, S, F2, B, lines != nullptr);
            } else {
              solveBlock(rs_, sw_, J, S, F2, B, setView, noFlags.set(B), fs_.model, 0);
              keepBlock(h, levels, J, S, F2, B, lines != nullptr);
            }
            sw_.blk.ntop = ntop;
            if (!lines) continue;
            // pairs inside this J (this block with itself and with the
            // blocks of other F of the species), then with the blocks of J - 1
            for (const HeldVectors& o : cur)
              if (o.S == S) pairBlocks(h, J, o, J, levels, *lines, mux, muy, muz, &o == &h);
            for (const HeldVectors& o : prev)
              if (o.S == S) pairBlocks(h, J, o, J - 1, levels, *lines, mux, muy, muz, false);
          }
        }
        std::swap(prev, cur);
      }
    }
  }

private:
  // The block file of (J, S, 2F, B) from the last value sweep, when it holds
  // the block as it would be solved here (its size, torsional states and
  // window of one-top states).
  bool readStoredBlock(int J, int S, int F2, int B) {
    if (!hasBlockFile(rs_, J, S, F2, B)) return false;
    if (stored_.basis.empty()) stored_.allocate();
    if (readBlockEigenvectors(rs_, J, S, F2, B, stored_) != ScratchRead::ok) return false;
    const BlockState& blk = sw_.blk;
    if (stored_.nvv != blk.nvv || stored_.ntop != blk.ntop || stored_.d != 2 * J + 1 ||
        stored_.N != blk.nvv * stored_.d)
      return false;
    BlockState st;
    st.fromRecord(stored_.rec.data());
    for (int t = 1; t <= blk.ntop && t <= DIMTOP; ++t)
      if (st.firstV[t] != blk.firstV[t] || st.nV[t] != blk.nV[t]) return false;
    return true;
  }

  // Levels of the block just solved, labelled K- K+ from their running count
  // among the levels of their torsional state, as the predicted spectrum
  // labels them.
  void keepBlock(HeldVectors& h, std::vector<OutputLevel>& levels, int J, int S, int F2, int B,
                 bool vectors) {
    const BlockState& blk = sw_.blk;
    keepLevels(
        h, levels, J, S, F2, B, blk.N, blk.d, blk.nvv, blk.ntop,
        [&](int l) { return sw_.E[l - 1]; }, [&](int l) { return sw_.labels[l][3]; });
    if (vectors) keepVectors(h, &sw_.basis[1], sw_.Zr.data(), sw_.Zi.data(), sw_.ld);
  }
  // The same from the block read back from its file.
  void keepStoredBlock(HeldVectors& h, std::vector<OutputLevel>& levels, int J, int S, int F2,
                       int B, bool vectors) {
    const StoredBlock& st = stored_;
    keepLevels(
        h, levels, J, S, F2, B, st.N, st.d, st.nvv, st.ntop,
        [&](int l) { return st.energy[static_cast<std::size_t>(l - 1)]; },
        [&](int l) { return st.labels[static_cast<std::size_t>(l)][3]; });
    if (vectors) keepVectors(h, st.basis.data(), st.re.data(), st.im.data(), st.ld);
  }

  template <class EnergyOf, class StateOf>
  void keepLevels(HeldVectors& h, std::vector<OutputLevel>& levels, int J, int S, int F2, int B,
                  int N, int d, int nvv, int ntop, EnergyOf energy, StateOf state) {
    h.S = S;
    h.F2 = F2;
    h.N = N;
    h.d = d;
    h.nvv = nvv;
    h.ntop = ntop;
    h.level.assign(static_cast<std::size_t>(N) + 1, -1);
    std::array<int, DIMVKEEP + 2> count{};
    for (int l = 1; l <= N; ++l) {
      const int V = state(l);
      const int t = ++count[V >= 1 && V <= DIMVKEEP ? V : DIMVKEEP + 1];
      OutputLevel lv;
      lv.B = B;
      lv.S = S;
      lv.V = V;
      lv.J = J;
      lv.Ka = t / 2;
      lv.Kc = (2 * J - t + 2) / 2;
      lv.F2 = F2;
      lv.pos = l;
      lv.E = energy(l);
      if (!haveRef_) {
        qRef_ = lv.E;
        haveRef_ = true;
      }
      qSoFar_ +=
          levelDegeneracy(lv) * std::exp(-C2_CM_K * (lv.E - qRef_) / GHZ_PER_WAVENUMBER / 300.0);
      h.level[l] = static_cast<int>(levels.size());
      levels.push_back(lv);
    }
  }

  // The eigenvectors of the block (level l in column l - 1 of zr, zi with
  // leading dimension ld, basis rows from position 0), with what the strength
  // sums need of them.
  static void keepVectors(HeldVectors& h, const BasisRow* basis, const double* zr, const double* zi,
                          std::size_t ld) {
    const int N = h.N;
    h.basis.assign(basis, basis + N);
    h.re.resize(static_cast<std::size_t>(N) * N);
    h.im.resize(static_cast<std::size_t>(N) * N);
    for (int l = 0; l < N; ++l)
      for (int r = 0; r < N; ++r) {
        h.re[static_cast<std::size_t>(l) * N + r] = zr[r + static_cast<std::size_t>(l) * ld];
        h.im[static_cast<std::size_t>(l) * N + r] = zi[r + static_cast<std::size_t>(l) * ld];
      }
    h.support.describe(N, N, h.re.data(), h.im.data(), static_cast<std::size_t>(N));
  }

  // Lines between block a (J1) and block b (J2 = J1 or J1 - 1) of one
  // species: same torsional state, frequency in the catalogue's window
  // (tested first: outside it no strength is computed), strength (with the
  // hyperfine share) above zero.  A line whose log10
  // intensity at 300 K is below the cut-off already with the partition
  // function of the levels computed so far is below it with the whole
  // (larger) one: it is left out here and counted.
  void pairBlocks(const HeldVectors& a, int J1, const HeldVectors& b, int J2,
                  const std::vector<OutputLevel>& levels, std::vector<CatalogueLine>& lines,
                  double mux, double muy, double muz, bool same) {
    // the amplitude's terms are the same for every pair of levels of the two
    // blocks: made at the first pair of one torsional state in the window
    bool found = false;
    for (int l2 = 1; l2 <= b.N && !found; ++l2) {
      const OutputLevel& L2 = levels[static_cast<std::size_t>(b.level[l2])];
      if (L2.V < 1 || L2.V > a.nvv) continue;
      for (int l1 = 1; l1 <= (same ? l2 - 1 : a.N); ++l1) {
        const OutputLevel& L1 = levels[static_cast<std::size_t>(a.level[l1])];
        const double nu = std::fabs(L1.E - L2.E);
        if (L1.V != L2.V || nu < cuts_.fromGHz || nu > cuts_.toGHz) continue;
        const LevelRef u = a.ref(l1), w = b.ref(l2);
        if (J2 < J1)
          jPlusOneCouplings(rs_, sw_.tors, J1, J2, a.S, muz, mux, muy, u, w, couplings_);
        else
          sameJCouplings(rs_, sw_.tors, J1, J2, a.S, muz, mux, muy, u, w, couplings_);
        pairStrengths_.prepare(couplings_, a.support, b.support);
        found = true;
        break;
      }
    }
    PairScan& scan = scan_; // its line stores keep their room from pair to pair
    scan.sweep = this;
    scan.a = &a;
    scan.J1 = J1;
    scan.b = &b;
    scan.J2 = J2;
    scan.levels = &levels;
    scan.same = same;
    // on the sweep's threads: ranges of the upper block's levels of about
    // equal numbers of pairs, each with strengths of its own, the lines
    // joined in the order of the ranges (the order of one scan)
    WorkerPool* pool = rs_.threads > 1 ? sw_.pool.get() : nullptr;
    const int parts = pool ? std::min(pool->size(), static_cast<int>(PairScan::MOST_PARTS)) : 1;
    if (!found || parts < 2 || couplings_.status != DipoleCouplings::READY ||
        static_cast<long>(a.N) * b.N < PAIRS_ON_THREADS) {
      scanPairs(scan, 1, b.N + 1, pairStrengths_, lines, cuts_);
      return;
    }
    helperStrengths_.resize(static_cast<std::size_t>(parts));
    for (PairStrengths& ps : helperStrengths_) ps.prepare(couplings_, a.support, b.support);
    // the range ends: pairs up to level l2 grow as l2 (l2^2 / 2 within a block)
    scan.parts = parts;
    scan.end[0] = 1;
    for (int k = 1; k <= parts; ++k) {
      const double share = static_cast<double>(k) / parts;
      const int at = same ? 1 + static_cast<int>(std::lround(b.N * std::sqrt(share)))
                          : 1 + static_cast<int>(std::lround(b.N * share));
      scan.end[k] = std::clamp(at, scan.end[k - 1], b.N + 1);
    }
    scan.end[parts] = b.N + 1;
    for (int k = 0; k < parts; ++k) {
      scan.out[k].clear();
      scan.cuts[k] = CatalogueCuts{};
      scan.cuts[k].fromGHz = cuts_.fromGHz;
      scan.cuts[k].toGHz = cuts_.toGHz;
      scan.cuts[k].minLgint = cuts_.minLgint;
      scan.failed[k] = nullptr;
    }
    pool->run(parts, &scanPart, &scan);
    for (int k = 0; k < parts; ++k)
      if (scan.failed[k]) std::rethrow_exception(scan.failed[k]);
    for (int k = 0; k < parts; ++k) {
      lines.insert(lines.end(), scan.out[k].begin(), scan.out[k].end());
      cuts_.outsideWindow += scan.cuts[k].outsideWindow;
      cuts_.zeroFrequency += scan.cuts[k].zeroFrequency;
      cuts_.belowLgint += scan.cuts[k].belowLgint;
    }
  }

  // Block pairs with at least this many pairs of levels go on the threads.
  static constexpr long PAIRS_ON_THREADS = 4096;

  // One pair of blocks scanned in ranges of the levels of b.
  struct PairScan {
    static constexpr int MOST_PARTS = 16;
    LevelSweep* sweep = nullptr;
    const HeldVectors* a = nullptr;
    int J1 = 0;
    const HeldVectors* b = nullptr;
    int J2 = 0;
    const std::vector<OutputLevel>* levels = nullptr;
    bool same = false;
    std::array<int, MOST_PARTS + 1> end{}; // range k: levels end[k] .. end[k + 1] - 1 of b
    int parts = 1;
    std::array<std::vector<CatalogueLine>, MOST_PARTS> out;
    std::array<CatalogueCuts, MOST_PARTS> cuts;
    std::array<std::exception_ptr, MOST_PARTS> failed;
  };

  static void scanPart(void* context, int k) {
    PairScan& s = *static_cast<PairScan*>(context);
    const std::size_t i = static_cast<std::size_t>(k);
    try {
      LevelSweep& self = *s.sweep;
      PairStrengths& ps = k == 0 ? self.pairStrengths_ : self.helperStrengths_[i];
      self.scanPairs(s, s.end[i], s.end[i + 1], ps, s.out[i], s.cuts[i]);
    } catch (...) {
      s.failed[i] = std::current_exception();
    }
  }

  // Levels l2 = from .. to - 1 of block b against the levels of a: same
  // torsional state, frequency in the catalogue's window (tested first:
  // outside it no strength is computed), strength (with the hyperfine share)
  // above zero.  Reads the sweep's state, writes only `lines` and `counts`.
  void scanPairs(const PairScan& s, int from, int to, PairStrengths& strengths,
                 std::vector<CatalogueLine>& lines, CatalogueCuts& counts) {
    const HeldVectors& a = *s.a;
    const HeldVectors& b = *s.b;
    const std::vector<OutputLevel>& levels = *s.levels;
    const int J1 = s.J1, J2 = s.J2;
    const Controls& ctl = rs_.ctl;
    for (int l2 = from; l2 < to; ++l2) {
      const OutputLevel& L2 = levels[static_cast<std::size_t>(b.level[l2])];
      if (L2.V < 1 || L2.V > a.nvv) continue;
      for (int l1 = 1; l1 <= (s.same ? l2 - 1 : a.N); ++l1) {
        const OutputLevel& L1 = levels[static_cast<std::size_t>(a.level[l1])];
        if (L1.V != L2.V) continue;
        const double dE = L1.E - L2.E;
        const double nu = std::fabs(dE); // GHz
        // outside the window: the strength is not computed (a pair of
        // levels, which may or may not be a line)
        if (nu < counts.fromGHz || nu > counts.toGHz) {
          ++counts.outsideWindow;
          continue;
        }
        const LevelRef u = a.ref(l1), w = b.ref(l2);
        double strength = strengths(rs_, u, l1 - 1, w, l2 - 1);
        if (a.F2 >= 0 && strength > 0.0) {
          const bool oneUp = dE > 0.0;
          strength *= hyperfineShare(2 * (oneUp ? J1 : J2), oneUp ? a.F2 : b.F2,
                                     2 * (oneUp ? J2 : J1), oneUp ? b.F2 : a.F2, ctl.spin);
        }
        if (!(strength > 0.0)) continue; // no line: the dipole cannot connect the levels
        // a frequency that a card would print as 0.0000 MHz (the two levels
        // of a K doublet degenerate to the printed digits)
        if (nu * 1000.0 < 0.5e-4) {
          ++counts.zeroFrequency;
          continue;
        }
        const double Eup = (dE > 0.0 ? L1.E : L2.E) - qRef_, Elo = (dE > 0.0 ? L2.E : L1.E) - qRef_;
        if (logIntensity(nu, strength, Elo / GHZ_PER_WAVENUMBER, Eup / GHZ_PER_WAVENUMBER, 300.0,
                         qSoFar_) < counts.minLgint) {
          ++counts.belowLgint;
          continue;
        }
        CatalogueLine c;
        c.up = dE > 0.0 ? a.level[l1] : b.level[l2];
        c.lo = dE > 0.0 ? b.level[l2] : a.level[l1];
        c.freq = nu;
        c.strength = strength;
        lines.push_back(c);
      }
    }
  }

public:
  CatalogueCuts cuts_;

private:
  double qRef_ = 0.0;   // energy (GHz) the running partition function is referred to
  double qSoFar_ = 0.0; // partition function at 300 K of the levels computed so far
  bool haveRef_ = false;
  StoredBlock stored_;        // a block read back from the last value sweep's files
  DipoleCouplings couplings_; // of the pair of blocks being scanned
  PairStrengths pairStrengths_;
  std::vector<PairStrengths> helperStrengths_; // of the sweep's other threads
  PairScan scan_;

  RunState& rs_;
  FitState& fs_;
  SweepWork& sw_;
};

// The level of each end of each transition, found by its block key and its
// position in the block.
EndLevels endLevels(const RunState& rs, const std::vector<OutputLevel>& levels) {
  std::map<std::tuple<int, int, int, int, int>, int> at;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const OutputLevel& lv = levels[i];
    at[{lv.B, lv.S, lv.J, lv.F2, lv.pos}] = static_cast<int>(i);
  }
  const Transitions& tr = rs.tr;
  EndLevels ends(static_cast<std::size_t>(tr.ndata) + 1, {-1, -1});
  for (int k = 1; k <= tr.ndata; ++k)
    for (int end : {UP, LO}) {
      const Slots& q = tr.qn[static_cast<std::size_t>(k)][static_cast<std::size_t>(end)];
      if (!hasBit(q[slot::KIND], kindbit::FOUND)) continue;
      const auto it =
          at.find({q[slot::B], q[slot::S], q[slot::J], q[slot::F],
                   tr.levelIndex[static_cast<std::size_t>(k)][static_cast<std::size_t>(end)]});
      if (it != at.end())
        ends[static_cast<std::size_t>(k)][static_cast<std::size_t>(end)] = it->second;
    }
  return ends;
}

// 1-sigma uncertainties of the catalogue frequencies: sigma^2 = g^T C g with
// C the covariance of the fitted combinations (their errors and
// correlations as the fit reports them) and g the derivatives of the line
// frequency, here as central differences with a step of a tenth of each
// combination's error.
void frequencyErrors(LevelSweep& sweep, const RunState& rs, const FitState& fs,
                     std::vector<CatalogueLine>& lines, const std::vector<OutputLevel>& levels) {
  const int nfit = std::clamp(fs.model.nfit, 0, DIMFIT);
  if (nfit == 0 || rs.ctl.nzyk <= 1 || !fs.errorsComputed) return;
  // scaled derivatives e_j dnu/dx_j of every line, fit variable by variable
  std::vector<std::vector<double>> ge(static_cast<std::size_t>(nfit));
  std::vector<OutputLevel> plus, minus;
  ParamSets shifted;
  for (int j = 1; j <= nfit; ++j) {
    const double e = fs.work.v[static_cast<std::size_t>(j - 1)];
    std::vector<double>& g = ge[static_cast<std::size_t>(j - 1)];
    g.assign(lines.size(), 0.0);
    if (!(e > 0.0) || !std::isfinite(e)) continue;
    const FitVar& fv = fs.model.var[j];
    const double h = 0.1 * e;
    for (double sign : {1.0, -1.0}) {
      shifted = fs.best;
      for (int k = 1; k <= fv.nterm && k <= DIMPLC; ++k)
        if (fv.par[k] >= 1 && fv.par[k] <= NPAR && fv.set[k] >= 1 && fv.set[k] <= DIMB)
          shifted(fv.par[k], fv.set[k]) += sign * h * fv.coef[k];
      sweep.run(shifted, sign > 0 ? plus : minus, nullptr);
    }
    if (plus.size() != levels.size() || minus.size() != levels.size()) continue;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const auto u = static_cast<std::size_t>(lines[i].up),
                 l = static_cast<std::size_t>(lines[i].lo);
      const double dnu = (plus[u].E - plus[l].E) - (minus[u].E - minus[l].E);
      g[i] = dnu / (2.0 * h) * e;
    }
  }
  // correlation of combinations j < k stands above the diagonal
  auto corr = [&](int j, int k) {
    if (j == k) return 1.0;
    const int a = std::min(j, k), b = std::max(j, k);
    return fs.cov[static_cast<std::size_t>((a - 1) + (b - 1) * DIMFIT)];
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    double var = 0.0;
    for (int j = 1; j <= nfit; ++j)
      for (int k = 1; k <= nfit; ++k)
        var += ge[static_cast<std::size_t>(j - 1)][i] * corr(j, k) *
               ge[static_cast<std::size_t>(k - 1)][i];
    lines[i].err = std::sqrt(std::max(var, 0.0));
  }
}

void writeOne(RunState& rs, const std::string& option, const std::string& path,
              const std::string& text) {
  std::string error;
  const bool ok = outputTarget(path) == OutputTarget::stream
                      ? writeIntoStream(path, text, error)
                      : writeFileAtomically(path, text, error);
  if (ok) return;
  *rs.io.err << "ERROR: " << option << " " << path << " could not be written: " << error << '\n';
  ++rs.problems;
}

} // namespace

void checkCatalogueDipole(const RunState& rs, const FitState& fs, const OutputRequests& req) {
  if (req.catalog.empty()) return;
  const int nB = std::clamp(rs.nB, 1, DIMB);
  for (int B = 1; B <= nB; ++B)
    for (int p : {par::mu_x, par::mu_y, par::mu_z})
      if (fs.best(p, B) != 0.0 || fs.flags(p, B) != 0) return;
  stop("ERROR: --catalog needs a dipole moment: mu_x, mu_y and mu_z are 0 in every parameter set");
}

void writeOutputFiles(RunState& rs, FitState& fs, SweepWork& sw, const OutputRequests& req,
                      RigidLevelsAhead* early) {
  if (!req.any()) return;
  CatalogueCuts window;
  window.fromGHz = req.catFromMHz / 1000.0;
  window.toGHz = req.catToMHz / 1000.0;
  window.minLgint = req.catMinLgint;
  RunCatalogue result;
  computeOutputLevels(rs, fs, sw, result, req.catalog.empty() ? nullptr : &window, early);
  std::vector<OutputLevel>& levels = result.levels;
  std::vector<CatalogueLine>& lines = result.lines;
  const PartitionTable& pt = result.pt;

  QuantaCoding q;
  q.tops = rs.ctl.ntop > 0;
  q.hyperfine = rs.ctl.spin > 0;
  q.halfIntegerF = rs.ctl.spin % 2 != 0;
  const EndLevels ends = endLevels(rs, levels);

  if (!req.catalog.empty()) {
    const std::string cards =
        catalogueCards(lines, levels, q, req.tag, pt, rs.threads > 1 ? sw.pool.get() : nullptr);
    std::ostringstream qfile;
    writePartitionFunction(qfile, pt);
    printPartitionFunction(*rs.io.out, pt, rs.maxJ);
    const CatalogueCuts& cut = result.cuts;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%.4f .. %.4f MHz, LGINT >= %.4f", req.catFromMHz, req.catToMHz,
                  cut.minLgint);
    *rs.io.out << "\n Catalogue: " << lines.size() << " lines of J <= " << rs.maxJ << ", " << buf
               << "\n left out: " << cut.belowLgint << " lines below the LGINT cut-off, "
               << cut.zeroFrequency << " at 0.0000 MHz; " << cut.outsideWindow
               << " pairs of levels outside the window\n";
    if (pt.lastShare >= PARTITION_CONVERGENCE) {
      *rs.io.err << "Warning: the partition function at 300 K is not converged: levels of J = "
                 << pt.lastJ << " add " << pt.lastShare
                 << " of it; the catalogue intensities are too large\n";
      ++rs.problems;
    }
    if (pt.edgeShare >= PARTITION_CONVERGENCE) {
      *rs.io.err << "Warning: the partition function at 300 K is not converged: the highest "
                    "torsional state of the free-rotor basis (2*maxm) lies below the energy of "
                    "the excited states it takes and adds "
                 << pt.edgeShare
                 << " of it; the catalogue intensities are too large (raise maxm)\n";
      ++rs.problems;
    }
    writeOne(rs, "--catalog", req.catalog, cards);
    writeOne(rs, "--catalog", req.catalog + ".q", qfile.str());
  }
  if (!req.lines.empty()) {
    std::ostringstream os;
    writeLineList(os, rs.tr, ends, levels, q);
    writeOne(rs, "--lines", req.lines, os.str());
  }
  if (!req.levels.empty()) {
    std::ostringstream os;
    writeLevelTable(os, levels);
    writeOne(rs, "--levels", req.levels, os.str());
  }
  if (!req.json.empty()) {
    std::ostringstream os;
    writeRunJson(os, rs, fs, levels, ends, req.inputName);
    writeOne(rs, "--json", req.json, os.str());
  }
}

void computeOutputLevels(RunState& rs, FitState& fs, SweepWork& sw, RunCatalogue& result,
                         const CatalogueCuts* cuts, RigidLevelsAhead* early) {
  // the extra level calculations print nothing and leave the transitions
  // (energies, labels, derivatives) as the fit left them
  const Controls savedCtl = rs.ctl;
  const Transitions savedTr = rs.tr.listedLines();
  const int savedDetail = rs.detailPrint;
  rs.ctl.aprint &=
      ~(aprintbit::BLOCK_LIST | aprintbit::TORSIONAL_INTEGRALS | aprintbit::TORSIONAL_OPERATORS |
        aprintbit::BLOCK_EIGENVECTORS | aprintbit::BLOCK_MATRICES);
  rs.ctl.eval = 0;
  rs.ctl.dfreq = 0;
  rs.detailPrint = 0;

  LevelSweep sweep(rs, fs, sw);
  if (cuts) sweep.cuts_ = *cuts;
  std::vector<OutputLevel>& levels = result.levels;
  std::vector<CatalogueLine>& lines = result.lines;
  // on more than one thread the rigid-rotor levels above the J range that
  // Q needs are made meanwhile
  // (or were made since the run began, when its parameters were final then)
  std::unique_ptr<RigidLevelsAhead> ahead;
  const bool earlyFits =
      cuts && early && early->madeFor(fs.best, rs.maxJ + 1, result.pt.T, cuts->partitionOnlyAtT);
  if (cuts && rs.ctl.ntop == 0 && rs.threads > 1 && !earlyFits)
    ahead = std::make_unique<RigidLevelsAhead>(rs, fs.best, rs.maxJ + 1, result.pt.T,
                                               cuts->partitionOnlyAtT, true);
  sweep.run(fs.best, levels, cuts ? &lines : nullptr);
  if (cuts) {
    result.pt = partitionOfTheMolecule(rs, fs.model, fs.best, levels, result.pt.T,
                                       cuts->partitionOnlyAtT, earlyFits ? early : ahead.get());
    ahead.reset();
    const PartitionTable& pt = result.pt;
    // the cut-off on the intensity, now with the whole partition function
    // (the populations at 300 K level by level)
    const std::vector<double> factor = populationsAt300K(levels, pt.Emin);
    const std::size_t before = lines.size();
    std::erase_if(lines, [&](const CatalogueLine& l) {
      return logIntensityOfFactors(l.freq, l.strength, factor[static_cast<std::size_t>(l.lo)],
                                   factor[static_cast<std::size_t>(l.up)],
                                   pt.Q[0]) < sweep.cuts_.minLgint;
    });
    sweep.cuts_.belowLgint += static_cast<long>(before - lines.size());
    frequencyErrors(sweep, rs, fs, lines, levels);
  }
  result.cuts = sweep.cuts_;
  rs.ctl = savedCtl;
  rs.tr.restoreListedLines(savedTr);
  rs.detailPrint = savedDetail;
  if (!cuts) return;
  // lines measured in the transition list carry a negative tag
  const EndLevels ends = endLevels(rs, levels);
  std::map<std::pair<int, int>, bool> measured;
  for (int k = 1; k <= rs.tr.ndata; ++k) {
    const auto& e = ends[static_cast<std::size_t>(k)];
    if (isMeasuredLine(rs.tr, k) && e[UP] >= 0 && e[LO] >= 0) {
      measured[{e[UP], e[LO]}] = true;
      measured[{e[LO], e[UP]}] = true;
    }
  }
  for (CatalogueLine& l : lines) l.measured = measured.count({l.up, l.lo}) > 0;
}

} // namespace ruvo
