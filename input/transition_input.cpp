// The transition list.  Each line names the two levels of a measured (or
// only calculated) transition by their quantum numbers and gives the
// frequency with its error.  Values carry over from one line to the next,
// so a line names only what changes.
#include "input/transition_input.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "input/reader.h"
#include "input/tables.h"

namespace ruvo {

namespace {

// positions of the keywords in the transition keyword table (1-based)
enum Key {
  kJup = 1,
  kKmUp,
  kKpUp,
  kJlo,
  kKmLo,
  kKpLo,
  kFreq,
  kErr,
  kSup,
  kSlo,
  kV1up,
  kV1lo,
  kV2up,
  kV2lo,
  kBup,
  kBlo,
  kFup,
  kFlo,
  kTup,
  kTlo,
  ktup,
  ktlo,
  kSplit,
  kAvg,
  kKup,
  kKlo,
  kDiff,
  kGHz,
  kMHz,
  kCm1
};

// 1 cm-1 in GHz (speed of light in units of 1e10 cm/s)
constexpr double GHZ_PER_CM1 = 29.97925;

// Keys of one level.
struct LevelKeys {
  int J, Km, Kp, K, T, t;
};
constexpr LevelKeys kLevelKeys[2] = {{kJup, kKmUp, kKpUp, kKup, kTup, ktup},
                                     {kJlo, kKmLo, kKpLo, kKlo, kTlo, ktlo}};

// An input number as an integer, truncated toward zero; values beyond the
// range of int are held at its ends (and NaN reads as 0).
int truncInt(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483647.0) return INT_MAX;
  if (x <= -2147483648.0) return INT_MIN;
  return static_cast<int>(x);
}

int clampToInt(long long x) {
  return x > INT_MAX ? INT_MAX : (x < INT_MIN ? INT_MIN : static_cast<int>(x));
}

// Frequencies of 1e6 GHz (33 000 cm-1) and more are no rotational lines,
// and an error below 1 mHz gives a weight that the sums can not hold.
constexpr double MAX_FREQ_GHZ = 1.0e6;
constexpr double MIN_ERR_GHZ = 1.0e-12;

// The transition list ends at an empty line (a line holding only a comment
// is empty too), at ndata lines or at 100000 lines.  Whatever non-empty input
// follows is not read; say so, as a line commented out inside the list ends
// it there.  Typed input is not read on: the run starts at the empty line.
void reportLinesNotRead(RunState& rs, Reader& rd, bool endedByEmptyLine, int nmax) {
  if (rs.io.interactive || rd.atEof()) return;
  int count = 0;
  long first = 0;
  for (;;) {
    const int k = rd.nextLine();
    if (k < 0 || rd.atEof()) break;
    if (k > 0 && count++ == 0) first = rd.lineNumber();
  }
  if (count == 0) return;
  std::ostream& err = *rs.io.err;
  err << count << (count == 1 ? " non-empty input line" : " non-empty input lines")
      << " after the end of the transition list" << (count == 1 ? " was" : " were")
      << " not read (first at input line " << first << ")";
  if (!endedByEmptyLine && nmax < DIMDATA)
    err << ": ndata " << nmax << " ends the list after line " << nmax;
  else if (!endedByEmptyLine)
    err << ": the list holds at most " << DIMDATA << " lines";
  err << "\n";
  ++rs.problems;
}

// The line errors of the list: each is written to standard error with the
// line number and counted; the run stops after the whole list was read.
// A line number in four columns, more when it needs them.
std::string lineField(long long n) { return "I" + std::to_string(std::max(4, decimalWidth(n))); }

struct LineErrors {
  std::ostream& err;
  const std::vector<long>& inputLine; // input line of each transition
  int count = 0;
  void operator()(const char* text, int n) {
    const long line = inputLine[static_cast<std::size_t>(n)];
    put(err, "(A," + lineField(n) + ",A)", {text, n, " (input line " + std::to_string(line) + ")"});
    ++count;
  }
};

// A level is named by T, by t, by K, or by K- and K+ (in this order): the
// labels that lose are cleared in the carried values v.
void chooseLevelNames(double* v, const int* given, bool givenK[2], bool givenT[2], bool givent[2]) {
  auto val = [&](int k) -> double& { return v[k - 1]; };
  for (int L = 0; L < 2; ++L) {
    const LevelKeys& k = kLevelKeys[L];
    givenK[L] = given[k.K - 1] > 0;
    givenT[L] = given[k.T - 1] > 0;
    givent[L] = given[k.t - 1] > 0;
    if (givenT[L]) {
      val(k.K) = val(k.t) = val(k.Km) = val(k.Kp) = 0.0;
      givenK[L] = false;
    }
    if (givent[L]) {
      val(k.K) = val(k.T) = val(k.Km) = val(k.Kp) = 0.0;
      givenK[L] = false;
    }
    if (givenK[L]) {
      val(k.Km) = val(k.Kp) = -10.0; // no K- K+ in force for this level
      val(k.t) = 0.0;
      givent[L] = false;
    }
  }
}

// The kind bits of both levels: named by t, by T, part of a data point.
void setKindBits(Slots q[2], bool isData) {
  for (int L = 0; L < 2; ++L) {
    int bits = 0;
    if (q[L][slot::t] != 0) bits = withBits(bits, kindbit::BY_t);
    if (q[L][slot::T] != 0) bits = withBits(bits, kindbit::BY_T);
    if (isData) bits = withBits(bits, kindbit::MEASURED);
    q[L][slot::KIND] = bits;
  }
}

// The 14 slots of both levels, the frequency and the error of line n.
void echoTransition(std::ostream& out, const Slots& u, const Slots& l, double freq, double error) {
  put(out, "(14I3,3X,14I3,F18.7,D12.2)",
      {u[1],  u[2],  u[3],  u[4],  u[5],  u[6],  u[7],  u[8],  u[9], u[10],
       u[11], u[12], u[13], u[14], l[1],  l[2],  l[3],  l[4],  l[5], l[6],
       l[7],  l[8],  l[9],  l[10], l[11], l[12], l[13], l[14], freq, error});
}

// Checks of the quantum numbers of line n against each other and against
// what the level storage can hold.
void checkQuantumNumbers(const Slots& u, const Slots& l, const bool givenK[2], int spin, int n,
                         LineErrors& lineError) {
  if (u[slot::t] < 1 && u[slot::T] < 1 && !givenK[UP]) lineError("No tau or K (up) in line", n);
  if (l[slot::t] < 1 && l[slot::T] < 1 && !givenK[LO]) lineError("No tau or K (lo) in line", n);
  auto dim = [](const Slots& s) { return 2LL * s[slot::J] + 1; }; // 2J+1 values of K
  if (u[slot::t] > dim(u) || l[slot::t] > dim(l)) lineError("tau > 2J+1 at line", n);
  if (u[slot::V1] < 1 || l[slot::V1] < 1) lineError("V < 1 at line", n);
  if (u[slot::B] < 1 || l[slot::B] < 1) lineError("Error: B < 1 at line", n);
  if (u[slot::F] < -1 || l[slot::F] < -1) lineError("Error: F < -1 at transition no.", n);
  if (spin == 0 && (u[slot::F] >= 0 || l[slot::F] >= 0)) {
    // without a nuclear spin there is no F: one message, not one per level
    lineError("Error: F given, but spin (twice the nuclear spin, a control) is 0 at transition no.",
              n);
  } else {
    if (l[slot::F] >= 0 && std::llabs(2LL * l[slot::J] - l[slot::F]) > spin)
      lineError("Error: |J-F| > ! at transition no.", n);
    if (u[slot::F] >= 0 && std::llabs(2LL * u[slot::J] - u[slot::F]) > spin)
      lineError("Error: |J-F| > I at transition no.", n);
  }
  if (u[slot::B] > DIMB || l[slot::B] > DIMB) lineError("B > DIM B", n);
  // what the level storage can not hold
  if (u[slot::J] < 0 || l[slot::J] < 0) lineError("J < 0 at line", n);
  if (std::llabs(u[slot::K]) > u[slot::J] || std::llabs(l[slot::K]) > l[slot::J])
    lineError("|K| > J at line", n);
  if (u[slot::V1] > DIMV || l[slot::V1] > DIMV || u[slot::V2] > DIMV || l[slot::V2] > DIMV)
    lineError("V > DIMV at line", n);
  if (u[slot::V2] < 0 || l[slot::V2] < 0) lineError("V2 < 0 at line", n);
  if (u[slot::T] > DIMVV * dim(u) || l[slot::T] > DIMVV * dim(l))
    lineError("T > 3(2J+1) at line", n);
}

// The input summary of the list: lines, data points, splittings and the
// effective number of data points; the mean splitting (GHz).
void printListSummary(std::ostream& out, const Transitions& tr, int n) {
  // the counts take more than four columns only for a list of 10000 lines or more
  const std::string w = std::to_string(std::max(4, decimalWidth(n)));
  // the effective number of data points in F6.1, wider when it needs it
  const double eff = std::fabs(tr.effData) < 1.0e15 ? tr.effData : 0.0;
  const std::string we = std::to_string(std::max(6, decimalWidth(std::llround(eff)) + 2));
  put(out, "(3(3X,A,I" + w + "),/,3X,A,F" + we + ".1)",
      {"ndata ", n, "Data Points", tr.nDataPoints, "Splittings", tr.nSplit, "Effective Data Points",
       tr.effData});
  if (tr.nSplit > 0)
    put(out, "(3X,2(A,F12.6))",
        {"Mean Experimental Splitting:", tr.sumAbsSplit / tr.nSplit,
         "   squared:", std::sqrt(tr.sumSqSplit / tr.nSplit)});
}

} // namespace

