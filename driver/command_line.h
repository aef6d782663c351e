// The command line of ruvo: which input file to read, which files to write
// beside the listing, or a request for the usage text or the version.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "driver/output_files.h"

namespace ruvo {

// A command line that can not be used; `message` says why.
struct UsageError {
  std::string message;
};

struct CommandLine {
  std::string inputFile;  // empty: standard input ("-" on the command line)
  bool help = false;      // --help: print the usage text and end
  bool version = false;   // --version: print the version and end
  OutputRequests outputs; // --catalog, --lines, --levels, --json, --tag
  int threads = 0;        // --threads N (0: not given)
};

// Largest thread count --threads and RUVO_THREADS accept.
inline constexpr int MAX_THREADS = 64;

// The threads of the run: --threads N when given, else RUVO_THREADS from the
// environment (null: not set), else every core of the machine (at most
// MAX_THREADS).
std::variant<int, UsageError> threadCount(const CommandLine& cl, const char* environment);

// Reads the arguments argv[1 .. argc-1].
std::variant<CommandLine, UsageError> parseCommandLine(int argc, const char* const* argv);

// The usage text (several lines, each ending in a line end).
std::string usageText();

// "ruvo 2.5"
std::string versionText();

} // namespace ruvo
