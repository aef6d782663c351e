// The parameter sections of the input file: title, controls, parameters,
// fit variables, symmetry species and torsional states; the transition
// list follows (transition_input.cpp).
#include "input/parameter_input.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include "core/fortran_format.h"
#include "core/scratch_dir.h"
#include "core/stop.h"
#include "fit/adjust.h"
#include "fit/least_squares.h"
#include "input/parameter_print.h"
#include "input/reader.h"
#include "input/tables.h"
#include "input/transition_input.h"

namespace ruvo {

namespace {

// An input number as an integer, truncated toward zero; values beyond the
// range of int are held at its ends (and NaN reads as 0).
// The largest fold of a top potential accepted (sixfold and twelvefold
// barriers occur; anything far beyond has no meaning).
constexpr int MAX_NFOLD = 12;
// The smallest error of a frequency, GHz (1 mHz).
constexpr double MIN_ERR_GHZ = 1.0e-12;
// Dipole components (Debye) from here on are refused: the largest of real
// molecules are some tens of Debye.
constexpr double MAX_DIPOLE_DEBYE = 1000.0;

int truncInt(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483647.0) return INT_MAX;
  if (x <= -2147483648.0) return INT_MIN;
  return static_cast<int>(x);
}

std::string shortNumber(double x) {
  std::ostringstream os;
  os << x;
  return os.str();
}

std::string padded(const std::string& s, std::size_t w) {
  return s.size() >= w ? s : s + std::string(w - s.size(), ' ');
}

std::string trimmed(const std::string& s) {
  std::size_t e = s.find_last_not_of(' ');
  return e == std::string::npos ? std::string() : s.substr(0, e + 1);
}

// ------------------------------------------------------------ title
// Echo the title lines; the word help lists the parameter names and the
// limits instead of running.  Returns false for help.
bool readTitle(RunState& rs, Reader& rd) {
  std::ostream& out = *rs.io.out;
  while (rd.nextLine() > 0) {
    const int mark = rd.scanPosition();
    std::ostringstream echo;
    rd.echoRestOfLine(echo);
    out << echo.str();
    // the title kept for the output files: its lines without the leading blank
    std::string text = echo.str();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!text.empty() && text.front() == ' ') text.erase(0, 1);
    if (!rs.title.empty()) rs.title += '\n';
    rs.title += text;
    rd.setScanPosition(mark);
    std::string first;
    if (!rd.readWord(first)) continue;
    first = trimmed(first);
    if (first == "help" || first == "Help" || first == "HELP") {
      put(out, "(A)", {" possible parameters:"});
      for (int p = 1; p <= NPAR; ++p) put(out, "(X,A)", {padded(kParamNames[p], PARNAME_WIDTH)});
      put(out, "(/,A,I3)", {" DIMTOP ", DIMTOP});
      put(out, "(A,I3)", {" DIMJ   ", DIMJ});
      put(out, "(/,A)",
          {" See \"man ruvo\" and the user guide (share/doc/ruvo/user-guide.md)"
           " for more information"});
      return false;
    }
  }
  return true;
}

// A name given a second time within a section is an input error, unless
// the second time names a set range after a value for all sets ("BJ 3.1"
// and then "BJ(2) 3.2": the sets differ in BJ).  Mostly it is a decimal
// comma ("BJ 3,36" reads as BJ 3 and, as the number without a keyword
// fills the names from the first on, as BJ 36) or a line given twice.
// Each is reported once with both input lines; the run stops after the
// section.
void stopOnRepeatedNames(RunState& rs, Reader& rd, const NameTable& table, const char* section,
                         int problemsBefore) {
  std::set<std::tuple<int, long, long>> reported;
  int count = 0;
  for (const Reader::Repeat& r : rd.repeats()) {
    if (!r.firstRanged && r.ranged) continue;
    if (!reported.insert({r.name, r.firstLine, r.line}).second) continue;
    *rs.io.err << "Input error: " << trimmed(table.names[r.name]) << " given twice in the "
               << section << " section, at input line " << r.firstLine << " and at input line "
               << r.line;
    if (r.firstLine == r.line)
      *rs.io.err << " (a decimal comma? \"3,36\" reads as the two numbers 3 and 36)";
    *rs.io.err << '\n';
    ++count;
  }
  rd.stopRecordingRepeats();
  // unknown keywords as well: the lines of another section were read here
  if (count > 0 && rd.problems() > problemsBefore)
    *rs.io.err << "Hint: the sections may be shifted; every section ends at an empty line: is the"
                  " empty line after the title or after the controls missing?\n";
  if (count > 0)
    stop("ERROR: " + std::string(count == 1 ? "a name" : std::to_string(count) + " names") +
         " given twice in the " + section + " section (see above)");
}