void readTransitions(RunState& rs, Reader& rd) {
  std::ostream& out = *rs.io.out;
  std::ostream& err = *rs.io.err;
  Transitions& tr = rs.tr;
  const Controls& c = rs.ctl;
  const int nsym = rs.species.nsym;
  const int nmax = (c.ndata <= 0 || c.ndata > DIMDATA) ? DIMDATA : c.ndata;
  const double defer = c.defer;

  // carried values of the 44 keywords (0-based: key k at k-1)
  double v[NTRKEY] = {};
  v[kErr - 1] = NODATA;
  v[kBup - 1] = v[kBlo - 1] = 1.0;
  v[kFup - 1] = v[kFlo - 1] = -1.0;
  v[kV1up - 1] = v[kV1lo - 1] = 1.0;
  const NameTable table{&rs.trKey[1], NTRKEY, TRKEY_WIDTH};

  // each line's contribution to the splitting statistics, so that it can be
  // taken back when the line becomes part of an average
  std::vector<double> splitOf;
  std::vector<char> splitCounted;

  LineErrors lineError{err, rs.trInputLine};
  // checks that name the input line as well, so that the line can be found
  // in a list with comments and continuation records
  auto inputError = [&](const std::string& text, int n, const char* hint = "") {
    err << text << " at line " << n << " (input line " << rd.lineNumber() << ")" << hint << "\n";
    ++lineError.count;
  };

  tr.nDataPoints = tr.nSplit = 0;
  tr.effData = tr.sumAbsSplit = tr.sumSqSplit = 0.0;
  int n = 0;
  bool endedByEmptyLine = false;
  while (n < nmax) {
    if (rd.nextLine() <= 0) {
      endedByEmptyLine = true;
      break;
    }
    ++n;
    tr.ensureLines(n);
    if (splitOf.size() <= static_cast<std::size_t>(n)) {
      splitOf.resize(tr.qn.size(), 0.0);
      splitCounted.resize(tr.qn.size(), 0);
    }
    if (rs.trInputLine.size() < tr.qn.size()) rs.trInputLine.resize(tr.qn.size(), 0);
    rs.trInputLine[static_cast<std::size_t>(n)] = rd.lineNumber();
    // partners are given per line
    v[kSplit - 1] = v[kAvg - 1] = v[kDiff - 1] = 0.0;
    int given[NTRKEY] = {};
    rd.readKeywordValues(table, v, given);
    auto has = [&](int k) { return given[k - 1] > 0; };
    auto val = [&](int k) -> double& { return v[k - 1]; };
    // a name given twice on one line: most often a number without "=",
    // which fills the names in table order from Jup on
    for (const int j : rd.overwritten())
      inputError(table.names[j] + " given twice", n,
                 ": a number without a keyword fills the names in order from Jup on;"
                 " is \"=\" missing?");

    // which label of a level wins
    if (has(kKup) && has(ktup)) putFree(out, {"UP Tau overrides K", n});
    if (has(kKlo) && has(ktlo)) putFree(out, {"LO Tau overrides K", n});
    if ((has(kKmUp) || has(kKpUp)) && has(ktup)) putFree(out, {"UP Tau (t) overrides K- K+", n});
    if ((has(kKmLo) || has(kKpLo)) && has(ktlo)) putFree(out, {"LO Tau (t) overrides K- K+", n});

    // J beyond the block storage
    if (truncInt(val(kJup)) > DIMJ || truncInt(val(kJlo)) > DIMJ) {
      put(out, "(A," + lineField(n) + ",A)", {" Warning Max. J exceeded. Line", n, " error"});
      inputError("J > 150 (largest J is 150)", n);
    }

    // a level is named by T, by t, by K, or by K- and K+ (in this order)
    bool givenK[2], givenT[2], givent[2];
    chooseLevelNames(v, given, givenK, givenT, givent);

    // quantum-number slots of both levels
    Slots q[2] = {};
    for (int k = 1; k <= NTRFIXED; ++k) {
      const int s = kTransitionSlot[k], L = kTransitionLevel[k];
      if (s > 0 && L > 0) q[L - 1][s] = truncInt(val(k));
    }

    // frequency and error
    double freq = 0.0, error = NODATA;
    if (has(kFreq)) {
      freq = val(kFreq);
      error = has(kErr) ? val(kErr) : defer;
      ++tr.nDataPoints;
    }

    // K- and K+ on the line replace a t carried from earlier lines
    for (int L = 0; L < 2; ++L) {
      const LevelKeys& k = kLevelKeys[L];
      if ((has(k.Km) || has(k.Kp)) && !givent[L] && !givenT[L]) {
        val(k.t) = 0.0;
        q[L][slot::t] = 0;
      }
    }

    // species by label
    for (int k = NTRFIXED + 1; k <= NTRKEY; ++k) {
      if (!has(k)) continue;
      if (has(kSup) || has(kSlo)) {
        putFree(out, {" Warning: S and Symmetry Label given (using S)"});
      } else {
        val(kSup) = val(kSlo) = k - NTRFIXED;
        q[UP][slot::S] = q[LO][slot::S] = k - NTRFIXED;
      }
    }
    if (q[UP][slot::S] > nsym || q[LO][slot::S] > nsym || q[UP][slot::S] < 0 ||
        q[LO][slot::S] < 0) {
      putFree(out, {"ERROR: Symmetry spezies not defined in line", n});
      ++lineError.count;
    }

    // units: the record holds GHz.  The default error (defer) is in GHz
    // already and the no-data mark must stay the mark, so only an error
    // given on a measured line is converted.
    const bool givenError = has(kErr) && has(kFreq);
    if (has(kMHz) && !has(kCm1)) {
      freq /= 1000.0;
      if (givenError) error /= 1000.0;
    }
    if (has(kCm1) && !has(kMHz)) {
      freq *= GHZ_PER_CM1;
      if (givenError) error *= GHZ_PER_CM1;
    }
    if (has(kFreq) && error == 0.0) lineError("Error: Err = 0 at line", n);
    // a frequency must be a number (a word after "=" reads as 0), and the
    // error must leave a finite weight 1/Err^2
    if (has(kFreq) && freq == 0.0 && !has(kDiff))
      inputError("\"=\" without a frequency (or with 0)", n);
    if (std::fabs(freq) >= MAX_FREQ_GHZ) inputError("frequency of 1e6 GHz or more", n);
    // a negative error would weigh the line like a positive one and hide a
    // typing error (a minus sign meant for another number)
    if (has(kFreq) && error < 0.0)
      inputError("Err < 0", n, ": the error of a frequency is a positive number");
    if (has(kFreq) && error > 0.0 && error < MIN_ERR_GHZ) inputError("Err below 1e-12 GHz", n);
    tr.freq[n] = freq;
    tr.err[n] = error;

    // splitting partner
    const long long P = truncInt(val(kSplit));
    const long long split = n + P;
    const bool splitOk = split >= 1 && split <= nmax;
    if (!splitOk) lineError("# partner outside the list at line", n);
    q[UP][slot::SPLIT] = q[LO][slot::SPLIT] = clampToInt(split);

    // a frequency given as the difference to a partner line
    if (has(kDiff)) {
      const long long Q = truncInt(val(kDiff));
      const long long partner = Q != 0 ? n + Q : n + P;
      if (partner < 1 || partner > nmax) {
        lineError("diff partner outside the list at line", n);
      } else {
        const int m = static_cast<int>(partner);
        const double fm = m <= n ? tr.freq[m] : 0.0; // later lines are not read yet
        if (tr.freq[n] != 0.0 && fm != 0.0)
          tr.freq[n] += fm;
        else
          put(err, "(A," + lineField(n) + "," + lineField(m) + ")",
              {"WARNING: diff frequency zero at", n, m});
      }
    }

    // splitting statistics (GHz)
    const bool isData = tr.err[n] != NODATA;
    if (P != 0 && isData && splitOk) {
      const int m = static_cast<int>(split);
      const double d = tr.freq[n] - (m <= n ? tr.freq[m] : 0.0);
      tr.sumAbsSplit += std::fabs(d);
      tr.sumSqSplit += d * d;
      ++tr.nSplit;
      splitOf[n] = d;
      splitCounted[n] = 1;
    }

    // effective number of data points: weight relative to the default error
    if (tr.err[n] != 0.0) tr.effData += (defer / tr.err[n]) * (defer / tr.err[n]);

    // average partner: that line's frequency is no data point any more
    const long long R = truncInt(val(kAvg));
    const long long avg = n + R;
    if (avg < 1 || avg > nmax) lineError("& partner outside the list at line", n);
    q[UP][slot::AVG] = q[LO][slot::AVG] = clampToInt(avg);
    if (R != 0 && avg >= 1 && avg < n && tr.err[avg] != NODATA) {
      const int m = static_cast<int>(avg);
      put(out, "(A," + lineField(n) + ",A," + lineField(m) + ",A)",
          {"Warning: average freq. in", n, ": line", m, " not used"});
      // The blend is compared with the frequency of the line that carries
      // "&".  Without one there, the frequency measured on the partner
      // would be lost with only the listing's note: say so and count it.
      if (tr.err[n] == NODATA) {
        err << "Warning: the frequency of line " << m << " (input line "
            << rs.trInputLine[static_cast<std::size_t>(m)] << ") is not used: line " << n
            << " (input line " << rd.lineNumber() << ") averages it with \"&\" but has no"
            << " frequency of its own, so the blend is no data point; write the blend's"
            << " frequency with \"=\" on the line with \"&\"\n";
        ++rs.problems;
      }
      if (tr.qn[m][UP][slot::SPLIT] != m && splitCounted[m]) {
        tr.sumAbsSplit -= std::fabs(splitOf[m]);
        tr.sumSqSplit -= splitOf[m] * splitOf[m];
        --tr.nSplit;
        splitCounted[m] = 0;
      }
      if (tr.err[m] != 0.0) tr.effData -= (defer / tr.err[m]) * (defer / tr.err[m]);
      tr.effData += (defer / NODATA) * (defer / NODATA);
      tr.err[m] = NODATA;
      --tr.nDataPoints; // the blend is one data point
    }

    // t from K- and K+:  t = K- - K+ + J + 1.  Only a pair with
    // K- + K+ = J or J + 1, each in 0 .. J, names a level of an asymmetric
    // rotor; any other pair would be read as the label of another level.
    bool badKaKc = false;
    for (int L = 0; L < 2; ++L) {
      const LevelKeys& k = kLevelKeys[L];
      const int Km = truncInt(val(k.Km)), Kp = truncInt(val(k.Kp));
      if (q[L][slot::t] == 0 && q[L][slot::T] == 0 && (Km >= 0 || Kp >= 0)) {
        const long long J = q[L][slot::J], sum = static_cast<long long>(Km) + Kp;
        if (Km < 0 || Kp < 0 || Km > J || Kp > J || (sum != J && sum != J + 1)) badKaKc = true;
        q[L][slot::t] = clampToInt(static_cast<long long>(Km) - Kp + q[L][slot::J] + 1);
      }
    }
    if (badKaKc) inputError("K- + K+ must be J or J+1", n, "; K- and K+ lie in 0 .. J");

    setKindBits(q, isData);
    tr.qn[n][UP] = q[UP];
    tr.qn[n][LO] = q[LO];
    tr.levelIndex[n] = {-1000, -1000};

    // echo
    if (hasBit(c.aprint, aprintbit::ECHO_TRANSITIONS))
      echoTransition(out, q[UP], q[LO], tr.freq[n], tr.err[n]);

    // checks of the quantum numbers
    checkQuantumNumbers(q[UP], q[LO], givenK, c.spin, n, lineError);
    // F runs from |J-I| to J+I in steps of 1 (all doubled: 2F, 2J, spin = 2I)
    const auto impossibleF = [&c](const Slots& s) {
      const long long F2 = s[slot::F], J2 = 2LL * s[slot::J];
      return F2 >= 0 && std::llabs(J2 - F2) <= c.spin &&
             (F2 < std::llabs(J2 - c.spin) || (F2 + J2 + c.spin) % 2 != 0);
    };
    if (impossibleF(q[UP]) || impossibleF(q[LO])) inputError("F outside |J-I| .. J+I", n);

    // parameter sets in use
    for (int L = 0; L < 2; ++L) {
      const int b = q[L][slot::B];
      if (b > rs.nB && b <= DIMB) rs.nB = b;
    }
  }

  reportLinesNotRead(rs, rd, endedByEmptyLine, nmax);

  // partners must lie within the list that was read
  for (int i = 1; i <= n; ++i) {
    const int s = tr.qn[i][UP][slot::SPLIT], a = tr.qn[i][UP][slot::AVG];
    if ((s >= 1 && s <= nmax && s > n) || (a >= 1 && a <= nmax && a > n))
      lineError("partner beyond the last line at line", i);
  }

  if (lineError.count > 0) {
    putFree(out, {"INPUT ERROR(S)"});
    putFree(err, {"INPUT ERROR(S)"});
    throw RunEnd{std::string(), false};
  }
  rs.ctl.ndata = n;
  tr.ndata = n;
  tr.markPartnersOfData();
  printListSummary(out, tr, n);
}

} // namespace ruvo
