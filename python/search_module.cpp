// The triples search in the Python module: ruvo._ruvo._search runs one part
// of the combination space and returns plain Python objects and numpy
// arrays (the package's ruvo.search shares the parts out and merges them).
// The search runs with the GIL released; a Ctrl-C, seen at each progress
// report, ends it with the best of what it has searched.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "ruvo/search.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// (J, Ka, Kc) or (J, Ka, Kc, species) or (J, Ka, Kc, species, v) of a level
ruvo::Quanta quantaOf(const py::sequence& s) {
  if (s.size() < 3 || s.size() > 5)
    throw ruvo::Error("ERROR: a level of the search is named by (J, Ka, Kc[, species[, v]])");
  ruvo::Quanta q;
  q.J = s[0].cast<int>();
  q.Ka = s[1].cast<int>();
  q.Kc = s[2].cast<int>();
  if (s.size() > 3) q.species = s[3].cast<int>();
  if (s.size() > 4) q.v = s[4].cast<int>();
  return q;
}

std::vector<ruvo::TransitionName> transitionsOf(const py::object& list) {
  std::vector<ruvo::TransitionName> out;
  if (list.is_none()) return out;
  for (const py::handle& t : list) {
    const py::sequence pair = py::reinterpret_borrow<py::sequence>(t);
    if (pair.size() != 2)
      throw ruvo::Error("ERROR: a transition of the search is (upper level, lower level)");
    out.push_back({quantaOf(pair[0]), quantaOf(pair[1])});
  }
  return out;
}

py::tuple levelOf(const ruvo::Quanta& q) { return py::make_tuple(q.J, q.Ka, q.Kc, q.species, q.v); }

py::list linesOf(const std::vector<ruvo::SearchLine>& lines) {
  py::list out;
  for (const ruvo::SearchLine& l : lines)
    out.append(py::dict("upper"_a = levelOf(l.name.upper), "lower"_a = levelOf(l.name.lower),
                        "freq_MHz"_a = l.freq_MHz, "lgint"_a = l.lgint,
                        "a_species"_a = l.a_species));
  return out;
}

} // namespace

