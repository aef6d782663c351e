// Listing of the parameter sets: one line per parameter worth listing, the
// value with its error, the set number where sets differ, and a mark on the
// parameters that are computed from others.
#include "input/parameter_print.h"

#include <cmath>
#include <ostream>

#include "core/fortran_format.h"
#include "input/tables.h"

namespace ruvo {

namespace {

// Name of place p as this run calls it (dk is R6 in the van Eijck-Typke
// reduction).
const std::string& nameOf(const RunState& rs, int p) {
  return rs.parName[p].empty() ? kParamNames[p] : rs.parName[p];
}

std::string trimmed(const std::string& s) {
  std::size_t e = s.find_last_not_of(' ');
  return e == std::string::npos ? std::string() : s.substr(0, e + 1);
}

// Label of a line: the name padded to 10 characters, or "name(b)".
std::string label(const std::string& name, int set) {
  std::string l = set > 0 ? fmt("(2A,I1,A)", {trimmed(name), "(", set, ")"}) : name;
  if (!l.empty() && l.back() == '\n') l.pop_back();
  if (l.size() < 10) l.append(10 - l.size(), ' ');
  return l;
}

void startLine(std::ostream& os, bool derived, const std::string& lab) {
  put(os, "(A,A10,$)", {derived ? "\\" : " ", lab});
}

// The sets for which a parameter gets a line: `chosen` = k lists set k only;
// chosen = 0 lists one plain line (set 0 stands for "set 1, plain label")
// when fewer than two sets are in use or the value is the same in all of
// them, else one line per set.
int linesFor(const RunState& rs, const ParamSets& v, int p, int chosen, int sets[DIMB]) {
  if (chosen > 0) {
    sets[0] = chosen;
    return 1;
  }
  const int nB = rs.nB < 1 ? 1 : (rs.nB > DIMB ? DIMB : rs.nB);
  bool same = true;
  for (int b = 2; b <= nB; ++b)
    if (v(p, b) != v(p, 1)) same = false;
  if (nB < 2 || same) {
    sets[0] = 0;
    return 1;
  }
  for (int b = 1; b <= nB; ++b) sets[b - 1] = b;
  return nB;
}

bool startsWithAny(const std::string& s, const char* letters) {
  if (s.empty()) return false;
  for (const char* c = letters; *c; ++c)
    if (s[0] == *c) return true;
  return false;
}

// Whether a molecule-wide parameter gets a line in listing mode `mode`.
bool showGeneral(const RunState& rs, int mode, const std::string& name, double value, bool fitted,
                 bool derived) {
  switch (mode) {
  case 1:
    return fitted;
  case 2:
    return fitted || derived;
  case 3:
    return value != 0.0;
  case 4:
    if (startsWithAny(name, "_")) return false;
    if (startsWithAny(name, "Cc")) return rs.ctl.spin != 0;
    if (startsWithAny(name, "HhMm")) return value != 0.0;
    if (startsWithAny(name, "V")) return rs.ctl.ntop > 0;
    if (startsWithAny(name, "F")) {
      if (trimmed(name) == "F12") return rs.ctl.ntop >= 2;
      return rs.ctl.ntop > 0;
    }
    return true;
  default:
    return mode >= 5;
  }
}

// Whether top-parameter kind `o` of set b is computed from other parameters
// under the adjustment bits of that set.
bool topDerived(int adj, int o) {
  switch (o) {
  case par::F:
    return hasBit(adj, adjfbit::DERIVE_F);
  case par::F0:
    return !hasBit(adj, adjfbit::DERIVE_RHO);
  case par::rho:
    return hasBit(adj, adjfbit::DERIVE_RHO);
  case par::beta:
  case par::gamma:
    return hasBit(adj, adjfbit::DERIVE_BETA_GAMMA);
  case par::epsil:
  case par::delta:
    return !hasBit(adj, adjfbit::DERIVE_BETA_GAMMA);
  default:
    return false;
  }
}

} // namespace

void formatValueWithError(double value, double error, std::string& valueText,
                          std::string& errorText) {
  // decimal exponent of the value, truncated toward zero
  int a = -9;
  if (value != 0.0 && std::isfinite(value))
    a = static_cast<int>(std::trunc(std::log10(std::fabs(value))));
  if (a > 2) {
    valueText = fmtF(value, 15, 6);
    errorText = fmtF(error, 12, 6);
  } else if (a >= -3) {
    valueText = fmtF(value, 15, 9);
    errorText = fmtF(error, 12, 9);
  } else {
    // small values in units of 1e-6
    valueText = fmtF(value * 1e6, 12, 6) + "E-6";
    errorText = fmtF(error * 1e6, 9, 6) + "E-6";
  }
}

std::string parameterEntry(double value, double error, int fitFlag, int style, bool derived) {
  std::string v, e;
  formatValueWithError(value, error, v, e);
  if (fitFlag == 0) e = fmtA(derived ? " derived" : " fixed  ", 12);
  std::string text;
  if (hasBit(style, 1))
    text = v + " {" + e + "}";
  else
    text = v + std::string(5, ' ');
  if (text.size() < 30) text.append(30 - text.size(), ' ');
  return text;
}

void printParameters(const RunState& rs, const ParamSets& values, const ParamSets& errors,
                     const FitFlags& flags, int mode, int style, int set) {
  std::ostream& os = *rs.io.out;
  mode &= 7;
  if (mode == 0 || set < 0 || set > DIMB) return; // no such set: nothing to list
  int sets[DIMB];

  // molecule-wide parameters 1..32
  for (int p = 1; p <= 32; ++p) {
    const std::string& name = nameOf(rs, p);
    const int nl = linesFor(rs, values, p, set, sets);
    for (int l = 0; l < nl; ++l) {
      const int b = sets[l] == 0 ? 1 : sets[l];
      const bool derived = p == par::F12 && hasBit(rs.adjfB[b], adjfbit::DERIVE_F12);
      const bool fitted = flags(p, b) != 0;
      if (!showGeneral(rs, mode, name, values(p, b), fitted, derived)) continue;
      startLine(os, derived, label(name, sets[l]));
      put(os, "(A)", {parameterEntry(values(p, b), errors(p, b), flags(p, b), style, derived)});
    }
  }

  // top parameters: one line per kind, one entry per top
  const int ntop = rs.ctl.ntop < 0 ? 0 : (rs.ctl.ntop > DIMTOP ? DIMTOP : rs.ctl.ntop);
  if (ntop == 0) return;
  for (int o = 0; o < 15; ++o) {
    const std::string& full = nameOf(rs, par::top(1, o));
    const std::string kind = full.substr(0, full.find('_'));
    const int nl = linesFor(rs, values, par::top(1, o), set, sets);
    for (int l = 0; l < nl; ++l) {
      const int b = sets[l] == 0 ? 1 : sets[l];
      const bool derived = topDerived(rs.adjfB[b], o);
      bool anyFitted = false, anyNonZero = false, anyZero = false;
      for (int t = 1; t <= ntop; ++t) {
        const int p = par::top(t, o);
        if (flags(p, b) != 0) anyFitted = true;
        if (values(p, b) != 0.0)
          anyNonZero = true;
        else
          anyZero = true;
      }
      bool show = false;
      switch (mode) {
      case 1:
        show = anyFitted;
        break;
      case 2:
        show = anyFitted || derived;
        break;
      case 3:
        show = anyNonZero;
        break;
      case 4:
        show = !startsWithAny(kind, "_") && !(startsWithAny(kind, "D") && anyZero);
        break;
      default:
        show = true;
      }
      if (!show) continue;
      startLine(os, derived, label(kind, sets[l]));
      for (int t = 1; t <= ntop; ++t) {
        const int p = par::top(t, o);
        put(os, "(A,$)", {parameterEntry(values(p, b), errors(p, b), flags(p, b), style, derived)});
      }
      os << '\n';
    }
  }
}

} // namespace ruvo
