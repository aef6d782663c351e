// ruvo: rotational spectra of asymmetric tops with up to three internal rotors.
// Reads the input file named on the command line (or standard input),
// writes the listing to standard output and, when asked, output files for
// other programs beside it.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>

#include "core/stop.h"
#include "driver/command_line.h"
#include "driver/input_stream.h"
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
  int fd = STDIN_FILENO;
  if (!cl.inputFile.empty()) {
    fd = ::open(cl.inputFile.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      fd = -1;
      errno = EISDIR;
    }
    if (fd < 0) {
      const std::string reason = std::strerror(errno);
      return ruvo::finishRunEnd(
          ruvo::RunEnd{"ERROR: can not open input file " + cl.inputFile + ": " + reason, true},
          std::cout, std::cerr);
    }
  }
  // the output files must never replace the input file, whatever its name
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    cl.outputs.input = {true, static_cast<unsigned long long>(st.st_dev),
                        static_cast<unsigned long long>(st.st_ino)};
  ruvo::DescriptorInputBuffer buffer(fd);
  std::istream in(&buffer);
  int status = 0;
  if (fd == STDIN_FILENO) {
    const bool typed = isatty(STDIN_FILENO) != 0;
    if (typed)
      std::cerr << "ruvo: reading the input from standard input (the terminal); end it with"
                   " Ctrl-D, or name a file: ruvo FILE\n";
    status = ruvo::runProgram(in, std::cout, std::cerr, cl.outputs,
                              {nullptr, typed, std::get<int>(threads)});
  } else {
    // the answer to a pause comes from the operator, not from the file
    status = ruvo::runProgram(in, std::cout, std::cerr, cl.outputs,
                              {&std::cin, false, std::get<int>(threads)});
    ::close(fd);
  }
  if (buffer.readError() != 0) {
    // the run saw the input end where the read failed
    std::cerr << "ERROR: reading the input failed: " << std::strerror(buffer.readError()) << '\n';
    if (status == 0) status = 1;
  }
  return status;
}