void registerSearch(py::module_& m) {
  m.def(
      "_search",
      [](const ruvo::Model& model, std::vector<double> freq, std::vector<double> intensity,
         const py::dict& o, bool report) {
        ruvo::PeakList peaks{std::move(freq), std::move(intensity)};
        ruvo::SearchOptions opt;
        opt.triple = transitionsOf(o["triple"]);
        opt.check_lines = transitionsOf(o["check_lines"]);
        const auto w = o["windows_MHz"].cast<std::vector<double>>();
        if (w.size() != 3) throw ruvo::Error("ERROR: windows_MHz needs three widths");
        for (int k = 0; k < 3; ++k)
          opt.window_MHz[static_cast<std::size_t>(k)] = w[static_cast<std::size_t>(k)];
        opt.checks = o["checks"].cast<int>();
        opt.tolerance_MHz = o["tolerance_MHz"].cast<double>();
        opt.intensity_weight = o["intensity_weight"].cast<double>();
        opt.keep = o["keep"].cast<int>();
        opt.T = o["T"].cast<double>();
        opt.jmax = o["jmax"].cast<int>();
        opt.max_change = o["max_change"].cast<double>();
        opt.guess_uncertainty = o["guess_uncertainty"].cast<double>();
        opt.threads = o["threads"].cast<int>();
        opt.first = o["first"].cast<std::uint64_t>();
        opt.count = o["count"].cast<std::uint64_t>();
        if (o.contains("parts")) {
          opt.parts = o["parts"].cast<std::uint64_t>();
          opt.part = o["part"].cast<std::uint64_t>();
        }
        py::object bar = o.contains("progress") ? o["progress"] : py::none();
        opt.progress = [&bar, report](std::uint64_t done, std::uint64_t total) {
          py::gil_scoped_acquire hold;
          // a Ctrl-C typed meanwhile: end the search with what it has
          if (PyErr_CheckSignals() != 0) {
            PyErr_Clear();
            ruvo::requestInterrupt();
          }
          if (report && !bar.is_none()) bar(done, total);
        };
        ruvo::SearchResult r;
        const ruvo::Model own = model; // another thread may change the model meanwhile
        {
          py::gil_scoped_release free;
          ruvo::clearInterrupt();
          r = ruvo::search(own, peaks, opt);
          ruvo::clearInterrupt();
        }
        const std::size_t n = r.hits.size(), nc = r.checks.size();
        py::array_t<std::uint64_t> combination(static_cast<py::ssize_t>(n));
        py::array_t<int> peak({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(3)});
        py::array_t<double> constants({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(3)});
        py::array_t<int> matches(static_cast<py::ssize_t>(n)),
            iterations(static_cast<py::ssize_t>(n));
        py::array_t<double> rms(static_cast<py::ssize_t>(n)), irms(static_cast<py::ssize_t>(n)),
            score(static_cast<py::ssize_t>(n));
        py::array_t<int> matched({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(nc)});
        for (std::size_t i = 0; i < n; ++i) {
          const ruvo::SearchHit& h = r.hits[i];
          const auto k = static_cast<py::ssize_t>(i);
          combination.mutable_at(k) = h.combination;
          for (py::ssize_t j = 0; j < 3; ++j)
            peak.mutable_at(k, j) = h.peaks[static_cast<std::size_t>(j)];
          constants.mutable_at(k, 0) = h.BJ;
          constants.mutable_at(k, 1) = h.BK;
          constants.mutable_at(k, 2) = h.Bm;
          matches.mutable_at(k) = h.matches;
          iterations.mutable_at(k) = h.iterations;
          rms.mutable_at(k) = h.rms_MHz;
          irms.mutable_at(k) = h.intensity_rms;
          score.mutable_at(k) = h.score;
          for (std::size_t c = 0; c < nc; ++c)
            matched.mutable_at(k, static_cast<py::ssize_t>(c)) = r.matched[i * nc + c];
        }
        py::list candidates;
        for (const auto& c : r.candidates) candidates.append(py::cast(c));
        return py::dict("combination"_a = combination, "peaks"_a = peak, "constants"_a = constants,
                        "matches"_a = matches, "iterations"_a = iterations, "rms_MHz"_a = rms,
                        "intensity_rms"_a = irms, "score"_a = score, "matched"_a = matched,
                        "triple"_a = linesOf(r.triple), "checks"_a = linesOf(r.checks),
                        "candidates"_a = candidates, "combinations"_a = r.combinations,
                        "searched"_a = r.searched, "solved"_a = r.solved,
                        "interrupted"_a = r.interrupted,
                        "guess"_a = py::make_tuple(r.guess_BJ, r.guess_BK, r.guess_Bm));
      },
      "model"_a, "freq_MHz"_a, "intensity"_a, "options"_a, "report"_a = false,
      "One part of a triples search (ruvo.search shares the parts out and merges them).");
  m.def(
      "_synthetic_spectrum",
      [](const ruvo::Catalogue& cat, double jitter, double missing, double distractors,
         double factor, double minLgint, std::uint64_t seed) {
        ruvo::SyntheticSpectrumOptions o{jitter, missing, distractors, factor, minLgint, seed};
        ruvo::PeakList p = ruvo::syntheticSpectrum(cat, o);
        return py::make_tuple(
            py::array_t<double>(static_cast<py::ssize_t>(p.size()), p.freq_MHz.data()),
            py::array_t<double>(static_cast<py::ssize_t>(p.size()), p.intensity.data()));
      },
      "catalogue"_a, "jitter_MHz"_a, "missing"_a, "distractors"_a, "intensity_factor"_a,
      "min_lgint"_a, "seed"_a);
}
