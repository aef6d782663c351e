// The transition list: carried values, level labels, units, partners,
// statistics, echo and every message of a bad line.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "input/parse_helper.h"

namespace ruvo::test {
namespace {

// A rigid rotor with BJ = 3 and the given controls and transition lines.
Parsed lines(const std::string& text, const std::string& controls = "") {
  return parse("t\n\n" + (controls.empty() ? "" : controls + "\n") + "\nBJ 3\n\n\n" + text + "\n");
}

const Slots& up(const Parsed& p, int n) { return p.rs->tr.qn[n][UP]; }
const Slots& lo(const Parsed& p, int n) { return p.rs->tr.qn[n][LO]; }

// Two parameter sets of a rigid rotor with hyperfine structure: echo of
// every line, MHz and cm-1, a splitting, a line without frequency.
TEST(TransitionInput, WholeInputWithTwoSetsAndHyperfineLevels) {
  Parsed p = parse(inputCase("two_sets_rigid.inp"));
  ASSERT_FALSE(p.ended) << p.stopMessage << p.err;
  EXPECT_EQ(compareListings(inputCase("two_sets_rigid.out"), p.out), "");
  EXPECT_EQ(p.rs->nB, 2);
  EXPECT_EQ(p.rs->tr.ndata, 4);
  EXPECT_EQ(p.fs->model.var[1].nterm, 3); // BJ(1), BK(1), BK(2)
  EXPECT_EQ(p.fs->model.var[2].kind, -2);
  EXPECT_EQ(p.fs->model.var[2].factor, 0.5);
}

TEST(TransitionInput, BareNumbersFillTheKeywordsInOrder) {
  Parsed p = lines("1 0 1 0 0 0 12.345678\n");
  ASSERT_FALSE(p.ended) << p.stopMessage << p.err;
  EXPECT_EQ(up(p, 1)[slot::J], 1);
  EXPECT_EQ(lo(p, 1)[slot::J], 0);
  EXPECT_EQ(up(p, 1)[slot::t], 1); // K- - K+ + J + 1 = 0 - 1 + 1 + 1
  EXPECT_EQ(lo(p, 1)[slot::t], 1);
  EXPECT_EQ(p.rs->tr.freq[1], 12.345678);
  EXPECT_EQ(p.rs->tr.err[1], 1e-5); // defer
  for (const Slots* s : {&up(p, 1), &lo(p, 1)}) {
    EXPECT_EQ((*s)[slot::KIND], kindbit::BY_t | kindbit::MEASURED);
    EXPECT_EQ((*s)[slot::V1], 1);
    EXPECT_EQ((*s)[slot::V2], 0);
    EXPECT_EQ((*s)[slot::B], 1);
    EXPECT_EQ((*s)[slot::F], -1);
    EXPECT_EQ((*s)[slot::S], 0);
    EXPECT_EQ((*s)[slot::SPLIT], 1);
    EXPECT_EQ((*s)[slot::AVG], 1);
  }
  EXPECT_EQ(p.rs->ctl.ndata, 1);
  EXPECT_NE(p.out.find("   ndata    1   Data Points   1   Splittings   0\n"
                       "   Effective Data Points   1.0\n"),
            std::string::npos);
}

TEST(TransitionInput, SharedPrefixesAndCarriedValues) {
  Parsed p = lines("J 2 1 K- 1 0 K+ 1 1 = 20.0\nJup 2 = 20.1\nJup 3 K+up 2 Bup 2\n");
  ASSERT_FALSE(p.ended) << p.stopMessage << p.err;
  EXPECT_EQ(up(p, 1)[slot::J], 2);
  EXPECT_EQ(lo(p, 1)[slot::J], 1);
  EXPECT_EQ(up(p, 1)[slot::t], 1 - 1 + 2 + 1);
  EXPECT_EQ(lo(p, 1)[slot::t], 0 - 1 + 1 + 1);
  // line 2 keeps Jlo, K- and K+ of both levels
  EXPECT_EQ(lo(p, 2)[slot::J], 1);
  EXPECT_EQ(up(p, 2)[slot::t], 3);
  EXPECT_EQ(p.rs->tr.freq[2], 20.1);
  // line 3 has no frequency: calculated only
  EXPECT_EQ(p.rs->tr.freq[3], 0.0);
  EXPECT_EQ(p.rs->tr.err[3], NODATA);
  EXPECT_EQ(up(p, 3)[slot::KIND], kindbit::BY_t);
  EXPECT_EQ(up(p, 3)[slot::t], 1 - 2 + 3 + 1);
  EXPECT_EQ(up(p, 3)[slot::B], 2);
  EXPECT_EQ(p.rs->nB, 2); // raised by the set a level names
  EXPECT_EQ(p.rs->tr.nDataPoints, 2);
}

TEST(TransitionInput, UnitsAndErrors) {
  Parsed p = lines("1 0 1 0 0 0 = 12345.678 MHz Err 0.05\n"
                   "= 1 cm-1\n"
                   "= 1 cm-1 Err 0.001\n"
                   "= 7 GHz Err 2e-5\n"
                   "= 7 MHz\n"
                   "Err 0.5 MHz\n"
                   "Err 0.5 cm-1\n");
  ASSERT_FALSE(p.ended) << p.stopMessage << p.err;
  const Transitions& tr = p.rs->tr;
  EXPECT_NEAR(tr.freq[1], 12.345678, 1e-12);
  EXPECT_NEAR(tr.err[1], 0.00005, 1e-15);
  EXPECT_NEAR(tr.freq[2], 29.97925, 1e-12);
  EXPECT_EQ(tr.err[2], 1e-5); // the default error is in GHz already
  EXPECT_NEAR(tr.err[3], 0.02997925, 1e-14);
  EXPECT_EQ(tr.freq[4], 7.0);
  EXPECT_EQ(tr.err[4], 2e-5);
  EXPECT_NEAR(tr.freq[5], 0.007, 1e-15);
  EXPECT_EQ(tr.err[5], 1e-5);
  // lines without a frequency stay no data points, whatever their unit
  EXPECT_EQ(tr.err[6], NODATA);
  EXPECT_EQ(tr.err[7], NODATA);
  EXPECT_EQ(tr.nDataPoints, 5);
  // effective data points: (defer/err)^2 summed
  const double eff = std::pow(1e-5 / 5e-5, 2) + 1 + std::pow(1e-5 / 0.02997925, 2) + 0.25 + 1 +
                     2 * std::pow(1e-5 / NODATA, 2);
  EXPECT_NEAR(tr.effData, eff, 1e-12);
}

TEST(TransitionInput, WhichLabelOfALevelWins) {
  Parsed p = lines("Jup 3 K-up 1 K+up 2 tup 3 Jlo 2 tlo 1 = 1\n"
                   "Jup 2 Kup 1 tup 2 Klo 1 tlo 2 = 2\n"
                   "Jup 2 Kup -1 Jlo 1 Klo 1 = 3\n"
                   "Tup 4 Tlo 2 = 4\n"
                   "K-up 0 K+up 2 K-lo 0 K+lo 1 = 5\n");
  ASSERT_FALSE(p.ended) << p.stopMessage << p.err;
  EXPECT_NE(p.out.find(" UP Tau (t) overrides K- K+           1\n"), std::string::npos) << p.out;
  EXPECT_NE(p.out.find(" UP Tau overrides K           2\n"), std::string::npos);
  EXPECT_NE(p.out.find(" LO Tau overrides K           2\n"), std::string::npos);
  EXPECT_EQ(up(p, 1)[slot::t], 3);
  EXPECT_EQ(up(p, 2)[slot::t], 2);
  EXPECT_EQ(up(p, 2)[slot::K], 0);
  // K given: no t, matched by K
  EXPECT_EQ(up(p, 3)[slot::K], -1);
  EXPECT_EQ(up(p, 3)[slot::t], 0);
  EXPECT_EQ(up(p, 3)[slot::KIND], kindbit::MEASURED);
  // T given
  EXPECT_EQ(up(p, 4)[slot::T], 4);
  EXPECT_EQ(up(p, 4)[slot::t], 0);
  EXPECT_EQ(up(p, 4)[slot::KIND], kindbit::BY_T | kindbit::MEASURED);
  // T is carried and still names the levels; K- and K+ do not replace it
  EXPECT_EQ(up(p, 5)[slot::T], 4);
  EXPECT_EQ(up(p, 5)[slot::t], 0);
}

TEST(TransitionInput, SplittingsAveragesAndDifferences) {
  Parsed p = lines("1 0 1 0 0 0 = 10.0\n"
                   "= 10.2\n"
                   "= 10.3\n"
                   "= 11.0\n"
                   "= 11.5 # -1\n");
  ASSERT_FALSE(p.ended) << p.stopMessage << p.err;
  EXPECT_EQ(up(p, 5)[slot::SPLIT], 4);
  EXPECT_EQ(lo(p, 5)[slot::SPLIT], 4);
  EXPECT_EQ(up(p, 4)[slot::SPLIT], 4); // # is given per line
  EXPECT_EQ(p.rs->tr.nSplit, 1);
  EXPECT_NE(p.out.find("   ndata    5   Data Points   5   Splittings   1\n"
                       "   Effective Data Points   5.0\n"
                       "   Mean Experimental Splitting:    0.500000   squared:    0.500000\n"),
            std::string::npos)
      << p.out;

  Parsed a = lines("1 0 1 0 0 0 = 10.0\n= 10.4 # -1\n= 10.2 & -1\n= 9.0 diff -3\n= 0.1 diff 1\n");
  ASSERT_FALSE(a.ended) << a.stopMessage << a.err;
  const Transitions& tr = a.rs->tr;
  // line 2 becomes part of the average of line 3: no data point any more,
  // and its splitting is taken off the statistics
  EXPECT_NE(a.out.find("Warning: average freq. in   3: line   2 not used\n"), std::string::npos);
  EXPECT_EQ(tr.err[2], NODATA);
  // the blend carries its own frequency: nothing measured is lost
  EXPECT_EQ(a.err.find("is not used"), std::string::npos) << a.err;
  EXPECT_EQ(up(a, 3)[slot::AVG], 2);
  EXPECT_EQ(tr.nSplit, 0);
  EXPECT_NEAR(tr.effData, 4.0, 1e-12);
  // the frequency of line 4 is given as the difference to line 1
  EXPECT_NEAR(tr.freq[4], 19.0, 1e-12);
  // line 5 names line 6, which is not there yet
  EXPECT_NE(a.err.find("WARNING: diff frequency zero at   5   6\n"), std::string::npos) << a.err;
  EXPECT_EQ(tr.freq[5], 0.1);
}

TEST(TransitionInput, SpeciesLabelsAndTheEcho) {
  Parsed p = parse("t\n\nntop 1 aprint 128\n\nBJ 3 F_1 160 rho_1 .02\n\n\n/A S 0\n/E S 1\n\nV 0\n\n"
                   "1 0 1 0 0 0 /E = 12.5\n= 12.6\n/A Sup 2 = 12.7\n\n");
  ASSERT_FALSE(p.ended) << p.stopMessage << p.err;
  EXPECT_EQ(up(p, 1)[slot::S], 2);
  EXPECT_EQ(lo(p, 1)[slot::S], 2);
  EXPECT_EQ(up(p, 2)[slot::S], 2); // the species is carried
  EXPECT_EQ(up(p, 3)[slot::S], 2); // S given wins over the label
  EXPECT_EQ(lo(p, 3)[slot::S], 2);
  EXPECT_NE(p.out.find(" Warning: S and Symmetry Label given (using S)\n"), std::string::npos);
  EXPECT_NE(p.out.find("\n  1  0  1  0  1  2 -1  0  1 18  0  0  1  1     0  0  1  0  1  2 -1  0  1 "
                       "18  0  0  1  1        12.5000000    0.10D-04\n"),
            std::string::npos)
      << p.out;
}

TEST(TransitionInput, LimitOfTheLineCount) {
  Parsed p = lines("1 0 1 0 0 0 1\n= 2\n= 3\n", "ndata 2");
  ASSERT_FALSE(p.ended) << p.stopMessage;
  EXPECT_EQ(p.rs->ctl.ndata, 2);
  EXPECT_EQ(p.rs->tr.ndata, 2);
  EXPECT_EQ(p.err, "1 non-empty input line after the end of the transition list was not read"
                   " (first at input line 10): ndata 2 ends the list after line 2\n");
  EXPECT_EQ(p.rs->problems, 1);
  Parsed q = lines("Jup 70 tup 1 Jlo 70 tlo 2 = 1\n");
  EXPECT_FALSE(q.ended) << q.err;
  // the list holds 100000 lines, growing as they are read (the lines keep
  // their values across each growth); line 100001 is not lost silently
  std::string many;
  for (int i = 0; i < DIMDATA + 1; ++i)
    many += i + 1 == 12345 ? "1 0 1 0 0 0 = 1 & -2345\n" : "1 0 1 0 0 0 = 1\n";
  Parsed r = lines(many);
  ASSERT_FALSE(r.ended) << r.err;
  EXPECT_EQ(r.rs->tr.ndata, DIMDATA);
  EXPECT_EQ(r.rs->tr.qn[1][UP][slot::J], 1);
  EXPECT_EQ(r.rs->tr.qn[DIMDATA][UP][slot::J], 1);
  EXPECT_EQ(r.rs->tr.freq[INITIAL_LINES + 1], 1.0);
  EXPECT_EQ(r.rs->tr.err[DIMDATA], r.rs->ctl.defer);
  // line numbers of five digits widen the fields of a message
  EXPECT_NE(r.out.find("Warning: average freq. in12345: line10000 not used\n"), std::string::npos);
  EXPECT_EQ(r.err, "1 non-empty input line after the end of the transition list was not read"
                   " (first at input line 100007): the list holds at most 100000 lines\n");
}

// Every message of a bad line; each counts as an input error and the run
// ends after the list with "INPUT ERROR(S)".
TEST(TransitionInput, BadLines) {
  struct Case {
    const char* controls;
    const char* lines;
    const char* message;
    bool toListing;
  } cases[] = {
      {"", "Jup 151 tup 1 Jlo 150 tlo 1 = 1", " Warning Max. J exceeded. Line   1 error", true},
      {"", "Jup 1 Kup 0 Jlo 0 Klo 0 = 1\n= 2", "No tau or K (up) in line   2 (input line 8)",
       false},
      {"", "Jup 1 Kup 0 Jlo 0 Klo 0 = 1\nJup 1 tup 1 = 2",
       "No tau or K (lo) in line   2 (input line 8)", false},
      {"", "Jup 1 tup 4 Jlo 0 tlo 1 = 1", "tau > 2J+1 at line   1 (input line 7)", false},
      {"", "1 0 1 0 0 0 V1up 0 = 1", "V < 1 at line   1 (input line 7)", false},
      {"", "1 0 1 0 0 0 Blo 0 = 1", "Error: B < 1 at line   1 (input line 7)", false},
      {"", "1 0 1 0 0 0 Fup -2 = 1", "Error: F < -1 at transition no.   1 (input line 7)", false},
      {"spin 1", "1 0 1 0 0 0 Flo 3 = 1", "Error: |J-F| > ! at transition no.   1 (input line 8)",
       false},
      {"spin 1", "1 0 1 0 0 0 Fup 5 = 1", "Error: |J-F| > I at transition no.   1 (input line 8)",
       false},
      {"", "1 0 1 0 0 0 Bup 6 = 1", "B > DIM B   1 (input line 7)", false},
      {"", "1 0 1 0 0 0 Sup 1 = 1", " ERROR: Symmetry spezies not defined in line           1",
       true},
      {"", "1 0 1 0 0 0 Slo -1 = 1", " ERROR: Symmetry spezies not defined in line           1",
       true},
      // what the level storage could not hold
      {"", "Jup -1 tup 1 Jlo 0 tlo 1 = 1", "J < 0 at line   1 (input line 7)", false},
      {"", "Jup 1 Kup 2 Jlo 0 Klo 0 = 1", "|K| > J at line   1 (input line 7)", false},
      {"", "1 0 1 0 0 0 V1up 4 = 1", "V > DIMV at line   1 (input line 7)", false},
      {"", "1 0 1 0 0 0 V2lo 4 = 1", "V > DIMV at line   1 (input line 7)", false},
      {"", "1 0 1 0 0 0 V2up -1 = 1", "V2 < 0 at line   1 (input line 7)", false},
      {"", "Jup 1 Tup 10 Jlo 0 tlo 1 = 1", "T > 3(2J+1) at line   1 (input line 7)", false},
      {"", "1 0 1 0 0 0 = 1 # -1", "# partner outside the list at line   1 (input line 7)", false},
      {"", "1 0 1 0 0 0 = 1\n= 2 & -5", "& partner outside the list at line   2 (input line 8)",
       false},
      {"", "1 0 1 0 0 0 = 1\n= 2 diff -3",
       "diff partner outside the list at line   2 (input line 8)", false},
      {"", "1 0 1 0 0 0 = 1 # 1", "partner beyond the last line at line   1 (input line 7)", false},
      {"", "1 0 1 0 0 0 = 1 # 99999999999", "# partner outside the list at line   1 (input line 7)",
       false},
      {"ndata 1", "1 0 1 0 0 0 = 1 & 1\n= 2",
       "& partner outside the list at line   1 (input line 8)", false},
      {"", "1 0 1 0 0 0 = 1 Err 0", "Error: Err = 0 at line   1 (input line 7)", false},
      {"spin 2", "Jup 1e30 tup 1 Jlo 0 tlo 1 = 1", " Warning Max. J exceeded. Line   1 error",
       true},
      // a level that no K-, K+ pair of its J names, and a quantum number given twice
      {"", "Jup 2 K-up 1 K+up 0 Jlo 1 K-lo 0 K+lo 1 = 1",
       "K- + K+ must be J or J+1 at line 1 (input line 7); K- and K+ lie in 0 .. J", false},
      {"", "Jup 2 K-up 3 K+up -1 Jlo 1 K-lo 0 K+lo 1 = 1",
       "K- + K+ must be J or J+1 at line 1 (input line 7); K- and K+ lie in 0 .. J", false},
      {"", "Jup 1 tup 1 Jlo 0 tlo 1 = 1 Jup 1",
       "Jup given twice at line 1 (input line 7): a number without a keyword fills the names in"
       " order from Jup on; is \"=\" missing?",
       false},
      {"", "1 0 1 0 0 0 = 0", "\"=\" without a frequency (or with 0) at line 1 (input line 7)",
       false},
  };
  for (const Case& k : cases) {
    Parsed p = lines(std::string(k.lines) + "\n", k.controls);
    EXPECT_TRUE(p.ended && !p.isStop) << k.lines << "\n" << p.out << p.err;
    const std::string& where = k.toListing ? p.out : p.err;
    EXPECT_NE(where.find(std::string(k.message) + "\n"), std::string::npos) << k.lines << "\n"
                                                                            << p.out << "--\n"
                                                                            << p.err;
    EXPECT_NE(p.out.find(" INPUT ERROR(S)\n"), std::string::npos) << k.lines;
    EXPECT_NE(p.err.find(" INPUT ERROR(S)\n"), std::string::npos) << k.lines;
    EXPECT_EQ(p.out.find("Data Points"), std::string::npos) << k.lines; // no summary
  }
}

TEST(TransitionInput, EveryBadLineIsReportedBeforeTheEnd) {
  Parsed p = lines("1 0 1 0 0 0 Bup 0 = 1\n= 2 Bup 1\nBlo 7 = 3\n= 4 Blo 1 V1lo 0\n");
  EXPECT_TRUE(p.ended && !p.isStop);
  EXPECT_EQ(p.err, "Error: B < 1 at line   1 (input line 7)\nB > DIM B   3 (input line 9)\n"
                   "V < 1 at line   4 (input line 10)\n INPUT ERROR(S)\n");
  // F without a nuclear spin: one message for the line, not one per level
  p = lines("1 0 1 0 0 0 Fup 2 Flo 0 = 1\n");
  EXPECT_EQ(p.err, "Error: F given, but spin (twice the nuclear spin, a control) is 0 at "
                   "transition no.   1 (input line 7)\n INPUT ERROR(S)\n");
  // the set count is not raised past the storage by a bad B
  EXPECT_LE(p.rs->nB, DIMB);
}

} // namespace
} // namespace ruvo::test

namespace ruvo::test {
namespace {

// How whole runs end after the input: help and input errors.
TEST(TransitionInput, ExitStatusOfWholeRuns) {
  RunResult help = runText("help\n");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find(" possible parameters:\n BJ     \n"), std::string::npos);
  RunResult bad = runText("t\n\n\nBJ 3\n\n\n1 0 1 0 0 0 Bup 0 = 1\n\n");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "Error: B < 1 at line   1 (input line 7)\n INPUT ERROR(S)\n"); // no STOP
  RunResult stopped = runText("t\n\nntop 4\n\n");
  EXPECT_EQ(stopped.status, 1);
  EXPECT_EQ(stopped.err, "STOP ERROR: ntop > DIMTOP (input line 3)\n");
}

} // namespace
} // namespace ruvo::test