// ---------------------------------------------------------- controls
// Controls that would make the run meaningless: no calculation at all, and
// for a fit a convergence test met by any two cycles, a cut-off that drops
// every direction of the step, a damping beyond the limit that ends the fit
// before its first step.  Each stops with the input line that gave it.
void checkFitControls(const Controls& c, const RunState& rs) {
  auto where = [&](const char* name) {
    for (std::size_t k = 1; k < kControlNames.size(); ++k)
      if (trimmed(kControlNames[k]) == name && rs.controlInputLine[k] > 0)
        return " at input line " + std::to_string(rs.controlInputLine[k]);
    return std::string();
  };
  // a predicted spectrum sets nzyk to 1 itself
  if (intensityMode(c.ints) > 1) return;
  if (c.nzyk < 1)
    stop("ERROR: nzyk " + std::to_string(c.nzyk) + where("nzyk") +
         " computes nothing: nzyk 1 calculates the spectrum, nzyk 2 or more fits");
  if (c.nzyk == 1) return; // the controls below matter only to a fit
  if (!(c.convg > 0.0))
    stop("ERROR: convg " + shortNumber(c.convg) + where("convg") +
         " would end every fit after two cycles as converged: convg lies between 0 and 1"
         " (0.999 by default)");
  if (!(c.eps >= 0.0 && c.eps < 1.0))
    stop("ERROR: eps " + shortNumber(c.eps) + where("eps") +
         ": the cut-off of the fit's eigenvalues is at least 0 and below 1 (1e-12 by default)");
  if (!(c.lambda >= 0.0 && c.lambda <= LAMBDA_LIMIT))
    stop("ERROR: lambda " + shortNumber(c.lambda) + where("lambda") +
         ": the starting damping lies in 0 .. 1000 (a fit ends when it grows beyond 1000;"
         " 1e-5 by default)");
}

void readControls(RunState& rs, Reader& rd) {
  constexpr int NC = NINTCTL + NREALCTL + NKEPTCTL;
  double value[NC] = {};
  int given[NC] = {};
  const NameTable table{&kControlNames[1], NC, CONTROL_WIDTH};
  rd.recordRepeats(NC, 1);
  const int problemsBefore = rd.problems();
  rs.controlInputLine.fill(0);
  while (rd.nextLine() > 0) {
    rd.readKeywordValues(table, value, given);
    for (int k = 0; k < NC; ++k)
      if (given[k] > 0 && rs.controlInputLine[static_cast<std::size_t>(k + 1)] == 0)
        rs.controlInputLine[static_cast<std::size_t>(k + 1)] = rd.lineNumber();
  }
  stopOnRepeatedNames(rs, rd, table, "control", problemsBefore);

  Controls c; // the defaults
  int* ints[NINTCTL] = {&c.nzyk,   &c.print,  &c.eval,  &c.dfreq,  &c.orger,  &c.ints,  &c.maxm,
                        &c.woods,  &c.ndata,  &c.nfold, &c.spin,   &c.ntop,   &c.adjf,  &c.maxvm,
                        &c.aprint, &c.xprint, &c.ncycl, &c.svderr, &c.fitscl, &c.reduct};
  double* reals[NREALCTL] = {&c.rofit,  &c.eps,    &c.defer,  &c.weigf, &c.convg,
                             &c.lambda, &c.freq_l, &c.freq_h, &c.limit, &c.temp};
  for (int k = 0; k < NINTCTL; ++k) {
    if (given[k] <= 0) continue;
    // an integer control holds 32 bits; a larger value would be cut silently
    if (std::fabs(value[k]) >= 2147483648.0)
      stop("ERROR: " + trimmed(kControlNames[k + 1]) + " out of range: " + shortNumber(value[k]) +
           " (input line " + std::to_string(rs.controlInputLine[static_cast<std::size_t>(k + 1)]) +
           ")");
    *ints[k] = truncInt(value[k]);
  }
  for (int k = 0; k < NREALCTL; ++k)
    if (given[NINTCTL + k] > 0) *reals[k] = value[NINTCTL + k];
  // vkeep (an integer) and vtol (kHz)
  const int kKeep = NINTCTL + NREALCTL, kTol = kKeep + 1;
  if (given[kKeep] > 0) {
    if (std::fabs(value[kKeep]) >= 2147483648.0)
      stop("ERROR: vkeep out of range: " + shortNumber(value[kKeep]));
    c.vkeep = truncInt(value[kKeep]);
  }
  if (given[kTol] > 0) c.vtol = value[kTol];

  // the print level selects listing bits
  const int p = c.print;
  using namespace aprintbit;
  if (p == 1) c.aprint = withBits(c.aprint, PARAMETERS_FITTED);
  if (p == 2) {
    c.aprint = withBits(c.aprint, TRANSITIONS_SELECTED_CYCLES | PARAMETERS_FITTED); // 17
    c.xprint = withBits(c.xprint, xprintbit::AFTER_LOWER_DEVIATION);
  }
  if (p >= 3) {
    c.xprint = withBits(c.xprint, xprintbit::AFTER_LOWER_DEVIATION);
    // print 3, 4, 5, 6: aprint 9, 10, 26, 274
    static const int extra[4] = {
        TRANSITIONS_FIRST_CYCLE | PARAMETERS_FITTED,
        TRANSITIONS_FIRST_CYCLE | PARAMETERS_FITTED_OR_DERIVED,
        TRANSITIONS_SELECTED_CYCLES | TRANSITIONS_FIRST_CYCLE | PARAMETERS_FITTED_OR_DERIVED,
        LATEX_TABLE | TRANSITIONS_SELECTED_CYCLES | PARAMETERS_FITTED_OR_DERIVED};
    if (p <= 6) c.aprint = withBits(c.aprint, extra[p - 3]);
  }
  if (c.ncycl > c.nzyk) c.nzyk = c.ncycl;
  checkFitControls(c, rs);
  rs.ctl = c;

  // echo: integers four to a line, reals three to a line
  std::ostream& out = *rs.io.out;
  int onLine = 0;
  for (int k = 0; k < NINTCTL; ++k) {
    const std::string& name = kControlNames[k + 1];
    if (name[0] == '_') continue;
    put(out, "(3X,A,3X,I5,$)", {padded(name, CONTROL_WIDTH), *ints[k]});
    if (++onLine == 4) {
      out << '\n';
      onLine = 0;
    }
  }
  if (onLine > 0) out << '\n';
  onLine = 0;
  for (int k = 0; k < NREALCTL; ++k) {
    const std::string& name = kControlNames[NINTCTL + k + 1];
    if (name[0] == '_') continue;
    put(out, "(3X,A,3X,D12.7,$)", {padded(name, CONTROL_WIDTH), *reals[k]});
    if (++onLine == 3) {
      out << '\n';
      onLine = 0;
    }
  }
  if (onLine > 0) out << '\n';
  // the controls of the kept torsional states, when given
  if (given[kKeep] > 0 || given[kTol] > 0) {
    put(out, "(3X,A,3X,I5,$)", {padded(kControlNames[kKeep + 1], CONTROL_WIDTH), c.vkeep});
    put(out, "(3X,A,3X,D12.7)", {padded(kControlNames[kTol + 1], CONTROL_WIDTH), c.vtol});
  }
}

