// Predicted spectrum in the frequency window: every pair of computed levels
// of one species and one torsional state V whose frequency lies in
// freq_l .. freq_h, with line strength, Boltzmann population of the lower
// level, the stimulated-emission factor and the statistical weight.
//
// printPredictedSpectrum lists the lines species by species; printGroupedSpectrum groups, for each
// pair of blocks, the lines of all species that connect the same two level positions, so that the
// torsional splittings of a rigid-rotor line can be read off directly.
#include "intensity/intensity_listing.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "core/worker_pool.h"
#include "intensity/line_strength.h"
#include "intensity/scratch_files.h"

namespace ruvo {

namespace {

// Boltzmann constant in GHz per kelvin, held in single precision.
const double GHZ_PER_KELVIN = static_cast<double>(20.8364f);

// The layouts of the predicted lines: J, K-, K+ (and K, signed) in three
// columns, four when the run's J range reaches 100; the headers move with them.
struct QuantumLayouts {
  std::string spectrumHead, asymLine, symLine, splitHead, rigidLine, splitLine, topLine;
  explicit QuantumLayouts(int maxJ) {
    if (maxJ < 100) {
      spectrumHead = "(A,I2,25X,A12,A9,4A9)";
      asymLine = "(2(3I3,1X),2(A,I2),F13.6,5F9.4,A,I2,2(A,2I3))";
      symLine = "(2(I3,A3,I3,1X),2(A,I2),F13.6,5F9.4,A,I2,2(A,2I3))";
      splitHead = "(A,I2,28X,2A12,A9,4A9)";
      rigidLine = "(2(3I3,1X),A15    ,F13.6,10X,5F9.4,2(A,2I3))";
      splitLine = "(20X,(A,I2),10X,F13.6,F10.4,5F9.4,2(A,2I3))";
      topLine = "(2(3I3,1X),3(A,I2),F13.6,10X,5F9.4,2(A,2I3))";
    } else {
      spectrumHead = "(A,I2,31X,A12,A9,4A9)";
      asymLine = "(2(3I4,1X),2(A,I2),F13.6,5F9.4,A,I2,2(A,2I4))";
      symLine = "(2(I4,A3,I5,1X),2(A,I2),F13.6,5F9.4,A,I2,2(A,2I4))";
      splitHead = "(A,I2,34X,2A12,A9,4A9)";
      rigidLine = "(2(3I4,1X),A15    ,F13.6,10X,5F9.4,2(A,2I4))";
      splitLine = "(26X,(A,I2),10X,F13.6,F10.4,5F9.4,2(A,2I4))";
      topLine = "(2(3I4,1X),3(A,I2),F13.6,10X,5F9.4,2(A,2I4))";
    }
  }
};

constexpr int MAXENTRIES = 1269; // lines (and species end marks) of one block pair

// A block read back from its scratch file, with the running count t of
// every level among the levels of its V label.
struct HeldBlock {
  StoredBlock blk;
  LevelSupports support; // real levels and their nonzero components
  std::array<int, DIMBLOCK + 1> t{};
  int J = -1, S = -1, B = -1; // key of the block held; J = -1: none
};

// Two blocks held at a time, so that the block pairs (J, J) and (J, J + 1)
// that follow one another need few reads.
class BlockCache {
public:
  BlockCache() {
    for (HeldBlock& h : slot_) h.blk.allocate();
  }
  // A cache of a helper thread reads without a word: a block it cannot read
  // ends its part of the listing, which is then made again on the calling
  // thread with the messages.
  explicit BlockCache(bool quiet) : BlockCache() { quiet_ = quiet; }
  // The blocks (J1, S, B) and (J2, S, B); false when one cannot be read.
  bool fetch(RunState& rs, int J1, int J2, int S, int B, const HeldBlock*& b1,
             const HeldBlock*& b2) {
    const int i1 = find(J1, S, B), i2 = find(J2, S, B);
    int k1 = i1, k2 = i2;
    if (k1 < 0) k1 = (k2 == 0) ? 1 : 0;
    if (k1 >= 0 && i1 < 0 && !load(rs, slot_[k1], J1, S, B)) return false;
    if (J2 == J1) {
      k2 = k1;
    } else if (k2 < 0) {
      k2 = 1 - k1;
      if (!load(rs, slot_[k2], J2, S, B)) return false;
    }
    b1 = &slot_[k1];
    b2 = &slot_[k2];
    return true;
  }
  void forget() {
    for (HeldBlock& h : slot_) h.J = -1;
  }

private:
  int find(int J, int S, int B) const {
    for (int i = 0; i < 2; ++i)
      if (slot_[i].J == J && slot_[i].S == S && slot_[i].B == B) return i;
    return -1;
  }
  bool load(RunState& rs, HeldBlock& h, int J, int S, int B) {
    h.J = -1;
    stopIfTerminated();
    // a block that could not be read is reported once and then left out
    const int key = (B * (DIMSYM + 1) + S) * (DIMJ + 1) + J;
    for (int k : failed_)
      if (k == key) return false;
    if (quiet_) {
      if (J < 0 || J > DIMJ || !readBlockEigenvectorsQuietly(rs.scratch, J, S, -1, B, h.blk)) {
        irregular = true;
        return false;
      }
    } else if (J < 0 || J > DIMJ ||
               readBlockEigenvectors(rs, J, S, -1, B, h.blk) != ScratchRead::ok) {
      failed_.push_back(key);
      return false;
    }
    // running number of each level among the levels of its V label
    std::array<int, DIMVKEEP + 2> count{};
    for (int l = 1; l <= h.blk.N; ++l) {
      const int V = h.blk.labels[l][3];
      const int c = V >= 1 && V <= DIMVKEEP ? V : DIMVKEEP + 1;
      h.t[l] = ++count[c];
    }
    h.support.describe(h.blk.N, h.blk.N, h.blk.re.data(), h.blk.im.data(),
                       static_cast<std::size_t>(h.blk.ld));
    h.J = J;
    h.S = S;
    h.B = B;
    return true;
  }
  HeldBlock slot_[2];
  std::vector<int> failed_;
  bool quiet_ = false;

public:
  // the couplings of the pair of blocks being scanned, and the strengths of
  // their pairs of levels from them (storage kept)
  DipoleCouplings couplings;
  PairStrengths strengths;
  // a quiet cache met a block it could not read or a pair of blocks whose
  // strengths it could not compute
  bool irregular = false;
  bool quiet() const { return quiet_; }
};

// Boltzmann factor exp(-E / kT) of an energy E above the lowest level (GHz);
// at kT <= 0 (zero temperature) its limit: 1 for E <= 0, 0 above.
double boltzmann(double E, double kT) {
  if (kT > 0.0) return std::exp(-E / kT);
  return E > 0.0 ? 0.0 : 1.0;
}

// One line of the predicted spectrum, its levels ordered upper first.
struct PredictedLine {
  int S = 0, V = 0;
  int Jup = 0, Kmup = 0, Kpup = 0, Jlo = 0, Kmlo = 0, Kplo = 0;
  int Kup = 0, Klo = 0;     // K labels (level label column 2)
  int posUp = 0, posLo = 0; // positions of the levels in their blocks
  int l1 = 0, l2 = 0;       // positions in the J1 and the J2 block
  double freq = 0.0, strength = 0.0, total = 0.0, statw = 0.0, popul = 0.0, hv = 0.0;
  bool endMark = false; // end of the lines of species S (printGroupedSpectrum)
};

// The lines of species S, torsional state V and blocks (J1, S, B), (J2, S, B)
// with J1 = J2 or J2 + 1, handed to `take` one by one.
template <class Take>
void scanPair(RunState& rs, SweepWork& sw, BlockCache& cache, int J2, int J1, int S, int B, int V,
              double mux, double muy, double muz, double kT, Take&& take) {
  const HeldBlock* h1 = nullptr;
  const HeldBlock* h2 = nullptr;
  if (!cache.fetch(rs, J1, J2, S, B, h1, h2)) return;
  const Controls& ctl = rs.ctl;
  const StoredBlock& b1 = h1->blk;
  const StoredBlock& b2 = h2->blk;
  // the amplitude's terms, the same for every pair of levels of the blocks
  DipoleCouplings& couplings = cache.couplings;
  bool made = false;
  for (int l2 = 1; l2 <= b2.N; ++l2) {
    if (b2.labels[l2][3] != V) continue;
    for (int l1 = 1; l1 <= b1.N; ++l1) {
      if (b1.labels[l1][3] != V) continue;
      if (!(l2 < l1 || J2 != J1)) continue;
      const double E1 = b1.energy[l1 - 1], E2 = b2.energy[l2 - 1];
      const double dE = E1 - E2;
      if (std::fabs(dE) < ctl.freq_l || std::fabs(dE) > ctl.freq_h) continue;
      const LevelRef r1 = levelRef(b1, l1), r2 = levelRef(b2, l2);
      if (!made) {
        if (J2 < J1)
          jPlusOneCouplings(rs, sw.tors, J1, J2, S, muz, mux, muy, r1, r2, couplings);
        else
          sameJCouplings(rs, sw.tors, J1, J2, S, muz, mux, muy, r1, r2, couplings);
        cache.strengths.prepare(couplings, h1->support, h2->support);
        made = true;
        // levels that do not fit the tables are reported by the strength
        // routine: not on a helper thread
        if (cache.quiet() && couplings.status != DipoleCouplings::READY &&
            couplings.status != DipoleCouplings::FORBIDDEN) {
          cache.irregular = true;
          return;
        }
      }
      const double strength = cache.strengths(rs, r1, l1 - 1, r2, l2 - 1);
      // a pair without a valid strength (marked negative) is never listed
      if (strength < 0.0 || !(strength >= ctl.limit)) continue;

      PredictedLine p;
      p.S = S;
      p.V = V;
      p.l1 = l1;
      p.l2 = l2;
      const int t1 = h1->t[l1], t2 = h2->t[l2];
      const bool oneUp = dE > 0.0;
      const int Ju = oneUp ? J1 : J2, Jl = oneUp ? J2 : J1;
      const int tu = oneUp ? t1 : t2, tl = oneUp ? t2 : t1;
      p.Jup = Ju;
      p.Kmup = tu / 2;
      p.Kpup = (2 * Ju - tu + 2) / 2;
      p.Jlo = Jl;
      p.Kmlo = tl / 2;
      p.Kplo = (2 * Jl - tl + 2) / 2;
      p.Kup = oneUp ? b1.labels[l1][2] : b2.labels[l2][2];
      p.Klo = oneUp ? b2.labels[l2][2] : b1.labels[l1][2];
      p.posUp = oneUp ? l1 : l2;
      p.posLo = oneUp ? l2 : l1;
      p.freq = oneUp ? dE : -dE;
      const double Elower = oneUp ? E2 : E1;
      // populations at temperature T: Boltzmann factor of the lower level
      // and the net absorption 1 - exp(-h nu / kT)
      p.strength = strength;
      p.statw = 2.0 * J2 + 1.0;
      p.popul = boltzmann(Elower, kT);
      p.hv = 1.0 - boltzmann(p.freq, kT);
      p.total = strength * p.popul * p.hv * p.statw;
      take(p);
    }
  }
}

// Text gathered in blocks of fixed size that are kept from one use to the
// next: growing it copies nothing, and its memory is met once.
class BlockText : public std::streambuf {
public:
  void restart() {
    used_ = 0;
    open(0);
  }
  void writeTo(std::ostream& out) {
    for (std::size_t b = 0; b < used_; ++b) out.write(blocks_[b].get(), BLOCK);
    if (pbase()) out.write(pbase(), pptr() - pbase());
  }

protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    open(++used_);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::streamsize done = 0;
    while (done < n) {
      if (pptr() == epptr()) open(++used_);
      const std::streamsize room = epptr() - pptr(), take = std::min(room, n - done);
      std::copy_n(s + done, take, pptr());
      pbump(static_cast<int>(take));
      done += take;
    }
    return n;
  }

private:
  static constexpr std::size_t BLOCK = 1 << 16;
  // the put area on block b (blocks before it are full)
  void open(std::size_t b) {
    if (blocks_.size() <= b) blocks_.push_back(std::make_unique<char[]>(BLOCK));
    char* p = blocks_[b].get();
    setp(p, p + BLOCK);
  }
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = 0; // full blocks
};

// The lines of one species and V of the listing by species, J2 = 0 .. maxJ
// in parts of consecutive J2 that the threads of the sweep take in turn:
// each part's text is made into its own buffer and the buffers are written
// in J2 order, so the listing is the same for any thread count.
class SpectrumParts {
public:
  SpectrumParts(WorkerPool& pool) : pool_(pool) {
    caches_.resize(static_cast<std::size_t>(pool.size()));
    for (auto& c : caches_) c = std::make_unique<BlockCache>(true);
  }

