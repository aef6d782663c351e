// ruvo-search: the triples search from the command line.
//
//   ruvo-search [options] MODEL PEAKS
//
// MODEL is an input file of ruvo with the guessed constants and the dipole
// components; PEAKS a text file of peaks, one a line: frequency (MHz) and,
// optionally, intensity; '#' and '!' begin comments.  The ranked table goes
// to standard output; a progress bar to standard error when it is a
// terminal.  Exit status 0 after a search, 1 on errors; a Ctrl-C ends the
// search with the table of what was searched (status 0, marked
// "interrupted").
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "ruvo/search.h"

namespace {

const char* kUsage =
    "usage: ruvo-search [options] MODEL PEAKS\n"
    "  MODEL  ruvo input file with the guessed constants and dipole components\n"
    "  PEAKS  peak list: frequency (MHz) [intensity] per line\n"
    "options:\n"
    "  --triple 'J Ka Kc J Ka Kc; ...'  the three lines (upper, then lower level;\n"
    "                                   a fourth number of a level: its species)\n"
    "  --window W1,W2,W3    half widths of the windows (MHz; default: the move of\n"
    "                       each line when the constants are off by --uncertainty)\n"
    "  --uncertainty U      relative uncertainty of the guess (default 0.02)\n"
    "  --checks N           check lines (default 10)\n"
    "  --tolerance T        MHz within which a check line matches (default 0.1)\n"
    "  --intensity-weight W weight of the intensity term in the score (default 0)\n"
    "  --keep M             combinations listed (default 20)\n"
    "  --temperature K      temperature of the predicted intensities (default 300)\n"
    "  --jmax J             largest J of the predicted lines (default: the input's)\n"
    "  --threads N          threads (default: one per core)\n"
    "  --quiet              no progress bar\n";

void interrupt(int) { ruvo::requestInterrupt(); }

[[noreturn]] void fail(const std::string& message) {
  std::cerr << message << "\n";
  std::exit(1);
}

double number(const std::string& option, const std::string& text) {
  try {
    std::size_t used = 0;
    const double v = std::stod(text, &used);
    if (used == text.size()) return v;
  } catch (...) {}
  fail("ruvo-search: " + option + " needs a number, not '" + text + "'");
}

ruvo::PeakList readPeaks(const std::string& path) {
  std::ifstream in(path);
  if (!in) fail("ERROR: can not open peak list " + path);
  ruvo::PeakList p;
  std::string line;
  int n = 0;
  bool anyIntensity = false;
  std::vector<bool> has;
  while (std::getline(in, line)) {
    ++n;
    const auto cut = line.find_first_of("#!");
    if (cut != std::string::npos) line.erase(cut);
    for (char& c : line)
      if (c == ',' || c == ';' || c == '\t') c = ' ';
    std::istringstream s(line);
    double f = 0.0, I = 0.0;
    if (!(s >> f)) {
      std::string rest;
      s.clear();
      if (s >> rest)
        fail("ERROR: peak list " + path + " line " + std::to_string(n) + ": '" + rest +
             "' is not a frequency");
      continue;
    }
    const bool withI = static_cast<bool>(s >> I);
    std::string extra;
    s.clear();
    if (s >> extra)
      fail("ERROR: peak list " + path + " line " + std::to_string(n) + ": '" + extra +
           "' after frequency and intensity");
    p.freq_MHz.push_back(f);
    p.intensity.push_back(withI ? I : 0.0);
    anyIntensity = anyIntensity || withI;
  }
  if (!anyIntensity) p.intensity.clear();
  return p;
}

std::vector<ruvo::TransitionName> readTriple(const std::string& text) {
  std::vector<ruvo::TransitionName> out;
  std::stringstream all(text);
  std::string one;
  while (std::getline(all, one, ';')) {
    std::istringstream s(one);
    std::vector<int> v;
    int x;
    while (s >> x) v.push_back(x);
    std::string rest;
    s.clear();
    if ((s >> rest) || (v.size() != 6 && v.size() != 8))
      fail("ruvo-search: --triple takes 'J Ka Kc J Ka Kc' (or with a species after each "
           "level: 8 numbers) per line, lines separated by ';'");
    ruvo::TransitionName t;
    const int w = static_cast<int>(v.size()) / 2;
    t.upper.J = v[0];
    t.upper.Ka = v[1];
    t.upper.Kc = v[2];
    t.lower.J = v[static_cast<std::size_t>(w)];
    t.lower.Ka = v[static_cast<std::size_t>(w + 1)];
    t.lower.Kc = v[static_cast<std::size_t>(w + 2)];
    if (w == 4) {
      t.upper.species = v[3];
      t.lower.species = v[7];
    }
    out.push_back(t);
  }
  return out;
}

std::string level(const ruvo::Quanta& q) {
  char b[64];
  std::snprintf(b, sizeof b, "%2d %2d %2d", q.J, q.Ka, q.Kc);
  std::string s = b;
  if (q.species != 0) s += " /" + std::to_string(q.species);
  return s;
}

void printLines(const char* title, const std::vector<ruvo::SearchLine>& lines) {
  std::printf("%s\n", title);
  for (const ruvo::SearchLine& l : lines)
    std::printf("  %-14s - %-14s %14.4f MHz  lgint %8.4f%s\n", level(l.name.upper).c_str(),
                level(l.name.lower).c_str(), l.freq_MHz, l.lgint, l.a_species ? "" : "  (E)");
}

} // namespace

