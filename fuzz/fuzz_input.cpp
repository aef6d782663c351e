// Fuzz target: a whole run on arbitrary bytes as the input file.  The
// listing and the messages are discarded; a stop is an ordinary end.  The
// run may create output and scratch files in the working directory, so the
// target works in a directory of its own below the system's temporary
// directory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>

#include "driver/program.h"
#include "driver/stop.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string dir = (std::filesystem::temp_directory_path() / "ruvo-fuzz-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::ostringstream out, err;
  try {
    ruvo::runProgram(in, out, err);
  } catch (const ruvo::RunEnd&) {
    // runProgram ends stops itself; this only guards the fuzzer
  }
  return 0;
}