  // The lines of J2 = 0 .. maxJ into `out`; false (nothing written) when a
  // part met a block or a pair of blocks that only the calling thread can
  // report on.
  template <class Scan> bool write(std::ostream& out, int maxJ, const Scan& scan) {
    // parts of about equal work: a pair of blocks of J2 costs about (J2 + 1)^3
    const int wanted = std::min(maxJ + 1, PARTS_PER_THREAD * pool_.size());
    double total = 0.0;
    for (int J = 0; J <= maxJ; ++J) total += cost(J);
    while (parts_.size() < static_cast<std::size_t>(wanted))
      parts_.push_back(std::make_unique<Part>());
    int n = 0;
    double sum = 0.0;
    for (int J = 0; J <= maxJ; ++J) {
      if (n == 0 || (sum >= total * n / wanted && n < wanted)) {
        Part& p = *parts_[static_cast<std::size_t>(n++)];
        p.from = J;
        p.buffer.restart();
        p.text.clear();
        p.irregular = false;
      }
      sum += cost(J);
      parts_[static_cast<std::size_t>(n - 1)]->to = J;
    }
    count_ = n;
    next_ = 0;
    Context ctx{this, &scan};
    pool_.run(std::min(pool_.size(), n), &runParts<Scan>, &ctx);
    for (int i = 0; i < n; ++i)
      if (parts_[static_cast<std::size_t>(i)]->irregular) return false;
    for (int i = 0; i < n; ++i) parts_[static_cast<std::size_t>(i)]->buffer.writeTo(out);
    return true;
  }

private:
  static constexpr int PARTS_PER_THREAD = 4;
  static double cost(int J) { return double(J + 1) * (J + 1) * (J + 1); }
  struct Part {
    int from = 0, to = -1;
    BlockText buffer;
    std::ostream text{&buffer};
    bool irregular = false;
  };
  struct Context {
    SpectrumParts* self;
    const void* scan;
  };
  template <class Scan> static void runParts(void* context, int thread) {
    Context& c = *static_cast<Context*>(context);
    SpectrumParts& self = *c.self;
    const Scan& scan = *static_cast<const Scan*>(c.scan);
    BlockCache& cache = *self.caches_[static_cast<std::size_t>(thread)];
    for (int i = self.next_.fetch_add(1); i < self.count_; i = self.next_.fetch_add(1)) {
      Part& p = *self.parts_[static_cast<std::size_t>(i)];
      cache.irregular = false;
      try {
        for (int J2 = p.from; J2 <= p.to && !cache.irregular; ++J2) scan(cache, p.text, J2);
      } catch (...) {
        // a stop (or a termination) is met again on the calling thread
        cache.irregular = true;
      }
      p.irregular = cache.irregular;
    }
  }

