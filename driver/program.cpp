// The main sequence of a run: banner, input, block list, fit cycles and
// summaries, LaTeX table, removal of the scratch files.
#include "driver/program.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <istream>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <unistd.h>

#include "core/fortran_format.h"
#include "core/state.h"
#include "core/stop.h"
#include "core/version.h"
#include "driver/fit_cycles.h"
#include "driver/kept_states.h"
#include "driver/partition_function.h"
#include "driver/todo.h"
#include "input/parameter_input.h"
#include "input/reader.h"
#include "intensity/scratch_files.h"
#include "report/latex_table.h"

namespace ruvo {

// ------------------------------------------------------ console interrupt

namespace {

constexpr char kInterruptLine[] = "Control-C: premature termiation of ruvo, finishing...\n";

// Write all of a buffer with write(2), which may be cut short.
void writeAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::write(fd, p, n);
    if (k <= 0) return;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
}

} // namespace

extern "C" void onConsoleInterrupt(int signo) {
  const int savedErrno = errno;
  g_interrupted = 1;
  // free-format record " Signal no." followed by the number in 11 columns,
  // built by hand: nothing here may allocate or take a lock
  char rec[64] = " Signal no. ";
  std::size_t len = sizeof(" Signal no. ") - 1;
  char digits[12];
  int nd = 0;
  long v = signo < 0 ? -static_cast<long>(signo) : signo;
  do {
    digits[nd++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0 && nd < 10);
  if (signo < 0) digits[nd++] = '-';
  for (int k = nd; k < 11; ++k) rec[len++] = ' ';
  while (nd > 0) rec[len++] = digits[--nd];
  rec[len++] = '\n';
  writeAll(STDERR_FILENO, rec, len);
  writeAll(STDERR_FILENO, kInterruptLine, sizeof kInterruptLine - 1);
  writeAll(STDOUT_FILENO, kInterruptLine, sizeof kInterruptLine - 1);
  errno = savedErrno;
}

void installInterruptHandler() {
  struct sigaction sa {};
  sa.sa_handler = onConsoleInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART; // reading the input goes on after an interrupt
  sigaction(SIGINT, &sa, nullptr);
}

extern "C" void onTerminationSignal(int signo) {
  const int savedErrno = errno;
  if (g_terminateSignal != 0) {
    // asked twice: the run did not reach a check in time; its scratch
    // directory goes now and the signal takes its default course
    removeScratchDirFromHandler();
    signal(signo, SIG_DFL);
    raise(signo);
  }
  g_terminateSignal = signo;
  errno = savedErrno;
}

void installTerminationHandler() {
  struct sigaction sa {};
  sa.sa_handler = onTerminationSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0; // a pause waiting for the operator ends at once
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

void writeLocalDate(std::ostream& os) {
  const std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) return;
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return;
  char buf[32];
  if (std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local) == 0) return;
  os << buf;
}

// ------------------------------------------------------------- the run

