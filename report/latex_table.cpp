// The transitions as the body of a LaTeX longtable: quantum numbers of both
// levels, species, observed frequency, its error and observed minus
// calculated, all in MHz.  A line without measured frequency is written as a
// LaTeX comment ("%"), so that it can be switched on by hand.
#include "report/latex_table.h"

#include <ostream>
#include <string>

#include "core/fortran_format.h"

namespace ruvo {

namespace {

// The text of one fixed-layout piece, cut or blank-padded to `width`.
std::string cell(std::string text, std::size_t width) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  text.resize(width, ' ');
  return text;
}

// Characters 2..w of a species label (its leading "/" dropped).
std::string labelPart(const RunState& rs, int S, int w) {
  std::string lab = S >= 1 && S <= rs.species.nsym && S <= DIMSYM ? rs.species.label[S] : "";
  lab.resize(5, ' ');
  return w >= 2 ? lab.substr(1, static_cast<std::size_t>(w - 1)) : std::string();
}

} // namespace

void printLatexTable(RunState& rs) {
  std::ostream& out = *rs.io.out;
  const Transitions& tr = rs.tr;
  const std::string bs = "\\";

  // width of the species labels: last position at which any label is non-blank
  int w = 0;
  for (int s = 1; s <= rs.species.nsym && s <= DIMSYM; ++s) {
    const std::string& lab = rs.species.label[s];
    for (int p = 1; p <= 5 && p <= static_cast<int>(lab.size()); ++p)
      if (lab[p - 1] != ' ' && p > w) w = p;
  }

  // preamble
  putFree(out, {bs, "tt"});
  // every row ends with "&" before its line end, which opens a twelfth
  // (empty) cell: the table declares that column too, so that it compiles
  putFree(out, {bs, "begin{longtable}{r@{", bs, " }r@{", bs, " }r c r@{", bs, " }r@{", bs,
                " }r l r r r l}"});
  putFree(out, {bs, "multicolumn{3}{c}{$J'$ $K_-'$ $K_+'$} &"});
  putFree(out, {" - &"});
  putFree(out, {bs, "multicolumn{3}{c}{$J$ $K_-$ $K_+$} &"});
  putFree(out, {" Sym. &", " $", bs, "nu$(obs.) &", " Err.  &", " $", bs, "delta$ & ", bs, bs});

  const int ndata = tr.ndata;
  auto inRange = [&](int k) { return k >= 1 && k <= ndata; };
  for (int r = 1; r <= ndata; ++r) {
    const Slots& up = tr.qn[r][UP];
    const Slots& lo = tr.qn[r][LO];
    const int P = up[slot::SPLIT], Z = up[slot::AVG];
    const bool split = P != r && P != 0 && inRange(P);
    const bool averaged = Z != r && Z != 0 && inRange(Z);

    // quantum numbers J, K-, K+ of both levels, K- and K+ from the running
    // number t of each level
    std::string qn;
    if (!split) {
      const int Ju = up[slot::J], tu = up[slot::t], Jl = lo[slot::J], tl = lo[slot::t];
      qn = fmt("(1X,3(I3,A),A,3(I3,A))",
               {Ju, " &", tu / 2, " &", (2 * Ju + 2 - tu) / 2, " &", " - &", Jl, " &", tl / 2, " &",
                (2 * Jl + 2 - tl) / 2, " &"});
    } else {
      qn = fmt("(1X,3(3X,A),A,3(3X,A))", {" &", " &", " &", " - &", " &", " &", " &"});
    }

    // species: the line's, preceded by its average partner's
    const int S = up[slot::S];
    std::string sym;
    if (w == 0) {
      if (averaged)
        sym = fmt("(I2,A2,I2,A)", {tr.qn[Z][UP][slot::S], " +", S, " &"});
      else
        sym = fmt("(I6,A)", {S, " &"});
    } else {
      if (averaged)
        sym = fmt("(A,A,A,A)",
                  {labelPart(rs, tr.qn[Z][UP][slot::S], w), "+", labelPart(rs, S, w), " &"});
      else
        sym = fmt("(A,A,A,A)", {labelPart(rs, S, w), std::string(w, ' '), " &"});
    }

    // frequencies in MHz: observed (or the observed splitting), error,
    // observed minus calculated; calc is averaged with the average partner
    const double own = tr.calc(r);
    const double calc = ((averaged ? tr.calc(Z) : own) + own) / 2.0;
    std::string fq;
    if (split) {
      const double obsSplit = tr.freq[r] - tr.freq[P];
      fq = fmt("(F12.3,A,F6.3,A,F8.3,A,2A)",
               {obsSplit * 1000.0, " &", tr.err[r] * 1000.0, " &",
                (obsSplit - calc + tr.calc(P)) * 1000.0, " &", bs, bs});
    } else {
      fq = fmt("(F12.3,A,F6.3,A,F8.3,A,2A)", {tr.freq[r] * 1000.0, " &", tr.err[r] * 1000.0, " &",
                                              (tr.freq[r] - calc) * 1000.0, " &", bs, bs});
    }

    const char* mark = tr.err[r] == NODATA ? "%" : " ";
    put(out, "(4A)", {mark, cell(qn, 36), cell(sym, 14), cell(fq, 40)});
  }
  put(out, "(A)", {"\\end{longtable}"});
}

} // namespace ruvo
