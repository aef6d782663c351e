// Assigning an unknown broadband spectrum: the triples search.
//
// From guessed constants the model predicts its spectrum.  Three strong
// predicted lines (the triple) are each given a window of the peak list;
// every combination of one peak in each window gives three frequencies, from
// which a few Newton steps solve the three rotational constants BJ, BK, B-
// (every other parameter of the model held at its guess).  With those
// constants the check lines are predicted and looked up in the peak list:
// a combination scores by the check lines that land on a peak, the rms of
// their deviations and, when asked, how well the peaks' intensities follow
// the predicted ones.  The best combinations are kept, ranked.
//
// With internal rotors the triple is taken among lines of the A species
// (every top's sigma 0) and the check lines include the E partners of the
// triple: the torsional tables are those of the guessed V3, rho vector and
// F, computed once, so that a combination whose A/E doublets are in the peak
// list ranks above one that matches A lines only.
//
// The same inputs give the same ranked list for any number of threads, and
// for any split of the combinations into parts (SearchOptions::first,
// count, or parts and part) merged by mergeSearchHits.
//
// Units: peak and line frequencies, windows and tolerances in MHz; the
// rotational constants in GHz, as in the input; intensities as log10 of the
// catalogue intensity (nm^2 MHz) for predicted lines, and in any linear unit
// for peaks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ruvo/ruvo.h"

namespace ruvo {

// The measured spectrum: peak frequencies (MHz) and intensities (any linear
// unit; <= 0 where unknown).
struct PeakList {
  std::vector<double> freq_MHz, intensity;
  std::size_t size() const { return freq_MHz.size(); }
};

// A transition named by the quanta of its two levels.
struct TransitionName {
  Quanta upper, lower;
};

struct SearchOptions {
  // The triple; empty: chosen among the strongest predicted A lines in the
  // range of the peak list (three of different types where possible, whose
  // frequencies depend on BJ, BK and B- in independent ways).
  std::vector<TransitionName> triple;
  // Half width of the window of each line of the triple (MHz); 0: how far
  // the line moves when each of BJ, BK, B- is off by guess_uncertainty
  // (sum over the three of |d nu / d x| |x| guess_uncertainty).
  std::array<double, 3> window_MHz{0.0, 0.0, 0.0};
  double guess_uncertainty = 0.02;
  // The check lines; empty: the E partners of the triple and the strongest
  // other predicted lines in the range of the peak list, `checks` in all.
  std::vector<TransitionName> check_lines;
  int checks = 10;
  double tolerance_MHz = 0.1; // a check line matches a peak this close
  // weight of the intensity term: the score is the number of matched check
  // lines less weight x the rms (in log10) of the matched peaks' intensity
  // ratios to the predicted ones about their mean (0: intensities unused)
  double intensity_weight = 0.0;
  int keep = 20;           // best combinations kept
  double T = 300.0;        // temperature of the predicted intensities (K)
  int jmax = -1;           // largest J of the predicted lines (-1: the input's)
  double max_change = 0.2; // largest relative change of Bx, By, Bz from the guess
  int threads = 0;         // 0: one per core
  // the part of the combination space searched: combinations first ..
  // first + count - 1 (numbered with the third window's peak fastest)
  std::uint64_t first = 0, count = UINT64_MAX;
  // of those, the share of part `part` (0 .. parts - 1) of `parts`: the
  // range is cut into runs (of up to 4096 combinations, at least eight runs
  // a part) and the part takes the runs part, part + parts, part + 2 parts, ...  Interleaved this
  // way the parts cost about the same, whichever corner of the space holds the costly combinations
  // (more Newton steps, more check lines).
  std::uint64_t parts = 1, part = 0;
  // called on the calling thread now and then with (combinations done, total)
  std::function<void(std::uint64_t, std::uint64_t)> progress;
};

// A predicted line of the search.
struct SearchLine {
  TransitionName name;
  double freq_MHz = 0.0; // at the guessed constants
  double lgint = 0.0;    // log10 intensity at T (nm^2 MHz)
  bool a_species = true; // without tops, or every top's sigma 0
};

// One ranked combination.
struct SearchHit {
  std::uint64_t combination = 0;
  std::array<int, 3> peaks{};          // indices into the peak list, one per triple line
  double BJ = 0.0, BK = 0.0, Bm = 0.0; // GHz
  int matches = 0;                     // check lines on a peak
  double rms_MHz = 0.0;                // rms deviation of the matched check lines
  double intensity_rms = 0.0;          // log10 scatter of the intensity ratios
  double score = 0.0;                  // matches - intensity_weight * intensity_rms
  int iterations = 0;                  // Newton steps
};

struct SearchResult {
  std::vector<SearchLine> triple, checks;
  std::array<std::vector<int>, 3> candidates; // peaks in each window
  std::uint64_t combinations = 0;             // in the whole space
  std::uint64_t searched = 0;                 // in this part, done
  std::uint64_t solved = 0;                   // Newton converged, physical rotor
  bool interrupted = false;                   // the search was interrupted: a part is left out
  std::vector<SearchHit> hits;                // best first
  // for each hit, the peak each check line landed on (-1: none), check
  // after check: matched[h * checks.size() + c]
  std::vector<int> matched;
  double guess_BJ = 0.0, guess_BK = 0.0, guess_Bm = 0.0;
};

// The search.  Failures (a model that predicts no lines, a triple that does
// not fix the three constants, a transition not among the predicted lines)
// are thrown as ruvo::Error.  A console interrupt (requestInterrupt) ends
// it early with the best of what was searched.
SearchResult search(const Model& model, const PeakList& peaks, const SearchOptions& options = {});

// The ranking order: score, then rms, then the combination's number.
bool rankedBefore(const SearchHit& a, const SearchHit& b);
// Merge parts of one search into its ranked list of `keep` hits.
std::vector<SearchHit> mergeSearchHits(const std::vector<std::vector<SearchHit>>& parts, int keep);

// A broadband spectrum made from a prediction, to try a search on: every
// line of `lines` (frequency shifted by a Gaussian of `jitter_MHz`), less a
// share `missing` of them, with `distractors` times as many peaks placed at
// random in the same range; intensities are the predicted ones times a
// factor between 1/intensity_factor and intensity_factor (log-uniform), the
// distractors' drawn from the real lines'.  Sorted by frequency; the same
// seed gives the same list on every machine.
struct SyntheticSpectrumOptions {
  double jitter_MHz = 0.02;
  double missing = 0.4;
  double distractors = 1.0;
  double intensity_factor = 2.0;
  double min_lgint = -99.0; // predicted lines weaker than this are left out
  std::uint64_t seed = 1;
};
PeakList syntheticSpectrum(const Catalogue& lines, const SyntheticSpectrumOptions& options = {});

} // namespace ruvo