namespace {

void banner(std::ostream& out) {
  const std::string title =
      " Internal Rotation Calculation (ruvo " + std::string(programVersion()) + ")";
  put(out, "(A,A)", {" Rotational, Centrifugal Distortion,", title});
  put(out, "(23X,A)", {"ruvo developers"});
  put(out, "(/,A)", {" Please cite:"});
  put(out, "(A)", {" ruvo, rotational spectra of molecules with up to three internal rotors"});
  put(out, "(A)", {""});
  put(out, "(A,$)", {" Calculation date and time: "});
  writeLocalDate(out);
  out << '\n';
  putFree(out, {"Modified version to include Dc3- and Dc3K"});
  put(out, "(/,A)", {" Type help now for the list of parameters : "});
}

// The scratch directory at the end of the run (also after a stop): with
// ints bit 16 the files written completely move into the working directory
// under their names, unless a signal ended the run; then the directory goes.
void finishScratchFiles(RunState& rs) {
  if (hasBit(rs.ctl.ints, intsbit::KEEP_SCRATCH_FILES) && g_terminateSignal == 0 &&
      rs.scratch.keepInWorkingDirectory(*rs.io.err) > 0)
    ++rs.problems;
  rs.scratch.remove();
}

// The listing and the files eval.out and dfreq.out are written as the run
// goes; a full disk shows only when they are flushed.  One that did not
// reach its end makes the run fail.
void checkWrittenFiles(RunState& rs) {
  std::ostream& out = *rs.io.out;
  out.flush();
  if (!out) {
    *rs.io.err << "ERROR: the listing could not be written completely (standard output)\n";
    ++rs.problems;
  }
  const std::pair<std::ofstream*, const char*> files[] = {{&rs.io.evalFile, "eval.out"},
                                                          {&rs.io.dfreqFile, "dfreq.out"}};
  for (const auto& [f, name] : files) {
    if (!f->is_open()) continue;
    f->close();
    if (!*f) {
      *rs.io.err << "ERROR: " << name << " could not be written completely\n";
      ++rs.problems;
    }
  }
}

// Storage for tops that keep more states than the state section allows
// (vkeep): blocks of up to vkeep (2maxm when the count is converged) states
// times 2J+1, torsional tables of that many states.  The woods bits that
// the complete coupling replaces are reported for each set.
void keepStatesForRun(RunState& rs, SweepWork& sw) {
  const int states = rs.ctl.vkeep > 0 ? rs.ctl.vkeep : std::max(2 * rs.ctl.maxm, 1);
  sw.allocate(states * (2 * rs.maxJ + 1), std::max(states, DIMV), std::max(rs.ctl.ntop, 1),
              rs.maxJ);
  sw.blk.maxJ = rs.maxJ;
  sw.blk.nB = rs.nB;
  sw.blk.nsym = rs.species.nsym;
  for (int b = 1; b <= rs.nB && b <= DIMB; ++b) {
    const int w = rs.woodsB[b], used = woodsbit::completeCoupling(w);
    if (w == used) continue;
    *rs.io.err << "vkeep: woods " << w << " of set " << b << " is used as " << used
               << " (the states are coupled completely: overlaps from the eigenvectors, "
                  "unscaled, in the rotor terms; bits 2, 4, 16, 64 do not apply)\n";
    ++rs.problems;
  }
}

int run(std::istream& in, std::ostream& out, std::ostream& err, const OutputRequests& outputs,
        const RunChannels& channels) {
  std::string outputError;
  if (!checkOutputRequests(outputs, outputError)) {
    err << outputError << '\n';
    return 1;
  }
  // all storage of the run, sized once
  auto rs = std::make_unique<RunState>();
  auto fs = std::make_unique<FitState>();
  auto sw = std::make_unique<SweepWork>();
  rs->allocate();
  fs->allocate();
  // the sweep storage (sw) is sized once the blocks, and with them the J range, are known
  rs->io.in = channels.answers != nullptr ? channels.answers : &in;
  rs->io.interactive = channels.interactive;
  rs->threads = channels.threads;
  rs->io.out = &out;
  rs->io.err = &err;
  rs->io.inputFile = outputs.input;
  RunHooks noHooks;
  RunHooks& hooks = channels.hooks != nullptr ? *channels.hooks : noHooks;
  if (channels.ownsSignals) {
    g_interrupted = 0;
    g_terminateSignal = 0;
    installInterruptHandler();
    installTerminationHandler();
    rs->scratch.announceToSignalHandler();
  }
  banner(out);

  Reader reader(in, out, err);
  if (!readInputFile(*rs, *fs, reader)) { // help: the names are listed
    out.flush();
    return 0;
  }
  if (channels.ownsSignals) installInterruptHandler();
  hooks.afterInput(*rs, *fs);

  stopIfTerminated();

  try {
    buildTodo(*rs);
    extendTodoForIntensities(*rs);
    sortTodo(rs->todo);
    reportTodo(*rs);
    // the blocks and torsional tables of the run's J range
    if (rs->ctl.vkeep == 0)
      sw->allocate(DIMVV * (2 * std::clamp(rs->maxJ, 0, DIMJ) + 1), DIMV, DIMTOP, rs->maxJ);
    sw->blk.maxJ = rs->maxJ;
    sw->blk.nB = rs->nB;
    sw->blk.nsym = rs->species.nsym;
    if (rs->ctl.vkeep != 0) keepStatesForRun(*rs, *sw);

    checkCatalogueDipole(*rs, *fs, outputs);
    if (rs->ctl.vkeep < 0) convergeKeptStates(*rs, *fs, *sw);
    // a catalogue of a rigid rotor whose parameters no fit changes: on more
    // than one thread the levels above the J range that its partition
    // function needs are made from now on, beside the whole calculation
    std::unique_ptr<RigidLevelsAhead> partitionLevels;
    if (!outputs.catalog.empty() && rs->ctl.ntop == 0 && rs->threads > 1 && fs->model.nfit == 0)
      partitionLevels = std::make_unique<RigidLevelsAhead>(*rs, fs->best, rs->maxJ + 1,
                                                           PartitionTable{}.T, false, true);
    if (!hooks.replaceFit(*rs, *fs, *sw)) {
      checkDataForFit(*rs, *fs);
      fitCycles(*rs, *fs, *sw);

      put(out, "(A)", {""});
      if (hasBit(rs->ctl.aprint, aprintbit::LATEX_TABLE)) printLatexTable(*rs);
    }
    out.flush(); // the listing is complete before the files are made
    writeOutputFiles(*rs, *fs, *sw, outputs, partitionLevels.get());
    partitionLevels.reset();
    checkWrittenFiles(*rs);
    hooks.atEnd(*rs, *fs, *sw);
  } catch (const RunEnd&) {
    finishScratchFiles(*rs);
    throw;
  }
  finishScratchFiles(*rs);
  out.flush();
  if (rs->problems > 0) return 1;
  // a fit that ended before it converged finished, but its results are not
  // those of a converged fit
  const bool notConverged = fs->end != FitEnd::NoFit && fs->end != FitEnd::Converged;
  return notConverged ? EXIT_NOT_CONVERGED : 0;
}

} // namespace

