// Helpers shared by the tests: in-process runs of whole input files and the
// comparison of listings with one unit of tolerance in the last digit.
#pragma once

#include <string>

namespace ruvo::test {

struct RunResult {
  int status = 0;
  std::string out; // the listing
  std::string err; // messages
};

// Run ruvo in-process on `input` (the text of an input file).
RunResult runText(const std::string& input);
// Run the ruvo executable on an input file in directory `workdir` (scratch
// and output files land there).
RunResult runBinary(const std::string& inputPath, const std::string& workdir);

// For its lifetime, makes a fresh directory of its own (below the system's
// temporary directory, named after `name` and the process) the working
// directory, and goes back afterwards.  Whole runs write their scratch and
// output files into the working directory; tests that run at the same time
// must not share them.
class ScopedWorkDir {
public:
  explicit ScopedWorkDir(const std::string& name);
  ~ScopedWorkDir();
  ScopedWorkDir(const ScopedWorkDir&) = delete;
  ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;
  const std::string& path() const { return path_; }

private:
  std::string path_, saved_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
// Path of a file below the source tree, e.g. sourcePath("tests/data/x.inp").
std::string sourcePath(const std::string& relative);

// Compare two listings: the text must agree exactly, except that a number
// may differ by one unit in its last printed digit (another BLAS or FMA may
// move it; "-0.000" and " 0.000" count as equal).  The rest of the banner's
// date line (" Calculation date and time: ...") is not compared.  Returns an
// empty string when they agree, else a description of the first difference.
std::string compareListings(const std::string& expected, const std::string& actual);

} // namespace ruvo::test
