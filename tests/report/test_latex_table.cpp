// The LaTeX longtable of the transitions: preamble, the three cell groups of
// measured, splitting, unmeasured and averaged lines, species as numbers and
// as labels, and (where pdflatex is installed) that the table compiles.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>

#include "report/latex_table.h"
#include "support/test_support.h"

using namespace ruvo;

namespace {

struct Table {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::ostringstream out, err;
  Table() {
    rs->allocate();
    rs->io.out = &out;
    rs->io.err = &err;
  }
  // line i: upper (J, t, S), lower (J, t), partners, frequency, error, energies
  void line(int i, int Ju, int tu, int S, int Jl, int tl, int split, int avg, double freq,
            double err, double Eup, double Elo) {
    auto& q = rs->tr.qn[i];
    q[UP][slot::J] = Ju, q[UP][slot::t] = tu, q[UP][slot::S] = S;
    q[LO][slot::J] = Jl, q[LO][slot::t] = tl, q[LO][slot::S] = S;
    q[UP][slot::SPLIT] = q[LO][slot::SPLIT] = split;
    q[UP][slot::AVG] = q[LO][slot::AVG] = avg;
    rs->tr.freq[i] = freq;
    rs->tr.err[i] = err;
    rs->tr.eUp[i][0] = Eup;
    rs->tr.eLo[i][0] = Elo;
  }
  void fourLines() {
    rs->tr.ndata = 4;
    line(1, 2, 3, 0, 1, 1, 1, 1, 12.3456789, 1e-5, 20.0, 7.6543); // measured
    line(2, 2, 2, 0, 1, 1, 1, 2, 12.35, 2e-5, 20.0044, 7.6543);   // splitting against 1
    line(3, 1, 1, 1, 0, 1, 3, 3, 0.0, NODATA, 7.0, 0.0);          // no measurement
    line(4, 1, 2, 2, 0, 1, 4, 3, 7.1, 1e-4, 7.2, 0.0);            // averaged with 3
  }
};

const char* kPreamble = " \\tt\n"
                        " \\begin{longtable}{r@{\\ }r@{\\ }r c r@{\\ }r@{\\ }r l r r r l}\n"
                        " \\multicolumn{3}{c}{$J'$ $K_-'$ $K_+'$} &\n"
                        "  - &\n"
                        " \\multicolumn{3}{c}{$J$ $K_-$ $K_+$} &\n"
                        "  Sym. & $\\nu$(obs.) & Err.  & $\\delta$ & \\\\\n";

} // namespace

TEST(LatexTable, NoLinesGivePreambleAndClosingLine) {
  Table t;
  printLatexTable(*t.rs);
  EXPECT_EQ(t.out.str(), std::string(kPreamble) + "\\end{longtable}\n");
}

// K- = t/2 and K+ = (2J + 2 - t)/2 from the running number t; a splitting
// has empty quantum-number cells and gives the observed splitting; a line
// without measurement is commented out and its error shows as asterisks;
// an averaged line names both species and uses the mean calculated value.
TEST(LatexTable, CellsOfEveryKindOfLine) {
  Table t;
  t.fourLines();
  printLatexTable(*t.rs);
  const std::string expected = std::string(kPreamble) +
                               "    2 &  1 &  1 & - &  1 &  0 &  1 &      0 &         12345.679 & "
                               "0.010 &  -0.021 &\\\\      \n"
                               "      &    &    & - &    &    &    &      0 &             4.321 & "
                               "0.020 &  -0.079 &\\\\      \n"
                               "%   1 &  0 &  1 & - &  0 &  0 &  0 &      1 &             0.000 "
                               "&****** &******** &\\\\      \n"
                               "    1 &  1 &  1 & - &  0 &  0 &  0 &  1 + 2 &          7100.000 & "
                               "0.100 &   0.000 &\\\\      \n"
                               "\\end{longtable}\n";
  EXPECT_EQ(t.out.str(), expected);
}

// Species labels (/A, /E) are shown without their "/".
TEST(LatexTable, SpeciesLabels) {
  Table t;
  t.fourLines();
  t.rs->species.nsym = 2;
  t.rs->species.label[1] = "/A";
  t.rs->species.label[2] = "/E";
  printLatexTable(*t.rs);
  const std::string s = t.out.str();
  EXPECT_NE(s.find("  1 &     &            12345.679"), std::string::npos) << s;
  EXPECT_NE(s.find("  0 & A   &                0.000"), std::string::npos) << s;
  EXPECT_NE(s.find("  0 & A+E &             7100.000"), std::string::npos) << s;
}

// The table compiles as the body of a minimal document (pdflatex from the
// Debian package texlive-latex-base, which also holds longtable).
TEST(LatexTable, CompilesWithPdflatex) {
  if (std::system("command -v pdflatex > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "pdflatex is not installed";
  Table t;
  t.fourLines();
  t.rs->species.nsym = 2;
  t.rs->species.label[1] = "/A";
  t.rs->species.label[2] = "/E";
  printLatexTable(*t.rs);
  test::ScopedWorkDir dir("latex_table");
  test::writeFile("table.tex", "\\documentclass{article}\n\\usepackage{longtable}\n"
                               "\\begin{document}\n" +
                                   t.out.str() + "\\end{document}\n");
  const int rc = std::system("pdflatex -interaction=nonstopmode -halt-on-error table.tex "
                             "> pdflatex.log 2>&1");
  EXPECT_EQ(rc, 0) << test::readFile("pdflatex.log");
  const std::string log = test::readFile("table.log");
  EXPECT_EQ(log.find("Extra alignment tab"), std::string::npos) << log;
}
