// The Python module ruvo._ruvo: models, fits, levels, catalogues and scans
// of the C++ library.  Tables come back as numpy structured arrays that own
// the library's vectors (no copy per element); computations run with the
// GIL released; a Ctrl-C during a fit on the main thread ends the fit after
// its cycle, as in the program.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <csignal>
#include <mutex>

#include "ruvo/ruvo.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// A numpy array that takes over the vector's storage.
template <class T> py::array_t<T> ownedArray(std::vector<T>&& v) {
  auto* held = new std::vector<T>(std::move(v));
  py::capsule owner(held, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>({static_cast<py::ssize_t>(held->size())}, {sizeof(T)}, held->data(), owner);
}

// A numpy array over a vector of a result object, which it keeps alive.
template <class T> py::array_t<T> view(const std::vector<T>& v, py::handle owner) {
  return py::array_t<T>({static_cast<py::ssize_t>(v.size())}, {sizeof(T)}, v.data(), owner);
}

py::array_t<double> matrix(std::vector<double>&& v, std::size_t rows, std::size_t cols) {
  auto* held = new std::vector<double>(std::move(v));
  py::capsule owner(held, [](void* p) { delete static_cast<std::vector<double>*>(p); });
  return py::array_t<double>(
      {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)},
      {static_cast<py::ssize_t>(cols * sizeof(double)), static_cast<py::ssize_t>(sizeof(double))},
      held->data(), owner);
}

// Ctrl-C while the GIL is released: Python's own handler would only be run
// after the fit.  On the main thread the library's interrupt flag takes
// SIGINT for the time of the computation; nested and concurrent calls
// share one installation.
class InterruptWhileComputing {
public:
  InterruptWhileComputing() {
    const py::object threading = py::module_::import("threading");
    if (!threading.attr("current_thread")().is(threading.attr("main_thread")())) return;
    std::lock_guard<std::mutex> lock(mutex());
    if (depth()++ == 0) {
      ruvo::clearInterrupt();
      struct sigaction sa {};
      sa.sa_handler = [](int) { ruvo::requestInterrupt(); };
      sigemptyset(&sa.sa_mask);
      sa.sa_flags = SA_RESTART;
      sigaction(SIGINT, &sa, &saved());
    }
    installed_ = true;
  }
  ~InterruptWhileComputing() {
    if (!installed_) return;
    std::lock_guard<std::mutex> lock(mutex());
    if (--depth() == 0) sigaction(SIGINT, &saved(), nullptr);
  }
  InterruptWhileComputing(const InterruptWhileComputing&) = delete;
  InterruptWhileComputing& operator=(const InterruptWhileComputing&) = delete;

private:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static int& depth() {
    static int d = 0;
    return d;
  }
  static struct sigaction& saved() {
    static struct sigaction s {};
    return s;
  }
  bool installed_ = false;
};

ruvo::RunOptions options(int threads) {
  ruvo::RunOptions o;
  o.threads = threads;
  return o;
}

// parameters by name: "BJ" for set 1 when the input has one set, "BJ(2)" otherwise
std::string key(const ruvo::Parameter& p, int sets) {
  return sets > 1 ? p.name + "(" + std::to_string(p.set) + ")" : p.name;
}

py::dict parameterDict(const std::vector<ruvo::Parameter>& ps, bool errors) {
  int sets = 1;
  for (const auto& p : ps) sets = std::max(sets, p.set);
  py::dict d;
  for (const auto& p : ps) d[py::str(key(p, sets))] = errors ? p.error : p.value;
  return d;
}

struct PyCalculation {
  ruvo::Calculation c;
  py::object lines;
};

} // namespace

void registerSearch(py::module_& m); // search_module.cpp

