// The library's models: an input text with the values a caller set on it,
// run through the program's own sequence with the listing kept in memory,
// and the results taken from the run state into plain structs.  Energies
// and frequencies in GHz, line deviations and errors in MHz.
#include "ruvo/ruvo.h"

#include "api/model_run.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "core/state.h"
#include "core/stop.h"
#include "driver/output_files.h"
#include "driver/program.h"
#include "report/catalogue.h"
#include "report/line_list.h"

namespace ruvo {

// ------------------------------------------------------------------ errors

Error::Error(const std::string& messages, int line, int status, std::string listing)
    : std::runtime_error(messages.empty() || messages.back() != '\n'
                             ? messages
                             : messages.substr(0, messages.size() - 1)),
      line_(line), status_(status), messages_(messages), listing_(std::move(listing)) {}

namespace {

// The input line a message names: "input line 12" first, else the first
// "line 12" (transition messages name their line in the list).
int lineNamedIn(const std::string& messages) {
  static const std::regex inputLine(R"(input line\s+(\d+))");
  static const std::regex anyLine(R"([Ll]ine\s*:?\s*(\d+))");
  std::smatch m;
  if (std::regex_search(messages, m, inputLine)) return std::stoi(m[1]);
  if (std::regex_search(messages, m, anyLine)) return std::stoi(m[1]);
  return 0;
}

} // namespace

// ------------------------------------------------------------ the input

struct Model::Input {
  std::string text, name;
  ParamSets values; // as the input gives them
  std::array<std::string, NPAR + 1> parName{};
  FitFlags flags;
  int nB = 1, npar = 32, nfit = 0;
  Controls ctl;
};

namespace {

// The controls that act only after the input has been read, and may
// therefore be changed on a model.  The others shape what the input reading
// builds (tops, basis sizes, sets, files) and are changed in the text.
struct ControlRef {
  const char* name;
  int Controls::*i;
  double Controls::*r;
};
constexpr ControlRef kControls[] = {
    {"nzyk", &Controls::nzyk, nullptr},     {"orger", &Controls::orger, nullptr},
    {"aprint", &Controls::aprint, nullptr}, {"xprint", &Controls::xprint, nullptr},
    {"svderr", &Controls::svderr, nullptr}, {"fitscl", &Controls::fitscl, nullptr},
    {"rofit", nullptr, &Controls::rofit},   {"eps", nullptr, &Controls::eps},
    {"defer", nullptr, &Controls::defer},   {"weigf", nullptr, &Controls::weigf},
    {"convg", nullptr, &Controls::convg},   {"lambda", nullptr, &Controls::lambda},
    {"freq_l", nullptr, &Controls::freq_l}, {"freq_h", nullptr, &Controls::freq_h},
    {"limit", nullptr, &Controls::limit},   {"temp", nullptr, &Controls::temp}};

const ControlRef* findControl(const std::string& name) {
  for (const ControlRef& c : kControls)
    if (name == c.name) return &c;
  return nullptr;
}

// "BJ" or "BJ(2)": the name and the set it names (0 when none is given).
std::pair<std::string, int> splitSet(const std::string& name) {
  static const std::regex withSet(R"(^(.*)\((\d)\)$)");
  std::smatch m;
  if (std::regex_match(name, m, withSet)) return {m[1], std::stoi(m[2])};
  return {name, 0};
}

int placeOf(const Model::Input& in, const std::string& name) {
  for (int p = 1; p <= NPAR; ++p)
    if (in.parName[static_cast<std::size_t>(p)] == name) return p;
  return 0;
}

// The place and set of a parameter named by a caller; throws on a name the
// input does not know or a set it does not use.
std::pair<int, int> resolve(const Model::Input& in, const std::string& given, int set) {
  auto [name, named] = splitSet(given);
  if (named != 0) set = named;
  const int p = placeOf(in, name);
  if (p == 0) throw Error("ERROR: unknown parameter name " + given);
  if (p > in.npar)
    throw Error("ERROR: parameter " + name + " belongs to a top the input does not have (ntop " +
                std::to_string(in.ctl.ntop) + ")");
  if (set < 1 || set > in.nB)
    throw Error("ERROR: parameter set " + std::to_string(set) + " of " + name +
                " is not in use (the input has " + std::to_string(in.nB) +
                (in.nB == 1 ? " set)" : " sets)"));
  return {p, set};
}

Quanta quantaOf(const Slots& q) {
  Quanta r;
  r.J = q[slot::J];
  const int t = q[slot::t];
  if (t > 0) {
    // tau = Ka - Kc + J + 1
    r.Ka = t / 2;
    r.Kc = (2 * r.J - t + 2) / 2;
  }
  r.K = q[slot::K];
  r.v = q[slot::V1] - 1;
  r.species = q[slot::S];
  r.set = q[slot::B];
  r.F2 = q[slot::F];
  return r;
}

void takeLines(const RunState& rs, Calculation& c) {
  const Transitions& tr = rs.tr;
  c.lines.resize(static_cast<std::size_t>(std::max(tr.ndata, 0)));
  double sumSq = 0.0;
  int n = 0;
  for (int i = 1; i <= tr.ndata; ++i) {
    const auto k = static_cast<std::size_t>(i);
    Line& l = c.lines[k - 1];
    l.index = i;
    l.upper = quantaOf(tr.qn[k][UP]);
    l.lower = quantaOf(tr.qn[k][LO]);
    l.obs_GHz = tr.freq[k];
    l.calc_GHz = tr.calc(i);
    l.measured = tr.err[k] != NODATA;
    l.error_MHz = l.measured ? 1000.0 * tr.err[k] : 0.0;
    l.oc_MHz = tr.freq[k] != 0.0 ? 1000.0 * tr.residual(i) : 0.0;
    l.found = hasBit(tr.qn[k][UP][slot::KIND], kindbit::FOUND) &&
              hasBit(tr.qn[k][LO][slot::KIND], kindbit::FOUND);
    if (l.measured && tr.freq[k] != 0.0) {
      sumSq += l.oc_MHz * l.oc_MHz;
      ++n;
    }
  }
  c.n_data = n;
  c.rms_MHz = n > 0 ? std::sqrt(sumSq / n) : 0.0;
}

void takeFit(const RunState& rs, const FitState& fs, FitResult& f) {
  const int nfit = std::clamp(fs.model.nfit, 0, DIMFIT);
  // a fit ended in its first cycle has made no step, but its errors and
  // standard deviation (at the input parameters) exist all the same
  const bool fitted = rs.ctl.nzyk > 1 && fs.errorsComputed;
  const int npar = std::clamp(fs.model.npar, 0, NPAR);
  for (int b = 1; b <= std::clamp(rs.nB, 1, DIMB); ++b)
    for (int p = 1; p <= npar; ++p) {
      const bool isFitted = fs.flags(p, b) != 0;
      const double v = fs.best(p, b);
      if (v == 0.0 && !isFitted) continue;
      f.parameters.push_back({rs.parName[static_cast<std::size_t>(p)], b, v,
                              fitted ? fs.change(p, b) : 0.0, isFitted});
    }
  for (int j = 1; j <= nfit; ++j) {
    const FitVar& v = fs.model.var[static_cast<std::size_t>(j)];
    std::string name = v.nterm >= 1 && v.par[1] >= 1 && v.par[1] <= NPAR
                           ? rs.parName[static_cast<std::size_t>(v.par[1])]
                           : std::string();
    if (rs.nB > 1 && v.nterm >= 1) name += "(" + std::to_string(v.set[1]) + ")";
    f.fit_names.push_back(name);
    // the final fit call leaves the errors of the combinations in the working set
    f.fit_errors.push_back(fitted ? fs.work.v[static_cast<std::size_t>(j - 1)] : 0.0);
  }
  f.correlations.assign(static_cast<std::size_t>(nfit) * nfit, 0.0);
  for (int j = 1; j <= nfit; ++j)
    for (int k = 1; k <= nfit; ++k) {
      const int a = std::min(j, k), c = std::max(j, k);
      f.correlations[static_cast<std::size_t>((j - 1) * nfit + (k - 1))] =
          j == k   ? 1.0
          : fitted ? fs.cov[static_cast<std::size_t>((a - 1) + (c - 1) * DIMFIT)]
                   : 0.0;
    }
  f.sd_MHz = fitted ? 1000.0 * fs.standardDeviation : 0.0;
  f.converged = fitted && fs.converged;
  f.cycles = fitted ? fs.cycles : 0;
  f.independent = fitted ? fs.nindep : 0;
  f.interrupted = g_interrupted != 0;
}

std::vector<Level> takeLevels(const std::vector<OutputLevel>& from) {
  std::vector<Level> to(from.size());
  const double Emin = lowestEnergy(from);
  for (std::size_t i = 0; i < from.size(); ++i) {
    const OutputLevel& o = from[i];
    Level& l = to[i];
    l.set = o.B;
    l.species = o.S;
    l.v = o.V - 1;
    l.J = o.J;
    l.Ka = o.Ka;
    l.Kc = o.Kc;
    l.F2 = o.F2;
    l.E_GHz = o.E;
    l.E_cm = (o.E - Emin) / GHZ_PER_WAVENUMBER;
    l.degeneracy = levelDegeneracy(o);
  }
  return to;
}

// What a model adds to the program's run: its values after the input, and
// what each calculation takes from the run state.
struct ModelRun : RunHooks {
  const Model::Input* input = nullptr;
  const std::vector<Model::Setting>* settings = nullptr;
  bool calculationOnly = false; // nzyk 1
  // instead of the fit: nothing (reading the input), the levels, or the catalogue
  enum class Instead { fit, nothing, levels, catalogue } instead = Instead::fit;
  bool catalogueAfterFit = false;
  int jmax = -1;
  CatalogueOptions cat;
  bool partitionOnlyAtT = false; // Q converged at cat.T alone (PartitionTable::onlyAtT)