// ---------------------------------------------------- checks and files
// " (input line L)" for a control that the input gave, so that a message
// about its value leads to the line.
std::string controlGivenAt(const RunState& rs, const char* name) {
  for (std::size_t k = 1; k < kControlNames.size(); ++k)
    if (trimmed(kControlNames[k]) == name && rs.controlInputLine[k] > 0)
      return " (input line " + std::to_string(rs.controlInputLine[k]) + ")";
  return "";
}

void checkControls(RunState& rs) {
  std::ostream& out = *rs.io.out;
  Controls& c = rs.ctl;
  if (c.ntop == 3 && hasBit(c.adjf, adjfbit::UNCOUPLED_TOPS))
    putFree(out, {" I recommend to set adj to 4 for a three top molecule!"});
  if (c.ntop > DIMTOP) stop("ERROR: ntop > DIMTOP" + controlGivenAt(rs, "ntop"));
  // a negative number of tops would size every per-top loop below zero
  if (c.ntop < 0) stop("ERROR: ntop < 0" + controlGivenAt(rs, "ntop"));
  if (2LL * c.maxm + 1 > DIMM) stop("ERROR: 2maxm+1 > DIMM" + controlGivenAt(rs, "maxm"));
  // the free-rotor basis -maxm..maxm needs at least the state m = 0
  if (c.ntop > 0 && c.maxm < 0) stop("ERROR: maxm < 0" + controlGivenAt(rs, "maxm"));
  // the transition list holds at most 100000 lines
  if (c.ndata > DIMDATA) stop("ERROR: ndata > 100000" + controlGivenAt(rs, "ndata"));
  // values that have no meaning: they would overflow the free-rotor labels
  // m = sigma + nfold*k, select no spectrum or reduction, or give
  // Boltzmann factors and weights that are not numbers
  if (c.nfold < 1 || c.nfold > MAX_NFOLD)
    stop("ERROR: nfold must lie in 1 .. 12" + controlGivenAt(rs, "nfold"));
  if (c.ints < 0 || intensityMode(c.ints) > 3 ||
      (c.ints & ~(intsbit::MODE | intsbit::KEEP_SCRATCH_FILES)) != 0)
    stop("ERROR: ints must be 0, 1, 2 or 3, plus 16 to keep the scratch files" +
         controlGivenAt(rs, "ints"));
  if (c.reduct < 0 || c.reduct > 2)
    stop("ERROR: reduct must be 0 (Watson A), 1 (Watson S) or 2 (van Eijck-Typke)" +
         controlGivenAt(rs, "reduct"));
  if (c.spin < 0) stop("ERROR: spin (twice the nuclear spin) < 0" + controlGivenAt(rs, "spin"));
  // kept torsional states: states 1..vkeep of each top, or -1 (converged)
  if (c.vkeep < -1)
    stop("ERROR: vkeep must be -1 (converge), 0 or a number of states" +
         controlGivenAt(rs, "vkeep"));
  if (c.vkeep > 2 * c.maxm && c.ntop >= 1)
    stop("ERROR: vkeep > 2maxm: a top keeps fewer states than its basis 2maxm+1 holds" +
         controlGivenAt(rs, "vkeep"));
  if (!(c.vtol > 0.0)) stop("ERROR: vtol (kHz) must be positive" + controlGivenAt(rs, "vtol"));
  if (c.vkeep != 0 && c.ntop == 0) {
    *rs.io.err << "vkeep " << c.vkeep << " ignored: the molecule has no internal top"
               << controlGivenAt(rs, "vkeep") << '\n';
    ++rs.problems;
    c.vkeep = 0;
  }
  if (!(c.temp >= 0.0)) stop("ERROR: temp < 0 K" + controlGivenAt(rs, "temp"));
  if (!(c.limit >= 0.0)) stop("ERROR: limit < 0" + controlGivenAt(rs, "limit"));
  if (!(c.defer >= MIN_ERR_GHZ)) stop("ERROR: defer below 1e-12 GHz" + controlGivenAt(rs, "defer"));
  if (c.eval != 0) {
    put(out, "(A)", {"\\\\ writing eigenvalues in file eval.out"});
    if (rs.io.evalFile.is_open()) rs.io.evalFile.close();
    if (isSameFile("eval.out", rs.io.inputFile))
      stop("ERROR: eval.out is the input file; rename the input file (eval 1 writes eval.out)");
    if (!openOwnFile(rs.io.evalFile, "eval.out")) stop("ERROR: can not open eval.out");
  }
  if (c.dfreq != 0) {
    put(out, "(A,A)", {"\\\\ writing deviation of frequencies in", " file dfreq.out"});
    if (rs.io.dfreqFile.is_open()) rs.io.dfreqFile.close();
    if (isSameFile("dfreq.out", rs.io.inputFile))
      stop("ERROR: dfreq.out is the input file; rename the input file (dfreq 1 writes dfreq.out)");
    if (!openOwnFile(rs.io.dfreqFile, "dfreq.out")) stop("ERROR: can not open dfreq.out");
  }
  if (c.reduct == 1) putFree(out, {"Using Watson S Reduction "});
  if (c.reduct == 2) putFree(out, {"Using van Eijck-Typke Reduction "});
  if (c.reduct == 0) putFree(out, {"Using Watson A Reduction "});
  initParamNames(rs);
  for (int t = 1; t <= DIMTOP; ++t) {
    rs.maxmTop[t] = t <= c.ntop ? c.maxm : 0;
    rs.maxvmTop[t] = t <= c.ntop ? c.maxvm : 0;
  }
  out << '\n';
}

