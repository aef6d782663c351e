// Catalogue of predicted lines in the fixed-column card layout of the JPL and
// CDMS catalogues, the rotational partition function over the computed
// levels, and the quantum-number coding of the cards.
//
// Units: level energies are held in GHz (as everywhere in ruvo) and written
// in cm^-1; frequencies are written in MHz; line strengths S mu^2 in D^2;
// intensities in nm^2 MHz.
#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace ruvo {

class WorkerPool;

// One computed level, as the output files list it.
struct OutputLevel {
  int B = 1; // parameter set
  int S = 0; // species (line of the species section; 0 without tops)
  int V = 1; // torsional product state of the set (1-based label)
  int J = 0, Ka = 0, Kc = 0;
  int F2 = -1;    // 2F; -1 without hyperfine structure
  int pos = 0;    // position of the level in its block (ascending energy)
  double E = 0.0; // energy, GHz, as computed (not shifted)
};

// The largest frequency an F13.4 field holds (MHz), and the default
// smallest log10 intensity of a catalogue line: far below any line an
// observation can see, it leaves out only strengths that are zero to
// rounding.
inline constexpr double CATALOGUE_LARGEST_MHZ = 99999999.9999;
inline constexpr double CATALOGUE_DEFAULT_MIN_LGINT = -20.0;
// The catalogue's cut-offs and what each left out.
struct CatalogueCuts {
  double fromGHz = 0.0, toGHz = CATALOGUE_LARGEST_MHZ / 1000.0; // frequency window
  double minLgint = CATALOGUE_DEFAULT_MIN_LGINT; // log10 intensity at 300 K, nm^2 MHz
  long belowLgint = 0, zeroFrequency = 0;        // lines left out
  long outsideWindow = 0;        // pairs of levels left out (their strength is not computed)
  bool partitionOnlyAtT = false; // Q converged at the caller's temperature alone
};

// One catalogue line between two levels of `levels`.
struct CatalogueLine {
  int up = 0, lo = 0;    // indices into the level list
  double freq = 0.0;     // GHz
  double strength = 0.0; // S mu^2, D^2 (summed over M)
  double err = 0.0;      // 1-sigma uncertainty of freq, GHz (0 when unknown)
  bool measured = false; // the line is a data point of the transition list
};

// How the levels are coded on the cards: N Ka Kc, with tops the torsional
// state (V - 1) and the species number, with hyperfine structure F last.
struct QuantaCoding {
  bool tops = false;
  bool hyperfine = false;
  bool halfIntegerF = false; // odd 2I: F is half-integer
  int count() const { return 3 + (tops ? 2 : 0) + (hyperfine ? 1 : 0); }
  int qnfmt() const { return 300 + (halfIntegerF ? 10 : 0) + count(); }
};

// Physical constants of the catalogue intensities.
inline constexpr double GHZ_PER_WAVENUMBER = 29.9792458; // 1 cm^-1 in GHz
inline constexpr double C2_CM_K = 1.43878;               // second radiation constant hc/k, cm K
inline constexpr double INTENSITY_FACTOR = 4.16231e-5;   // nm^2 MHz per (MHz D^2)
// The seven temperatures (K) at which catalogues list the partition function.
inline constexpr double CATALOGUE_TEMPERATURES[7] = {300.0, 225.0, 150.0, 75.0, 37.5, 18.75, 9.375};

// An integer in w = 2 or 3 columns with the catalogue letter coding of
// values that do not fit: I2 100..359 -> A0..Z9, -10..-269 -> a0..z9; I3
// 1000..3599 -> A00..Z99.  Values beyond the coding are written as '*'.
std::string catalogueInteger(int value, int w);
void appendCatalogueInteger(std::string& out, int value, int w);
char* putCatalogueInteger(char* p, int value, int w); // returns the end

// Degeneracy of a level: 2J+1, or 2F+1 with hyperfine structure.
int levelDegeneracy(const OutputLevel& lv);

// The quanta of a level on a card (count() fields of I2).
std::string catalogueQuanta(const OutputLevel& lv, const QuantaCoding& q);
void appendCatalogueQuanta(std::string& out, const OutputLevel& lv, const QuantaCoding& q);
char* putCatalogueQuanta(char* p, const OutputLevel& lv, const QuantaCoding& q);

