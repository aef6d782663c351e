#include "driver/command_line.h"

#include <algorithm>
#include <charconv>
#include <thread>
#include <vector>

#include "core/version.h"

namespace ruvo {

namespace {

// A thread count: a whole number from 1 to MAX_THREADS, nothing else.
bool parseThreads(std::string_view text, int& n) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, n);
  return ec == std::errc() && ptr == end && n >= 1 && n <= MAX_THREADS;
}

std::string threadsMessage(std::string_view where, std::string_view value) {
  return std::string(where) + " needs a whole number of threads from 1 to " +
         std::to_string(MAX_THREADS) + ", not \"" + std::string(value) + "\"";
}

} // namespace

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
      } else if (arg == "--threads" || arg.rfind("--threads=", 0) == 0) {
        // the count follows as the next argument or after "="
        const bool joined = arg.size() > 9;
        if (!joined && i + 1 >= args.size()) return UsageError{threadsMessage("--threads", "")};
        const std::string_view value = joined ? arg.substr(10) : std::string_view(args[i + 1]);
        if (!parseThreads(value, cl.threads)) return UsageError{threadsMessage("--threads", value)};
        if (!joined) ++i;
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

std::variant<int, UsageError> threadCount(const CommandLine& cl, const char* environment) {
  if (cl.threads > 0) return cl.threads;
  if (environment != nullptr) {
    int n = 0;
    if (!parseThreads(environment, n))
      return UsageError{threadsMessage("RUVO_THREADS", environment)};
    return n;
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(std::min<unsigned>(cores, MAX_THREADS));
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
         "  --cat-from MHZ      catalogue lines from this frequency (default 0)\n"
         "  --cat-to MHZ        ... up to this frequency (default 99999999.9999)\n"
         "  --cat-lgint X       catalogue lines of log10 intensity >= X (default -20)\n"
         "  --threads N         compute the blocks on N threads (default: RUVO_THREADS\n"
         "                      from the environment, else every core); the results do\n"
         "                      not depend on N\n"
         "  --help              print this text and end\n"
         "  --version           print the version and end\n"
         "Exit status: 0 for a clean run (a converged fit or a calculation); 1 after a\n"
         "stop, input errors, input that was not used, an ended pause, or a command line\n"
         "that can not be used; 2 when the run finished but its fit did not converge\n"
         "(cycle limit nzyk, damping limit, Ctrl-C).\n"
         "See \"man ruvo\" and the user guide (share/doc/ruvo/user-guide.md).\n";
}

std::string versionText() { return "ruvo " + std::string(programVersion()) + "\n"; }

} // namespace ruvo