// -------------------------------------------------------- parameters
// Reads the parameter lines; `given` receives the given-counts per set.
void readParameters(RunState& rs, FitState& fs, Reader& rd, FitFlags& given) {
  fs.best = ParamSets{};
  given = FitFlags{};
  const NameTable table{&rs.parName[1], NPAR, PARNAME_WIDTH};
  rd.recordRepeats(NPAR, DIMB);
  const int problemsBefore = rd.problems();
  for (int line = 1; line <= NPAR + 1; ++line) {
    const int n = rd.nextLine();
    if (n < 0) stop("reading a");
    if (n == 0) break;
    const FitFlags before = given;
    rd.readIndexedKeywordValues(table, DIMB, fs.best.v.data(), given.v.data());
    // a dipole component far beyond any molecule's would overflow the
    // intensities (mu^2 times the line strength)
    for (const int p : {par::mu_x, par::mu_y, par::mu_z})
      for (int b = 1; b <= DIMB; ++b)
        if (given(p, b) != before(p, b) && !(std::fabs(fs.best(p, b)) < MAX_DIPOLE_DEBYE))
          stop("ERROR: " + trimmed(rs.parName[p]) + " " + shortNumber(fs.best(p, b)) +
               " D at input line " + std::to_string(rd.lineNumber()) +
               ": a dipole component of 1000 D or more has no meaning (molecules have a few D)");
  }
  stopOnRepeatedNames(rs, rd, table, "parameter", problemsBefore);
  bool any = false;
  for (const int g : given.v) any = any || g > 0;
  if (!any)
    stop(rd.nonEmptyLines() == 0
             ? "ERROR: the input is empty"
             : "ERROR: no parameter section read (every section ends at an empty line: is the"
               " empty line after the title or after the controls missing?)");
  // parameters of tops that are not there, and the top-top coupling of
  // fewer than two tops, are held at 0
  const int ntop = rs.ctl.ntop;
  for (int b = 1; b <= DIMB; ++b) {
    for (int p = 33 + 15 * ntop; p <= NPAR; ++p) fs.best(p, b) = 0.0;
    if (ntop <= 1) fs.best(par::F12, b) = fs.best(par::Vss, b) = fs.best(par::Vcc, b) = 0.0;
  }
}

// The largest set whose active parameters differ from the set before.
int assumedSets(const RunState& rs, const FitState& fs) {
  const int npar = 32 + 15 * rs.ctl.ntop;
  int nb = 1;
  for (int b = 2; b <= DIMB; ++b)
    for (int p = 1; p <= npar; ++p)
      if (fs.best(p, b) != 0.0 && fs.best(p, b) != fs.best(p, b - 1)) nb = b;
  return nb;
}