  bool finished = false;
  FitResult fit;
  RunCatalogue result; // levels, catalogue lines, cut-offs and Q
  int maxJ = 0;
  int ntop = 0, spin = 0;

  void afterInput(RunState& rs, FitState& fs) override {
    try {
      applySettings(rs, fs);
    } catch (const Error& e) {
      stop(e.what()); // settings are checked when made: only a changed input gets here
    }
  }

  void applySettings(RunState& rs, FitState& fs) {
    for (const Model::Setting& s : *settings) {
      if (s.set == 0) {
        const ControlRef* c = findControl(s.name);
        if (c->i)
          rs.ctl.*(c->i) = static_cast<int>(std::lround(s.value));
        else
          rs.ctl.*(c->r) = s.value;
        continue;
      }
      const auto [p, b] = resolve(*input, s.name, s.set);
      fs.best(p, b) = s.value;
    }
    if (calculationOnly) rs.ctl.nzyk = 1;
    // a numerical derivative steps by a share of its parameters' values
    for (int j = 1; j <= fs.model.nfit; ++j) {
      const FitVar& v = fs.model.var[static_cast<std::size_t>(j)];
      if (v.kind >= 0) continue;
      double sumAbs = 0.0;
      for (int k = 1; k <= v.nterm; ++k)
        sumAbs += std::fabs(v.coef[k] * fs.best(v.par[k], v.set[k]));
      if (sumAbs == 0.0) stop("ERROR: dqu/x parameter can not be zero !");
    }
  }

