// ruvo as a library: rotational levels, fits and predicted spectra of
// asymmetric tops with up to three internal rotors, without files.
//
// A Model is an input file (its text) together with the parameter and
// control values a caller has set on it.  Every calculation reads the text
// afresh and runs the same sequence as the program `ruvo`: a fit from here
// makes the same cycles and gives the same numbers and the same listing,
// which comes back as a string (or goes to a stream the caller names).
// Nothing is written to standard output, standard error or files unless
// the input asks for it (the controls eval and dfreq, ints bit 16).
//
// Models share no state: several models may be computed at the same time
// on several threads and give the numbers they give one after the other.
// A Model is cheap to copy (the text is shared); changing a parameter of a
// copy leaves the original as it was.
//
// Units are those of the input file and the listing: energies, frequencies
// and frequency-like parameters in GHz, deviations and errors of lines in
// MHz where the name says so, angles in radians, dipole components in D.
//
// Every failure reaches the caller as ruvo::Error with the message the
// program prints and the input line it names; no other exception leaves
// these calls, and none ends the process.
#pragma once

#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace ruvo {

struct RunHooks; // the run sequence's additions (inside the library)

// A run that could not be completed: an input error, a stop, a request for
// the parameter list ("help") or an operator pause that cannot be answered.
class Error : public std::runtime_error {
public:
  Error(const std::string& messages, int line = 0, int status = 1, std::string listing = {});
  // the input line the message names (0 when it names none)
  int line() const { return line_; }
  // the exit status the program gives for the same input
  int status() const { return status_; }
  // what the program writes to standard error ("STOP ..." and the messages
  // before it); what() is the same text without its last line end
  const std::string& messages() const { return messages_; }
  // the listing up to the stop
  const std::string& listing() const { return listing_; }

private:
  int line_ = 0, status_ = 1;
  std::string messages_, listing_;
};

// How a calculation runs.
struct RunOptions {
  int threads = 1;                  // threads that compute the blocks of a sweep
  std::ostream* listing = nullptr;  // the listing as it is written (else in .listing)
  std::ostream* messages = nullptr; // warnings as they are written (else in .messages)
};

// The quantum numbers of one end of a transition as the input names it.
// Ka and Kc come from the asymmetric-top label tau = Ka - Kc + J + 1; where
// the level is named by its signed K (E species) instead, Ka = Kc = -1 and
// K holds it.  v counts the torsional state from 0.  F2 is 2F (-1 without
// hyperfine structure).
struct Quanta {
  int J = 0, Ka = -1, Kc = -1, K = 0, v = 0, species = 0, set = 1, F2 = -1;
};

// One line of the transition list with its calculated frequency.
struct Line {
  int index = 0; // line number in the transition list (1-based)
  Quanta upper, lower;
  double obs_GHz = 0.0;   // measured frequency (0: none)
  double calc_GHz = 0.0;  // calculated frequency (upper - lower level)
  double oc_MHz = 0.0;    // observed minus calculated, as the fit forms it
  double error_MHz = 0.0; // the line's error (0: no data point)
  bool measured = false;  // a data point of the fit
  bool found = false;     // both levels were found
};

// One parameter of one set with its error from the fit (0 without a fit).
struct Parameter {
  std::string name; // as in the input ("BJ", "V1n_1")
  int set = 1;      // B set 1..5
  double value = 0.0, error = 0.0;
  bool fitted = false;
};

// A pure calculation (one cycle without fitting).
struct Calculation {
  std::vector<Line> lines;
  double rms_MHz = 0.0; // rms of observed minus calculated over the data points
  int n_data = 0;       // data points
  std::string listing;  // the listing (empty when RunOptions::listing was given)
  std::string messages; // warnings (empty when RunOptions::messages was given)
  bool clean = true;    // nothing was reported on the messages (exit status 0)
  int status = 0;       // the program's exit status for this run
};