// Adjustment bits of each set: which top parameters follow from others.
void adjustmentBits(RunState& rs, FitState& fs, const Reader& rd, const FitFlags& given,
                    int nbAssumed) {
  std::ostream& out = *rs.io.out;
  const Controls& c = rs.ctl;
  const int npar = 32 + 15 * c.ntop;
  for (int b = 1; b <= nbAssumed; ++b) {
    ParamView v = fs.best.set(b);
    int adj = c.adjf;
    if (c.ints != 0 && v(par::mu_x) == 0.0 && v(par::mu_y) == 0.0 && v(par::mu_z) == 0.0)
      stop("ERROR: need mu_x mu_y or mu_z for intensities");
    if (v(par::BJ) == 0.0) {
      // unknown keywords before mean that lines went to the wrong section
      if (rd.problems() > 0)
        *rs.io.err << "Hint: the sections may be shifted; every section ends at an empty line:"
                      " is the empty line after the title or after the controls missing?\n";
      stop("ERROR: BJ can not be zero");
    }
    auto addBit = [&](int bit, const char* line) {
      if (!hasBit(adj, bit)) put(out, "(A)", {line});
      adj = withBits(adj, bit);
    };
    if (c.ntop > 0) {
      if (given(par::F12, b) > 2) v(par::F12) = 0.0;
      if (given(par::top(1, par::F0), b) > 1) v(par::top(1, par::F0)) = 0.0;
      if (given(par::top(2, par::F0), b) > 2) v(par::top(2, par::F0)) = 0.0;
      const int t1 = 1;
      // axis angles given instead of beta and gamma
      if ((v(par::top(t1, par::delta)) != 0.0 || v(par::top(t1, par::epsil)) != 0.0) &&
          v(par::top(t1, par::beta)) == 0.0 && v(par::top(t1, par::gamma)) == 0.0)
        addBit(adjfbit::DERIVE_BETA_GAMMA, " \\\\ set (adj  or 16)");
      // 1/(2 I_alpha) given instead of rho
      if (v(par::top(t1, par::F0)) != 0.0 && v(par::top(t1, par::rho)) == 0.0)
        addBit(adjfbit::DERIVE_RHO, " \\\\ set (adj  or  8)");
      if (v(par::top(t1, par::F)) == 0.0) addBit(adjfbit::DERIVE_F, " \\\\ set (adj  or  1)");
    }
    if (c.ntop > 1 && v(par::F12) == 0.0) addBit(adjfbit::DERIVE_F12, " \\\\ set (adj  or  2)");
    rs.adjfB[b] = adj;
    rs.woodsB[b] = c.woods;
    adjustDependentParameters(rs, v, npar, adj);
    if (hasBit(adj, adjfbit::DERIVE_F))
      putFree(out, {"\\\\ adj  1: adjust F according to rho, beta and gamma"});
    if (hasBit(adj, adjfbit::DERIVE_F12))
      putFree(out, {"\\\\ adj  2: adjust F12 according to rho, beta and gamma"});
    if (hasBit(adj, adjfbit::UNCOUPLED_TOPS))
      putFree(out, {"\\\\ adj  4: adjust F (one top case) and ignore F' "});
    if (hasBit(adj, adjfbit::DERIVE_RHO))
      putFree(out, {"\\\\ adj  8: adjust rho according to F0 = 1/(2 I_alpha)"});
    if (hasBit(adj, adjfbit::DERIVE_BETA_GAMMA))
      putFree(out, {"\\\\ adj 16: adjust beta and gamma  according delta + epsil"});
    put(out, "(A,I4)", {" new adj :", adj});
  }
  for (int b = nbAssumed + 1; b <= DIMB; ++b) {
    rs.adjfB[b] = rs.adjfB[nbAssumed];
    rs.woodsB[b] = rs.woodsB[nbAssumed];
  }
}