  void limitsForLevels(RunState& rs, SweepWork& sw) {
    const int J = instead == Instead::catalogue || catalogueAfterFit ? cat.jmax : jmax;
    if (J >= 0) rs.maxJ = J;
    sw.blk.maxJ = rs.maxJ;
  }

  void computeLevels(RunState& rs, FitState& fs, SweepWork& sw, bool withLines) {
    const Controls saved = rs.ctl;
    const int savedMaxJ = rs.maxJ;
    limitsForLevels(rs, sw);
    maxJ = rs.maxJ;
    CatalogueCuts window;
    window.fromGHz = cat.fmin_MHz / 1000.0;
    window.toGHz = cat.fmax_MHz / 1000.0;
    window.minLgint = cat.min_lgint;
    window.partitionOnlyAtT = partitionOnlyAtT;
    result.pt.T = cat.T;
    computeOutputLevels(rs, fs, sw, result, withLines ? &window : nullptr);
    rs.ctl = saved;
    rs.maxJ = savedMaxJ;
  }

  bool replaceFit(RunState& rs, FitState& fs, SweepWork& sw) override {
    switch (instead) {
    case Instead::fit:
      return false;
    case Instead::nothing:
      return true;
    case Instead::levels:
      computeLevels(rs, fs, sw, false);
      return true;
    case Instead::catalogue:
      computeLevels(rs, fs, sw, true);
      return true;
    }
    return false;
  }