// Partition function Q(T) = sum of g exp(-c2 E / T) over the levels, E in
// cm^-1 above the lowest level, at the seven catalogue temperatures.
// Summed J by J up to lastJ: the levels of the output files and, above their
// J range, levels computed for it alone (energies only), until a J adds less
// than PARTITION_STEP of Q(300 K): what is left out then is below about
// 1e-6 of Q.  Not converged when the levels of lastJ add
// PARTITION_CONVERGENCE of Q(300 K) or more.
inline constexpr double PARTITION_STEP = 1e-8;
inline constexpr double PARTITION_CONVERGENCE = 1e-6;
struct PartitionTable {
  std::array<double, 7> Q{};  // at CATALOGUE_TEMPERATURES
  double Emin = 0.0;          // GHz, the lowest level
  int lastJ = 0;              // largest J summed
  double lastShare = 1.0;     // share of Q(300 K) of the levels of lastJ
  double T = 300.0, QT = 0.0; // Q at one more temperature a caller asks for (K)
  // with tops: the excited torsional states added (over all sets), the
  // energy below which they are taken (cm^-1 above the torsional ground
  // state; 0 without tops), and the share of Q(300 K) of the highest
  // state a free-rotor basis holds when its states end below that energy
  int excitedStates = 0;
  double torsionalCut = 0.0;
  double edgeShare = 0.0;
  // Q converged at T alone, for a caller that reads intensities at T only
  // (the triples search): the sums stop when a J adds less than
  // PARTITION_STEP of Q(T), the excited torsional states are taken below
  // 10 kT at T, and the shares and Q at the catalogue temperatures above T
  // are partial
  bool onlyAtT = false;
  bool converged() const {
    return lastShare < PARTITION_CONVERGENCE && edgeShare < PARTITION_CONVERGENCE;
  }
};
double lowestEnergy(const std::vector<OutputLevel>& levels); // GHz
// Add the levels of one J (energies GHz, degeneracy g each) to the table;
// returns their share at 300 K (with onlyAtT, at T).
double addLevelsOfOneJ(PartitionTable& pt, const double* E, const int* g, std::size_t n);
// The table of the output levels alone, J by J.
PartitionTable partitionTable(const std::vector<OutputLevel>& levels, double T = 300.0,
                              bool onlyAtT = false);

// log10 of the integrated intensity (nm^2 MHz) at temperature T of a line of
// frequency nu (GHz) and strength S mu^2 (D^2) between levels with energies
// Elo, Eup (cm^-1 above the lowest level), with partition function Q.
double logIntensity(double nuGHz, double strength, double EloCm, double EupCm, double T, double Q);
// The same from the Boltzmann factors exp(-c2 E / T) of the two levels.
double boltzmannFactor(double Ecm, double T);
double logIntensityOfFactors(double nuGHz, double strength, double lowFactor, double upFactor,
                             double Q);
// The Boltzmann factor at 300 K of each level, its energy taken above Emin
// (GHz), in the order of `levels`.
std::vector<double> populationsAt300K(const std::vector<OutputLevel>& levels, double Emin);

// One 80-column card, and the same written at `card`.
inline constexpr std::size_t CARD_WIDTH = 80;
std::string catalogueCard(const CatalogueLine& line, const std::vector<OutputLevel>& levels,
                          const QuantaCoding& q, double Emin, double Q300, int tag);
// (exactly CARD_WIDTH columns at `card`)
void putCatalogueCard(char* card, const CatalogueLine& line, const std::vector<OutputLevel>& levels,
                      const QuantaCoding& q, double Emin, double Q300, int tag);

// The cards of `lines` with the partition function of `pt`, sorted by their
// frequency as written (ties: by the quanta and what follows them), each
// ending in a newline; with `pool` (and many lines) formatted on its
// threads, the same text.  `cardOrder`: the index into `lines` of each card.
std::string catalogueCards(const std::vector<CatalogueLine>& lines,
                           const std::vector<OutputLevel>& levels, const QuantaCoding& q, int tag,
                           const PartitionTable& pt, WorkerPool* pool = nullptr,
                           std::vector<std::size_t>* cardOrder = nullptr);

// The partition function at the seven catalogue temperatures: in the
// listing ("(A,F9.3,A,1PE14.6,A,0PF10.4)" per temperature) and as the
// comment-free file of temperature, Q and log10 Q.
void printPartitionFunction(std::ostream& listing, const PartitionTable& pt, int maxJ);
void writePartitionFunction(std::ostream& os, const PartitionTable& pt);

// Wigner 6j symbol {j1 j2 j3; j4 j5 j6} of angular momenta given doubled
// (2j), by Racah's formula; 0 when a triangle condition fails.
double wigner6j(int j1, int j2, int j3, int j4, int j5, int j6);

// Share of a rotational line strength J' -> J that goes into the hyperfine
// component F' -> F of a nucleus of spin I (all doubled):
// (2F+1)(2F'+1) {J F I; F' J' 1}^2.  Summed over F and F' it gives 2I+1.
double hyperfineShare(int J2up, int F2up, int J2lo, int F2lo, int I2);

} // namespace ruvo