// ----------------------------------------------------- fit variables
void readFitVariables(RunState& rs, FitState& fs, Reader& rd) {
  std::ostream& out = *rs.io.out;
  FitModel& m = fs.model;
  m.nfit = 0;
  m.npar = 32 + 15 * rs.ctl.ntop;
  fs.flags = FitFlags{};
  const NameTable table{&rs.parName[1], NPAR, PARNAME_WIDTH};
  for (;;) {
    ParamSets coef;
    FitFlags given;
    const int n = rd.nextLine();
    if (n < 0) stop(" Error reading fit parameters");
    if (n == 0) break;
    std::string word;
    rd.readWord(word);
    word = trimmed(word);
    int kind;
    const char* echo;
    if (word == "fit") {
      kind = 1;
      echo = " fit ";
    } else if (word == "dqu") {
      kind = -1;
      echo = " dqu ";
    } else if (word == "dqx") {
      kind = -2;
      echo = " dqx ";
    } else {
      // the section ends here, and this line is lost
      *rs.io.err << "Input error: line at input line " << rd.lineNumber()
                 << " does not begin with fit, dqu or dqx: it ends the fit-variable section and"
                    " is not read\n";
      ++rs.problems;
      break;
    }
    if (m.nfit >= DIMFIT) stop(" maximum number (DIMFIT) of fit variables exceeded !");
    FitVar& fv = m.var[++m.nfit];
    fv = FitVar{};
    fv.kind = kind;
    double step = 0.0, factor = 0.0;
    if (rd.readReal(step) <= 0) step = 0.1;
    if (rd.readReal(factor) <= 0) factor = 1.0;
    fv.step = step;
    fv.factor = factor;
    put(out, "(A,2D8.1,3X,$)", {echo, step, factor});

    rd.readIndexedKeywordValues(table, DIMB, coef.v.data(), given.v.data());
    // entries in table order, set by set; the sum of the magnitudes of the
    // entered parameters tells whether a numerical step is possible
    double sumAbs = 0.0;
    for (int p = 1; p <= NPAR; ++p)
      for (int b = 1; b <= DIMB; ++b) {
        if (given(p, b) <= 0) continue;
        if (fv.nterm >= DIMPLC) stop(" Dimension Error: DIMPLC");
        ++fv.nterm;
        fv.par[fv.nterm] = p;
        fv.set[fv.nterm] = b;
        fv.coef[fv.nterm] = coef(p, b) == 0.0 ? 1.0 : coef(p, b);
        fs.flags(p, b) = 1;
        sumAbs += std::fabs(fs.best(p, b));
      }
    // echo: one item for a parameter entered in all sets, else one per entry
    for (int p = 1; p <= NPAR; ++p) {
      int nset = 0;
      for (int b = 1; b <= DIMB; ++b)
        if (given(p, b) > 0) ++nset;
      if (nset == 0) continue;
      if (nset == DIMB) {
        const double c1 = coef(p, 1) == 0.0 ? 1.0 : coef(p, 1);
        put(out, "(3X,1A,3X,1F6.2,$)", {padded(rs.parName[p], PARNAME_WIDTH), c1});
        continue;
      }
      const std::string name = trimmed(rs.parName[p]);
      const int fill =
          static_cast<int>(name.size()) + 3 < 8 ? 8 - static_cast<int>(name.size()) - 3 : 0;
      for (int b = 1; b <= DIMB; ++b) {
        if (given(p, b) <= 0) continue;
        const double cb = coef(p, b) == 0.0 ? 1.0 : coef(p, b);
        put(out, "(3X,2A,I1,2A,1F5.2,$)", {name, "(", b, ")", std::string(fill, ' '), cb});
      }
    }
    out << '\n';
    if (fv.kind == 1)
      for (int k = 1; k <= fv.nterm; ++k)
        if (kParamDerivKind[fv.par[k]] != 0) fv.kind = -1;
    if (fv.kind < 0 && sumAbs == 0.0) stop("ERROR: dqu/x parameter can not be zero !");
  }

  // a parameter that the adjustment computes from others can not be fitted
  const int ntop = rs.ctl.ntop;
  for (int b = 1; b <= DIMB; ++b) {
    const int adj = rs.adjfB[b];
    auto fitted = [&](int p) { return fs.flags(p, b) != 0; };
    if (hasBit(adj, adjfbit::DERIVE_F12) && fitted(par::F12))
      stop(" Fit ERROR: can not fit F12: adjf = 2");
    for (int t = 1; t <= ntop; ++t)
      if (!hasBit(adj, adjfbit::DERIVE_F) && fitted(par::top(t, par::F0)))
        stop(" Fit ERROR: can not fit F0: adjf <> 1");
    for (int t = 1; t <= ntop; ++t)
      if (hasBit(adj, adjfbit::DERIVE_F) && fitted(par::top(t, par::F)))
        stop(" Fit ERROR: can not fit F: adjf = 1");
    for (int t = 1; t <= ntop; ++t)
      if (!hasBit(adj, adjfbit::DERIVE_RHO) && fitted(par::top(t, par::F0)))
        stop(" Fit ERROR: can not fit F0: adjf <> 8");
    for (int t = 1; t <= ntop; ++t)
      if (hasBit(adj, adjfbit::DERIVE_RHO) && fitted(par::top(t, par::rho)))
        stop(" Fit ERROR: can not fit rho: adjf = 8");
    for (int t = 1; t <= ntop; ++t)
      if (!hasBit(adj, adjfbit::DERIVE_BETA_GAMMA) &&
          (fitted(par::top(t, par::delta)) || fitted(par::top(t, par::epsil))))
        stop(" Fit ERROR: can not fit delta/epsil: adjf <> 16");
    for (int t = 1; t <= ntop; ++t)
      if (hasBit(adj, adjfbit::DERIVE_BETA_GAMMA) &&
          (fitted(par::top(t, par::beta)) || fitted(par::top(t, par::gamma))))
        stop(" Fit ERROR: can not fit beta/gamma: adjf = 16");
  }
}

// ---------------------------------------------------- symmetry species
// Whether `word`, the first of a line, starts a torsional-state group
// ("V", "V0") or names a transition keyword ("Jup", "J"): the start of a
// later section than the one being read.
bool isSectionStart(const std::string& word, const RunState& rs) {
  if (word.empty() || word == "G" || word == "S") return false; // the species keywords
  if (word == "V" ||
      (word.size() > 1 && word[0] == 'V' && std::isdigit(static_cast<unsigned char>(word[1]))))
    return true;
  for (int k = 1; k <= NTRFIXED; ++k)
    if (rs.trKey[k].rfind(word, 0) == 0) return true; // a prefix of a keyword, as the list reads it
  return false;
}