int main(int argc, char** argv) {
  ruvo::SearchOptions o;
  bool quiet = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail("ruvo-search: " + a + " needs a value\n" + kUsage);
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--triple") {
      o.triple = readTriple(value());
    } else if (a == "--window") {
      std::stringstream s(value());
      std::string w;
      int k = 0;
      while (std::getline(s, w, ',')) {
        if (k == 3) fail("ruvo-search: --window takes three widths");
        o.window_MHz[static_cast<std::size_t>(k++)] = number(a, w);
      }
      if (k == 1)
        o.window_MHz[1] = o.window_MHz[2] = o.window_MHz[0];
      else if (k != 3)
        fail("ruvo-search: --window takes one or three widths");
    } else if (a == "--uncertainty") {
      o.guess_uncertainty = number(a, value());
    } else if (a == "--checks") {
      o.checks = static_cast<int>(number(a, value()));
    } else if (a == "--tolerance") {
      o.tolerance_MHz = number(a, value());
    } else if (a == "--intensity-weight") {
      o.intensity_weight = number(a, value());
    } else if (a == "--keep") {
      o.keep = static_cast<int>(number(a, value()));
    } else if (a == "--temperature") {
      o.T = number(a, value());
    } else if (a == "--jmax") {
      o.jmax = static_cast<int>(number(a, value()));
    } else if (a == "--threads") {
      o.threads = static_cast<int>(number(a, value()));
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      fail("ruvo-search: unknown option " + a + "\n" + kUsage);
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 2)
    fail(std::string("ruvo-search: a model and a peak list, please\n") + kUsage);
  const bool bar = !quiet && isatty(STDERR_FILENO);
  if (bar)
    o.progress = [](std::uint64_t done, std::uint64_t total) {
      const int width = 40;
      const int filled =
          total ? static_cast<int>(width * static_cast<double>(done) / total) : width;
      std::fprintf(stderr, "\r[%s%s] %llu / %llu", std::string(filled, '#').c_str(),
                   std::string(width - filled, '.').c_str(), static_cast<unsigned long long>(done),
                   static_cast<unsigned long long>(total));
      std::fflush(stderr);
    };
  std::signal(SIGINT, interrupt);
  try {
    const ruvo::Model model = ruvo::Model::read(files[0]);
    const ruvo::PeakList peaks = readPeaks(files[1]);
    const ruvo::SearchResult r = ruvo::search(model, peaks, o);
    if (bar) std::fprintf(stderr, "\n");
    std::printf("Triples search of %s with %s: %zu peaks\n", files[1].c_str(), files[0].c_str(),
                peaks.size());
    std::printf("guess  BJ %.7f  BK %.7f  B- %.7f GHz\n", r.guess_BJ, r.guess_BK, r.guess_Bm);
    printLines("triple (peaks in its windows):", r.triple);
    std::printf("  %zu x %zu x %zu = %llu combinations\n", r.candidates[0].size(),
                r.candidates[1].size(), r.candidates[2].size(),
                static_cast<unsigned long long>(r.combinations));
    printLines("check lines:", r.checks);
    std::printf("%llu searched, %llu solved%s\n", static_cast<unsigned long long>(r.searched),
                static_cast<unsigned long long>(r.solved),
                r.interrupted ? "  (interrupted: the table holds what was searched)" : "");
    std::printf("%4s %12s %12s %12s %7s %8s %8s %8s  %s\n", "rank", "BJ", "BK", "B-", "matches",
                "rms/MHz", "I-rms", "score", "peaks (numbers in the list)");
    for (std::size_t i = 0; i < r.hits.size(); ++i) {
      const ruvo::SearchHit& h = r.hits[i];
      std::printf("%4zu %12.7f %12.7f %12.7f %7d %8.4f %8.3f %8.3f  %d %d %d\n", i + 1, h.BJ, h.BK,
                  h.Bm, h.matches, h.rms_MHz, h.intensity_rms, h.score, h.peaks[0] + 1,
                  h.peaks[1] + 1, h.peaks[2] + 1);
    }
    return 0;
  } catch (const ruvo::Error& e) {
    if (bar) std::fprintf(stderr, "\n");
    std::cerr << e.messages();
    if (!e.messages().empty() && e.messages().back() != '\n') std::cerr << "\n";
    return 1;
  }
}