// A fit: the calculation of the final parameters and the fit's statistics.
struct FitResult : Calculation {
  std::vector<Parameter> parameters; // places in use (nonzero or fitted) of every set
  // the fitted combinations: the name of the parameter each stands for (its
  // first term, "(b)" added with several sets), their errors and their
  // correlation matrix (row-major n x n, 1 on the diagonal)
  std::vector<std::string> fit_names;
  std::vector<double> fit_errors, correlations;
  double sd_MHz = 0.0;      // standard deviation of the fit (weighted)
  bool converged = false;   // the fit met its convergence test
  int cycles = 0;           // cycles made
  int independent = 0;      // independent parameters of the last step
  bool interrupted = false; // ended early by an interrupt (Ctrl-C)
};

// One computed level.
struct Level {
  int set = 1, species = 0, v = 0; // B set, species (0 without tops), torsional state from 0
  int J = 0, Ka = 0, Kc = 0, F2 = -1;
  double E_GHz = 0.0; // energy as computed
  double E_cm = 0.0;  // energy above the lowest level, cm^-1
  int degeneracy = 1; // 2J+1, or 2F+1 with hyperfine structure
};

// Every level up to a largest J.
struct Levels {
  std::vector<Level> levels;
  int jmax = 0;
  // rotational partition function sum g exp(-c2 E / T) over these levels
  double partitionFunction(double T) const;
};

// What a catalogue covers.  Negative values keep the input's controls
// (freq_l, freq_h, limit) and the run's largest J.
struct CatalogueOptions {
  // the catalogue's own window (MHz) and cut-off on LGINT, the log10
  // intensity at 300 K (nm^2 MHz), as --cat-from, --cat-to and --cat-lgint:
  // the defaults keep every line of the computed J range that a card holds
  double fmin_MHz = 0.0, fmax_MHz = 99999999.9999;
  double min_lgint = -20.0;
  int jmax = -1;    // largest J of the levels
  double T = 300.0; // temperature of the intensities (K)
  int tag = 0;      // species tag of the cards
  // fit first when the input asks for a fit (nzyk > 1), so that the
  // frequencies carry their uncertainties; false: the parameters as set
  bool fit = true;
};

// One catalogue line (one card).
struct CatalogueEntry {
  double freq_MHz = 0.0, err_MHz = 0.0; // frequency and its 1-sigma uncertainty
  double lgint = 0.0;                   // log10 intensity at T (nm^2 MHz)
  double lgint300 = 0.0;                // the same at 300 K, as on the card
  double strength_D2 = 0.0;             // S mu^2
  double elo_cm = 0.0;                  // lower level above the lowest, cm^-1
  int gup = 1;                          // upper-level degeneracy
  int upper = 0, lower = 0;             // indices into Catalogue::levels
  bool measured = false;                // a data point of the transition list
};

// The catalogue of predicted lines, sorted as the .cat file.
struct Catalogue {
  std::vector<CatalogueEntry> entries;
  std::vector<Level> levels;
  std::string cards;         // the .cat file (80-column cards)
  double T = 300.0, Q = 0.0; // Q(T), summed to convergence in J
  bool Q_converged = true;   // false: the levels of the largest J still add 1e-6 of Q(300 K)
  int Q_lastJ = 0;           // the largest J summed into Q
  std::vector<std::pair<double, double>> partition; // (T, Q) at the catalogue temperatures
  int qnfmt = 0;                                    // quantum-number format of the cards
  std::string listing, messages;
};

// The sections of an input file, for a model made in code.  Controls and
// parameters are (name, value) pairs in the input's names ("nzyk", "BJ",
// "V1n_1", "BJ(2)"); fit variables, species, torsional states and
// transitions are lines in the input's own syntax ("fit BJ",
// "dqu 0.1 1 V1n_1", "/A S 0", "V 0", "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0
// K+lo 0 = 6.699994").  Species and states are written only with tops
// (a control ntop > 0).
struct InputSections {
  std::string title = "model made in code";
  std::vector<std::pair<std::string, double>> controls, parameters;
  std::vector<std::string> fit, species, states, transitions;
  // the input file's text
  std::string text() const;
};

