// The whole run, from the banner to the clean-up.
#pragma once

#include <iosfwd>

#include "driver/output_files.h"

namespace ruvo {

// What a caller of the run sequence adds to it (the library's models): a
// look at the run state after the input, a calculation of its own in place
// of the fit cycles, and the results at the end, before the scratch files go.
struct RunHooks {
  virtual ~RunHooks() = default;
  // after the input has been read (parameter values given by the caller)
  virtual void afterInput(RunState&, FitState&) {}
  // true: this replaces the fit cycles and their summaries
  virtual bool replaceFit(RunState&, FitState&, SweepWork&) { return false; }
  // at the end of a run that was not stopped
  virtual void atEnd(RunState&, FitState&, SweepWork&) {}
};

// Where a run takes what is not in its input file.
struct RunChannels {
  std::istream* answers = nullptr; // answers to a pause (null: the input stream)
  bool interactive = false;        // the input is typed at a terminal
  int threads = 1;                 // threads that compute the blocks of a sweep
  RunHooks* hooks = nullptr;       // the library's additions to the run
  // the run owns the process's signals (the program): it installs the
  // interrupt and termination handlers and clears their flags at its start;
  // runs inside a library leave both to their caller
  bool ownsSignals = true;
};

// Exit status of a run that finished cleanly but whose fit did not converge
// (cycle limit, damping limit or Ctrl-C).
inline constexpr int EXIT_NOT_CONVERGED = 2;

// Runs ruvo on `in`, writing the listing to `out` and messages to `err`.
// Returns the exit status: 0 after a clean run (a converged fit or a pure
// calculation) or help, 1 after a stop, input errors, an ended pause or a
// run that finished with problems reported on `err` (input not used, a line
// strength marked -97, a spectrum left out, ...), 2 after a clean run whose
// fit did not converge, 128 + the signal after a SIGTERM or SIGHUP.
// `outputs` names the files to write beside the listing; they are checked
// before anything is computed.
int runProgram(std::istream& in, std::ostream& out, std::ostream& err,
               const OutputRequests& outputs = OutputRequests{}, const RunChannels& channels = {});

// Install onConsoleInterrupt as the handler of the console interrupt (Ctrl-C).
void installInterruptHandler();
// The console-interrupt handler: sets g_interrupted and writes the free-format
// record " Signal no." + signo and the line "Control-C: premature termiation
// of ruvo, finishing..." to standard error, and that line to standard
// output.  Uses only async-signal-safe calls.
extern "C" void onConsoleInterrupt(int signo);
// SIGTERM and SIGHUP: onTerminationSignal records the signal in
// g_terminateSignal; the run then ends through the stop path at its next
// check ("STOP terminated by signal 15"), with the listing flushed and the
// scratch directory removed, and runProgram returns 128 + the signal.  A
// second such signal before that removes the scratch directory from the
// handler and ends the process by the signal.
void installTerminationHandler();
extern "C" void onTerminationSignal(int signo);
// Complete the current listing line with the local date and time
// ("2026-12-08 15:20:33"); writes nothing when the clock cannot be read.
void writeLocalDate(std::ostream& os);

} // namespace ruvo
