// Parameter sections of the input file: title and help, controls, checks,
// parameter sets, adjustment bits, fit variables, species, torsional states.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "input/parse_helper.h"
#include "input/tables.h"

namespace ruvo::test {
namespace {

// A minimal molecule without tops: title, controls, parameters, fit
// variables, then the transitions.
// A section of the given lines, ended by its empty line.
std::string sec(const std::string& lines) { return lines.empty() ? "\n" : lines + "\n\n"; }

std::string rigid(const std::string& controls, const std::string& params,
                  const std::string& fits = "",
                  const std::string& lines = "1 0 1 0 0 0 12.345678\n") {
  return "title\n\n" + sec(controls) + sec(params) + sec(fits) + lines + "\n";
}

// The same with one top: species /A and /E and one torsional state.
std::string oneTop(const std::string& controls, const std::string& params,
                   const std::string& fits = "") {
  return "title\n\nntop 1 " + controls + "\n\n" + sec(params) + sec(fits) +
         "/A S 0\n/E S 1\n\nV 0\n\n1 0 1 0 0 0 /A = 12.3\n\n";
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST(ParameterInput, CompleteSmallInputEchoesAndFillsTheRunState) {
  Parsed p = parse(inputCase("small_one_top.inp"));
  ASSERT_FALSE(p.ended) << p.stopMessage << p.err;
  EXPECT_EQ(compareListings(inputCase("small_one_top.out"), p.out), "");
  EXPECT_EQ(p.err, "");
  const RunState& rs = *p.rs;
  const FitState& fs = *p.fs;
  EXPECT_EQ(rs.ctl.ntop, 1);
  EXPECT_EQ(rs.ctl.nzyk, 10);
  EXPECT_EQ(rs.ctl.aprint, 17);
  EXPECT_EQ(rs.ctl.xprint, 4);
  for (int b = 1; b <= DIMB; ++b) {
    EXPECT_EQ(fs.best(par::BJ, b), 4.5);
    EXPECT_EQ(fs.best(par::top(1, par::V1n), b), 800.0);
    EXPECT_EQ(fs.best(par::top(2, par::F), b), 0.0);
  }
  EXPECT_EQ(fs.model.npar, 47);
  ASSERT_EQ(fs.model.nfit, 2);
  // BJ was entered for all five sets; only set 1 is in use in the end
  EXPECT_EQ(fs.model.var[1].kind, 1);
  EXPECT_EQ(fs.model.var[1].nterm, 1);
  EXPECT_EQ(fs.model.var[1].par[1], par::BJ);
  EXPECT_EQ(fs.model.var[1].coef[1], 1.0);
  for (int b = 1; b <= DIMB; ++b) EXPECT_EQ(fs.flags(par::BJ, b), 1);
  EXPECT_EQ(fs.model.var[2].kind, -1);
  EXPECT_EQ(fs.model.var[2].step, 0.1);
  EXPECT_EQ(fs.model.var[2].factor, 1.0);
  EXPECT_EQ(fs.model.var[2].par[1], par::top(1, par::V1n));
  EXPECT_EQ(rs.species.nsym, 2);
  EXPECT_EQ(rs.species.label[1], "/A");
  EXPECT_EQ(rs.species.sigma[2][1], 1);
  EXPECT_EQ(rs.use(1, 1, 1), 1);
  EXPECT_EQ(rs.use(1, 1, 5), 1);
  EXPECT_EQ(rs.use(2, 1, 1), -1);
  EXPECT_EQ(rs.nB, 1);
  EXPECT_EQ(rs.tr.ndata, 2);
  EXPECT_EQ(rs.tr.qn[2][UP][slot::S], 2);
  EXPECT_EQ(rs.tr.qn[2][UP][slot::t], 1);
  EXPECT_DOUBLE_EQ(rs.tr.freq[2], 10.6);
}

TEST(ParameterInput, HelpListsTheNamesAndTheLimits) {
  for (const char* word : {"help", "Help", "HELP"}) {
    Parsed p = parse(std::string(word) + "\n\n");
    EXPECT_TRUE(p.help) << word;
    EXPECT_FALSE(p.ended);
    std::string expected = std::string(word) + "\n possible parameters:\n";
    for (int k = 1; k <= NPAR; ++k)
      expected += " " + kParamNames[k] + std::string(7 - kParamNames[k].size(), ' ') + "\n";
    expected += "\n DIMTOP   3\n DIMJ   150\n\n See \"man ruvo\" and the user guide"
                " (share/doc/ruvo/user-guide.md) for more information\n";
    EXPECT_EQ(p.out, expected);
  }
  // help only as the whole first word
  Parsed q = parse(rigid("", "BJ 3"));
  EXPECT_FALSE(q.help);
  Parsed r = parse("helpme please\n\n\n" + rigid("", "BJ 3").substr(7));
  EXPECT_FALSE(r.help);
}

TEST(ParameterInput, EmptyControlSectionGivesTheDefaults) {
  Parsed p = parse(rigid("", "BJ 3"));
  ASSERT_FALSE(p.ended) << p.stopMessage;
  const Controls& c = p.rs->ctl;
  EXPECT_EQ(c.nzyk, 1);
  EXPECT_EQ(c.print, 3);
  EXPECT_EQ(c.maxm, 8);
  EXPECT_EQ(c.woods, 33);
  EXPECT_EQ(c.nfold, 3);
  EXPECT_EQ(c.aprint, 9);
  EXPECT_EQ(c.xprint, 4);
  EXPECT_EQ(c.eval + c.dfreq + c.orger + c.ints + c.spin + c.ntop + c.adjf + c.maxvm + c.ncycl +
                c.svderr + c.fitscl + c.reduct,
            0);
  EXPECT_EQ(c.ndata, 1); // the number of lines read
  EXPECT_EQ(c.eps, 1e-12);
  EXPECT_EQ(c.defer, 1e-5);
  EXPECT_EQ(c.convg, 0.999);
  EXPECT_EQ(c.lambda, 1e-5);
  EXPECT_EQ(c.freq_l, 6.0);
  EXPECT_EQ(c.freq_h, 40.0);
  EXPECT_EQ(c.limit, 0.1);
  EXPECT_EQ(c.temp, 273.0);
  EXPECT_EQ(c.rofit + c.weigf, 0.0);
  EXPECT_NE(p.out.find(" Using Watson A Reduction \n\n"), std::string::npos);
}

TEST(ParameterInput, PrintLevelBecomesListingBits) {
  struct Case {
    const char* controls;
    int aprint, xprint;
  } cases[] = {{"print 0", 0, 0},          {"print 1", 1, 0},
               {"print 2", 17, 4},         {"print 3", 9, 4},
               {"print 4", 10, 4},         {"print 5", 26, 4},
               {"print 6", 274, 4},        {"print 7", 0, 4},
               {"print -1", 0, 0},         {"print 3 aprint 128", 137, 4},
               {"print 2 xprint 1", 17, 5}};
  for (const Case& k : cases) {
    Parsed p = parse(rigid(k.controls, "BJ 3"));
    ASSERT_FALSE(p.ended) << k.controls << p.stopMessage;
    EXPECT_EQ(p.rs->ctl.aprint, k.aprint) << k.controls;
    EXPECT_EQ(p.rs->ctl.xprint, k.xprint) << k.controls;
  }
}

TEST(ParameterInput, ControlValuesAndTheirEcho) {
  Parsed p = parse(rigid("nzyk 2 ncycl 7 maxm 5.9 temp 300 woods 1\nspin -0.7 defer 2e-5", "BJ 3"));
  ASSERT_FALSE(p.ended) << p.stopMessage;
  const Controls& c = p.rs->ctl;
  EXPECT_EQ(c.nzyk, 7); // raised to ncycl
  EXPECT_EQ(c.maxm, 5); // truncated toward zero
  EXPECT_EQ(c.spin, 0);
  EXPECT_EQ(c.woods, 1);
  EXPECT_EQ(c.temp, 300.0);
  for (int t = 1; t <= DIMTOP; ++t) EXPECT_EQ(p.rs->maxmTop[t], 0); // no tops
  // four integers to a line, three reals to a line
  const std::string echo = "   nzyk         7   print        3   eval         0   dfreq        0\n"
                           "   orger        0   ints         0   maxm         5   woods        1\n";
  EXPECT_NE(p.out.find("title\n" + echo), std::string::npos) << p.out;
  EXPECT_NE(
      p.out.find("   rofit    .0000000D+00   eps      .1000000D-11   defer    .2000000D-04\n"),
      std::string::npos);
  EXPECT_NE(p.out.find("\n   temp     .3000000D+03\n Using Watson A"), std::string::npos);
  // a number beyond 32 bits is no integer control: it is not cut silently
  Parsed q = parse(rigid("ncycl 1e30", "BJ 3"));
  EXPECT_TRUE(q.ended && q.isStop);
  EXPECT_EQ(q.stopMessage, "ERROR: ncycl out of range: 1e+30 (input line 3)");
}

TEST(ParameterInput, ReductionsAndTheNameR6) {
  Parsed s = parse(rigid("reduct 1", "BJ 3"));
  EXPECT_NE(s.out.find("\n Using Watson S Reduction \n"), std::string::npos);
  Parsed p = parse(rigid("reduct 2", "BJ 3 R6 0.25"));
  ASSERT_FALSE(p.ended) << p.stopMessage;
  EXPECT_NE(p.out.find("\n Using van Eijck-Typke Reduction \n"), std::string::npos);
  EXPECT_EQ(p.rs->parName[par::dk], "R6");
  EXPECT_EQ(p.fs->best(par::dk, 1), 0.25);
  EXPECT_NE(p.out.find(" R6            0.250000000"), std::string::npos) << p.out;
}

TEST(ParameterInput, FilesForEnergiesAndDeviations) {
  // the files are written into the working directory: use one of our own
  const std::filesystem::path here = std::filesystem::current_path();
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("ruvo-parameter-input-files-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  Parsed p = parse(rigid("eval 1 dfreq 1", "BJ 3"));
  std::filesystem::current_path(here);
  EXPECT_TRUE(std::filesystem::exists(dir / "eval.out"));
  EXPECT_TRUE(std::filesystem::exists(dir / "dfreq.out"));
  std::filesystem::remove_all(dir);
  ASSERT_FALSE(p.ended) << p.stopMessage;
  EXPECT_NE(p.out.find("\\\\ writing eigenvalues in file eval.out\n"), std::string::npos);
  EXPECT_NE(p.out.find("\\\\ writing deviation of frequencies in file dfreq.out\n"),
            std::string::npos);
  EXPECT_TRUE(p.rs->io.evalFile.is_open());
  EXPECT_TRUE(p.rs->io.dfreqFile.is_open());
}

TEST(ParameterInput, AssumedNumberOfSets) {
  struct Case {
    const char* params;
    int sets;
  } cases[] = {{"BJ 3000", 1},
               {"BJ 3000 BJ(2:) 3001", 2},
               {"BJ 3000 BK(4:) 2", 4},
               {"BJ 3000 BK(3) 0", 1}, // a zero never counts
               {"BJ(1:2) 3000 BJ(3:) 3", 3},
               {"BJ 3 F_2(5) 1", 1}}; // not active without tops
  for (const Case& k : cases) {
    Parsed p = parse(rigid("", k.params));
    ASSERT_FALSE(p.ended) << k.params << p.stopMessage;
    EXPECT_NE(p.out.find(" assumed sizeb" + std::string(11, ' ') + std::to_string(k.sets) + "\n"),
              std::string::npos)
        << k.params;
    EXPECT_EQ(count(p.out, " new adj :"), k.sets) << k.params;
  }
  // parameters of absent tops are held at 0
  Parsed p = parse(rigid("", "BJ 3 F_1 160 F12 3"));
  EXPECT_EQ(p.fs->best(par::top(1, par::F), 1), 0.0);
  EXPECT_EQ(p.fs->best(par::F12, 3), 0.0);
}

TEST(ParameterInput, AdjustmentBitsPerSet) {
  // two tops without F12: bit 2 in every assumed set, announced once per set
  Parsed p = parse("t\n\nntop 2\n\nBJ 3 BJ(2:) 3.1 F_1 160 F_2 150 rho_1 0.01 rho_2 0.02\n\n\n"
                   "/AA S 0 0\n\nV 0 0\n\n1 0 1 0 0 0 /AA = 1\n\n");
  ASSERT_FALSE(p.ended) << p.stopMessage;
  EXPECT_EQ(count(p.out, " \\\\ set (adj  or  2)\n"), 2);
  EXPECT_EQ(count(p.out, " \\\\ adj  2: adjust F12 according to rho, beta and gamma\n"), 2);
  EXPECT_EQ(count(p.out, " new adj :   2\n"), 2);
  for (int b = 1; b <= DIMB; ++b) EXPECT_EQ(p.rs->adjfB[b], 2) << b;
  EXPECT_EQ(p.rs->woodsB[5], 33);

  // F of top 1 missing: bit 1; F0 instead of rho: bit 8; angles: bit 16
  Parsed q = parse(oneTop("adjf 4 woods 5", "BJ 3 F0_1 160 delta_1 0.3"));
  ASSERT_FALSE(q.ended) << q.stopMessage;
  EXPECT_NE(q.out.find(" \\\\ set (adj  or 16)\n \\\\ set (adj  or  8)\n \\\\ set (adj  or  1)\n"),
            std::string::npos)
      << q.out;
  EXPECT_NE(q.out.find(" \\\\ adj  1: adjust F according to rho, beta and gamma\n"
                       " \\\\ adj  4: adjust F (one top case) and ignore F' \n"
                       " \\\\ adj  8: adjust rho according to F0 = 1/(2 I_alpha)\n"
                       " \\\\ adj 16: adjust beta and gamma  according delta + epsil\n"
                       " new adj :  29\n"),
            std::string::npos)
      << q.out;
  EXPECT_EQ(q.rs->adjfB[1], 29);
  EXPECT_EQ(q.rs->woodsB[1], 5);
  // a bit already given is not announced again
  Parsed r = parse(oneTop("adjf 1", "BJ 3"));
  EXPECT_EQ(count(r.out, "set (adj  or  1)"), 0);

  // three tops with bit 4: the recommendation
  Parsed s = parse("t\n\nntop 3 adjf 4\n\nBJ 3\n\n");
  EXPECT_NE(s.out.find(" I recommend to set adj to 4 for a three top molecule!\n"),
            std::string::npos);
}

TEST(ParameterInput, FitVariablesAndTheirEcho) {
  Parsed p = parse("title\n\n\nBJ 3 BK(2) 2.5 DK 1e-6\n\n"
                   "fit BJ\nfit 0.5 2 BK(2) 0 DK 3\ndqx BJ(1:2) 2 H_J\nfoo BK\n"
                   "1 0 1 0 0 0 12.345678\n\n");
  ASSERT_FALSE(p.ended) << p.stopMessage;
  const FitModel& m = p.fs->model;
  EXPECT_EQ(m.nfit, 3);
  EXPECT_NE(p.out.find("\n\n fit  0.1D+00 0.1D+01      BJ          1.00\n"), std::string::npos)
      << p.out;
  EXPECT_NE(p.out.find("\n fit  0.5D+00 0.2D+01      BK(2)    1.00   DK          3.00\n"),
            std::string::npos);
  EXPECT_NE(p.out.find("\n dqx  0.1D+00 0.1D+01      BJ(1)    2.00   BJ(2)    2.00   H_J    "
                       "     1.00\n"),
            std::string::npos);
  // the transitions name set 1 only, but set 2 was assumed from BK(2)
  EXPECT_EQ(p.rs->nB, 2);
  EXPECT_EQ(m.var[1].nterm, 2);
  EXPECT_EQ(m.var[2].kind, 1);
  EXPECT_EQ(m.var[2].step, 0.5);
  EXPECT_EQ(m.var[2].factor, 2.0);
  ASSERT_EQ(m.var[2].nterm, 3);
  EXPECT_EQ(m.var[2].par[1], par::BK);
  EXPECT_EQ(m.var[2].set[1], 2);
  EXPECT_EQ(m.var[2].coef[1], 1.0); // 0 means 1
  EXPECT_EQ(m.var[2].par[2], par::DK);
  EXPECT_EQ(m.var[2].coef[3], 3.0);
  EXPECT_EQ(m.var[3].kind, -2);
  EXPECT_EQ(p.fs->flags(par::BK, 2), 1);
  EXPECT_EQ(p.fs->flags(par::BK, 1), 0);
  // "foo" ended the section; the line after it is the first transition
  EXPECT_EQ(p.rs->tr.ndata, 1);

  // a dqu variable of values that are all zero has no step to take
  Parsed z = parse("title\n\n\nBJ 3\n\ndqu DK\n");
  EXPECT_EQ(z.stopMessage, "ERROR: dqu/x parameter can not be zero !");

  // a fit variable with a numerical-derivative parameter becomes dqu
  Parsed q = parse(oneTop("", "BJ 3 F_1 160 rho_1 0.02", "fit F_1 BJ"));
  ASSERT_FALSE(q.ended) << q.stopMessage;
  EXPECT_EQ(q.fs->model.var[1].kind, -1);
}

TEST(ParameterInput, FitEntriesOfUnusedSetsAreDropped) {
  Parsed p =
      parse(rigid("", "BJ 3", "fit BJ(2:4) BK(1)\nfit BK(1:5)", "1 0 1 0 0 0 Bup 2 Blo 2 = 5\n"));
  ASSERT_FALSE(p.ended) << p.stopMessage;
  EXPECT_EQ(p.rs->nB, 2);
  const FitVar& v = p.fs->model.var[1];
  ASSERT_EQ(v.nterm, 2);
  EXPECT_EQ(v.par[1], par::BJ);
  EXPECT_EQ(v.set[1], 2);
  EXPECT_EQ(v.par[2], par::BK);
  EXPECT_EQ(v.set[2], 1);
  EXPECT_EQ(p.fs->model.var[2].nterm, 2);
}

TEST(ParameterInput, SpeciesAndTorsionalStates) {
  Parsed p = parse("t\n\nntop 3\n\nBJ 3 F_1 1 F_2 1 F_3 1 F12 1 rho_1 .1 rho_2 .1 rho_3 .1\n\n\n"
                   "/A G 0 0 0\n/Elong S 1 0 -1\nG 1 0 1\n\nV 0 0 0 V 1 0 0\nV 2 1 0\n\n"
                   "1 0 1 0 0 0 /Elon = 3\n\n");
  ASSERT_FALSE(p.ended) << p.stopMessage << p.err;
  const SpeciesTable& sp = p.rs->species;
  EXPECT_TRUE(sp.present);
  EXPECT_EQ(sp.nsym, 3);
  EXPECT_EQ(sp.label[2], "/Elon"); // labels keep 5 characters
  EXPECT_EQ(sp.label[3], "");
  EXPECT_EQ(sp.sigma[2][3], -1);
  EXPECT_EQ(sp.sigma[3][1], 1);
  EXPECT_EQ(sp.sigma[3][2], 0);
  EXPECT_EQ(sp.sigma[3][3], 1);
  EXPECT_EQ(p.rs->trKey[32], "/Elon");
  EXPECT_EQ(p.rs->tr.qn[1][UP][slot::S], 2);
  EXPECT_NE(p.out.find("   /A     S     0   0   0\n   /Elon  S     1   0  -1\n  S     1   0   1\n"),
            std::string::npos)
      << p.out;
  // two lines: two sets; the second set's groups go on to sets 3..5
  EXPECT_EQ(p.rs->nB, 2);
  EXPECT_EQ(p.rs->use(1, 1, 1), 1);
  EXPECT_EQ(p.rs->use(2, 1, 1), 2);
  EXPECT_EQ(p.rs->use(3, 1, 1), -1);
  EXPECT_EQ(p.rs->use(1, 1, 2), 3);
  EXPECT_EQ(p.rs->use(1, 2, 2), 2);
  EXPECT_EQ(p.rs->use(1, 1, 5), 3);
  EXPECT_EQ(p.rs->use(2, 1, 5), -1);
  EXPECT_NE(p.out.find("  V  1  1  1  V  2  1  1\n  V  3  2  1\n\n"), std::string::npos);

  // without tops neither section is read
  Parsed q = parse(rigid("", "BJ 3"));
  EXPECT_FALSE(q.rs->species.present);
  EXPECT_EQ(q.rs->species.nsym, 0);
  EXPECT_EQ(q.rs->tr.ndata, 1);
}

// Every stop of the parameter sections, with an input that triggers it.
TEST(ParameterInput, StopMessages) {
  std::string fits61;
  for (int i = 0; i < 61; ++i) fits61 += "fit BJ(1)\n";
  std::string sym15;
  for (int i = 0; i < 15; ++i) sym15 += "S 0\n";
  const std::string topParams = "BJ 3 F_1 160 rho_1 0.02 beta_1 0.1";
  struct Case {
    std::string input, message;
  } cases[] = {
      {rigid("ntop 4", "BJ 3"), "ERROR: ntop > DIMTOP (input line 3)"},
      {rigid("ntop -1", "BJ 3"), "ERROR: ntop < 0 (input line 3)"},
      {rigid("maxm 36", "BJ 3"), "ERROR: 2maxm+1 > DIMM (input line 3)"},
      {oneTop("maxm -1", topParams), "ERROR: maxm < 0 (input line 3)"},
      {rigid("ndata 100001", "BJ 3"), "ERROR: ndata > 100000 (input line 3)"},
      {rigid("ints 1", "BJ 3"), "ERROR: need mu_x mu_y or mu_z for intensities"},
      {rigid("", "BK 3"), "ERROR: BJ can not be zero"},
      {rigid("", "BJ 3 BJ(2) 0 BK(2) 1"), "ERROR: BJ can not be zero"},
      {rigid("", "BJ 3", fits61), " maximum number (DIMFIT) of fit variables exceeded !"},
      {rigid("", "BJ 3", "fit BJ BK B- DJ(1)"), " Dimension Error: DIMPLC"},
      {oneTop("", topParams, "dqu V2n_1"), "ERROR: dqu/x parameter can not be zero !"},
      {oneTop("", topParams, "fit P_z"), ""}, // analytic kind: a zero value is fine
      {"t\n\nntop 2 adjf 2\n\nBJ 3 F_1 160 F_2 150 rho_1 0.01 rho_2 0.02 F12 4\n\nfit F12\n",
       " Fit ERROR: can not fit F12: adjf = 2"},
      {oneTop("", topParams, "fit F0_1"), " Fit ERROR: can not fit F0: adjf <> 1"},
      {oneTop("adjf 1", topParams, "fit F_1"), " Fit ERROR: can not fit F: adjf = 1"},
      {oneTop("adjf 1", topParams, "fit F0_1"), " Fit ERROR: can not fit F0: adjf <> 8"},
      {oneTop("adjf 8", topParams + " F0_1 150", "fit rho_1"),
       " Fit ERROR: can not fit rho: adjf = 8"},
      {oneTop("", topParams, "fit delta_1"), " Fit ERROR: can not fit delta/epsil: adjf <> 16"},
      {oneTop("adjf 16", topParams + " delta_1 0.2", "fit beta_1"),
       " Fit ERROR: can not fit beta/gamma: adjf = 16"},
      {"t\n\nntop 1\n\n" + topParams + "\n\n\nG 1 S 1\n\n", "Error: use G or S as Keyword"},
      {"t\n\nntop 1\n\n" + topParams + "\n\n\n" + sym15 + "\n", " to many lines reading S! "},
      {"t\n\nntop 1\n\n" + topParams + "\n\n\nS 2\n\n", "ERROR: sigma > DIMSIG"},
      {"t\n\nntop 1\n\n" + topParams + "\n\n\nS -2\n\n", "ERROR: sigma < -DIMSIG"},
      {"t\n\nntop 2\n\n" + topParams + " F_2 1 rho_2 .1\n\n\nS 0 0\n\nV 0\n\n",
       " Error: V no. for each top necessary! (input line 10)"},
      {"t\n\nntop 1\n\n" + topParams + "\n\n\nS 0\n\nV 16\n\n",
       "ERROR: V no. 16 out of range 0 .. 2maxm-1 = 15 (input line 10)"},
      {"t\n\nntop 1 maxm 2\n\n" + topParams + "\n\n\nS 0\n\nV 4\n\n",
       "ERROR: V no. 4 out of range 0 .. 2maxm-1 = 3 (input line 10)"},
      {"t\n\nntop 1\n\n" + topParams + "\n\n\nS 0\n\nV -1\n\n",
       "ERROR: V no. -1 out of range 0 .. 2maxm-1 = 15 (input line 10)"},
      {"t\n\nntop 1\n\n" + topParams + "\n\n\nS 0\n\nV 0 V 3\n\n",
       "ERROR: V no. of top 1 in line 1 span more than 3 states (0 .. 3) (input line 10)"},
      {"", "ERROR: the input is empty"},
      {"t\n\nnzyk 1\n\n\n\n",
       "ERROR: no parameter section read (every section ends at an"
       " empty line: is the empty line after the title or after the controls missing?)"},
      {"t\n\nntop 1\n\n" + topParams + "\n\n\nS 0\n\nV 0\nV 0\nV 0\nV 0\nV 0\nV 0\n\n",
       "ERROR: more lines of torsional states than parameter sets (5) (input line 15)"},
  };
  for (const Case& k : cases) {
    Parsed p = parse(k.input);
    if (k.message.empty()) {
      EXPECT_FALSE(p.ended) << k.input << p.stopMessage;
      continue;
    }
    EXPECT_TRUE(p.ended && p.isStop) << k.input;
    EXPECT_EQ(p.stopMessage, k.message) << k.input;
  }
}

TEST(ParameterInput, LimitsJustInside) {
  std::string fits60;
  for (int i = 0; i < 60; ++i) fits60 += "fit BJ(1)\n";
  std::string sym14;
  for (int i = 0; i < 14; ++i) sym14 += "S 0\n";
  const std::string topParams = "BJ 3 F_1 160 rho_1 0.02 beta_1 0.1";
  const std::string inputs[] = {
      rigid("ntop 0 maxm 35", "BJ 3"),
      rigid("", "BJ 3", fits60),
      rigid("", "BJ 3", "fit BJ BK B-"), // 15 entries
      "t\n\nntop 1\n\n" + topParams + "\n\n\n" + sym14 + "\nV 0\n\n",
      "t\n\nntop 1\n\n" + topParams + "\n\n\nS 0\n\nV 0\nV 0\nV 0\nV 0\nV 2 V 1 V 0 V 0\n\n",
      "t\n\nntop 1\n\n" + topParams + "\n\n\nS 0\n\nV 15 V 13\n\n", // by the free-rotor basis
      "t\n\nntop 3\n\nBJ 3 F_1 1 F_2 1 F_3 1 F12 1 rho_1 .1 rho_2 .1 rho_3 .1\n\n\nS 0 0 0\n\nV 0 "
      "0 0\n\n",
  };
  for (const std::string& in : inputs) {
    Parsed p = parse(in);
    EXPECT_FALSE(p.ended) << in << p.stopMessage;
  }
  Parsed p = parse(inputs[4]);
  EXPECT_EQ(p.rs->nB, 5);
  EXPECT_EQ(p.rs->use(1, 1, 5), 3);
  EXPECT_EQ(p.rs->use(3, 1, 5), 1); // a fourth group is not kept, and that is said
  EXPECT_EQ(p.err, "Input error: more than 3 V groups at input line 14; the fourth and later"
                   " ones are not read\n");
  EXPECT_EQ(p.rs->problems, 1);
  Parsed q = parse(inputs[5]);
  EXPECT_EQ(q.rs->use(1, 1, 1), 16);
  EXPECT_EQ(q.rs->use(2, 1, 1), 14);
  EXPECT_EQ(q.err, "");
  Parsed r = parse("t\n\nntop 1\n\n" + topParams + "\n\n\nS 0\n\nV 0 x\n\n");
  EXPECT_EQ(r.err, "Input error: \"x\" at input line 10 is no V group; the rest of the line is"
                   " not read\n");
}

TEST(ParameterInput, UnknownKeywordsAreReportedAndIgnored) {
  Parsed p = parse(rigid("nzyk 2 bogus 3", "BJ 3 XYZ 4"));
  ASSERT_FALSE(p.ended) << p.stopMessage;
  EXPECT_EQ(p.rs->ctl.nzyk, 2);
  EXPECT_NE(p.out.find("Input Error: undef character bogus"), std::string::npos);
  EXPECT_NE(p.out.find("Input Error: undef character XYZ"), std::string::npos);
  EXPECT_EQ(p.err, "Input error: unknown keyword bogus at input line 3 (ignored with the number"
                   " after it)\n"
                   "Input error: unknown keyword XYZ at input line 5 (ignored with the number"
                   " after it)\n");
  EXPECT_EQ(p.rs->problems, 2);
}

} // namespace
} // namespace ruvo::test

namespace ruvo::test {
namespace {

// Every token of the complete small input replaced in turn by values that
// are out of range, huge, of the wrong kind or broken: each run must end in
// a normal return, a stop or the input-error summary, never in anything else.
TEST(ParameterInput, MalformedInputsEndCleanly) {
  const std::string base = inputCase("small_one_top.inp");
  const char* replacements[] = {"-1", "71", "-1e30", "99999999999", "x", "'", "{", "& 99"};
  std::size_t start = 0;
  int runs = 0;
  while (start < base.size()) {
    while (start < base.size() && (base[start] == ' ' || base[start] == '\n')) ++start;
    std::size_t end = start;
    while (end < base.size() && base[end] != ' ' && base[end] != '\n') ++end;
    if (end == start) break;
    for (const char* r : replacements) {
      const std::string text = base.substr(0, start) + r + base.substr(end);
      Parsed p = parse(text);
      ++runs;
      if (p.ended && p.isStop) {
        EXPECT_FALSE(p.stopMessage.empty()) << text;
      }
    }
    // the input cut short after this token
    if (runs % 3 == 0) Parsed cut = parse(base.substr(0, end));
    start = end;
  }
  EXPECT_GT(runs, 300);
}

} // namespace
} // namespace ruvo::test

namespace ruvo::test {
namespace {

// A stream whose read fails right after the last character of `text`.
struct FailingInput : std::streambuf {
  std::string text;
  std::size_t at = 0;
  std::istream* owner = nullptr;
  int_type underflow() override {
    return at < text.size() ? traits_type::to_int_type(text[at]) : traits_type::eof();
  }
  int_type uflow() override {
    if (at >= text.size()) return traits_type::eof();
    const char c = text[at++];
    if (at == text.size()) owner->setstate(std::ios::badbit);
    return traits_type::to_int_type(c);
  }
};

Parsed parseFailing(const std::string& text) {
  Parsed p;
  FailingInput buf;
  buf.text = text;
  std::istream in(&buf);
  buf.owner = &in;
  std::ostringstream out, err;
  p.rs->allocate();
  p.rs->io.in = &in;
  p.rs->io.out = &out;
  p.rs->io.err = &err;
  Reader reader(in, out, err);
  try {
    p.help = !readInputFile(*p.rs, *p.fs, reader);
  } catch (const RunEnd& e) {
    p.ended = true;
    p.isStop = e.isStop;
    p.stopMessage = e.message;
  }
  p.out = out.str();
  p.err = err.str();
  return p;
}

// A failed read ends the title, control and transition sections like an
// empty line and stops the run in the others.
TEST(ParameterInput, FailedReads) {
  const std::string top = "t\n\nntop 1\n\nBJ 3 F_1 160 rho_1 .02\n\n\n";
  EXPECT_EQ(parseFailing("t\n").stopMessage, "reading a");
  EXPECT_EQ(parseFailing("t\n\nnzyk 2\n").stopMessage, "reading a");
  EXPECT_EQ(parseFailing("t\n\n\nBJ 3\n").stopMessage, "reading a");
  EXPECT_EQ(parseFailing("t\n\n\nBJ 3\n\n").stopMessage, " Error reading fit parameters");
  EXPECT_EQ(parseFailing(top).stopMessage, " Error: reading gamma");
  EXPECT_EQ(parseFailing(top + "S 0\n\n").stopMessage, " Error: reading qvv");
  Parsed p = parseFailing("t\n\n\nBJ 3\n\n\n1 0 1 0 0 0 1\n");
  EXPECT_FALSE(p.ended) << p.stopMessage;
  EXPECT_EQ(p.rs->tr.ndata, 1);
}

// A name given twice in a section is an input error with both input lines
// (a decimal comma, a line given twice); a set range after a value for all
// sets is the way to let the sets differ and stays allowed.
TEST(ParameterInput, NamesGivenTwiceInASectionStopTheRun) {
  Parsed p = parse(rigid("", "BJ 3,36 BK 6,10"));
  EXPECT_TRUE(p.ended && p.isStop);
  EXPECT_EQ(p.err, "Input error: BJ given twice in the parameter section, at input line 4 and at"
                   " input line 4 (a decimal comma? \"3,36\" reads as the two numbers 3 and 36)\n"
                   "Input error: BK given twice in the parameter section, at input line 4 and at"
                   " input line 4 (a decimal comma? \"3,36\" reads as the two numbers 3 and 36)\n");
  EXPECT_EQ(p.stopMessage, "ERROR: 2 names given twice in the parameter section (see above)");
  p = parse(rigid("nzyk 3\nprint 2 nzyk 4", "BJ 3"));
  EXPECT_EQ(p.err, "Input error: nzyk given twice in the control section, at input line 3 and at"
                   " input line 4\n");
  EXPECT_EQ(p.stopMessage, "ERROR: a name given twice in the control section (see above)");
  p = parse(rigid("", "BJ 3 BK 6\nBJ(2) 3.1\nBJ(2) 3.2"));
  EXPECT_EQ(p.stopMessage, "ERROR: a name given twice in the parameter section (see above)");
  EXPECT_NE(p.err.find("BJ given twice in the parameter section, at input line 5 and at input"
                       " line 6"),
            std::string::npos)
      << p.err;
  p = parse(rigid("", "BJ 3 BK 6 BJ(2) 3.1\nBK(2:) 6.2"));
  EXPECT_FALSE(p.ended) << p.err;
  EXPECT_EQ(p.fs->best(par::BJ, 2), 3.1);
  EXPECT_EQ(p.fs->best(par::BK, 5), 6.2);
}

// Messages about a control's value and about the torsional states name the
// input line; a missing species or torsional-state section gives one stop
// instead of every later section read into the wrong one.
TEST(ParameterInput, ChecksNameTheInputLineAndMissingSectionsStopOnce) {
  EXPECT_EQ(parse(rigid("print 2\nntop 4", "BJ 3")).stopMessage,
            "ERROR: ntop > DIMTOP (input line 4)");
  const std::string top = "t\n\nntop 1\n\nBJ 3 F_1 160 V1n_1 800 rho_1 0.05\n\n\n";
  EXPECT_EQ(parse(top + "/A S 0\n\nV 99\n\n").stopMessage,
            "ERROR: V no. 99 out of range 0 .. 2maxm-1 = 15 (input line 10)");
  Parsed p = parse(top + "V 0\n\nJup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 = 5.9\n\n");
  EXPECT_EQ(p.err, "");
  EXPECT_EQ(p.stopMessage.rfind("ERROR: no symmetry species section: input line 8 begins with"
                                " \"V\"",
                                0),
            0u)
      << p.stopMessage;
  p = parse(top + "/A S 0\n\nJup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 = 5.9\n\n");
  EXPECT_EQ(p.err, "");
  EXPECT_EQ(p.stopMessage.rfind("ERROR: no torsional-state section: input line 10 begins with"
                                " \"Jup\"",
                                0),
            0u)
      << p.stopMessage;
}

} // namespace
} // namespace ruvo::test