  WorkerPool& pool_;
  std::vector<std::unique_ptr<BlockCache>> caches_;
  std::vector<std::unique_ptr<Part>> parts_;
  int count_ = 0;
  std::atomic<int> next_{0};
};

// The two closing lines.
void closeListing(RunState& rs) {
  std::ostream& out = *rs.io.out;
  putFree(out, {" total is the product of Linestr., population-factor,"});
  putFree(out, {" energy factor (hv), and the statistical weight"});
}

// Read the torsional file of set B; false (reported) when it is unusable.
bool loadSet(RunState& rs, SweepWork& sw, int B) {
  if (readTorsionalIntegrals(rs, sw, B) == ScratchRead::ok) return true;
  *rs.io.err << " intensity listing: set " << B << " left out\n";
  return false;
}

} // namespace

void printPredictedSpectrum(RunState& rs, SweepWork& sw, double mux, double muy, double muz,
                            double temp) {
  std::ostream& out = *rs.io.out;
  const double kT = temp * GHZ_PER_KELVIN;
  const int s0 = rs.ctl.ntop > 0 ? 1 : 0;
  const int nsym = rs.species.nsym < DIMSYM ? rs.species.nsym : DIMSYM;
  BlockCache cache;
  // the sweep's threads make the lines of ranges of J side by side
  std::unique_ptr<SpectrumParts> parts;
  if (sw.pool && sw.pool->size() > 1 && rs.threads > 1)
    parts = std::make_unique<SpectrumParts>(*sw.pool);

  // J and K in three columns, four when the J range reaches 100
  const QuantumLayouts L(rs.maxJ);
  for (int B = 1; B <= rs.nB && B <= DIMB; ++B) {
    put(out, L.spectrumHead,
        {"-- B", B, "Freq", "Linestr.", "total", "stat.w.", "popul.", "hv-ener."});
    cache.forget();
    if (!loadSet(rs, sw, B)) continue;
    const int nvv = sw.blk.nvv, maxJ = sw.blk.maxJ;
    for (int V = 1; V <= nvv; ++V) {
      for (int s = s0; s <= nsym; ++s) {
        // the rigid rotor (species 0) is always labelled by K- K+
        const bool asymLabels = s == 0 || rs.pmKSign[s] != 0;
        // the lines of the block pairs (J2, J2) and (J2 + 1, J2) into `text`
        const auto linesOfJ = [&](BlockCache& from, std::ostream& text, int J2) {
          for (int J1 = J2; J1 <= J2 + 1 && J1 <= maxJ; ++J1)
            scanPair(rs, sw, from, J2, J1, s, B, V, mux, muy, muz, kT, [&](const PredictedLine& p) {
              if (asymLabels)
                put(text, L.asymLine,
                    {p.Jup, p.Kmup, p.Kpup, p.Jlo,      p.Kmlo,  p.Kplo,  "  S",   s,
                     "  V", V,      p.freq, p.strength, p.total, p.statw, p.popul, p.hv,
                     "  B", B,      "  K",  p.Kup,      p.Klo,   "  t",   p.posUp, p.posLo});
              else
                put(text, L.symLine,
                    {p.Jup, " K ", p.Kup,  p.Jlo,      " K ",   p.Klo,   "  S",   s,
                     "  V", V,     p.freq, p.strength, p.total, p.statw, p.popul, p.hv,
                     "  B", B,     "  K",  p.Kup,      p.Klo,   "  t",   p.posUp, p.posLo});
            });
        };
        // a part that met a block it could not read, or levels that do not
        // fit, is made again here, where its messages are written
        if (!parts || !parts->write(out, maxJ, linesOfJ))
          for (int J2 = 0; J2 <= maxJ; ++J2) linesOfJ(cache, out, J2);
        out << '\n';
      }
      out << '\n';
    }
  }
  closeListing(rs);
}

