// Synthetic broadband spectra from a predicted catalogue: the frequencies of
// the lines (MHz) jittered, some lines left out, random distractor peaks
// added, intensities distorted.  The random numbers come from mt19937_64,
// whose sequence the C++ standard fixes, turned into uniform and Gaussian
// deviates here, so that a seed gives the same spectrum everywhere.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "ruvo/search.h"

namespace ruvo {

namespace {

struct Deviates {
  std::mt19937_64 bits;
  explicit Deviates(std::uint64_t seed) : bits(seed) {}
  // uniform in [0, 1) from the top 53 bits
  double uniform() { return static_cast<double>(bits() >> 11) * 0x1.0p-53; }
  // standard normal (Box-Muller)
  double normal() {
    const double u = 1.0 - uniform(), v = uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * v);
  }
};

} // namespace

PeakList syntheticSpectrum(const Catalogue& lines, const SyntheticSpectrumOptions& o) {
  if (!(o.missing >= 0.0 && o.missing <= 1.0) || !(o.distractors >= 0.0) ||
      !(o.intensity_factor >= 1.0) || !(o.jitter_MHz >= 0.0))
    throw Error("ERROR: a synthetic spectrum needs 0 <= missing <= 1, distractors >= 0, "
                "intensity_factor >= 1 and jitter_MHz >= 0");
  Deviates r(o.seed);
  std::vector<std::pair<double, double>> peaks; // (MHz, intensity)
  std::vector<double> real;                     // log10 intensities of the lines kept
  double lo = 0.0, hi = 0.0;
  bool any = false;
  const double spread = std::log10(o.intensity_factor);
  for (const CatalogueEntry& e : lines.entries) {
    if (e.lgint < o.min_lgint) continue;
    lo = any ? std::min(lo, e.freq_MHz) : e.freq_MHz;
    hi = any ? std::max(hi, e.freq_MHz) : e.freq_MHz;
    any = true;
    const double keep = r.uniform(), shift = r.normal(), factor = r.uniform();
    if (keep < o.missing) continue;
    const double lg = e.lgint + spread * (2.0 * factor - 1.0);
    peaks.emplace_back(e.freq_MHz + o.jitter_MHz * shift, std::pow(10.0, lg));
    real.push_back(lg);
  }
  const auto n = static_cast<std::size_t>(std::llround(o.distractors * real.size()));
  for (std::size_t i = 0; i < n && !real.empty(); ++i) {
    const double f = lo + (hi - lo) * r.uniform();
    const double lg =
        real[std::min(real.size() - 1, static_cast<std::size_t>(r.uniform() * real.size()))];
    peaks.emplace_back(f, std::pow(10.0, lg));
  }
  std::sort(peaks.begin(), peaks.end());
  PeakList p;
  for (const auto& [f, I] : peaks) {
    p.freq_MHz.push_back(f);
    p.intensity.push_back(I);
  }
  return p;
}

} // namespace ruvo
