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

// A column of the listing: the text of one line and the header over it,
// both of the same width.
struct Column {
  std::string text, head;
};

// 6. quantum numbers: K of a species whose +-K pairs are not sign-labelled,
// else K- and K+ from the running number t; the B set when there are several.
Column quantumNumberColumn(const RunState& rs, const Slots& up, const Slots& lo, int qw) {
  const std::string I = "I" + std::to_string(qw);
  auto kPart = [&](const Slots& q) {
    const int S = q[slot::S];
    // (species numbers below 1 are rigid-rotor levels, labelled like species 0)
    const bool plainK = S >= 1 && S <= DIMSYM && rs.pmKSign[S] == 0;
    if (plainK) return " K " + fmtI(q[slot::K], 2 * qw - 3);
    const int t = q[slot::t], J = q[slot::J];
    return rec("(2" + I + ")", {t / 2, (2 * J - t + 2) / 2});
  };
  std::string qField = ":" + fmtI(up[slot::J], qw) + kPart(up) + fmtI(lo[slot::J], qw) + kPart(lo);
  std::size_t qWidth = 1 + 6 * static_cast<std::size_t>(qw);
  if (rs.nB > 1) {
    qField += rec("(A,I2)", {" B", up[slot::B]});
    qWidth += 4;
  }
  const std::string A = "A" + std::to_string(qw);
  const std::string head =
      rec("(3" + A + ",3" + A + ",A,A2)", {"J", "K-", "K+", "J", "K-", "K+", "  ", " B"});
  return {field(qField, qWidth), field(head, qWidth)};
}

// 7. hyperfine quantum numbers (2F)
Column hyperfineColumn(const Controls& ctl, const Slots& up, const Slots& lo) {
  if (ctl.spin == 0) return {" ", " "};
  static const std::string head = field(rec("(A,2A3)", {"  ", "F", "F"}), 8);
  return {field(rec("(A,2I3)", {" F", up[slot::F], lo[slot::F]}), 8), head};
}

// 8. torsional states
Column torsionalStateColumn(const Controls& ctl, int nvv, const Slots& up, const Slots& lo) {
  std::string vField = " ";
  if (ctl.ntop != 0 && nvv != 1) {
    if (up[slot::V1] == lo[slot::V1])
      vField = field(rec("(A,I2)", {" V", up[slot::V1]}), 4);
    else
      vField = field(rec("(A,2I2)", {" V", up[slot::V1], lo[slot::V1]}), 6);
  }
  return {vField, std::string(vField.size(), ' ')};
}

// 9. species texts of the upper and lower level
void speciesTexts(const RunState& rs, int Sup, int Slo, std::string& upText, std::string& loText) {
  auto speciesText = [&](int S) {
    if (S >= 1 && S <= DIMSYM) return field(rs.species.label[S], 5);
    return std::string(5, ' ');
  };
  if (Sup == 0) {
    upText = loText = "rigid";
  } else if (Sup < 0) {
    upText = loText = "rig-1";
  } else {
    upText = speciesText(Sup);
    loText = speciesText(Slo);
  }
}

// 10. species column: the labels (w characters) or the species numbers
Column speciesColumn(const Controls& ctl, int w, int Sup, int Slo, const std::string& upText,
                     const std::string& loText) {
  Column c{std::string(4, ' '), std::string(4, ' ')};
  if (ctl.ntop == 0) return c;
  const bool same = Sup == Slo;
  if (w > 0 && same) {
    c.text = rec("(A,A)", {" ", upText.substr(0, w)});
    c.head = field("Sym", w + 1);
  } else if (w > 0) {
    c.text = rec("(A,3A)", {" ", upText.substr(0, w), " ", loText.substr(0, w)});
    c.head = field("Sym Sym", 2 * (w + 1));
  } else if (same) {
    c.text = rec("(A,I2)", {" S", Sup});
    c.head = " Sym";
  } else {
    c.text = rec("(A,2I2)", {" S", Sup, Slo});
    c.head = "SymSym";
  }
  return c;
}

// 11. What the line compares (GHz): the calculated frequency (the mean with
// an average partner Z), and for a splitting the partner P's calculated and
// observed frequencies as references.
struct Comparison {
  int Z, P;
  bool split, measured;
  double calc, calcRef, obs, obsRef;
};

