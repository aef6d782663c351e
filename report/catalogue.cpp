// Catalogue cards, their quantum-number coding and the partition function.
// Energies arrive in GHz and are written in cm^-1, frequencies in MHz.
#include "report/catalogue.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <string_view>

#include "core/fortran_format.h"

namespace ruvo {

std::string catalogueInteger(int value, int w) {
  const int plain = w == 2 ? 100 : 1000; // first value that needs a letter
  if (value < plain && value > -(plain / 10)) return fmtI(value, w);
  const int unit = plain / 10; // 10 for I2, 100 for I3
  std::string digits = fmtI((value < 0 ? -value : value) % unit, w - 1);
  for (char& c : digits)
    if (c == ' ') c = '0';
  if (value > 0) {
    const int letter = value / unit - 10; // 100 -> A
    if (letter < 26) return std::string(1, static_cast<char>('A' + letter)) + digits;
  } else {
    const int letter = -value / unit - 1; // -10 -> a
    if (letter < 26) return std::string(1, static_cast<char>('a' + letter)) + digits;
  }
  return std::string(static_cast<std::size_t>(w), '*');
}

int levelDegeneracy(const OutputLevel& lv) { return lv.F2 >= 0 ? lv.F2 + 1 : 2 * lv.J + 1; }

std::string catalogueQuanta(const OutputLevel& lv, const QuantaCoding& q) {
  std::string s =
      catalogueInteger(lv.J, 2) + catalogueInteger(lv.Ka, 2) + catalogueInteger(lv.Kc, 2);
  if (q.tops) s += catalogueInteger(lv.V - 1, 2) + catalogueInteger(lv.S, 2);
  // a half-integer F is written as F + 1/2
  if (q.hyperfine) s += catalogueInteger((lv.F2 + 1) / 2, 2);
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

double logIntensity(double nuGHz, double strength, double EloCm, double EupCm, double T, double Q) {
  const double I = INTENSITY_FACTOR * nuGHz * 1000.0 * strength *
                   (std::exp(-C2_CM_K * EloCm / T) - std::exp(-C2_CM_K * EupCm / T)) / Q;
  return I > 0.0 ? std::log10(I) : -99.9999;
}

std::string catalogueCard(const CatalogueLine& line, const std::vector<OutputLevel>& levels,
                          const QuantaCoding& q, double Emin, double Q300, int tag) {
  const OutputLevel& up = levels[static_cast<std::size_t>(line.up)];
  const OutputLevel& lo = levels[static_cast<std::size_t>(line.lo)];
  const double Elo = (lo.E - Emin) / GHZ_PER_WAVENUMBER, Eup = (up.E - Emin) / GHZ_PER_WAVENUMBER;
  const double lgint =
      std::max(logIntensity(line.freq, line.strength, Elo, Eup, 300.0, Q300), -99.9999);
  // an uncertainty beyond the field is written as the largest value it holds
  const double err = std::min(line.err * 1000.0, 999.9999);
  std::string card;
  card.reserve(80);
  card += fmtF(line.freq * 1000.0, 13, 4);
  card += fmtF(err, 8, 4);
  card += fmtF(lgint, 8, 4);
  card += fmtI(3, 2);
  card += fmtF(Elo, 10, 4);
  card += catalogueInteger(levelDegeneracy(up), 3);
  card += fmtI(line.measured ? -tag : tag, 7);
  card += fmtI(q.qnfmt(), 4);
  // the quanta of the upper and the lower level, 12 columns each
  const std::size_t upAt = card.size();
  card += catalogueQuanta(up, q);
  card.resize(upAt + 12, ' ');
  card += catalogueQuanta(lo, q);
  card.resize(upAt + 24, ' ');
  card.resize(80, ' ');
  return card;
}

void writeCatalogue(std::ostream& os, std::vector<CatalogueLine>& lines,
                    const std::vector<OutputLevel>& levels, const QuantaCoding& q, int tag,
                    const PartitionTable& pt) {
  const double Emin = pt.Emin;
  const double Q300 = pt.Q[0];
  // frequencies as written (MHz to 4 decimals) decide the order; equal
  // ones are ordered by their quanta
  std::vector<std::string> cards;
  cards.reserve(lines.size());
  for (const CatalogueLine& l : lines)
    cards.push_back(catalogueCard(l, levels, q, Emin, Q300, tag));
  // the key of a card: its frequency field (columns 1-13), then its quanta
  // and what follows them (from column 56)
  auto before = [&](std::size_t a, std::size_t b) {
    const std::string_view x(cards[a]), y(cards[b]);
    const int c = x.substr(0, 13).compare(y.substr(0, 13));
    if (c != 0) return c < 0;
    return x.substr(std::min<std::size_t>(55, x.size())) <
           y.substr(std::min<std::size_t>(55, y.size()));
  };
  std::vector<std::size_t> order(cards.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), before);
  std::string text;
  text.reserve(cards.size() * 81);
  for (std::size_t i : order) {
    text += cards[i];
    text += '\n';
  }
  os << text;
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
double lnFactorial(int n) { return std::lgamma(n + 1.0); }
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
