#include "support/test_support.h"

#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "driver/program.h"

namespace ruvo::test {

RunResult runText(const std::string& input) {
  std::istringstream in(input);
  std::ostringstream out, err;
  RunResult r;
  r.status = runProgram(in, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

RunResult runBinary(const std::string& inputPath, const std::string& workdir) {
  RunResult r;
  const std::string outFile = workdir + "/ruvo.stdout";
  const std::string errFile = workdir + "/ruvo.stderr";
  const std::string cmd = "cd '" + workdir + "' && '" + std::string(RUVO_BINARY) + "' < '" +
                          inputPath + "' > '" + outFile + "' 2> '" + errFile + "'";
  const int rc = std::system(cmd.c_str());
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = readFile(outFile);
  r.err = readFile(errFile);
  return r;
}

ScopedWorkDir::ScopedWorkDir(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  saved_ = fs::current_path(ec).string();
  const fs::path dir =
      fs::temp_directory_path(ec) / ("ruvo_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir, ec);
  fs::create_directories(dir, ec);
  path_ = dir.string();
  fs::current_path(dir, ec);
}

ScopedWorkDir::~ScopedWorkDir() {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::current_path(saved_, ec);
  fs::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
}

std::string sourcePath(const std::string& relative) {
  return std::string(RUVO_SOURCE_DIR) + "/" + relative;
}

namespace {

std::vector<std::string> splitLines(const std::string& s) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : s) {
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

bool isNumChar(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
         c == 'E' || c == 'D' || c == 'e';
}

// The numeric token of `s` that covers position p: [b, e).
void numberSpan(const std::string& s, std::size_t p, std::size_t& b, std::size_t& e) {
  b = p;
  while (b > 0 && isNumChar(s[b - 1])) --b;
  e = p;
  while (e < s.size() && isNumChar(s[e])) ++e;
}

// Value of a printed number and the size of one unit of its last digit.
bool parseNumber(std::string tok, double& value, double& unit) {
  if (tok.empty()) return false;
  for (char& c : tok)
    if (c == 'D') c = 'E';
  // a Fortran exponent without its letter, e.g. 0.123-100
  std::size_t epos = tok.find('E');
  std::string mant = tok, expo;
  if (epos != std::string::npos) {
    mant = tok.substr(0, epos);
    expo = tok.substr(epos + 1);
  } else {
    std::size_t k = tok.find_last_of("+-");
    if (k != std::string::npos && k > 0) {
      mant = tok.substr(0, k);
      expo = tok.substr(k);
    }
  }
  char* endp = nullptr;
  value = std::strtod(mant.c_str(), &endp);
  if (endp == mant.c_str() || *endp != '\0') return false;
  int ex = 0;
  if (!expo.empty()) {
    ex = std::atoi(expo.c_str());
    value *= std::pow(10.0, ex);
  }
  std::size_t dot = mant.find('.');
  int decimals = dot == std::string::npos ? 0 : static_cast<int>(mant.size() - dot - 1);
  unit = std::pow(10.0, ex - decimals);
  return true;
}

std::string trimBlanks(const std::string& s) {
  const auto b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The banner's date line differs from run to run, and its title line names
// the version of the build that wrote it (checked by the banner's own test).
const std::string kDateLine = " Calculation date and time: ";
const std::string kTitleLine =
    " Rotational, Centrifugal Distortion, Internal Rotation Calculation (ruvo ";

bool sameLine(const std::string& la, const std::string& lb) {
  if (la == lb) return true;
  if (la.rfind(kDateLine, 0) == 0 && lb.rfind(kDateLine, 0) == 0) return true;
  if (la.rfind(kTitleLine, 0) == 0 && lb.rfind(kTitleLine, 0) == 0 && la.back() == ')' &&
      lb.back() == ')')
    return true;
  if (la.size() != lb.size()) return false;
  std::size_t p = 0;
  while (p < la.size()) {
    if (la[p] == lb[p]) {
      ++p;
      continue;
    }
    // the numbers that cover this column in the two lines; a sign against a
    // blank ("-0.000" / " 0.000") belongs to the number
    std::size_t b1, e1, b2, e2;
    numberSpan(la, p, b1, e1);
    numberSpan(lb, p, b2, e2);
    const std::size_t b = std::min(b1, b2), e = std::max(e1, e2);
    const std::string ta = trimBlanks(la.substr(b, e - b));
    const std::string tb = trimBlanks(lb.substr(b, e - b));
    double va, ua, vb, ub;
    // both in the same layout: the same last digit, or the same width
    // (a carry into the exponent, "0.9999E+01" / "0.1000E+02")
    if (!parseNumber(ta, va, ua) || !parseNumber(tb, vb, ub) ||
        (ua != ub && ta.size() != tb.size()) || std::fabs(va - vb) > std::max(ua, ub) * 1.000001)
      return false;
    p = e; // the text after the number is compared again column by column
  }
  return true;
}

} // namespace

std::string compareListings(const std::string& expected, const std::string& actual) {
  const auto a = splitLines(expected);
  const auto b = splitLines(actual);
  const std::size_t n = std::max(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const std::string la = i < a.size() ? a[i] : std::string("<missing>");
    const std::string lb = i < b.size() ? b[i] : std::string("<missing>");
    if (!sameLine(la, lb))
      return "line " + std::to_string(i + 1) + " differs:\n  expected: [" + la +
             "]\n  actual:   [" + lb + "]";
  }
  const bool endA = !expected.empty() && expected.back() == '\n';
  const bool endB = !actual.empty() && actual.back() == '\n';
  if (endA != endB) return "the last line ends differently (line end missing in one listing)";
  return {};
}

} // namespace ruvo::test
