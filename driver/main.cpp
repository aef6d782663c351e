// ruvo: rotational spectra of asymmetric tops with up to three internal rotors.
// Reads the input file (FILE, or standard input) and writes the listing to
// standard output; options ask for output files beside the listing.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "driver/output_files.h"
#include "driver/program.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  ruvo::OutputRequests outputs;
  std::string file;
  for (std::size_t i = 0; i < args.size();) {
    std::string error;
    if (ruvo::parseOutputOption(args, i, outputs, error)) {
      if (!error.empty()) {
        std::cerr << error << '\n';
        return 1;
      }
      continue;
    }
    if (args[i].size() > 1 && args[i][0] == '-') {
      std::cerr << "ERROR: unknown option " << args[i] << '\n';
      return 1;
    }
    if (!file.empty()) {
      std::cerr << "ERROR: more than one input file: " << file << " and " << args[i] << '\n';
      return 1;
    }
    file = args[i++];
  }
  outputs.inputName = file;
  if (file.empty() || file == "-") return ruvo::runProgram(std::cin, std::cout, std::cerr, outputs);
  std::ifstream in(file);
  if (!in) {
    std::cerr << "ERROR: cannot read input file " << file << '\n';
    return 1;
  }
  return ruvo::runProgram(in, std::cout, std::cerr, outputs);
}
