// Catalogue cards, their quantum-number coding and the partition function.
// Energies arrive in GHz and are written in cm^-1, frequencies in MHz.
#include "report/catalogue.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <ostream>
#include <string_view>

#include "core/fortran_format.h"
#include "core/worker_pool.h"

namespace ruvo {

char* putCatalogueInteger(char* p, int value, int w) {
  const long long v = value;
  const long long plain = w == 2 ? 100 : 1000; // first value that needs a letter
  if (v < plain && v > -(plain / 10)) return putI(p, v, w);
  const long long unit = plain / 10; // 10 for I2, 100 for I3
  const long long magnitude = v < 0 ? -v : v;
  const long long letter = v > 0 ? v / unit - 10 : magnitude / unit - 1; // 100 -> A, -10 -> a
  if (letter >= 26) return static_cast<char*>(std::memset(p, '*', static_cast<std::size_t>(w))) + w;
  *p++ = static_cast<char>((v > 0 ? 'A' : 'a') + letter);
  // the units after the letter, w - 1 digits with leading zeros
  const long long rest = magnitude % unit;
  if (w == 3) *p++ = static_cast<char>('0' + rest / 10);
  *p++ = static_cast<char>('0' + rest % 10);
  return p;
}

void appendCatalogueInteger(std::string& out, int value, int w) {
  char buf[8];
  out.append(buf, static_cast<std::size_t>(putCatalogueInteger(buf, value, w) - buf));
}

std::string catalogueInteger(int value, int w) {
  std::string s;
  appendCatalogueInteger(s, value, w);
  return s;
}

int levelDegeneracy(const OutputLevel& lv) { return lv.F2 >= 0 ? lv.F2 + 1 : 2 * lv.J + 1; }

char* putCatalogueQuanta(char* p, const OutputLevel& lv, const QuantaCoding& q) {
  p = putCatalogueInteger(p, lv.J, 2);
  p = putCatalogueInteger(p, lv.Ka, 2);
  p = putCatalogueInteger(p, lv.Kc, 2);
  if (q.tops) {
    p = putCatalogueInteger(p, lv.V - 1, 2);
    p = putCatalogueInteger(p, lv.S, 2);
  }
  // a half-integer F is written as F + 1/2
  if (q.hyperfine) p = putCatalogueInteger(p, (lv.F2 + 1) / 2, 2);
  return p;
}

void appendCatalogueQuanta(std::string& out, const OutputLevel& lv, const QuantaCoding& q) {
  char buf[16];
  out.append(buf, static_cast<std::size_t>(putCatalogueQuanta(buf, lv, q) - buf));
}

std::string catalogueQuanta(const OutputLevel& lv, const QuantaCoding& q) {
  std::string s;
  appendCatalogueQuanta(s, lv, q);
  return s;
}

double lowestEnergy(const std::vector<OutputLevel>& levels) {
  double e = levels.empty() ? 0.0 : levels.front().E;
  for (const OutputLevel& lv : levels) e = std::min(e, lv.E);
  return e;
}

double addLevelsOfOneJ(PartitionTable& pt, const double* E, const int* g, std::size_t n) {
  double added300 = 0.0;
  for (std::size_t l = 0; l < n; ++l)
    for (std::size_t k = 0; k < pt.Q.size(); ++k) {
      // Boltzmann factor of the level, energy in cm^-1 above the lowest level
      const double term = g[l] * std::exp(-C2_CM_K * (E[l] - pt.Emin) / GHZ_PER_WAVENUMBER /
                                          CATALOGUE_TEMPERATURES[k]);
      pt.Q[k] += term;
      if (k == 0) added300 += term;
    }
  double addedT = 0.0;
  for (std::size_t l = 0; l < n; ++l)
    addedT += g[l] * std::exp(-C2_CM_K * (E[l] - pt.Emin) / GHZ_PER_WAVENUMBER / pt.T);
  pt.QT += addedT;
  if (pt.onlyAtT) return pt.QT > 0.0 ? addedT / pt.QT : 1.0;
  return pt.Q[0] > 0.0 ? added300 / pt.Q[0] : 1.0;
}

PartitionTable partitionTable(const std::vector<OutputLevel>& levels, double T, bool onlyAtT) {
  PartitionTable pt;
  pt.T = T;
  pt.onlyAtT = onlyAtT;
  pt.Emin = lowestEnergy(levels);
  int maxJ = 0;
  for (const OutputLevel& lv : levels) maxJ = std::max(maxJ, lv.J);
  std::vector<double> E;
  std::vector<int> g;
  for (int J = 0; J <= maxJ; ++J) {
    E.clear();
    g.clear();
    for (const OutputLevel& lv : levels)
      if (lv.J == J) {
        E.push_back(lv.E);
        g.push_back(levelDegeneracy(lv));
      }
    pt.lastShare = addLevelsOfOneJ(pt, E.data(), g.data(), E.size());
  }
  pt.lastJ = maxJ;
  return pt;
}

double boltzmannFactor(double Ecm, double T) { return std::exp(-C2_CM_K * Ecm / T); }

double logIntensityOfFactors(double nuGHz, double strength, double lowFactor, double upFactor,
                             double Q) {
  const double I = INTENSITY_FACTOR * nuGHz * 1000.0 * strength * (lowFactor - upFactor) / Q;
  return I > 0.0 ? std::log10(I) : -99.9999;
}

std::vector<double> populationsAt300K(const std::vector<OutputLevel>& levels, double Emin) {
  std::vector<double> factor(levels.size());
  for (std::size_t l = 0; l < levels.size(); ++l)
    factor[l] = boltzmannFactor((levels[l].E - Emin) / GHZ_PER_WAVENUMBER, 300.0);
  return factor;
}

double logIntensity(double nuGHz, double strength, double EloCm, double EupCm, double T, double Q) {
  return logIntensityOfFactors(nuGHz, strength, boltzmannFactor(EloCm, T),
                               boltzmannFactor(EupCm, T), Q);
}

namespace {
// The card of a line whose lower level lies Elo (cm^-1) above the lowest
// level and whose log10 intensity at 300 K is lgint.
void putCard(char* card, const CatalogueLine& line, const OutputLevel& up, const OutputLevel& lo,
             double Elo, double lgint, const QuantaCoding& q, int tag) {
  // an uncertainty beyond the field is written as the largest value it holds
  const double err = std::min(line.err * 1000.0, 999.9999);
  char* p = card;
  p = putF(p, line.freq * 1000.0, 13, 4);
  p = putF(p, err, 8, 4);
  p = putF(p, std::max(lgint, -99.9999), 8, 4);
  p = putI(p, 3, 2);
  p = putF(p, Elo, 10, 4);
  p = putCatalogueInteger(p, levelDegeneracy(up), 3);
  p = putI(p, line.measured ? -tag : tag, 7);
  p = putI(p, q.qnfmt(), 4);
  // the quanta of the upper and the lower level, 12 columns each, then
  // blanks to column 80
  std::memset(p, ' ', static_cast<std::size_t>(card + CARD_WIDTH - p));
  putCatalogueQuanta(p, up, q);
  putCatalogueQuanta(p + 12, lo, q);
}
} // namespace

void putCatalogueCard(char* card, const CatalogueLine& line, const std::vector<OutputLevel>& levels,
                      const QuantaCoding& q, double Emin, double Q300, int tag) {
  const OutputLevel& up = levels[static_cast<std::size_t>(line.up)];
  const OutputLevel& lo = levels[static_cast<std::size_t>(line.lo)];
  const double Elo = (lo.E - Emin) / GHZ_PER_WAVENUMBER, Eup = (up.E - Emin) / GHZ_PER_WAVENUMBER;
  putCard(card, line, up, lo, Elo, logIntensity(line.freq, line.strength, Elo, Eup, 300.0, Q300), q,
          tag);
}

std::string catalogueCard(const CatalogueLine& line, const std::vector<OutputLevel>& levels,
                          const QuantaCoding& q, double Emin, double Q300, int tag) {
  std::string card(CARD_WIDTH, ' ');
  putCatalogueCard(card.data(), line, levels, q, Emin, Q300, tag);
  return card;
}

namespace {

// Cards [first, last) of `lines` into `raw`, CARD_WIDTH columns each at the
// card's own place.
struct CardRange {
  const std::vector<CatalogueLine>* lines;
  const std::vector<OutputLevel>* levels;
  const QuantaCoding* q;
  double Emin, Q300;
  int tag;
  const std::vector<double>* factor; // Boltzmann factor at 300 K of each level
  char* raw;
  std::size_t parts;
  std::exception_ptr failed[64];
};

void formatCardRange(void* context, int index) {
  CardRange& c = *static_cast<CardRange*>(context);
  const std::size_t n = c.lines->size();
  const std::size_t first = n * static_cast<std::size_t>(index) / c.parts;
  const std::size_t last = n * (static_cast<std::size_t>(index) + 1) / c.parts;
  try {
    for (std::size_t i = first; i < last; ++i) {
      const CatalogueLine& line = (*c.lines)[i];
      const auto u = static_cast<std::size_t>(line.up), l = static_cast<std::size_t>(line.lo);
      const OutputLevel &up = (*c.levels)[u], &lo = (*c.levels)[l];
      putCard(
          c.raw + i * CARD_WIDTH, line, up, lo, (lo.E - c.Emin) / GHZ_PER_WAVENUMBER,
          logIntensityOfFactors(line.freq, line.strength, (*c.factor)[l], (*c.factor)[u], c.Q300),
          *c.q, c.tag);
    }
  } catch (...) {
    c.failed[index] = std::current_exception();
  }
}

// The frequency field (columns 1-13) of a card as an integer in its last
// printed digit, or -1 when it holds anything but blanks, digits and one
// point: compared as numbers these fields of one width and one number of
// decimals are in the order of their texts.
long long frequencyKey(const char* card) {
  long long key = 0;
  int points = 0;
  for (int i = 0; i < 13; ++i) {
    const char c = card[i];
    if (c >= '0' && c <= '9')
      key = 10 * key + (c - '0');
    else if (c == '.')
      ++points;
    else if (c != ' ' || key != 0 || points != 0)
      return -1;
  }
  return points == 1 ? key : -1;
}

} // namespace

std::string catalogueCards(const std::vector<CatalogueLine>& lines,
                           const std::vector<OutputLevel>& levels, const QuantaCoding& q, int tag,
                           const PartitionTable& pt, WorkerPool* pool,
                           std::vector<std::size_t>* cardOrder) {
  const std::size_t n = lines.size();
  // the populations of the levels at 300 K, for the intensities
  const std::vector<double> factor = populationsAt300K(levels, pt.Emin);
  std::string raw(n * CARD_WIDTH, ' ');
  CardRange range{&lines, &levels, &q, pt.Emin, pt.Q[0], tag, &factor, raw.data(), 1, {}};
  const int threads = pool && n >= 4096 ? std::min(pool->size(), 64) : 1;
  range.parts = static_cast<std::size_t>(threads);
  if (threads > 1)
    pool->run(threads, &formatCardRange, &range);
  else
    formatCardRange(&range, 0);
  for (int i = 0; i < threads; ++i)
    if (range.failed[i]) std::rethrow_exception(range.failed[i]);
  // frequencies as written (MHz to 4 decimals) decide the order; equal
  // ones are ordered by their quanta and what follows them (from column 56).
  // The key travels with its card's index, so that the sort reads the cards
  // themselves only for equal frequencies.
  struct Keyed {
    long long key;
    std::size_t card;
  };
  std::vector<Keyed> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = {frequencyKey(raw.data() + i * CARD_WIDTH), i};
  auto before = [&](const Keyed& a, const Keyed& b) {
    if (a.key >= 0 && b.key >= 0 && a.key != b.key) return a.key < b.key;
    const char* x = raw.data() + a.card * CARD_WIDTH;
    const char* y = raw.data() + b.card * CARD_WIDTH;
    if (a.key < 0 || b.key < 0)
      if (const int c = std::memcmp(x, y, 13); c != 0) return c < 0;
    return std::memcmp(x + 55, y + 55, CARD_WIDTH - 55) < 0;
  };
  std::stable_sort(order.begin(), order.end(), before);
  std::string text(n * (CARD_WIDTH + 1), '\n');
  for (std::size_t k = 0; k < n; ++k)
    std::memcpy(text.data() + k * (CARD_WIDTH + 1), raw.data() + order[k].card * CARD_WIDTH,
                CARD_WIDTH);
  if (cardOrder) {
    cardOrder->resize(n);
    for (std::size_t k = 0; k < n; ++k) (*cardOrder)[k] = order[k].card;
  }
  return text;
}

namespace {
void partitionLine(char* buf, std::size_t n, double T, double Q) {
  std::snprintf(buf, n, "%9.3f %14.6E %10.4f", T, Q, std::log10(Q));
}
} // namespace

void printPartitionFunction(std::ostream& listing, const PartitionTable& pt, int maxJ) {
  listing << "\n Partition function of the computed levels (J <= " << pt.lastJ << ")\n";
  if (pt.lastJ > maxJ)
    listing << " (levels of J = " << maxJ + 1 << " .. " << pt.lastJ
            << ": energies only, for the partition function)\n";
  if (pt.torsionalCut > 0.0) {
    char cut[32];
    std::snprintf(cut, sizeof cut, "%.1f", pt.torsionalCut);
    listing << " (torsional states of the model and " << pt.excitedStates << " excited ones below "
            << cut << " cm-1: energies only, for the partition function)\n";
  }
  listing << "      T/K              Q    log10 Q\n";
  char buf[64];
  for (std::size_t k = 0; k < pt.Q.size(); ++k) {
    partitionLine(buf, sizeof buf, CATALOGUE_TEMPERATURES[k], pt.Q[k]);
    listing << ' ' << buf << '\n';
  }
}

void writePartitionFunction(std::ostream& os, const PartitionTable& pt) {
  char buf[64];
  for (std::size_t k = 0; k < pt.Q.size(); ++k) {
    partitionLine(buf, sizeof buf, CATALOGUE_TEMPERATURES[k], pt.Q[k]);
    os << buf << '\n';
  }
}

namespace {
// ln n! for the 6j sums (n up to a few hundred)
// (lgamma_r: lgamma itself sets the global signgam, a race between the
// threads that scan pairs of levels)
double lnFactorial(int n) {
  int sign = 0;
  return ::lgamma_r(n + 1.0, &sign);
}
// ln of the triangle coefficient Delta(a b c), arguments doubled
bool triangle(int a, int b, int c, double& lnDelta) {
  if ((a + b + c) % 2 != 0 || a + b < c || a + c < b || b + c < a) return false;
  lnDelta = 0.5 * (lnFactorial((a + b - c) / 2) + lnFactorial((a - b + c) / 2) +
                   lnFactorial((-a + b + c) / 2) - lnFactorial((a + b + c) / 2 + 1));
  return true;
}
} // namespace

double wigner6j(int j1, int j2, int j3, int j4, int j5, int j6) {
  double d1, d2, d3, d4;
  if (!triangle(j1, j2, j3, d1) || !triangle(j1, j5, j6, d2) || !triangle(j4, j2, j6, d3) ||
      !triangle(j4, j5, j3, d4))
    return 0.0;
  // Racah's sum over t, in undoubled integers
  const int a1 = (j1 + j2 + j3) / 2, a2 = (j1 + j5 + j6) / 2, a3 = (j4 + j2 + j6) / 2,
            a4 = (j4 + j5 + j3) / 2;
  const int b1 = (j1 + j2 + j4 + j5) / 2, b2 = (j2 + j3 + j5 + j6) / 2,
            b3 = (j3 + j1 + j6 + j4) / 2;
  const int tmin = std::max({a1, a2, a3, a4}), tmax = std::min({b1, b2, b3});
  double sum = 0.0;
  for (int t = tmin; t <= tmax; ++t) {
    const double ln = lnFactorial(t + 1) - lnFactorial(t - a1) - lnFactorial(t - a2) -
                      lnFactorial(t - a3) - lnFactorial(t - a4) - lnFactorial(b1 - t) -
                      lnFactorial(b2 - t) - lnFactorial(b3 - t);
    sum += (t % 2 == 0 ? 1.0 : -1.0) * std::exp(ln + d1 + d2 + d3 + d4);
  }
  return sum;
}

double hyperfineShare(int J2up, int F2up, int J2lo, int F2lo, int I2) {
  const double w = wigner6j(J2lo, F2lo, I2, F2up, J2up, 2);
  return (F2lo + 1.0) * (F2up + 1.0) * w * w;
}

} // namespace ruvo