// One line per species: an optional label "/..." and the symmetry number
// sigma of every top, given as G or S.
void readSpecies(RunState& rs, Reader& rd) {
  SpeciesTable& sp = rs.species;
  sp = SpeciesTable{};
  for (int k = NTRFIXED + 1; k <= NTRKEY; ++k) rs.trKey[k].clear();
  const int ntop = rs.ctl.ntop;
  if (ntop <= 0) return; // no tops: the section is not part of the file
  sp.present = true;
  const NameTable table{&kSymmetryKeys[1], 2 * DIMTOP, SYMKEY_WIDTH};
  for (int k = 1;; ++k) {
    const int n = rd.nextLine();
    if (n < 0) stop(" Error: reading gamma");
    if (n == 0) break;
    if (k > DIMSYM) stop(" to many lines reading S! ");
    const int mark = rd.scanPosition();
    std::string first;
    const bool word = rd.readWord(first);
    // a line of torsional states or a transition here means that the
    // species section is missing: say so once, instead of reading every
    // following section into the wrong one
    if (word && isSectionStart(first, rs))
      stop("ERROR: no symmetry species section: input line " + std::to_string(rd.lineNumber()) +
           " begins with \"" + first + "\"; with ntop " + std::to_string(ntop) +
           " the species lines (\"/A S 0\", \"/E S 1\", ...) and an empty line come after the"
           " fit variables, then the torsional states (\"V 0\")");
    if (word && !first.empty() && first[0] == '/') {
      sp.label[k] = trimmed(first.substr(0, 5));
      rs.trKey[NTRFIXED + k] = sp.label[k];
    } else {
      rd.setScanPosition(mark);
    }
    double gs[2 * DIMTOP] = {};
    int given[2 * DIMTOP] = {};
    rd.readKeywordValues(table, gs, given);
    for (int t = 1; t <= ntop; ++t) {
      const int G = truncInt(gs[2 * t - 2]), S = truncInt(gs[2 * t - 1]);
      if (G != 0 && S != 0) stop("Error: use G or S as Keyword");
      sp.sigma[k][t] = G != 0 ? G : S;
    }
    sp.nsym = k;
  }
  std::ostream& out = *rs.io.out;
  for (int k = 1; k <= sp.nsym; ++k) {
    if (!sp.label[k].empty()) put(out, "(3X,A,$)", {padded(sp.label[k], 5)});
    switch (ntop) {
    case 1:
      put(out, "(2X,A,4I4)", {"S  ", sp.sigma[k][1]});
      break;
    case 2:
      put(out, "(2X,A,4I4)", {"S  ", sp.sigma[k][1], sp.sigma[k][2]});
      break;
    default:
      put(out, "(2X,A,4I4)", {"S  ", sp.sigma[k][1], sp.sigma[k][2], sp.sigma[k][3]});
    }
    for (int t = 1; t <= ntop; ++t) {
      if (sp.sigma[k][t] > DIMSIG) stop("ERROR: sigma > DIMSIG");
      // sigma runs over -1, 0, +1 only
      if (sp.sigma[k][t] < -DIMSIG) stop("ERROR: sigma < -DIMSIG");
    }
  }
}

