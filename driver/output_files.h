// Output files beside the listing: catalogue (.cat and .cat.q), SPFIT line
// list, CSV table of levels and the JSON document of the run.  The options
// that ask for them, their checks before anything is computed, and the
// final calculation of every level that the files are made from.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/state.h"
#include "driver/partition_function.h"
#include "report/catalogue.h"

namespace ruvo {

// What the command line asks to be written at the end of the run.
struct OutputRequests {
  std::string catalog, lines, levels, json; // empty: not asked for
  int tag = 0;                              // species tag of the catalogue
  bool tagGiven = false;
  // the catalogue's own cut-offs (its lines do not follow the listing's
  // freq_l, freq_h and limit): frequency window in MHz and the smallest
  // log10 intensity at 300 K (nm^2 MHz); the defaults keep every line that
  // a card can hold
  double catFromMHz = 0.0, catToMHz = CATALOGUE_LARGEST_MHZ;
  double catMinLgint = CATALOGUE_DEFAULT_MIN_LGINT;
  bool catCutGiven = false;
  std::string inputName; // the input file's name as given ("-" or "" for standard input)
  FileIdentity input;    // the input file (when it is a regular file): never written
  bool any() const {
    return !catalog.empty() || !lines.empty() || !levels.empty() || !json.empty();
  }
};

// Consume the option args[index] (with its value, "--catalog FILE" or
// "--catalog=FILE") when it is one of --catalog, --lines, --levels, --json,
// --tag, --cat-from, --cat-to, --cat-lgint; index is advanced past what was used.  Returns true
// when the option was one of these (error is then empty, or says what is wrong); false when it is
// none of them (nothing consumed).
bool parseOutputOption(const std::vector<std::string>& args, std::size_t& index,
                       OutputRequests& req, std::string& error);

// Check that every asked-for file can be written (its directory exists and
// is writable, the path is no directory and not the input file, no two
// outputs share a path).  A FIFO or character device is written into and
// needs to be writable itself; other special files are refused.
// Returns false with the message in `error`.
bool checkOutputRequests(const OutputRequests& req, std::string& error);

// With --catalog: stop when no parameter set has a dipole component (set
// or fitted), since the catalogue could hold no line.
void checkCatalogueDipole(const RunState& rs, const FitState& fs, const OutputRequests& req);

// Write the asked-for files from the final parameters of the run (fs.best)
// and print the partition function into the listing when a catalogue is
// asked for.  A file that cannot be written is reported on standard error
// and counted in rs.problems.
// `early`: rigid-rotor levels for the partition function started before
// the run's calculation (taken when they are of fs.best).
void writeOutputFiles(RunState& rs, FitState& fs, SweepWork& sw, const OutputRequests& req,
                      RigidLevelsAhead* early = nullptr);

// The levels of a run's final parameters and, when asked, its catalogue:
// the lines in the catalogue's window and above its LGINT cut-off (with
// their uncertainties from the fit and their measured marks), what the
// cut-offs left out and the partition function summed to convergence.
struct RunCatalogue {
  std::vector<OutputLevel> levels;
  std::vector<CatalogueLine> lines;
  CatalogueCuts cuts;
  PartitionTable pt; // pt.T, set before the call: one more temperature of Q
};
// Every level of every species and set up to rs.maxJ (with hyperfine
// structure every F) from the final parameters fs.best, and with `cuts` the
// catalogue lines between them, as the output files are made; prints
// nothing and leaves the transitions as they were.
void computeOutputLevels(RunState& rs, FitState& fs, SweepWork& sw, RunCatalogue& result,
                         const CatalogueCuts* cuts, RigidLevelsAhead* early = nullptr);

// Write `text` to `path` through a temporary file in the same directory
// (created exclusively under a unique name) that is renamed into place.
// Returns false with the reason in `error`.
bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error);

} // namespace ruvo
