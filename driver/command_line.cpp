#include "driver/command_line.h"

#include <vector>

#ifndef RUVO_VERSION
#define RUVO_VERSION "unknown"
#endif

namespace ruvo {

std::variant<CommandLine, UsageError> parseCommandLine(int argc, const char* const* argv) {
  CommandLine cl;
  bool haveFile = false;
  bool optionsEnded = false; // after "--" every argument is a file name
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i] != nullptr ? argv[i] : "");
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
    if (isOption) {
      std::size_t next = i;
      std::string error;
      if (parseOutputOption(args, next, cl.outputs, error)) {
        if (!error.empty()) return UsageError{error};
        i = next - 1; // the option and its value are used
        continue;
      }
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
  return "Usage: ruvo [OPTIONS] [FILE]\n"
         "Reads the input file FILE (standard input when FILE is - or missing) and writes\n"
         "the listing to standard output; messages go to standard error.\n"
         "  --catalog FILE.cat  JPL/CDMS catalogue of the predicted lines (and FILE.cat.q)\n"
         "  --lines FILE.lin    the measured lines in SPFIT's layout\n"
         "  --levels FILE.csv   every computed level as CSV\n"
         "  --json FILE.json    parameters, lines and statistics of the run as JSON\n"
         "  --tag N             species tag of the catalogue\n"
         "  --help              print this text and end\n"
         "  --version           print the version and end\n"
         "Exit status: 0 for a clean run; 1 after a stop, input errors, input that was not\n"
         "used, an ended pause, or a command line that can not be used.\n"
         "See \"man ruvo\" and the user guide (share/doc/ruvo/user-guide.md).\n";
}

std::string versionText() { return std::string("ruvo ") + RUVO_VERSION + "\n"; }

} // namespace ruvo