void printGroupedSpectrum(RunState& rs, SweepWork& sw, double mux, double muy, double muz,
                          double temp) {
  std::ostream& out = *rs.io.out;
  const double kT = temp * GHZ_PER_KELVIN;
  const int nsym = rs.species.nsym < DIMSYM ? rs.species.nsym : DIMSYM;
  BlockCache cache;
  std::vector<PredictedLine> table;
  table.reserve(MAXENTRIES);
  std::vector<char> printed;
  printed.reserve(MAXENTRIES);

  const QuantumLayouts L(rs.maxJ);
  for (int B = 1; B <= rs.nB && B <= DIMB; ++B) {
    out << '\n';
    put(out, L.splitHead,
        {"-- B", B, "Freq", "Split", "Linestr.", "total", "stat.w.", "popul.", "hv-ener."});
    cache.forget();
    if (!loadSet(rs, sw, B)) continue;
    const int nvv = sw.blk.nvv, maxJ = sw.blk.maxJ;
    for (int V = 1; V <= nvv; ++V) {
      for (int J2 = 0; J2 <= maxJ; ++J2)
        for (int J1 = J2; J1 <= J2 + 1 && J1 <= maxJ; ++J1) {
          // the lines of every species for this pair of blocks
          table.clear();
          auto store = [&](const PredictedLine& p) {
            if (static_cast<int>(table.size()) >= MAXENTRIES)
              stop("INTALL:error:ino: the " + std::to_string(MAXENTRIES) +
                   " places for the lines of one pair of blocks are full (J = " +
                   std::to_string(J2) + " and " + std::to_string(J1) + ", B = " +
                   std::to_string(B) + "); narrow the window freq_l .. freq_h or raise limit");
            table.push_back(p);
          };
          for (int s = 0; s <= nsym; ++s) {
            // blocks of one species are read in turn, so the cache holds
            // the pair of one species only
            scanPair(rs, sw, cache, J2, J1, s, B, V, mux, muy, muz, kT, store);
            PredictedLine mark;
            mark.S = s;
            mark.endMark = true;
            store(mark);
          }

          // the species-1 line printed last: splittings are given against it
          bool haveRef = false;
          int refUp = 0, refLo = 0;
          double refFreq = 0.0;
          auto print = [&](const PredictedLine& p) {
            const int s = p.S;
            if (s == 0) {
              put(out, L.rigidLine,
                  {p.Jup, p.Kmup, p.Kpup, p.Jlo, p.Kmlo, p.Kplo, "  rigid  ", p.freq, p.strength,
                   p.total, p.statw, p.popul, p.hv, "  K", p.Kup, p.Klo, "  t", p.posUp, p.posLo});
            } else if (s > 1 && haveRef && p.posUp == refUp && p.posLo == refLo) {
              put(out, L.splitLine,
                  {"  S", s, p.freq, (p.freq - refFreq) * 1000.0, p.strength, p.total, p.statw,
                   p.popul, p.hv, "  K", p.Kup, p.Klo, "  t", p.posUp, p.posLo});
            } else {
              put(out, L.topLine,
                  {p.Jup,   p.Kmup, p.Kpup, p.Jlo, p.Kmlo, p.Kplo,     "  S",   s,
                   "  V",   p.V,    "  B",  B,     p.freq, p.strength, p.total, p.statw,
                   p.popul, p.hv,   "  K",  p.Kup, p.Klo,  "  t",      p.posUp, p.posLo});
              if (s == 1) {
                haveRef = true;
                refUp = p.posUp;
                refLo = p.posLo;
                refFreq = p.freq;
              }
            }
          };

          const std::size_t n = table.size();
          printed.assign(n, 0);
          auto printSpecies = [&](int s, const PredictedLine* key) {
            for (std::size_t i = 0; i < n; ++i) {
              const PredictedLine& e = table[i];
              if (e.endMark || e.S != s || printed[i]) continue;
              if (key && (e.l1 != key->l1 || e.l2 != key->l2)) continue;
              print(e);
              printed[i] = 1;
            }
          };
          // the rigid-rotor lines are the keys of the groups
          for (std::size_t i = 0; i < n; ++i) {
            const PredictedLine& key = table[i];
            if (key.endMark) {
              // end of the rigid-rotor lines: all the rest, species by species
              for (int s = 0; s <= nsym; ++s) printSpecies(s, nullptr);
              break;
            }
            for (int s = 0; s <= nsym; ++s) printSpecies(s, &key);
          }
        }
      out << '\n';
    }
  }
  closeListing(rs);
}

} // namespace ruvo
