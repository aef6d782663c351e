// Fuzz target: the input sections alone (title to transition list) on
// arbitrary bytes, without the calculation that a whole run would start.
// Any end is fine except a crash, a hang or a sanitizer report.  The energy
// and deviation files that the controls may ask for are written into a
// directory of the fuzzer's own below the system's temporary directory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/state.h"
#include "core/stop.h"
#include "input/parameter_input.h"
#include "input/reader.h"

namespace {

std::vector<std::string> g_args;
std::vector<char*> g_argv;
std::string g_workDir;

void removeWorkDir() {
  std::error_code ec;
  std::filesystem::remove_all(g_workDir, ec);
}

} // namespace

// Paths among the arguments (corpus directories, -flag=path values) are made
// absolute before the process moves to its working directory.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  const std::string cwd = std::filesystem::current_path().string();
  bool hasArtifactPrefix = false;
  for (int i = 0; i < *argc; ++i) {
    std::string a = (*argv)[i];
    const std::size_t eq = a.find('=');
    if (i > 0 && a[0] != '-' && a[0] != '/') a = cwd + "/" + a;
    if (a[0] == '-' && eq != std::string::npos && a.size() > eq + 1 && a[eq + 1] != '/' &&
        (a.rfind("-artifact_prefix=", 0) == 0 || a.rfind("-exact_artifact_path=", 0) == 0 ||
         a.rfind("-dict=", 0) == 0))
      a = a.substr(0, eq + 1) + cwd + "/" + a.substr(eq + 1);
    if (a.rfind("-artifact_prefix=", 0) == 0) hasArtifactPrefix = true;
    g_args.push_back(a);
  }
  if (!hasArtifactPrefix) g_args.insert(g_args.begin() + 1, "-artifact_prefix=" + cwd + "/");
  for (std::string& a : g_args) g_argv.push_back(a.data());
  g_argv.push_back(nullptr);
  *argc = static_cast<int>(g_args.size());
  *argv = g_argv.data();
  g_workDir =
      (std::filesystem::temp_directory_path() / "ruvo-fuzz-parameter-input-XXXXXX").string();
  if (mkdtemp(g_workDir.data()) == nullptr || chdir(g_workDir.c_str()) != 0) std::abort();
  std::atexit(removeWorkDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // one run state for all inputs: readInputFile sets every section it reads
  static std::unique_ptr<ruvo::RunState> rs = [] {
    auto p = std::make_unique<ruvo::RunState>();
    p->allocate();
    return p;
  }();
  static std::unique_ptr<ruvo::FitState> fs = std::make_unique<ruvo::FitState>();
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::ostringstream out, err;
  rs->io.in = &in;
  rs->io.out = &out;
  rs->io.err = &err;
  ruvo::Reader reader(in, out, err);
  try {
    ruvo::readInputFile(*rs, *fs, reader);
  } catch (const ruvo::RunEnd&) {
    // a stop or the input-error summary: an ordinary end
  }
  rs->io.evalFile.close();
  rs->io.dfreqFile.close();
  rs->io.in = nullptr;
  rs->io.out = nullptr;
  rs->io.err = nullptr;
  return 0;
}