Comparison compare(const Transitions& tr, int i) {
  auto calcOf = [&](int k) { return tr.eUp[k][0] - tr.eLo[k][0]; };
  const Slots& up = tr.qn[i][UP];
  const int ndata = tr.ndata;
  Comparison c{};
  c.Z = up[slot::AVG];
  if (c.Z < 1 || c.Z > ndata) c.Z = i;
  c.P = up[slot::SPLIT];
  c.split = c.P != 0 && c.P != i && c.P >= 1 && c.P <= ndata;
  c.calc = (calcOf(c.Z) + calcOf(i)) / 2.0;
  c.calcRef = c.split ? calcOf(c.P) : 0.0;
  c.obsRef = c.split ? tr.freq[c.P] : 0.0;
  c.measured = tr.err[i] != NODATA;
  c.obs = tr.freq[i];
  return c;
}

// 11. calculated, deviation (MHz) and observed frequency; a splitting is
// listed as the difference to its partner line
Column frequencyColumn(const Comparison& c, int i) {
  const bool high = std::fabs(c.calc) <= 999.99;
  std::string freqField;
  if (c.measured) {
    const double diff = ((c.obs - c.obsRef) - (c.calc - c.calcRef)) * 1000.0;
    if (c.Z == i)
      freqField = rec(high ? "(F12.7,F10.4,F12.7)" : "(F12.4,F10.1,F12.4)",
                      {c.calc - c.calcRef, diff, c.obs - c.obsRef});
    else
      freqField = rec(high ? "(F12.7,F9.3,A1,F12.7)" : "(F12.4,F9.1,A1,F12.4)",
                      {c.calc - c.calcRef, diff, "&", c.obs - c.obsRef});
  } else if (c.split) {
    freqField = rec(high ? "(F12.7,F9.3,A1,F12.7)" : "(F12.4,F9.1,A1,F12.4)",
                    {c.calc, (c.calcRef - c.calc) * 1000.0, "#", c.calc + (c.obsRef - c.calcRef)});
  } else {
    freqField = rec(high ? "(F12.7,A10,A12)" : "(F12.4,A10,A12)",
                    {c.calc, "      ---  ", c.Z == i ? "      ---   " : "      --&   "});
  }
  static const std::string head =
      field(rec("(A,A11,A10,A12)", {" ", " calc/GHz ", " diff/MHz ", " obs/GHz "}), 36);
  return {field(freqField, 36), head};
}

// 12. measurement error (and robust weight) of the line
Column errorColumn(const Transitions& tr, double rofit, bool measured, int i) {
  const std::size_t errWidth = rofit != 0.0 ? 18 : 13;
  std::string errField;
  if (!measured)
    errField = rec("(A)", {"      ---  "});
  else if (rofit != 0.0)
    errField = rec("(A,1D8.1,F5.2)", {" Err", tr.err[i], tr.psi[i]});
  else
    errField = rec("(A,1D8.1)", {" Err", tr.err[i]});
  return {field(errField, errWidth), std::string(errWidth, ' ')};
}

// 14. marks: '*' a level not found, 'x' a possibly exchanged assignment
std::string lineMark(const Slots& up, const Slots& lo) {
  std::string mark = " ";
  if (!hasBit(up[slot::KIND], kindbit::FOUND) || !hasBit(lo[slot::KIND], kindbit::FOUND))
    mark = "*";
  if (hasBit(up[slot::KIND], kindbit::SUSPECT)) mark = "x";
  return mark;
}

