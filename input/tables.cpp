// The vocabulary of the input file.
#include "input/tables.h"

namespace ruvo {

namespace {
// 15 places per top: internal-rotation constant, potential, axis angles,
// torsional distortion, 1/(2 I_alpha) and the angles of the top axis.
std::array<std::string, NPAR + 1> makeParamNames() {
  std::array<std::string, NPAR + 1> n{};
  const char* general[32] = {"BJ",  "BK",    "B-",    "DJ",     "DJK",    "DK",     "dj",  "dk",
                             "F12", "chi_z", "chi_-", "chi_xy", "chi_xz", "chi_yz", "Vss", "Vcc",
                             "H_J", "HJK",   "HKJ",   "H_K",    "h_j",    "hjk",    "h_k", "C+",
                             "C_z", "C-",    "mu_x",  "mu_y",   "mu_z",   "P_x",    "P_y", "P_z"};
  const char* perTop[15] = {"F",    "V1n",   "V2n",   "rho",   "beta", "gamma", "Dc3J", "Dc3K",
                            "Dc3-", "Dpi2J", "Dpi2K", "Dpi2-", "F0",   "epsil", "delta"};
  for (int p = 1; p <= 32; ++p) n[p] = general[p - 1];
  for (int t = 1; t <= DIMTOP; ++t)
    for (int o = 0; o < 15; ++o)
      n[par::top(t, o)] = std::string(perTop[o]) + "_" + std::to_string(t);
  return n;
}

// F12, Vss, Vcc and every top parameter need a change of the parameter for
// their derivative; the dipole components do not enter the energies.
std::array<int, NPAR + 1> makeDerivKinds() {
  std::array<int, NPAR + 1> k{};
  k[par::F12] = k[par::Vss] = k[par::Vcc] = 1;
  k[par::mu_x] = k[par::mu_y] = k[par::mu_z] = 9;
  for (int p = 33; p <= NPAR; ++p) k[p] = 1;
  return k;
}
} // namespace

const std::array<std::string, NPAR + 1> kParamNames = makeParamNames();
const std::array<int, NPAR + 1> kParamDerivKind = makeDerivKinds();

const std::array<std::string, NINTCTL + NREALCTL + NKEPTCTL + 1> kControlNames = {
    "", "nzyk", "print", "eval", "dfreq", "orger", "ints", "maxm", "woods", "ndata", "nfold",
    "spin", "ntop", "adjf", "maxvm", "aprint", "xprint", "ncycl", "svderr", "fitscl", "reduct",
    "rofit", "eps", "defer", "weigf", "convg", "lambda", "freq_l", "freq_h", "limit", "temp",
    // the kept torsional states (echoed only when given)
    "vkeep", "vtol"};

const std::array<std::string, 31> kTransitionKeys = {
    "",     "Jup",  "K-up", "K+up", "Jlo", "K-lo", "K+lo", "=",   "Err", "Sup", "Slo",
    "V1up", "V1lo", "V2up", "V2lo", "Bup", "Blo",  "Fup",  "Flo", "Tup", "Tlo", "tup",
    "tlo",  "#",    "&",    "Kup",  "Klo", "diff", "GHz",  "MHz", "cm-1"};

// quantum-number slot filled by each key (0: none)
const std::array<int, 31> kTransitionSlot = {0, 1, 0, 0, 1, 0, 0, 0,  0,  6, 6, 3, 3, 4, 4, 5,
                                             5, 7, 7, 8, 8, 9, 9, 13, 14, 2, 2, 0, 0, 0, 0};
// level of each key: 1 upper, 2 lower, 0 both or none
const std::array<int, 31> kTransitionLevel = {0, 1, 1, 1, 2, 2, 2, 0, 0, 1, 2, 1, 2, 1, 2, 1,
                                              2, 1, 2, 1, 2, 1, 2, 0, 0, 1, 2, 0, 0, 0, 0};

const std::array<std::string, 7> kSymmetryKeys = {"", "G", "S", "G", "S", "G", "S"};

void initParamNames(RunState& rs) {
  for (int p = 0; p <= NPAR; ++p) rs.parName[p] = kParamNames[p];
  if (rs.ctl.reduct == 2) rs.parName[par::dk] = "R6";
}

} // namespace ruvo