PYBIND11_MODULE(_ruvo, m) {
  m.doc() = "Rotational spectra of asymmetric tops with up to three internal rotors";
  PYBIND11_NUMPY_DTYPE(ruvo::Quanta, J, Ka, Kc, K, v, species, set, F2);
  PYBIND11_NUMPY_DTYPE(ruvo::Line, index, upper, lower, obs_GHz, calc_GHz, oc_MHz, error_MHz,
                       measured, found);
  PYBIND11_NUMPY_DTYPE(ruvo::Level, set, species, v, J, Ka, Kc, F2, E_GHz, E_cm, degeneracy);
  PYBIND11_NUMPY_DTYPE(ruvo::CatalogueEntry, freq_MHz, err_MHz, lgint, lgint300, strength_D2,
                       elo_cm, gup, upper, lower, measured);

  static py::exception<ruvo::Error> inputError(m, "Error", PyExc_RuntimeError);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const ruvo::Error& e) {
      py::object err = py::handle(inputError.ptr())(e.what());
      err.attr("line") = e.line();
      err.attr("status") = e.status();
      err.attr("messages") = e.messages();
      err.attr("listing") = e.listing();
      PyErr_SetObject(inputError.ptr(), err.ptr());
    }
  });

  py::class_<ruvo::Calculation>(m, "Calculation",
                                "A calculation of every line without fitting (nzyk 1).")
      .def_property_readonly(
          "lines",
          [](py::object self) { return view(self.cast<ruvo::Calculation&>().lines, self); },
          "Structured array of the transition list: index, upper and lower quanta (J, Ka, Kc, "
          "K, v, species, set, F2), obs_GHz, calc_GHz, oc_MHz, error_MHz, measured, found.")
      .def_readonly("rms_MHz", &ruvo::Calculation::rms_MHz)
      .def_readonly("n_data", &ruvo::Calculation::n_data)
      .def_readonly("listing", &ruvo::Calculation::listing,
                    "The listing, as the program writes it.")
      .def_readonly("messages", &ruvo::Calculation::messages)
      .def_readonly("clean", &ruvo::Calculation::clean)
      .def_readonly("status", &ruvo::Calculation::status,
                    "The exit status the program gives for this run.");

  py::class_<ruvo::FitResult, ruvo::Calculation>(m, "FitResult", "The result of a fit.")
      .def_property_readonly(
          "parameters", [](const ruvo::FitResult& f) { return parameterDict(f.parameters, false); },
          "Final values by input name (GHz, rad, D).")
      .def_property_readonly(
          "errors", [](const ruvo::FitResult& f) { return parameterDict(f.parameters, true); },
          "Errors of the parameters by input name.")
      .def_readonly("fit_names", &ruvo::FitResult::fit_names)
      .def_readonly("fit_errors", &ruvo::FitResult::fit_errors)
      .def_property_readonly(
          "correlations",
          [](py::object self) {
            const auto& f = self.cast<const ruvo::FitResult&>();
            const auto n = static_cast<py::ssize_t>(f.fit_names.size());
            return py::array_t<double>({n, n}, {n * 8, py::ssize_t{8}}, f.correlations.data(),
                                       self);
          },
          "Correlation matrix of the fitted combinations (fit_names).")
      .def_readonly("sd_MHz", &ruvo::FitResult::sd_MHz)
      .def_readonly("converged", &ruvo::FitResult::converged)
      .def_readonly("cycles", &ruvo::FitResult::cycles)
      .def_readonly("independent", &ruvo::FitResult::independent)
      .def_readonly("interrupted", &ruvo::FitResult::interrupted)
      .def("__repr__", [](const ruvo::FitResult& f) {
        return "<ruvo.FitResult sd " + std::to_string(f.sd_MHz) + " MHz, " +
               std::to_string(f.cycles) + " cycles, " +
               (f.converged ? "converged" : "not converged") + ">";
      });

  py::class_<ruvo::Levels>(m, "Levels", "Every level up to a largest J.")
      .def_property_readonly(
          "levels", [](py::object self) { return view(self.cast<ruvo::Levels&>().levels, self); },
          "Structured array: set, species, v, J, Ka, Kc, F2, E_GHz, E_cm (above the lowest "
          "level), degeneracy.")
      .def_readonly("jmax", &ruvo::Levels::jmax)
      .def("Q", &ruvo::Levels::partitionFunction, "T"_a,
           "Rotational partition function of these levels at T (K).");

  py::class_<ruvo::Catalogue>(m, "Catalogue", "Predicted lines as the .cat cards.")
      .def_property_readonly(
          "lines",
          [](py::object self) { return view(self.cast<ruvo::Catalogue&>().entries, self); },
          "Structured array: freq_MHz, err_MHz, lgint (at T), lgint300, strength_D2, elo_cm, "
          "gup, upper, lower (indices into levels), measured.")
      .def_property_readonly(
          "levels",
          [](py::object self) { return view(self.cast<ruvo::Catalogue&>().levels, self); })
      .def_readonly("cards", &ruvo::Catalogue::cards, "The .cat file.")
      .def_readonly("T", &ruvo::Catalogue::T)
      .def_readonly("Q", &ruvo::Catalogue::Q, "Q(T), summed to convergence in J.")
      .def_readonly("Q_converged", &ruvo::Catalogue::Q_converged,
                    "False when the levels of the largest J still add 1e-6 of Q(300 K).")
      .def_readonly("Q_lastJ", &ruvo::Catalogue::Q_lastJ, "The largest J summed into Q.")
      .def_readonly("partition", &ruvo::Catalogue::partition,
                    "(T, Q) at the catalogue temperatures 300 ... 9.375 K.")
      .def_readonly("qnfmt", &ruvo::Catalogue::qnfmt)
      .def_readonly("listing", &ruvo::Catalogue::listing)
      .def_readonly("messages", &ruvo::Catalogue::messages);

  py::class_<ruvo::Model>(m, "Model",
                          "An input file with the parameter and control values set on it.")
      .def_static("parse", &ruvo::Model::parse, "text"_a, "name"_a = "",
                  "A model from the text of an input file.")
      .def_static("read", &ruvo::Model::read, "path"_a, "A model from an input file.")
      .def("get", &ruvo::Model::get, "name"_a, "set"_a = 1)
      .def("set", &ruvo::Model::set, "name"_a, "value"_a, "set"_a = 1)
      .def("__getitem__", [](const ruvo::Model& md, const std::string& n) { return md.get(n); })
      .def("__setitem__", [](ruvo::Model& md, const std::string& n, double v) { md.set(n, v); })
      .def("control", &ruvo::Model::control, "name"_a)
      .def("set_control", &ruvo::Model::setControl, "name"_a, "value"_a,
           "Change a control that acts after the input (nzyk, convg, freq_h, ...).")
      .def_property_readonly(
          "parameters", [](const ruvo::Model& md) { return parameterDict(md.parameters(), false); },
          "Values of the parameters in use by input name.")
      .def_property_readonly("fitted",
                             [](const ruvo::Model& md) {
                               std::vector<std::string> names;
                               for (const auto& p : md.parameters())
                                 if (p.fitted) names.push_back(key(p, md.sets()));
                               return names;
                             })
      .def_property_readonly("sets", &ruvo::Model::sets)
      .def_property_readonly("text", &ruvo::Model::text)
      .def_property_readonly("name", &ruvo::Model::name)
      .def_property_readonly("settings",
                             [](const ruvo::Model& md) {
                               py::list l;
                               for (const auto& s : md.settings())
                                 l.append(py::make_tuple(s.name, s.set, s.value));
                               return l;
                             })
      .def(
          "calculate",
          [](const ruvo::Model& md, int threads) {
            const ruvo::Model own = md; // another thread may change md meanwhile
            InterruptWhileComputing ctrlC;
            py::gil_scoped_release free;
            return own.calculate(options(threads));
          },
          "threads"_a = 1, "One calculation of every line (nzyk 1).")
      .def(
          "fit",
          [](const ruvo::Model& md, int threads) {
            const ruvo::Model own = md;
            InterruptWhileComputing ctrlC;
            py::gil_scoped_release free;
            return own.fit(options(threads));
          },
          "threads"_a = 1, "The fit as the input asks for it: same cycles as the program.")
      .def(
          "levels",
          [](const ruvo::Model& md, int jmax, int threads) {
            const ruvo::Model own = md;
            py::gil_scoped_release free;
            return own.levels(jmax, options(threads));
          },
          "jmax"_a = -1, "threads"_a = 1,
          "Every level up to jmax (-1: the transitions' largest J).")
      .def(
          "catalogue",
          [](const ruvo::Model& md, double fmin, double fmax, double T, double minLgint, int jmax,
             int tag, bool fit, int threads) {
            ruvo::CatalogueOptions w;
            w.fmin_MHz = fmin;
            w.fmax_MHz = fmax;
            w.T = T;
            w.min_lgint = minLgint;
            w.jmax = jmax;
            w.tag = tag;
            w.fit = fit;
            const ruvo::Model own = md;
            InterruptWhileComputing ctrlC;
            py::gil_scoped_release free;
            return own.catalogue(w, options(threads));
          },
          "fmin_MHz"_a = 0.0, "fmax_MHz"_a = 99999999.9999, "T"_a = 300.0, "min_lgint"_a = -20.0,
          "jmax"_a = -1, "tag"_a = 0, "fit"_a = true, "threads"_a = 1,
          "Predicted lines between fmin_MHz and fmax_MHz with LGINT (log10 intensity at 300 K, "
          "nm^2 MHz) of at least min_lgint, as the .cat file of --catalog with --cat-from, "
          "--cat-to and --cat-lgint; intensities also at T, Q summed to convergence in J; after "
          "the input's fit unless fit=False.")
      .def("with_parameters", &ruvo::Model::withParameters, "fit"_a,
           "The same input with the final parameters of a fit.")
      .def(
          "copy", [](const ruvo::Model& md) { return md; },
          "A copy with the same settings (the text is shared).")
      .def("__copy__", [](const ruvo::Model& md) { return md; })
      .def("__deepcopy__", [](const ruvo::Model& md, py::dict) { return md; })
      .def("__repr__", [](const ruvo::Model& md) {
        return "<ruvo.Model " + (md.name().empty() ? std::string("(text)") : md.name()) + ", " +
               std::to_string(md.settings().size()) + " values set>";
      });

  m.def(
      "build",
      [](const std::string& title, const std::vector<std::pair<std::string, double>>& controls,
         const std::vector<std::pair<std::string, double>>& parameters,
         const std::vector<std::string>& fit, const std::vector<std::string>& species,
         const std::vector<std::string>& states, const std::vector<std::string>& transitions,
         const std::string& name) {
        ruvo::InputSections in;
        in.title = title;
        in.controls = controls;
        in.parameters = parameters;
        in.fit = fit;
        in.species = species;
        in.states = states;
        in.transitions = transitions;
        return ruvo::Model::build(in, name);
      },
      "title"_a, "controls"_a, "parameters"_a, "fit"_a, "species"_a, "states"_a, "transitions"_a,
      "name"_a = "",
      "A model made in code from the sections of an input file: controls and parameters as "
      "(name, value) pairs, the other sections as lines in the input's syntax.");

  m.def(
      "_scan",
      [](const ruvo::Model& md, std::vector<std::string> names,
         py::array_t<double, py::array::c_style | py::array::forcecast> points, bool fit,
         int threads) {
        ruvo::ScanGrid g;
        g.names = std::move(names);
        g.points.assign(points.data(), points.data() + points.size());
        ruvo::ScanTable t;
        {
          const ruvo::Model own = md;
          InterruptWhileComputing ctrlC;
          py::gil_scoped_release free;
          t = ruvo::scan(own, g, fit ? ruvo::ScanMode::fit : ruvo::ScanMode::calculate, threads);
        }
        const std::size_t n = t.size(), nc = t.columns.size();
        py::dict d;
        d["columns"] = t.columns;
        d["values"] = matrix(std::move(t.values), n, nc);
        d["sd_MHz"] = ownedArray(std::move(t.sd_MHz));
        d["rms_MHz"] = ownedArray(std::move(t.rms_MHz));
        d["converged"] = ownedArray(std::move(t.converged));
        d["cycles"] = ownedArray(std::move(t.cycles));
        d["errors"] = t.errors;
        return d;
      },
      "model"_a, "names"_a, "points"_a, "fit"_a, "threads"_a);
  registerSearch(m);
}