// A line from a level to itself without a measured frequency.
bool isDivider(const Transitions& tr, int i) {
  if (tr.err[i] != NODATA || tr.freq[i] != 0.0 || tr.calc(i) != 0.0) return false;
  const Slots& up = tr.qn[i][UP];
  const Slots& lo = tr.qn[i][LO];
  for (const int s :
       {slot::J, slot::K, slot::V1, slot::V2, slot::B, slot::S, slot::F, slot::T, slot::t})
    if (up[s] != lo[s]) return false;
  return true;
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
  const bool kLabels = hasBit(ctl.aprint, aprintbit::K_LABEL_COLUMNS);

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
  // J and K in three columns, four when a line's J needs them (J >= 100,
  // K down to -J)
  int qw = 3;
  for (int i = 1; i <= ndata; ++i)
    if (tr.qn[i][UP][slot::J] >= 100 || tr.qn[i][LO][slot::J] >= 100) qw = 4;
  const std::string kI = "I" + std::to_string(qw);

  for (int i = 1; i <= ndata; ++i) {
    const Slots& up = tr.qn[i][UP];
    const Slots& lo = tr.qn[i][LO];

    // 4. A line that names the same level twice and has no frequency is a
    // divider the user wrote into the list: it is shown as one, and the
    // table goes on.  Any other line is listed, whatever its frequency: a
    // prediction between the two levels of a degenerate K doublet is 0 GHz
    // exactly, and a line whose levels were not found has no energies; the
    // lines after either are fitted and must be listed and counted.
    if (isDivider(tr, i)) {
      put(out, "(A)", {" - - - - -"});
      continue;
    }

    const Column q = quantumNumberColumn(rs, up, lo, qw);    // 6.
    const Column f = hyperfineColumn(ctl, up, lo);           // 7.
    const Column v = torsionalStateColumn(ctl, nvv, up, lo); // 8.
    std::string upText, loText;                              // 9.
    speciesTexts(rs, up[slot::S], lo[slot::S], upText, loText);
    const Column sym = speciesColumn(ctl, w, up[slot::S], lo[slot::S], upText, loText); // 10.
    const Comparison c = compare(tr, i);
    const Column freq = frequencyColumn(c, i);                // 11.
    const Column err = errorColumn(tr, rofit, c.measured, i); // 12.

    // 12. statistics by (B, V, kind) of the normalised deviations
    if (c.measured) {
      const int kind = c.split ? 1 : 2;
      const double dev = ((c.obs - c.obsRef) - (c.calc - c.calcRef)) / tr.err[i];
      const int b = up[slot::B], vv = up[slot::V1];
      if (b >= 1 && b <= DIMB && vv >= 1 && vv <= 3) {
        stats.devSum[kind][vv][b] += dev * dev;
        stats.wSum[kind][vv][b] += 1.0 / (tr.err[i] * tr.err[i]);
        stats.count[kind][vv][b] += 1;
      }
      if (dev * dev > maxDev2) {
        maxDev2 = dev * dev;
        maxLine = i;
      }
      anyMeasured = true;
    }

    // 13. splitting partner, K labels, intensity
    const std::string splitField =
        c.split ? rec("(A1,I" + std::to_string(splitWidth) + ")", {"#", c.P - i})
                : std::string(splitWidth + 1, ' ');
    const std::string kField =
        rec("(2(1X,2" + kI + ",1X,I3))",
            {up[slot::K], up[slot::K2], up[slot::Q], lo[slot::K], lo[slot::K2], lo[slot::Q]});
    const std::string kHead = qw == 3 ? rec("(2A11)", {" 1.K 2.K % ", " 1.K 2.K % "})
                                      : rec("(2A13)", {"  1.K  2.K % ", "  1.K  2.K % "});
    std::string intField = " ";
    // strengths exist only where they were asked for (bit 16 alone keeps
    // files and computes nothing)
    if (intensityMode(ctl.ints) != 0) intField = field(rec("(A,1F7.3)", {" I", tr.inten[i]}), 9);
    const std::string intHead(intField.size(), ' ');

    const std::string mark = lineMark(up, lo); // 14.

    // 15. header before the first line, then the line
    if (kLabels) {
      if (i == 1)
        put(out, "(A1," + numX + ",9A)",
            {mark, q.head, f.head, v.head, sym.head, freq.head, err.head,
             std::string(splitWidth + 1, ' '), kHead, intHead});
      put(out, "(A1," + numI + ",13A)",
          {mark, i, q.text, f.text, v.text, sym.text, freq.text, err.text, splitField, kField,
           intField, " ", loText, "-", upText});
    } else {
      if (i == 1)
        put(out, "(A1," + numX + ",8A)",
            {mark, q.head, f.head, v.head, sym.head, freq.head, err.head,
             std::string(splitWidth + 1, ' '), intHead});
      put(out, "(A1," + numI + ",A,12A)",
          {mark, i, q.text, f.text, v.text, sym.text, freq.text, err.text, splitField, intField,
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