// ---------------------------------------------------- torsional states
// Line k lists the product torsional states of set k: groups "V v1 v2 ..",
// one one-top state number (from 0) per top.
void readTorsionalStates(RunState& rs, Reader& rd) {
  for (auto& a : rs.use.u)
    for (auto& b : a) b.fill(-1);
  rs.nB = 1;
  const int ntop = rs.ctl.ntop;
  if (ntop <= 0) return;
  int k = 0;
  for (;;) {
    const int n = rd.nextLine();
    if (n < 0) stop(" Error: reading qvv");
    if (n == 0) break;
    // one line per parameter set
    if (k == DIMB)
      stop("ERROR: more lines of torsional states than parameter sets (5) (input line " +
           std::to_string(rd.lineNumber()) + ")");
    ++k;
    int group = 0;
    for (;;) {
      const int mark = rd.scanPosition();
      std::string word;
      if (!rd.readWord(word)) break;
      if (group == 0 && !word.empty() && word[0] != 'V' &&
          (isSectionStart(word, rs) || Reader::classifyNumber(word) > 0))
        stop("ERROR: no torsional-state section: input line " + std::to_string(rd.lineNumber()) +
             " begins with \"" + word + "\"; with ntop " + std::to_string(ntop) +
             " the torsional states (\"V 0\", one number per top) and an empty line come"
             " after the species lines, then the transitions");
      if (word.empty() || word[0] != 'V') {
        rd.setScanPosition(mark);
        *rs.io.err << "Input error: \"" << word << "\" at input line " << rd.lineNumber()
                   << " is no V group; the rest of the line is not read\n";
        ++rs.problems;
        break;
      }
      if (group == DIMVV) {
        *rs.io.err << "Input error: more than " << DIMVV << " V groups at input line "
                   << rd.lineNumber() << "; the fourth and later ones are not read\n";
        ++rs.problems;
      }
      for (int t = 1; t <= ntop; ++t) {
        int v = 0;
        if (rd.readInteger(v) <= 0)
          stop(" Error: V no. for each top necessary! (input line " +
               std::to_string(rd.lineNumber()) + ")");
        // states are numbered from 0; the free-rotor basis of 2 maxm + 1
        // functions gives the states 0 .. 2 maxm - 1 a window of kept states
        const int highest = 2 * rs.maxmTop[t] - 1;
        if (v < 0 || v > highest)
          stop("ERROR: V no. " + std::to_string(v) + " out of range 0 .. 2maxm-1 = " +
               std::to_string(highest) + " (input line " + std::to_string(rd.lineNumber()) + ")");
        if (group < DIMVV) rs.use(group + 1, t, k) = v + 1;
      }
      ++group;
    }
    // the states of one top in one set are kept as one window of DIMV states
    for (int t = 1; t <= ntop; ++t) {
      int lo = INT_MAX, hi = INT_MIN;
      for (int i = 1; i <= DIMVV; ++i)
        if (rs.use(i, t, k) > 0) {
          lo = std::min(lo, rs.use(i, t, k));
          hi = std::max(hi, rs.use(i, t, k));
        }
      if (hi != INT_MIN && hi - lo >= DIMV)
        stop("ERROR: V no. of top " + std::to_string(t) + " in line " + std::to_string(k) +
             " span more than 3 states (" + std::to_string(lo - 1) + " .. " +
             std::to_string(hi - 1) + ") (input line " + std::to_string(rd.lineNumber()) + ")");
    }
    rs.nB = k;
  }
  for (int b = k + 1; k > 0 && b <= DIMB; ++b)
    for (int i = 1; i <= DIMVV; ++i)
      for (int t = 1; t <= DIMTOP; ++t) rs.use(i, t, b) = rs.use(i, t, k);
  std::ostream& out = *rs.io.out;
  for (int b = 1; b <= rs.nB; ++b) {
    for (int i = 1; i <= DIMVV; ++i) {
      if (rs.use(i, 1, b) == -1) continue;
      put(out, "(A,$)", {"  V"});
      for (int t = 1; t <= ntop; ++t) put(out, "(I3,$)", {rs.use(i, t, b)});
    }
    out << '\n';
  }
  out << '\n';
}

// Entries of fit variables for sets that no transition uses are dropped.
void dropUnusedSets(RunState& rs, FitState& fs) {
  for (int f = 1; f <= fs.model.nfit; ++f) {
    FitVar& fv = fs.model.var[f];
    int kept = 0;
    for (int k = 1; k <= fv.nterm; ++k) {
      if (fv.set[k] > rs.nB) continue;
      ++kept;
      fv.par[kept] = fv.par[k];
      fv.set[kept] = fv.set[k];
      fv.coef[kept] = fv.coef[k];
    }
    fv.nterm = kept;
  }
}

} // namespace

bool readInputFile(RunState& rs, FitState& fs, Reader& rd) {
  if (rs.tr.qn.empty()) rs.allocate();
  for (int k = 1; k <= NTRFIXED; ++k) rs.trKey[k] = kTransitionKeys[k];
  rs.ctl = Controls{};
  initParamNames(rs);

  if (!readTitle(rs, rd)) return false;
  readControls(rs, rd);
  checkControls(rs);

  FitFlags given;
  readParameters(rs, fs, rd, given);
  const int nbAssumed = assumedSets(rs, fs);
  putFree(*rs.io.out, {"assumed sizeb", nbAssumed});
  adjustmentBits(rs, fs, rd, given, nbAssumed);
  rs.nB = nbAssumed;
  fs.flags = FitFlags{};
  const ParamSets noErrors{};
  printParameters(rs, fs.best, noErrors, fs.flags, aprintbit::PARAMETERS_USUAL, 0, 0);
  *rs.io.out << '\n';

  readFitVariables(rs, fs, rd);
  readSpecies(rs, rd);
  if (rs.ctl.ntop > 0) readTorsionalStates(rs, rd);
  readTransitions(rs, rd);
  dropUnusedSets(rs, fs);
  rs.problems += rd.problems();
  return true;
}

// A fit of n variables needs n + 2 data points: its variance has n_points
// - n - 1 degrees of freedom.  The data points are the lines with a measured
// frequency; the other line of a blend has none, so a blend counts once.
// With nzyk 1 (or a predicted spectrum) nothing is fitted.
void checkDataForFit(const RunState& rs, const FitState& fs) {
  const int nfit = fs.model.nfit;
  if (rs.ctl.nzyk <= 1 || intensityMode(rs.ctl.ints) > 1) return;
  int points = 0;
  for (int i = 1; i <= rs.tr.ndata; ++i)
    if (rs.tr.err[static_cast<std::size_t>(i)] != NODATA) ++points;
  if (points < minimumDataPoints(nfit)) stop(tooFewDataPoints(nfit, points));
}

} // namespace ruvo
