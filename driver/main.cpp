// ruvo: rotational spectra of asymmetric tops with up to three internal rotors.
// Reads the input file named on the command line (or standard input),
// writes the listing to standard output and, when asked, output files for
// other programs beside it.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <unistd.h>
#include <variant>

#include "core/stop.h"
#include "driver/command_line.h"
#include "driver/program.h"

int main(int argc, char** argv) {
  const auto parsed = ruvo::parseCommandLine(argc, argv);
  if (const auto* bad = std::get_if<ruvo::UsageError>(&parsed)) {
    std::cerr << "ruvo: " << bad->message << '\n' << ruvo::usageText();
    return 1;
  }
  ruvo::CommandLine cl = std::get<ruvo::CommandLine>(parsed);
  const auto threads = ruvo::threadCount(cl, std::getenv("RUVO_THREADS"));
  if (const auto* bad = std::get_if<ruvo::UsageError>(&threads)) {
    std::cerr << "ruvo: " << bad->message << '\n' << ruvo::usageText();
    return 1;
  }
  cl.outputs.inputName = cl.inputFile;
  if (cl.help) {
    std::cout << ruvo::usageText();
    return 0;
  }
  if (cl.version) {
    std::cout << ruvo::versionText();
    return 0;
  }
  if (cl.inputFile.empty()) {
    const bool typed = isatty(STDIN_FILENO) != 0;
    if (typed)
      std::cerr << "ruvo: reading the input from standard input (the terminal); end it with"
                   " Ctrl-D, or name a file: ruvo FILE\n";
    return ruvo::runProgram(std::cin, std::cout, std::cerr, cl.outputs,
                            {nullptr, typed, std::get<int>(threads)});
  }
  std::ifstream file(cl.inputFile);
  if (!file) {
    const std::string reason = std::strerror(errno);
    return ruvo::finishRunEnd(
        ruvo::RunEnd{"ERROR: can not open input file " + cl.inputFile + ": " + reason, true},
        std::cout, std::cerr);
  }
  // the answer to a pause comes from the operator, not from the file
  return ruvo::runProgram(file, std::cout, std::cerr, cl.outputs,
                          {&std::cin, false, std::get<int>(threads)});
}
