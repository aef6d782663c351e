// The command line of ruvo: which input file to read, which files to write
// beside the listing, or a request for the usage text or the version.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "driver/output_files.h"

namespace ruvo {

struct CommandLine {
  std::string inputFile;  // empty: standard input ("-" on the command line)
  bool help = false;      // --help: print the usage text and end
  bool version = false;   // --version: print the version and end
  OutputRequests outputs; // --catalog, --lines, --levels, --json, --tag
};

// A command line that can not be used; `message` says why.
struct UsageError {
  std::string message;
};

// Reads the arguments argv[1 .. argc-1].
std::variant<CommandLine, UsageError> parseCommandLine(int argc, const char* const* argv);

// The usage text (several lines, each ending in a line end).
std::string usageText();

// "ruvo 2.5"
std::string versionText();

} // namespace ruvo