  void atEnd(RunState& rs, FitState& fs, SweepWork& sw) override {
    if (catalogueAfterFit) computeLevels(rs, fs, sw, true);
    takeLines(rs, fit);
    takeFit(rs, fs, fit);
    ntop = rs.ctl.ntop;
    spin = rs.ctl.spin;
    finished = true;
  }
};

// One run of the program's sequence on the model's text.
void runModel(const Model::Input& in, ModelRun& hooks, const RunOptions& options,
              Calculation& into) {
  if (in.text.empty() && in.name.empty()) throw Error("ERROR: the model has no input");
  std::istringstream text(in.text);
  std::istringstream noAnswers; // a pause cannot be answered: it ends the run
  std::ostringstream listing, messages;
  std::ostream& out = options.listing ? *options.listing : listing;
  OutputRequests outputs;
  outputs.inputName = in.name;
  RunChannels channels;
  channels.answers = &noAnswers;
  channels.threads = std::max(1, options.threads);
  channels.hooks = &hooks;
  channels.ownsSignals = false;
  int status = 1;
  try {
    status = runProgram(text, out, messages, outputs, channels);
  } catch (const Error&) {
    throw;
  } catch (const std::exception& e) {
    throw Error(std::string("ERROR: internal failure: ") + e.what());
  }
  std::string msg = messages.str();
  if (options.messages) *options.messages << msg;
  if (!hooks.finished) {
    if (msg.empty()) msg = "ERROR: the input asks for the list of parameter names (help)\n";
    throw Error(msg, lineNamedIn(msg), status == 0 ? 1 : status, listing.str());
  }
  into.status = status;
  into.clean = status == 0;
  into.listing = listing.str();
  if (!options.messages) into.messages = std::move(msg);
}

} // namespace

// ---------------------------------------------------------------- models

Model Model::parse(const std::string& text, const std::string& name) {
  auto in = std::make_shared<Input>();
  in->text = text;
  in->name = name;
  struct Reading : ModelRun {
    Input* target = nullptr;
    void afterInput(RunState& rs, FitState& fs) override {
      ModelRun::afterInput(rs, fs);
      target->values = fs.best;
      target->flags = fs.flags;
      target->parName = rs.parName;
      target->nB = rs.nB;
      target->npar = fs.model.npar;
      target->nfit = fs.model.nfit;
      target->ctl = rs.ctl;
    }
  } reading;
  const std::vector<Setting> none;
  reading.input = in.get();
  reading.settings = &none;
  reading.target = in.get();
  reading.instead = ModelRun::Instead::nothing;
  Calculation ignored;
  runModel(*in, reading, RunOptions{}, ignored);
  return Model(std::move(in));
}

std::string InputSections::text() const {
  // every section ends with an empty line; a line of its own must not end
  // one early, nor may a title open a comment
  auto check = [](const std::string& what, const std::string& line) {
    if (line.find_first_not_of(" \t") == std::string::npos || line.find('\n') != std::string::npos)
      throw Error("ERROR: " + what + " \"" + line + "\" is empty or holds a line end");
  };
  check("the title", title);
  if (title.find_first_of("{}!\\") != std::string::npos)
    throw Error("ERROR: the title \"" + title + "\" holds a comment or continuation character");
  auto number = [](double v) {
    if (!std::isfinite(v)) throw Error("ERROR: a value of the input must be a finite number");
    std::ostringstream os;
    os.precision(17);
    os << v;
    return os.str();
  };
  std::string t = title + "\n\n";
  bool tops = false;
  for (const auto& [name, value] : controls) {
    check("the control", name);
    t += name + " " + number(value) + "\n";
    if (name == "ntop" && value > 0) tops = true;
  }
  t += "\n";
  for (const auto& [name, value] : parameters) {
    check("the parameter", name);
    t += name + " " + number(value) + "\n";
  }
  t += "\n";
  auto lines = [&](const char* what, const std::vector<std::string>& ls) {
    for (const std::string& l : ls) {
      check(what, l);
      t += l + "\n";
    }
    t += "\n";
  };
  lines("the fit variable", fit);
  if (tops) {
    lines("the species line", species);
    lines("the torsional-state line", states);
  }
  lines("the transition", transitions);
  return t;
}

Model Model::build(const InputSections& sections, const std::string& name) {
  return parse(sections.text(), name);
}

Model Model::read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw Error("ERROR: can not open input file " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return parse(s.str(), path);
}

const std::string& Model::text() const { return input_->text; }
const std::string& Model::name() const { return input_->name; }
int Model::sets() const { return input_->nB; }
int Model::fitVariables() const { return input_->nfit; }

double Model::get(const std::string& name, int set) const {
  const auto [p, b] = resolve(*input_, name, set);
  double v = input_->values(p, b);
  for (const Setting& s : settings_)
    if (s.set != 0 && resolve(*input_, s.name, s.set) == std::pair{p, b}) v = s.value;
  return v;
}

void Model::set(const std::string& name, double value, int set) {
  const auto [p, b] = resolve(*input_, name, set);
  if (!std::isfinite(value)) throw Error("ERROR: parameter " + name + " must be a finite number");
  settings_.push_back({input_->parName[static_cast<std::size_t>(p)], b, value});
}

double Model::control(const std::string& name) const {
  const ControlRef* c = findControl(name);
  if (!c) throw Error("ERROR: control " + name + " cannot be read or changed on a model");
  double v = c->i ? input_->ctl.*(c->i) : input_->ctl.*(c->r);
  for (const Setting& s : settings_)
    if (s.set == 0 && s.name == name) v = c->i ? std::lround(s.value) : s.value;
  return v;
}

void Model::setControl(const std::string& name, double value) {
  const ControlRef* c = findControl(name);
  if (!c)
    throw Error("ERROR: control " + name +
                " shapes what the input builds; change it in the input text");
  if (!std::isfinite(value)) throw Error("ERROR: control " + name + " must be a finite number");
  settings_.push_back({name, 0, value});
}

std::vector<Parameter> Model::parameters() const {
  std::vector<Parameter> all;
  for (int b = 1; b <= input_->nB; ++b)
    for (int p = 1; p <= input_->npar; ++p) {
      Parameter x{input_->parName[static_cast<std::size_t>(p)], b, 0.0, 0.0,
                  input_->flags(p, b) != 0};
      x.value = get(x.name, b);
      if (x.value == 0.0 && !x.fitted) continue;
      all.push_back(x);
    }
  return all;
}

Model Model::withParameters(const FitResult& fit) const {
  Model m = *this;
  for (const Parameter& p : fit.parameters) m.set(p.name, p.value, p.set);
  return m;
}

Calculation Model::calculate(const RunOptions& options) const {
  ModelRun run;
  run.input = input_.get();
  run.settings = &settings_;
  run.calculationOnly = true;
  runModel(*input_, run, options, run.fit);
  return static_cast<Calculation&&>(run.fit);
}

FitResult Model::fit(const RunOptions& options) const {
  ModelRun run;
  run.input = input_.get();
  run.settings = &settings_;
  runModel(*input_, run, options, run.fit);
  return std::move(run.fit);
}

Levels Model::levels(int jmax, const RunOptions& options) const {
  if (jmax > DIMJ)
    throw Error("ERROR: jmax " + std::to_string(jmax) + " > " + std::to_string(DIMJ));
  ModelRun run;
  run.input = input_.get();
  run.settings = &settings_;
  run.instead = ModelRun::Instead::levels;
  run.jmax = jmax;
  runModel(*input_, run, options, run.fit);
  Levels r;
  r.levels = takeLevels(run.result.levels);
  r.jmax = run.maxJ;
  return r;
}

double Levels::partitionFunction(double T) const {
  // sum over the levels of g exp(-c2 E / T), E above the lowest level (cm^-1)
  double Q = 0.0;
  for (const Level& l : levels) Q += l.degeneracy * std::exp(-C2_CM_K * l.E_cm / T);
  return Q;
}

Catalogue Model::catalogue(const CatalogueOptions& what, const RunOptions& options) const {
  return modelCatalogue(*this, what, options, false);
}

Catalogue modelCatalogue(const Model& model, const CatalogueOptions& what,
                         const RunOptions& options, bool partitionOnlyAtT) {
  if (what.jmax > DIMJ)
    throw Error("ERROR: jmax " + std::to_string(what.jmax) + " > " + std::to_string(DIMJ));
  if (!(what.T > 0.0)) throw Error("ERROR: the temperature must be positive");
  if (what.tag < 0 || what.tag > 999999) throw Error("ERROR: the tag must lie in 0 .. 999999");
  ModelRun run;
  run.input = model.input_.get();
  run.settings = &model.settings_;
  run.cat = what;
  run.partitionOnlyAtT = partitionOnlyAtT;
  const bool fits = what.fit && model.control("nzyk") > 1 && model.input_->nfit > 0;
  if (fits)
    run.catalogueAfterFit = true;
  else
    run.instead = ModelRun::Instead::catalogue;
  runModel(*model.input_, run, options, run.fit);

  Catalogue c;
  QuantaCoding q;
  q.tops = run.ntop > 0;
  q.hyperfine = run.spin > 0;
  q.halfIntegerF = run.spin % 2 != 0;
  c.qnfmt = q.qnfmt();
  const PartitionTable& pt = run.result.pt;
  std::vector<CatalogueLine>& lines = run.result.lines;
  const std::vector<OutputLevel>& outLevels = run.result.levels;
  // the cards, and the entries in their order: by frequency as written, then quanta
  std::vector<std::size_t> order;
  c.cards = catalogueCards(lines, outLevels, q, what.tag, pt, nullptr, &order);
  c.levels = takeLevels(run.result.levels);
  c.T = what.T;
  c.Q = pt.QT;
  c.Q_converged = pt.converged();
  c.Q_lastJ = pt.lastJ;
  for (std::size_t k = 0; k < pt.Q.size(); ++k)
    c.partition.emplace_back(CATALOGUE_TEMPERATURES[k], pt.Q[k]);
  const double Q300 = pt.Q[0];
  c.entries.reserve(lines.size());
  for (const std::size_t i : order) {
    const CatalogueLine& l = lines[i];
    CatalogueEntry e;
    const Level& up = c.levels[static_cast<std::size_t>(l.up)];
    const Level& lo = c.levels[static_cast<std::size_t>(l.lo)];
    e.freq_MHz = 1000.0 * l.freq;
    e.err_MHz = 1000.0 * l.err;
    e.strength_D2 = l.strength;
    e.elo_cm = lo.E_cm;
    e.gup = up.degeneracy;
    // log10 of the integrated intensity (nm^2 MHz) at T and at 300 K
    e.lgint = std::max(logIntensity(l.freq, l.strength, lo.E_cm, up.E_cm, what.T, c.Q), -99.9999);
    e.lgint300 =
        std::max(logIntensity(l.freq, l.strength, lo.E_cm, up.E_cm, 300.0, Q300), -99.9999);
    e.upper = l.up;
    e.lower = l.lo;
    e.measured = l.measured;
    c.entries.push_back(e);
  }
  c.listing = std::move(run.fit.listing);
  c.messages = std::move(run.fit.messages);
  return c;
}

void runModelWithHooks(const Model& model, RunHooks& hooks, const RunOptions& options) {
  // the model's values first, then the caller's look at the run state, and
  // the caller's calculation in place of the fit
  struct Chained : ModelRun {
    RunHooks* next = nullptr;
    void afterInput(RunState& rs, FitState& fs) override {
      ModelRun::afterInput(rs, fs);
      next->afterInput(rs, fs);
    }
    bool replaceFit(RunState& rs, FitState& fs, SweepWork& sw) override {
      return next->replaceFit(rs, fs, sw);
    }
    void atEnd(RunState&, FitState&, SweepWork&) override { finished = true; }
  } run;
  run.input = model.input_.get();
  run.settings = &model.settings_;
  run.next = &hooks;
  runModel(*model.input_, run, options, run.fit);
}

} // namespace ruvo