namespace {
// Gives the interrupt, termination and hang-up signals back to the handlers
// the caller had, so that a run inside another program (tests, fuzzers)
// leaves no handler behind.
class SavedInterruptHandler {
public:
  SavedInterruptHandler() {
    for (int i = 0; i < 3; ++i) saved_[i] = sigaction(kSignals[i], nullptr, &old_[i]) == 0;
  }
  ~SavedInterruptHandler() {
    for (int i = 0; i < 3; ++i)
      if (saved_[i]) sigaction(kSignals[i], &old_[i], nullptr);
  }

private:
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction old_[3]{};
  bool saved_[3] = {};
};

// A run ended by SIGTERM or SIGHUP reports it like a shell: 128 + signal.
int statusAfter(int status) {
  const int signo = g_terminateSignal;
  return signo != 0 ? 128 + signo : status;
}
} // namespace

int runProgram(std::istream& in, std::ostream& out, std::ostream& err,
               const OutputRequests& outputs, const RunChannels& channels) {
  std::optional<SavedInterruptHandler> restoreAtEnd;
  if (channels.ownsSignals) restoreAtEnd.emplace();
  try {
    return statusAfter(run(in, out, err, outputs, channels));
  } catch (const RunEnd& e) {
    return statusAfter(finishRunEnd(e, out, err));
  } catch (const std::bad_alloc&) {
    return finishRunEnd(RunEnd{"ERROR: not enough memory", true}, out, err);
  } catch (const std::exception& e) {
    return finishRunEnd(RunEnd{std::string("ERROR: internal failure: ") + e.what(), true}, out,
                        err);
  } catch (...) {
    return finishRunEnd(RunEnd{"ERROR: internal failure", true}, out, err);
  }
}

} // namespace ruvo
