#include "driver/command_line.h"

#ifndef RUVO_VERSION
#define RUVO_VERSION "unknown"
#endif

namespace ruvo {

std::variant<CommandLine, UsageError> parseCommandLine(int argc, const char* const* argv) {
  CommandLine cl;
  bool haveFile = false;
  bool optionsEnded = false; // after "--" every argument is a file name
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
    const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
    if (isOption) {
      if (arg == "--") {
        optionsEnded = true;
      } else if (arg == "--help") {
        cl.help = true;
      } else if (arg == "--version") {
        cl.version = true;
      } else {
        return UsageError{"unknown option " + std::string(arg)};
      }
      continue;
    }
    // the input file; "-" is standard input
    if (haveFile) return UsageError{"more than one input file: " + std::string(arg)};
    if (arg.empty()) return UsageError{"empty input file name"};
    haveFile = true;
    cl.inputFile = arg == "-" && !optionsEnded ? std::string() : std::string(arg);
  }
  return cl;
}

std::string usageText() {
  return "Usage: ruvo [FILE]\n"
         "Reads the input file FILE (standard input when FILE is - or missing) and writes\n"
         "the listing to standard output; messages go to standard error.\n"
         "  --help     print this text and end\n"
         "  --version  print the version and end\n"
         "Exit status: 0 for a clean run, 1 after a stop, input errors or an ended pause,\n"
         "2 for a command line that can not be used.\n"
         "See \"man ruvo\" and the user guide (share/doc/ruvo/user-guide.md).\n";
}

std::string versionText() { return std::string("ruvo ") + RUVO_VERSION + "\n"; }

} // namespace ruvo