// An input file with the values set on it.
class Model {
public:
  // A model from sections made in code (its text: InputSections::text()).
  static Model build(const InputSections& sections, const std::string& name = "");
  // The input file as text (`name` is what listings and errors call it) or
  // read from a file.  The input is read once here: its errors are thrown.
  static Model parse(const std::string& text, const std::string& name = "");
  static Model read(const std::string& path);

  // Parameter value by its input name ("BJ", "V1n_1"; "BJ(2)" for set 2).
  double get(const std::string& name, int set = 1) const;
  void set(const std::string& name, double value, int set = 1);
  // Controls by keyword ("nzyk", "freq_h"): integer controls are rounded.
  double control(const std::string& name) const;
  void setControl(const std::string& name, double value);
  // The parameter places in use (as the fit lists them), set after set.
  std::vector<Parameter> parameters() const;
  int sets() const;         // B sets in use
  int fitVariables() const; // fit variables of the input

  // One cycle without fitting (nzyk 1).
  Calculation calculate(const RunOptions& options = {}) const;
  // The fit as the input asks for it (or the calculation of nzyk 1).
  FitResult fit(const RunOptions& options = {}) const;
  // Every level of every species and set up to jmax (-1: the largest J of
  // the transitions).
  Levels levels(int jmax = -1, const RunOptions& options = {}) const;
  Catalogue catalogue(const CatalogueOptions& what = {}, const RunOptions& options = {}) const;

  // The same input with the final parameters of a fit set.
  Model withParameters(const FitResult& fit) const;

  const std::string& text() const;
  const std::string& name() const;
  // What set() and setControl() changed, in order: (name, set, value) with
  // set 0 for a control (to rebuild the model elsewhere).
  struct Setting {
    std::string name;
    int set = 0;
    double value = 0.0;
  };
  const std::vector<Setting>& settings() const { return settings_; }

  struct Input; // the text and what its reading found

private:
  friend void runModelWithHooks(const Model&, RunHooks&, const RunOptions&);
  friend Catalogue modelCatalogue(const Model&, const CatalogueOptions&, const RunOptions&,
                                  bool);
  explicit Model(std::shared_ptr<const Input> input) : input_(std::move(input)) {}
  std::shared_ptr<const Input> input_;
  std::vector<Setting> settings_;
};

// ------------------------------------------------------------ interrupts
// The one flag of the process that a console interrupt sets: a fit in
// progress finishes its cycle, makes its final error analysis and returns
// (FitResult::interrupted); a scan leaves its remaining points out.  The
// flag stays set, for every model of the process, until clearInterrupt().
// Safe to call from a signal handler.
void requestInterrupt() noexcept;
void clearInterrupt() noexcept;
bool interruptRequested() noexcept;

// ----------------------------------------------------------------- scans

// Points of a parameter scan: every point gives a value to each named
// parameter ("V1n_1", "rho_1", "BJ(2)").
struct ScanGrid {
  std::vector<std::string> names;
  std::vector<double> points; // row-major: parameter k of point i at i * names.size() + k
  std::size_t size() const { return names.empty() ? 0 : points.size() / names.size(); }
  // Every combination of the axes' values, the first axis slowest.
  static ScanGrid product(const std::vector<std::pair<std::string, std::vector<double>>>& axes);
};

enum class ScanMode { calculate, fit };

// One row per point, in the order of the grid.
struct ScanTable {
  // the grid's names, then (fit) the parameters the model fits
  std::vector<std::string> columns;
  std::vector<double> values;  // row-major: point i, column k at i * columns.size() + k
  std::vector<double> sd_MHz;  // standard deviation of the fit (NaN for a calculation)
  std::vector<double> rms_MHz; // rms of observed minus calculated
  std::vector<int> converged, cycles;
  std::vector<std::string> errors; // "" or the message of a point whose run stopped
  std::size_t size() const { return sd_MHz.size(); }
};

// Evaluate every point of the grid on `threads` threads (0: one per core);
// each point is one run of one thread, so any thread count gives the same
// table.
ScanTable scan(const Model& model, const ScanGrid& grid, ScanMode mode, int threads = 0);

} // namespace ruvo
