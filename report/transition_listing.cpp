// The observed-minus-calculated table of the transitions, with the fit
// statistics by B set, torsional state and kind of line.
//
// Every line is assembled from fixed-width fields (each a text written with
// its layout and then held at its stated width, blank-padded on the right),
// so that the header, built from the same widths, stands over its columns.
#include "report/transition_listing.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/fortran_format.h"

namespace ruvo {

namespace {

// A field held at width w: blank-padded on the right, cut at w.
std::string field(std::string s, std::size_t w) {
  s.resize(w, ' ');
  return s;
}

std::string noNewline(std::string s) {
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

// fmt() of a one-record layout, without its record end.
std::string rec(std::string_view layout, std::initializer_list<FItem> items) {
  return noNewline(fmt(layout, items));
}

// Number of product torsional states of the blocks of set B.
int productStates(const RunState& rs, int B) {
  if (B < 1 || B > DIMB) return 1;
  int nvv = 0;
  while (nvv < DIMVV && rs.use(nvv + 1, 1, B) != -1) ++nvv;
  return nvv < 1 ? 1 : nvv;
}

} // namespace

void printTransitionListing(RunState& rs, FitStats& stats) {
  std::ostream& out = *rs.io.out;
  const Transitions& tr = rs.tr;
  const Controls& ctl = rs.ctl;
  const double rofit = ctl.rofit;

  // 1. statistics cleared
  stats = FitStats{};
  double maxDev2 = 0.0;
  int maxLine = 0;
  bool anyMeasured = false;

  // 2. width of the species labels
  int w = 0;
  for (int s = 1; s <= rs.species.nsym && s <= DIMSYM; ++s) {
    const std::string& lab = rs.species.label[s];
    for (int p = 1; p <= 5 && p <= int(lab.size()); ++p)
      if (lab[p - 1] != ' ' && p > w) w = p;
  }

  // 3.
  const int ndata = tr.ndata;
  if (ndata < 1) return;
  // torsional states of the blocks last computed (the sweep ends with the last set)
  const int nvv = rs.todo.n >= 1 ? productStates(rs, rs.todo.e[rs.todo.n].B) : 1;
  const bool kLabels = hasBit(ctl.aprint, 32);

  // Integer fields that hold line numbers: three columns for the number of
  // a line (four in the Maximum line), one more for each digit a longer
  // list needs; the offset of a splitting partner, with its sign, in four
  // columns or as many as the largest one needs.  Below 1000 lines the
  // layout is the classic one.
  const int numWidth = std::max(3, decimalWidth(ndata));
  const int maxLineWidth = std::max(4, decimalWidth(ndata));
  int splitWidth = 4;
  for (int i = 1; i <= ndata; ++i) {
    const int P = tr.qn[i][UP][slot::SPLIT];
    if (P != 0 && P != i && P >= 1 && P <= ndata)
      splitWidth = std::max(splitWidth, decimalWidth(P - i));
  }
  const std::string numI = "I" + std::to_string(numWidth);
  const std::string numX = std::to_string(numWidth) + "X";

  auto calcOf = [&](int k) { return tr.eUp[k][0] - tr.eLo[k][0]; };
  auto speciesText = [&](int S) {
    if (S >= 1 && S <= DIMSYM) return field(rs.species.label[S], 5);
    return std::string(5, ' ');
  };

  for (int i = 1; i <= ndata; ++i) {
    const Slots& up = tr.qn[i][UP];
    const Slots& lo = tr.qn[i][LO];

    // 4. a line with neither calculated nor measured frequency ends the table
    const double f = calcOf(i);
    if (f == 0.0 && tr.freq[i] == 0.0) {
      put(out, "(A)", {" - - - - -"});
      return;
    }

    // 6. quantum numbers: K of a species whose +-K pairs are not
    // sign-labelled, else K- and K+ from the running number t
    auto kPart = [&](const Slots& q) {
      const int S = q[slot::S];
      // (species numbers below 1 are rigid-rotor levels, labelled like species 0)
      const bool plainK = S >= 1 && S <= DIMSYM && rs.pmKSign[S] == 0;
      if (plainK) return " K " + fmtI(q[slot::K], 3);
      const int t = q[slot::t], J = q[slot::J];
      return rec("(2I3)", {t / 2, (2 * J - t + 2) / 2});
    };
    std::string qField = ":" + fmtI(up[slot::J], 3) + kPart(up) + fmtI(lo[slot::J], 3) + kPart(lo);
    std::size_t qWidth = 19;
    if (rs.nB > 1) {
      qField += rec("(A,I2)", {" B", up[slot::B]});
      qWidth = 23;
    }
    qField = field(qField, qWidth);
    const std::string qHead =
        field(rec("(3A3,3A3,A,A2)", {"J", "K-", "K+", "J", "K-", "K+", "  ", " B"}), qWidth);

    // 7. hyperfine quantum numbers (2F)
    std::string fField = " ", fHead = " ";
    if (ctl.spin != 0) {
      fField = field(rec("(A,2I3)", {" F", up[slot::F], lo[slot::F]}), 8);
      fHead = field(rec("(A,2A3)", {"  ", "F", "F"}), 8);
    }

    // 8. torsional states
    std::string vField = " ";
    if (ctl.ntop != 0 && nvv != 1) {
      if (up[slot::V1] == lo[slot::V1])
        vField = field(rec("(A,I2)", {" V", up[slot::V1]}), 4);
      else
        vField = field(rec("(A,2I2)", {" V", up[slot::V1], lo[slot::V1]}), 6);
    }
    const std::string vHead(vField.size(), ' ');

    // 9. species texts
    const int Sup = up[slot::S], Slo = lo[slot::S];
    std::string upText, loText;
    if (Sup == 0) {
      upText = loText = "rigid";
    } else if (Sup < 0) {
      upText = loText = "rig-1";
    } else {
      upText = speciesText(Sup);
      loText = speciesText(Slo);
    }

    // 10. species field
    std::string symField(4, ' '), symHead(4, ' ');
    if (ctl.ntop != 0) {
      const bool same = Sup == Slo;
      if (w > 0 && same) {
        symField = rec("(A,A)", {" ", upText.substr(0, w)});
        symHead = field("Sym", w + 1);
      } else if (w > 0) {
        symField = rec("(A,3A)", {" ", upText.substr(0, w), " ", loText.substr(0, w)});
        symHead = field("Sym Sym", 2 * (w + 1));
      } else if (same) {
        symField = rec("(A,I2)", {" S", Sup});
        symHead = " Sym";
      } else {
        symField = rec("(A,2I2)", {" S", Sup, Slo});
        symHead = "SymSym";
      }
    }

    // 11. calculated, deviation and observed frequency; a splitting is
    // listed as the difference to its partner line
    int Z = up[slot::AVG];
    if (Z < 1 || Z > ndata) Z = i;
    const int P = up[slot::SPLIT];
    const bool split = P != 0 && P != i && P >= 1 && P <= ndata;
    const double calc = (calcOf(Z) + calcOf(i)) / 2.0;
    const double calcRef = split ? calcOf(P) : 0.0;
    const double obsRef = split ? tr.freq[P] : 0.0;
    const bool high = std::fabs(calc) <= 999.99;
    const bool measured = tr.err[i] != NODATA;
    const double obs = tr.freq[i];
    std::string freqField;
    if (measured) {
      const double diff = ((obs - obsRef) - (calc - calcRef)) * 1000.0;
      if (Z == i)
        freqField = rec(high ? "(F12.7,F10.4,F12.7)" : "(F12.4,F10.1,F12.4)",
                        {calc - calcRef, diff, obs - obsRef});
      else
        freqField = rec(high ? "(F12.7,F9.3,A1,F12.7)" : "(F12.4,F9.1,A1,F12.4)",
                        {calc - calcRef, diff, "&", obs - obsRef});
    } else if (split) {
      freqField = rec(high ? "(F12.7,F9.3,A1,F12.7)" : "(F12.4,F9.1,A1,F12.4)",
                      {calc, (calcRef - calc) * 1000.0, "#", calc + (obsRef - calcRef)});
    } else {
      freqField = rec(high ? "(F12.7,A10,A12)" : "(F12.4,A10,A12)",
                      {calc, "      ---  ", Z == i ? "      ---   " : "      --&   "});
    }
    freqField = field(freqField, 36);
    const std::string freqHead =
        field(rec("(A,A11,A10,A12)", {" ", " calc/GHz ", " diff/MHz ", " obs/GHz "}), 36);

    // 12. measurement error and statistics by (B, V, kind)
    const std::size_t errWidth = rofit != 0.0 ? 18 : 13;
    std::string errField;
    if (measured) {
      const int kind = split ? 1 : 2;
      const double dev = ((obs - obsRef) - (calc - calcRef)) / tr.err[i];
      const int b = up[slot::B], v = up[slot::V1];
      if (b >= 1 && b <= DIMB && v >= 1 && v <= 3) {
        stats.devSum[kind][v][b] += dev * dev;
        stats.wSum[kind][v][b] += 1.0 / (tr.err[i] * tr.err[i]);
        stats.count[kind][v][b] += 1;
      }
      if (dev * dev > maxDev2) {
        maxDev2 = dev * dev;
        maxLine = i;
      }
      anyMeasured = true;
      if (rofit != 0.0)
        errField = rec("(A,1D8.1,F5.2)", {" Err", tr.err[i], tr.psi[i]});
      else
        errField = rec("(A,1D8.1)", {" Err", tr.err[i]});
    } else {
      errField = rec("(A)", {"      ---  "});
    }
    errField = field(errField, errWidth);
    const std::string errHead(errWidth, ' ');

    // 13. splitting partner, K labels, intensity
    const std::string splitField =
        split ? rec("(A1,I" + std::to_string(splitWidth) + ")", {"#", P - i})
              : std::string(splitWidth + 1, ' ');
    const std::string kField = rec("(2(1X,2I3,1X,I3))", {up[slot::K], up[slot::K2], up[slot::Q],
                                                         lo[slot::K], lo[slot::K2], lo[slot::Q]});
    const std::string kHead = rec("(2A11)", {" 1.K 2.K % ", " 1.K 2.K % "});
    std::string intField = " ";
    // strengths exist only where they were asked for (bit 16 alone keeps
    // files and computes nothing)
    if (intensityMode(ctl.ints) != 0) intField = field(rec("(A,1F7.3)", {" I", tr.inten[i]}), 9);
    const std::string intHead(intField.size(), ' ');

    // 14. marks: '*' a level not found, 'x' a possibly exchanged assignment
    std::string mark = " ";
    if (!hasBit(up[slot::KIND], kindbit::FOUND) || !hasBit(lo[slot::KIND], kindbit::FOUND))
      mark = "*";
    if (hasBit(up[slot::KIND], kindbit::SUSPECT)) mark = "x";

    // 15. header before the first line, then the line
    if (kLabels) {
      if (i == 1)
        put(out, "(A1," + numX + ",9A)",
            {mark, qHead, fHead, vHead, symHead, freqHead, errHead,
             std::string(splitWidth + 1, ' '), kHead, intHead});
      put(out, "(A1," + numI + ",13A)",
          {mark, i, qField, fField, vField, symField, freqField, errField, splitField, kField,
           intField, " ", loText, "-", upText});
    } else {
      if (i == 1)
        put(out, "(A1," + numX + ",8A)",
            {mark, qHead, fHead, vHead, symHead, freqHead, errHead,
             std::string(splitWidth + 1, ' '), intHead});
      put(out, "(A1," + numI + ",A,12A)",
          {mark, i, qField, fField, vField, symField, freqField, errField, splitField, intField,
           " ", loText, "-", upText});
    }
  }

  // 16. the line of the largest normalised deviation
  if (anyMeasured) {
    const std::string layout = "(A,I" + std::to_string(maxLineWidth) + ",F12.7)";
    if (maxLine == 0)
      put(out, layout, {" Maximum (obs-calc)/err in line", 1, 0.0});
    else
      put(out, layout,
          {" Maximum (obs-calc)/err in line", maxLine, std::sqrt(maxDev2) * tr.err[maxLine]});
  }
}

} // namespace ruvo
