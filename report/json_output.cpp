// JSON document of a run, written with nlohmann::json.
#include "report/json_output.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <ostream>

#include "core/version.h"

namespace ruvo {

const char* parameterUnit(int p) {
  if (p == par::mu_x || p == par::mu_y || p == par::mu_z) return "D";
  if (p >= par::top(1, 0)) {
    const int off = (p - par::top(1, 0)) % 15;
    if (off == par::rho) return "";
    if (off == par::beta || off == par::gamma || off == par::epsil || off == par::delta)
      return "rad";
  }
  return "GHz";
}

namespace {

// Places of a set that the adjustment bits make dependent on others.
bool isDerived(int p, int adjf, int ntop) {
  if (p == par::F12) return ntop > 0 && hasBit(adjf, adjfbit::DERIVE_F12);
  for (int t = 1; t <= ntop; ++t) {
    const int off = p - par::top(t, 0);
    if (off < 0 || off >= 15) continue;
    if (off == par::F) return hasBit(adjf, adjfbit::DERIVE_F);
    if (off == par::F0) return !hasBit(adjf, adjfbit::DERIVE_RHO);
    if (off == par::rho) return hasBit(adjf, adjfbit::DERIVE_RHO);
    if (off == par::beta || off == par::gamma) return hasBit(adjf, adjfbit::DERIVE_BETA_GAMMA);
    if (off == par::epsil || off == par::delta) return !hasBit(adjf, adjfbit::DERIVE_BETA_GAMMA);
  }
  return false;
}

nlohmann::json quanta(const OutputLevel& lv, bool tops) {
  nlohmann::json q = {{"J", lv.J}, {"Ka", lv.Ka}, {"Kc", lv.Kc}};
  if (tops) {
    q["v"] = lv.V - 1;
    q["species"] = lv.S;
  }
  if (lv.F2 >= 0) q["F"] = lv.F2 / 2.0;
  return q;
}

// How the fit ended, as the JSON document names it.
const char* fitEndName(FitEnd end) {
  switch (end) {
  case FitEnd::Converged:
    return "converged";
  case FitEnd::CycleLimit:
    return "cycle limit";
  case FitEnd::DampingLimit:
    return "damping limit";
  case FitEnd::Interrupted:
    return "interrupted";
  default:
    return "calculation";
  }
}

} // namespace

void writeRunJson(std::ostream& os, const RunState& rs, const FitState& fs,
                  const std::vector<OutputLevel>& levels, const EndLevels& ends,
                  const std::string& inputName) {
  using nlohmann::json;
  const Transitions& tr = rs.tr;
  const int nfit = std::clamp(fs.model.nfit, 0, DIMFIT);
  // a fit ended in its first cycle has made no step, but its errors and
  // standard deviation (at the input parameters) exist all the same
  const bool fitted = rs.ctl.nzyk > 1 && fs.errorsComputed;
  const bool tops = rs.ctl.ntop > 0;

  json doc;
  doc["program"] = {{"name", "ruvo"}, {"version", std::string(programVersion())}};
  doc["input"] = {{"file", inputName.empty() ? "-" : inputName}, {"title", rs.title}};

  json lines = json::array();
  double sumSq = 0.0;
  int nData = 0;
  for (int i = 1; i <= tr.ndata; ++i) {
    const auto k = static_cast<std::size_t>(i);
    const bool data = tr.err[k] != NODATA;
    json l;
    l["index"] = i;
    const auto& e = ends[k];
    l["upper"] = e[UP] >= 0 ? quanta(levels[static_cast<std::size_t>(e[UP])], tops) : json(nullptr);
    l["lower"] = e[LO] >= 0 ? quanta(levels[static_cast<std::size_t>(e[LO])], tops) : json(nullptr);
    const int S = tr.qn[k][UP][slot::S];
    l["species"] =
        S >= 1 && S <= DIMSYM ? rs.species.label[static_cast<std::size_t>(S)] : std::string();
    l["obs_GHz"] = tr.freq[k] != 0.0 ? json(tr.freq[k]) : json(nullptr);
    l["calc_GHz"] = tr.calc(i);
    const double r = tr.residual(i);
    l["obs_minus_calc_MHz"] = tr.freq[k] != 0.0 ? json(1000.0 * r) : json(nullptr);
    l["error_MHz"] = data ? json(1000.0 * tr.err[k]) : json(nullptr);
    l["weight"] = data && tr.err[k] > 0.0 ? 1.0 / std::pow(1000.0 * tr.err[k], 2) : 0.0;
    if (data && tr.freq[k] != 0.0) {
      sumSq += 1e6 * r * r;
      ++nData;
    }
    lines.push_back(l);
  }

  doc["fit"] = {{"converged", fitted && fs.converged},
                {"end", fitted ? fitEndName(fs.end) : "calculation"},
                {"cycles", fitted ? fs.cycles : 0},
                {"standard_deviation_MHz", fitted ? 1000.0 * fs.standardDeviation : 0.0},
                {"rms_MHz", nData > 0 ? std::sqrt(sumSq / nData) : 0.0},
                {"n_lines", fitted ? fs.dataPoints : nData},
                {"n_fit", nfit}};

  json params = json::array();
  const int npar = std::clamp(fs.model.npar, 0, NPAR);
  for (int b = 1; b <= std::clamp(rs.nB, 1, DIMB); ++b)
    for (int p = 1; p <= npar; ++p) {
      const bool isFitted = fs.flags(p, b) != 0;
      const double v = fs.best(p, b);
      if (v == 0.0 && !isFitted) continue;
      params.push_back(
          {{"name", rs.parName[static_cast<std::size_t>(p)]},
           {"set", b},
           {"value", v},
           {"error", fitted ? fs.change(p, b) : 0.0},
           {"unit", parameterUnit(p)},
           {"fitted", isFitted},
           {"derived", isDerived(p, rs.adjfB[static_cast<std::size_t>(b)], rs.ctl.ntop)}});
    }
  doc["parameters"] = params;
  doc["lines"] = lines;

  json names = json::array(), matrix = json::array();
  for (int j = 1; j <= nfit; ++j) {
    const FitVar& v = fs.model.var[static_cast<std::size_t>(j)];
    std::string name = v.nterm >= 1 && v.par[1] >= 1 && v.par[1] <= NPAR
                           ? rs.parName[static_cast<std::size_t>(v.par[1])]
                           : std::string();
    if (rs.nB > 1 && v.nterm >= 1) name += "(" + std::to_string(v.set[1]) + ")";
    names.push_back(name);
    json row = json::array();
    for (int k = 1; k <= nfit; ++k) {
      const int a = std::min(j, k), c = std::max(j, k);
      row.push_back(!fitted  ? (j == k ? 1.0 : 0.0)
                    : j == k ? 1.0
                             : fs.cov[static_cast<std::size_t>((a - 1) + (c - 1) * DIMFIT)]);
    }
    matrix.push_back(row);
  }
  doc["correlation"] = {{"names", names}, {"matrix", matrix}};
  os << doc.dump(2) << '\n';
}

} // namespace ruvo
