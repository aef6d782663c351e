// Whole runs through the program driver: banner, exit statuses of normal
// end, help, stops, input errors and pauses, the console interrupt, the
// removal of the scratch files; and the listing comparison the other
// whole-run tests rely on.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/state.h"
#include "core/stop.h"
#include "core/version.h"
#include "driver/program.h"
#include "intensity/scratch_files.h"
#include "support/test_support.h"

namespace ruvo {
namespace {

using test::compareListings;
using test::runText;

// A rigid rotor with two lines (blocks J = 0, 1, 2 of set 1).
const char* const kRigid = "Rigid rotor\n"
                           "\n"
                           "nzyk 1\n"
                           "\n"
                           "BJ 2.75 BK 6.25 B- 0.25\n"
                           "\n"
                           "\n"
                           "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 = 5.5\n"
                           "Jup 2 K-up 0 K+up 2 Jlo 1 K-lo 0 K+lo 1 = 10.97\n"
                           "\n";

std::string lineOf(const std::string& text, int n) {
  std::istringstream is(text);
  std::string l;
  for (int i = 0; i <= n && std::getline(is, l); ++i) {}
  return l;
}

TEST(Program, BannerAndHelpEndWithStatusZero) {
  test::ScopedWorkDir here("help");
  const auto r = runText("help\n\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string expectedHead =
      " Rotational, Centrifugal Distortion, Internal Rotation Calculation (ruvo " +
      std::string(programVersion()) +
      ")\n"
      "                       ruvo developers\n"
      "\n"
      " Please cite:\n"
      " ruvo, rotational spectra of molecules with up to three internal rotors\n"
      "\n"
      " Calculation date and time: (any)\n"
      " Modified version to include Dc3- and Dc3K\n"
      "\n"
      " Type help now for the list of parameters : \n";
  const std::size_t nHead = 10;
  std::istringstream is(r.out);
  std::string head, l;
  for (std::size_t i = 0; i < nHead && std::getline(is, l); ++i) head += l + "\n";
  EXPECT_EQ(compareListings(expectedHead, head), "");
  EXPECT_TRUE(std::regex_match(lineOf(r.out, 6),
                               std::regex(" Calculation date and time: "
                                          "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
      << lineOf(r.out, 6);
  EXPECT_NE(r.out.find(" possible parameters:\n"), std::string::npos);
  EXPECT_NE(r.out.find(" DIMJ   150\n"), std::string::npos);
}

TEST(Program, NormalEndReportsTheBlocksAndEndsWithStatusZero) {
  test::ScopedWorkDir here("normal_end");
  const auto r = runText(kRigid);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\n\n  \\\\  Maximal K = J =   2\n  \\\\ B=  1    adj=  0\n"),
            std::string::npos)
      << r.out;
  // the run ends with a blank line
  ASSERT_GE(r.out.size(), 2u);
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "\n\n");
}

TEST(Program, BlockListingOnRequest) {
  test::ScopedWorkDir here("block_listing");
  std::string in = kRigid;
  in.replace(in.find("nzyk 1"), 6, "nzyk 1 aprint 1024");
  const auto r = runText(in);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n ToDo: list of quantum no.\n      J  Sym B  F  Stat\n"
                       "      0   0   1  -1   2\n      1   0   1  -1   2\n"
                       "      2   0   1  -1   2\n"),
            std::string::npos)
      << r.out;
}

TEST(Program, StopsAndInputErrorsEndWithStatusOne) {
  test::ScopedWorkDir here("stops");
  // a limit of the input
  std::string tooManyTops = kRigid;
  tooManyTops.replace(tooManyTops.find("nzyk 1"), 6, "ntop 4");
  auto r = runText(tooManyTops);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "STOP ERROR: ntop > DIMTOP (input line 3)\n");
  EXPECT_EQ(r.out.find("Maximal K"), std::string::npos);

  // errors of the transition list are all reported, then the run ends
  std::string badSet = kRigid;
  badSet.replace(badSet.find("= 10.97"), 7, "Bup 6 Blo 6 = 10.97");
  r = runText(badSet);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("INPUT ERROR(S)"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("Maximal K"), std::string::npos);
}

// kRigid with `from` replaced by `to`.
std::string rigidWith(const std::string& from, const std::string& to) {
  std::string in = kRigid;
  const std::size_t at = in.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) in.replace(at, from.size(), to);
  return in;
}

// Ordinary typing mistakes: each is reported on standard error with its
// input line, and the exit status is 1.  Mistakes that leave the input
// usable let the run go on to the block report and beyond; the others end
// it before.
TEST(Program, EveryMistakeIsReportedAndMakesTheRunUnclean) {
  test::ScopedWorkDir here("mistakes");
  const std::string line2 = "Jup 2 K-up 0 K+up 2 Jlo 1 K-lo 0 K+lo 1 = 10.97\n";
  struct Case {
    std::string input, err;
    bool listsBlocks;
  };
  const Case cases[] = {
      {rigidWith(line2, line2 + "! left out\n" + line2 + line2),
       "2 non-empty input lines after the end of the transition list were not read (first at"
       " input line 11)\n",
       true},
      {rigidWith("nzyk 1", "nzky 10"),
       "Input error: unknown keyword nzky at input line 3 (ignored with the number after it)\n",
       true},
      {rigidWith("K+up 2 Jlo 1", "K+up 0 Jlo 1"),
       "K- + K+ must be J or J+1 at line 2 (input line 9); K- and K+ lie in 0 .. J\n"
       " INPUT ERROR(S)\n",
       false},
      {rigidWith("= 5.5", "5.5001"),
       "Jup given twice at line 1 (input line 8): a number without a keyword fills the names in"
       " order from Jup on; is \"=\" missing?\n"
       "K- + K+ must be J or J+1 at line 1 (input line 8); K- and K+ lie in 0 .. J\n"
       " INPUT ERROR(S)\n",
       false},
      {rigidWith("nzyk 1\n\nBJ 2.75 BK 6.25 B- 0.25\n\n\n",
                 "nzyk 5\n\nBJ 2.75 BK 6.25 B- 0.25\n\nfit BJ\nfit BK\n\n"),
       "STOP ERROR: a fit of 2 variables needs at least 4 data points (lines with \"=\", a blend"
       " counted once); there are 2 (nzyk 1 calculates without fitting)\n",
       true}, // stops after the block report, before the fit
      {"", "STOP ERROR: the input is empty\n", false},
      {"\n\n! nothing\n", "STOP ERROR: the input is empty\n", false},
      {rigidWith("Rigid rotor\n\n", "Rigid rotor\n"),
       "Input error: unknown keyword BJ at input line 4 (ignored with the number after it)\n"
       "Input error: unknown keyword BK at input line 4 (ignored with the number after it)\n"
       "Input error: unknown keyword B- at input line 4 (ignored with the number after it)\n"
       "STOP ERROR: no parameter section read (every section ends at an empty line: is the"
       " empty line after the title or after the controls missing?)\n",
       false},
      {rigidWith("B- 0.25\n\n\n", "B- 0.25\n\nfit BJ\n\n"), "", true},
      {rigidWith("nzyk 1\n\n", "nzyk 1\n"),
       "Input error: unknown keyword BJ at input line 4 (ignored with the number after it)\n"
       "Input error: unknown keyword BK at input line 4 (ignored with the number after it)\n"
       "Input error: unknown keyword B- at input line 4 (ignored with the number after it)\n"
       "STOP ERROR: no parameter section read (every section ends at an empty line: is the"
       " empty line after the title or after the controls missing?)\n",
       false},
      {rigidWith("B- 0.25\n\n", "B- 0.25\nfit BJ\n\n"),
       "Input error: unknown keyword fit at input line 6 (ignored)\n"
       "Input error: BJ given twice in the parameter section, at input line 5 and at input"
       " line 6\n"
       "Hint: the sections may be shifted; every section ends at an empty line: is the empty"
       " line after the title or after the controls missing?\n"
       "STOP ERROR: a name given twice in the parameter section (see above)\n",
       false},
      {rigidWith("B- 0.25\n\n\n", "B- 0.25\n\nfit BJ\nBK 6.25\n"),
       "Input error: line at input line 8 does not begin with fit, dqu or dqx: it ends the"
       " fit-variable section and is not read\n",
       true},
      {rigidWith("Jup 2 K-up 0 K+up 2 Jlo 1 K-lo 0 K+lo 1",
                 "Jup 151 K-up 0 K+up 151 Jlo 150 K-lo 0 K+lo 150"),
       "J > 150 (largest J is 150) at line 2 (input line 9)\n"
       " INPUT ERROR(S)\n",
       false},
  };
  for (const Case& c : cases) {
    const auto r = runText(c.input);
    EXPECT_EQ(r.err, c.err) << c.input;
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << c.input;
    EXPECT_EQ(r.out.find("Maximal K") != std::string::npos, c.listsBlocks) << c.input << r.out;
  }
  // help points to the manual page and the guide
  const auto help = runText("help\n");
  EXPECT_NE(help.out.find("\n See \"man ruvo\" and the user guide (share/doc/ruvo/user-guide.md)"
                          " for more information\n"),
            std::string::npos);
}

// Numbers that have no meaning are input errors or stops, never a listing
// of "Infinity" or "*****".
TEST(Program, AbsurdNumbersAreRejected) {
  test::ScopedWorkDir here("absurd");
  const std::string line1 = "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 = 5.5";
  struct Case {
    std::string from, to, err;
  };
  const Case cases[] = {
      {"nzyk 1", "nfold 0", "STOP ERROR: nfold must lie in 1 .. 12 (input line 3)\n"},
      {"nzyk 1", "nfold 2147483647", "STOP ERROR: nfold must lie in 1 .. 12 (input line 3)\n"},
      {"nzyk 1", "ints 5",
       "STOP ERROR: ints must be 0, 1, 2 or 3, plus 16 to keep the scratch files (input line 3)\n"},
      {"nzyk 1", "ints -1",
       "STOP ERROR: ints must be 0, 1, 2 or 3, plus 16 to keep the scratch files (input line 3)\n"},
      {"nzyk 1", "reduct 3",
       "STOP ERROR: reduct must be 0 (Watson A), 1 (Watson S) or 2 (van Eijck-Typke) (input line "
       "3)\n"},
      {"nzyk 1", "temp -1", "STOP ERROR: temp < 0 K (input line 3)\n"},
      {"nzyk 1", "limit -1", "STOP ERROR: limit < 0 (input line 3)\n"},
      {"nzyk 1", "spin -2", "STOP ERROR: spin (twice the nuclear spin) < 0 (input line 3)\n"},
      {"nzyk 1", "defer 1e-320", "STOP ERROR: defer below 1e-12 GHz (input line 3)\n"},
      {"nzyk 1", "nzyk 1e10", "STOP ERROR: nzyk out of range: 1e+10 (input line 3)\n"},
      // controls that leave a fit without meaning
      {"nzyk 1", "nzyk 5 convg 0",
       "STOP ERROR: convg 0 at input line 3 would end every fit after two cycles as converged:"
       " convg lies between 0 and 1 (0.999 by default)\n"},
      {"nzyk 1", "nzyk 5\neps 1",
       "STOP ERROR: eps 1 at input line 4: the cut-off of the fit's eigenvalues is at least 0 and"
       " below 1 (1e-12 by default)\n"},
      {"nzyk 1", "nzyk 5 lambda 1e5",
       "STOP ERROR: lambda 100000 at input line 3: the starting damping lies in 0 .. 1000 (a fit"
       " ends when it grows beyond 1000; 1e-5 by default)\n"},
      {"nzyk 1", "nzyk 1 lambda 1e5", ""}, // no fit: the fit's controls do not matter
      {"= 5.5", "= 5.5 Err -0.001",
       "Err < 0 at line 1 (input line 8): the error of a frequency is a positive number\n"
       " INPUT ERROR(S)\n"},
      {"B- 0.25", "B- 0.25 mu_x 1e308",
       "STOP ERROR: mu_x 1e+308 D at input line 5: a dipole component of 1000 D or more has no"
       " meaning (molecules have a few D)\n"},
      {"= 5.5", "= nan",
       "Input error: unknown keyword nan at input line 8 (ignored)\n"
       "\"=\" without a frequency (or with 0) at line 1 (input line 8)\n INPUT ERROR(S)\n"},
      {"= 5.5", "= 1e308",
       "frequency of 1e6 GHz or more at line 1 (input line 8)\n INPUT ERROR(S)\n"},
      {"= 5.5", "= 5.5 Err 1e-320",
       "Err below 1e-12 GHz at line 1 (input line 8)\n INPUT ERROR(S)\n"},
      {"nzyk 1", "nzyk 1 spin 10", ""},
      // F is carried to the next line as well
      {line1, line1 + " Fup 12 Flo 2",
       "F outside |J-I| .. J+I at line 1 (input line 8)\n"
       "F outside |J-I| .. J+I at line 2 (input line 9)\n INPUT ERROR(S)\n"},
      {line1, line1 + " Fup 11 Flo 10",
       "F outside |J-I| .. J+I at line 1 (input line 8)\n"
       "F outside |J-I| .. J+I at line 2 (input line 9)\n INPUT ERROR(S)\n"},
      {"nzyk 1", "nzyk 1 ndata 1",
       "1 non-empty input line after the end of the transition list was not read (first at"
       " input line 9): ndata 1 ends the list after line 1\n"},
  };
  for (const Case& c : cases) {
    std::string in = rigidWith(c.from, c.to);
    if (c.from == line1) {
      in = rigidWith("nzyk 1", "nzyk 1 spin 10");
      in.replace(in.find(line1), line1.size(), c.to);
    }
    const auto r = runText(in);
    EXPECT_EQ(r.err, c.err) << in;
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << in;
  }
}

TEST(Program, PauseGoesOnOnlyWithGo) {
  {
    std::istringstream in("go\n");
    std::ostringstream err;
    EXPECT_NO_THROW(pause(in, err, "eigenvector not found"));
    EXPECT_EQ(err.str(), "PAUSE eigenvector not found\n"
                         "To resume execution, type go.  Other input will terminate the job.\n"
                         "RESUMED\n");
  }
  for (const char* answer : {"stop\n", "", "Go\n", "gone\n"}) {
    std::istringstream in(answer);
    std::ostringstream out, err;
    out << "listing";
    try {
      pause(in, err, "eigenvector not found");
      ADD_FAILURE() << "the run went on after [" << answer << "]";
    } catch (const RunEnd& e) {
      EXPECT_FALSE(e.isStop);
      EXPECT_EQ(finishRunEnd(e, out, err), 1);
    }
    EXPECT_EQ(err.str(), "PAUSE eigenvector not found\n"
                         "To resume execution, type go.  Other input will terminate the job.\n");
  }
  // through the run's channels: the answer comes from the input stream
  {
    Io io;
    std::istringstream in("go\nrest of input\n");
    std::ostringstream out, err;
    io.in = &in;
    io.out = &out;
    io.err = &err;
    EXPECT_NO_THROW(pause(io, "eigenvector not found"));
    std::string next;
    std::getline(in, next);
    EXPECT_EQ(next, "rest of input");
  }
  // a stop writes its line after the listing
  std::ostringstream out, err;
  try {
    stop("ERROR: todo >DIMTDO");
  } catch (const RunEnd& e) {
    EXPECT_TRUE(e.isStop);
    EXPECT_EQ(finishRunEnd(e, out, err), 1);
  }
  EXPECT_EQ(err.str(), "STOP ERROR: todo >DIMTDO\n");
}

// Run `body` in a child process whose standard output and error go to
// files; returns the child's exit status.
int inChild(void (*body)(), const std::string& outFile, const std::string& errFile) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int fo = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int fe = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fo < 0 || fe < 0) _exit(90);
    dup2(fo, STDOUT_FILENO);
    dup2(fe, STDERR_FILENO);
    body();
    _exit(91);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(Program, ConsoleInterruptSetsTheFlagAndWritesTwoLines) {
  test::ScopedWorkDir here("sigint");
  const std::string dir = here.path();
  const std::string o = dir + "/sigint.out", e = dir + "/sigint.err";
  const int status = inChild(
      [] {
        g_interrupted = 0;
        installInterruptHandler();
        std::raise(SIGINT);
        _exit(g_interrupted == 1 ? 0 : 2); // the handler ran and the process lives
      },
      o, e);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(test::readFile(e), " Signal no.           2\n"
                               "Control-C: premature termiation of ruvo, finishing...\n");
  EXPECT_EQ(test::readFile(o), "Control-C: premature termiation of ruvo, finishing...\n");

  // called directly with another number
  inChild(
      [] {
        onConsoleInterrupt(15);
        _exit(g_interrupted == 1 ? 0 : 2);
      },
      o, e);
  EXPECT_EQ(lineOf(test::readFile(e), 0), " Signal no.          15");
}

// True once process `pid` has a handler of its own for signal `sig`.
bool catchesSignal(pid_t pid, int sig) {
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!f) return false;
  char line[256];
  bool caught = false;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "SigCgt:", 7) == 0)
      caught = (std::strtoull(line + 7, nullptr, 16) >> (sig - 1)) & 1u;
  std::fclose(f);
  return caught;
}
bool catchesSigint(pid_t pid) { return catchesSignal(pid, SIGINT); }

// The ruvo executable in a child with `args`, standard input from `in`,
// standard output and error into files of the working directory.
pid_t startRuvo(int in, std::vector<std::string> args = {}) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in, STDIN_FILENO);
    dup2(open("ruvo.out", O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
    dup2(open("ruvo.err", O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(RUVO_BINARY)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(RUVO_BINARY, argv.data());
    _exit(127);
  }
  return pid;
}

// The exit status of child `pid`, waited for at most 30 s (then it is
// killed and -1 returned).
int exitStatusWithin30s(pid_t pid) {
  int st = 0;
  for (int k = 0; k < 3000; ++k) {
    if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -2;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &st, 0);
  return -1;
}

// One SIGTERM ends a run that is still reading its input, from a pipe that
// stalls or from one that never ends, through the stop path: status 143.
TEST(Program, TerminationEndsARunThatIsStillReading) {
  test::ScopedWorkDir here("term_reading");
  for (const bool endless : {false, true}) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const pid_t pid = startRuvo(p[0]);
    close(p[0]);
    pid_t writer = -1;
    if (endless) {
      writer = fork();
      if (writer == 0) {
        const char line[] = "a title line that never ends\n";
        while (write(p[1], line, sizeof line - 1) > 0) {}
        _exit(0);
      }
      close(p[1]);
    } else {
      ASSERT_EQ(write(p[1], "Stalled\n\n", 9), 9); // and nothing more
    }
    for (int k = 0; k < 2000 && !catchesSignal(pid, SIGTERM); ++k) usleep(10000);
    ASSERT_TRUE(catchesSignal(pid, SIGTERM));
    kill(pid, SIGTERM);
    EXPECT_EQ(exitStatusWithin30s(pid), 143) << (endless ? "endless" : "stalled");
    EXPECT_EQ(test::readFile("ruvo.err"), "STOP terminated by signal 15\n");
    if (endless)
      waitpid(writer, nullptr, 0); // ended by the closed pipe
    else
      close(p[1]);
  }
}

// ... and a run that writes its output files, here into a FIFO that nobody
// reads; the FIFO stays a FIFO.
TEST(Program, TerminationEndsTheOutputFilePhase) {
  test::ScopedWorkDir here("term_output");
  ASSERT_EQ(mkfifo("run.json", 0644), 0);
  const std::string inp = test::sourcePath("examples/rigid_rotor.inp");
  const std::size_t listing = test::readFile(test::sourcePath("examples/rigid_rotor.out")).size();
  const pid_t pid = startRuvo(STDIN_FILENO, {"--json", "run.json", inp});
  // the listing is complete before the files are written
  for (int k = 0; k < 2000 && test::readFile("ruvo.out").size() < listing; ++k) usleep(10000);
  ASSERT_EQ(test::readFile("ruvo.out").size(), listing);
  kill(pid, SIGTERM);
  EXPECT_EQ(exitStatusWithin30s(pid), 143);
  EXPECT_EQ(test::readFile("ruvo.err"), "STOP terminated by signal 15\n");
  struct stat st {};
  EXPECT_TRUE(stat("run.json", &st) == 0 && S_ISFIFO(st.st_mode));
}

TEST(Program, InterruptDuringTheRunFinishesInOrder) {
  test::ScopedWorkDir here("interrupt");
  // a fit of many cycles; the interrupt arrives while the input is read
  std::string in = kRigid;
  in.replace(in.find("nzyk 1"), 6, "nzyk 50");
  in.replace(in.find("\n\n\nJup"), 3, "\n\nfit BJ\n\n");
  in.replace(in.find("= 10.97\n"), 8, "= 10.97\nJup 3 K-up 0 K+up 3 Jlo 2 K-lo 0 K+lo 2 = 16.4\n");
  int toChild[2];
  ASSERT_EQ(pipe(toChild), 0);
  std::fflush(nullptr);
  // The child starts with the interrupt ignored (this process may have a
  // handler of its own), so that a caught SIGINT
  // can only mean the handler of the new program.
  struct sigaction ignore {
  }, saved{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGINT, &ignore, &saved);
  const pid_t pid = fork();
  if (pid != 0) sigaction(SIGINT, &saved, nullptr);
  if (pid == 0) {
    dup2(toChild[0], STDIN_FILENO);
    close(toChild[1]);
    const int fo = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int fe = open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fo, STDOUT_FILENO);
    dup2(fe, STDERR_FILENO);
    execl(RUVO_BINARY, RUVO_BINARY, static_cast<char*>(nullptr));
    _exit(92);
  }
  close(toChild[0]);
  // wait (at most 20 s) until the handler is installed, then interrupt
  for (int k = 0; k < 2000 && !catchesSigint(pid); ++k) usleep(10000);
  ASSERT_TRUE(catchesSigint(pid));
  kill(pid, SIGINT);
  ASSERT_EQ(write(toChild[1], in.data(), in.size()), static_cast<ssize_t>(in.size()));
  close(toChild[1]);
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 2); // the fit ended before it converged
  const std::string out = test::readFile("out.txt"), err = test::readFile("err.txt");
  EXPECT_EQ(err.rfind(" Signal no.           2\n"
                      "Control-C: premature termiation of ruvo, finishing...\n"
                      "Warning: the fit did not converge: it was interrupted (Ctrl-C) in cycle 1.",
                      0),
            0u)
      << err;
  EXPECT_NE(out.find("Control-C: premature termiation of ruvo, finishing...\n"), std::string::npos);
  // the run went on to its end: the block report and the closing blank line
  EXPECT_NE(out.find("Maximal K = J ="), std::string::npos);
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
}

TEST(Program, InProcessRunsLeaveTheCallersHandler) {
  struct sigaction before {
  }, after{};
  sigaction(SIGINT, nullptr, &before);
  test::ScopedWorkDir here("handler");
  runText("help\n");
  sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

TEST(Program, DateCompletesTheLine) {
  std::ostringstream os;
  writeLocalDate(os);
  EXPECT_TRUE(std::regex_match(os.str(),
                               std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
      << os.str();
}

// ------------------------------------------------------- scratch files
// Each run keeps its scratch files in memory or, beyond its budget, in a
// private directory "ruvo-scratch.*" of the working directory, removed on
// every way out.

// kRigid with line strengths under the intensity control `ints`.
std::string rigidWithInts(const std::string& ints) {
  std::string in = kRigid;
  in.replace(in.find("nzyk 1"), 6, "nzyk 1 " + ints);
  in.replace(in.find("B- 0.25"), 7, "B- 0.25 mu_z 1.0");
  return in;
}

// Private scratch directories left in `dir`.
std::string scratchDirsIn(const std::string& dir) {
  std::string names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().rfind("ruvo-scratch.", 0) == 0)
      names += e.path().filename().string() + " ";
  return names;
}

// Files of another molecule, links and a directory named like scratch files
// are never read, written through or removed; bit 16 replaces them (a link
// is replaced, its target stays) and reports what is in the way.
TEST(Program, ScratchFilesOfOthersAndLinksAreNeverTouched) {
  namespace fs = std::filesystem;
  test::ScopedWorkDir here("scratch_private");
  test::writeFile("j01b1.s00", "another molecule");
  test::writeFile("precious.txt", "precious");
  fs::create_symlink("precious.txt", "j00b1.s00");
  fs::create_symlink("precious.txt", "tori.b1");
  fs::create_directory("j02b1.s00");
  auto r = runText(rigidWithInts("ints 1"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.find("-97.000"), std::string::npos);
  EXPECT_EQ(test::readFile("j01b1.s00"), "another molecule");
  EXPECT_EQ(test::readFile("precious.txt"), "precious");
  EXPECT_TRUE(fs::is_symlink("j00b1.s00") && fs::is_symlink("tori.b1"));
  EXPECT_TRUE(fs::is_directory("j02b1.s00"));
  EXPECT_EQ(scratchDirsIn(here.path()), "");

  r = runText(rigidWithInts("ints 17"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, " scratch files: j02b1.s00 cannot be kept in the working directory (Is a "
                   "directory)\n");
  EXPECT_FALSE(fs::is_symlink("j00b1.s00"));
  EXPECT_GT(fs::file_size("j00b1.s00"), 100u);
  EXPECT_GT(fs::file_size("j01b1.s00"), 100u);
  EXPECT_EQ(test::readFile("precious.txt"), "precious");
  EXPECT_TRUE(fs::is_symlink("tori.b1")); // ints 1 writes no torsional file
  EXPECT_EQ(scratchDirsIn(here.path()), "");

  // bit 16 alone asks for no strengths: no column, nothing to keep
  fs::remove("j00b1.s00");
  r = runText(rigidWithInts("ints 16"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find(" I  "), std::string::npos);
  EXPECT_FALSE(fs::exists("j00b1.s00"));
}

// Two runs of different molecules in one directory at the same time give
// the listings each gives alone.
TEST(Program, TwoRunsInOneDirectoryKeepTheirOwnResults) {
  test::ScopedWorkDir here("scratch_two_runs");
  const std::string dir = here.path();
  std::string a = test::readFile(test::sourcePath("tests/data/intensity/rigid_ints3.inp"));
  std::string b = a;
  b.replace(b.find("BJ 3.65 BK 6.15"), 15, "BJ 2.20 BK 4.05");
  test::writeFile(dir + "/a.inp", a);
  test::writeFile(dir + "/b.inp", b);
  const std::string bin = std::string(RUVO_BINARY);
  const std::string cmd = "cd '" + dir + "' && ('" + bin + "' < a.inp > a.out 2>a.err & '" + bin +
                          "' < b.inp > b.out 2>b.err & wait)";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(test::readFile(dir + "/a.err") + test::readFile(dir + "/b.err"), "");
  EXPECT_EQ(compareListings(runText(a).out, test::readFile(dir + "/a.out")), "");
  EXPECT_EQ(compareListings(runText(b).out, test::readFile(dir + "/b.out")), "");
  EXPECT_EQ(scratchDirsIn(dir), "");
}

// Without a working directory the scratch files stay in memory: the
// strengths and the predicted spectrum are there; only files asked to be
// kept (bit 16) cannot be, which is reported and makes the run unclean.
TEST(Program, ScratchFilesNeedNoWorkingDirectoryUnlessKept) {
  test::ScopedWorkDir here("scratch_nowhere");
  std::filesystem::remove(here.path()); // the working directory is gone
  auto r = runText(rigidWithInts("ints 1"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find(" I-97.000"), std::string::npos);
  r = runText(rigidWithInts("ints 3"));
  EXPECT_EQ(r.status, 0) << r.err;
  r = runText(rigidWithInts("ints 17"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(" scratch files: j00b1.s00 cannot be kept in the working directory"),
            std::string::npos)
      << r.err;
}

// CPU time (user + system, clock ticks) a process has used so far.
long cpuTicks(pid_t pid) {
  const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')'); // the command name may hold blanks
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int k = 3; k <= 15 && fields >> field; ++k) {
    if (k == 14) utime = std::stol(field);
    if (k == 15) stime = std::stol(field);
  }
  return utime + stime;
}

// SIGTERM and SIGHUP end a long run through the stop path: the listing so
// far is written, the scratch directory is gone, the status is 128 + signal.
TEST(Program, TerminationSignalsEndTheRunCleanly) {
  test::ScopedWorkDir here("scratch_signals");
  const std::string dir = here.path();
  test::writeFile(dir + "/long.inp", "Long run\n\nntop 1 nzyk 1 ints 3 maxm 10\n\n"
                                     "BJ 2.70 BK 6.40 B- 0.26 mu_x 0.8 mu_z 1.5\n"
                                     "F_1 158 V1n_1 4000 rho_1 0.050 beta_1 0.35\n\n\n"
                                     "/A S 0\n/E S 1\n\nV 0 V 1 V 2\n\n"
                                     "Jup 45 K-up 0 K+up 45 Jlo 44 K-lo 0 K+lo 44 /A\n\n");
  for (int sig : {SIGTERM, SIGHUP}) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      const int in = open((dir + "/long.inp").c_str(), O_RDONLY);
      const int out = open((dir + "/long.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open((dir + "/long.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(in, STDIN_FILENO);
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      execl(RUVO_BINARY, RUVO_BINARY, static_cast<char*>(nullptr));
      _exit(127);
    }
    // wait until the run is computing (a fifth of a second of CPU time;
    // the whole run takes several), then signal it
    int st = 0;
    bool ended = false;
    while (cpuTicks(pid) < sysconf(_SC_CLK_TCK) / 5 && !(ended = waitpid(pid, &st, WNOHANG) == pid))
      usleep(1000);
    ASSERT_FALSE(ended) << "the run ended before it was signalled";
    kill(pid, sig);
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 128 + sig);
    EXPECT_EQ(test::readFile(dir + "/long.err"),
              "STOP terminated by signal " + std::to_string(sig) + "\n");
    EXPECT_NE(test::readFile(dir + "/long.out").find(" Intensity Calculation Mode"),
              std::string::npos);
    EXPECT_EQ(scratchDirsIn(dir), "");
  }
}

TEST(Program, TheBinaryWritesTheStopLineAfterTheListing) {
  test::ScopedWorkDir here("binary");
  const std::string dir = here.path();
  std::string in = kRigid;
  in.replace(in.find("nzyk 1"), 6, "ntop 4");
  test::writeFile(dir + "/stop.inp", in);
  // both streams into one file: the stop line must come last
  const std::string cmd =
      "cd '" + dir + "' && '" + std::string(RUVO_BINARY) + "' < stop.inp > both.txt 2>&1";
  const int rc = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), 1);
  const std::string both = test::readFile(dir + "/both.txt");
  const std::string last = "STOP ERROR: ntop > DIMTOP (input line 3)\n";
  ASSERT_GE(both.size(), last.size());
  EXPECT_EQ(both.substr(both.size() - last.size()), last);
  EXPECT_NE(both.find(" Type help now"), std::string::npos);

  test::writeFile(dir + "/rigid.inp", kRigid);
  const auto r = test::runBinary(dir + "/rigid.inp", dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  test::writeFile(dir + "/help.inp", "help\n");
  EXPECT_EQ(test::runBinary(dir + "/help.inp", dir).status, 0);
}

TEST(ListingComparison, OneUnitInTheLastDigitIsAccepted) {
  EXPECT_EQ(compareListings("  1.2345  0.500\n", "  1.2346  0.500\n"), "");
  EXPECT_EQ(compareListings("  1.2345  0.500\n", "  1.2344  0.499\n"), "");
  EXPECT_EQ(compareListings("a 0.123456D+01 b\n", "a 0.123457D+01 b\n"), "");
  EXPECT_EQ(compareListings("  -0.000\n", "   0.000\n"), "");
  EXPECT_EQ(compareListings("  -0.001\n", "   0.000\n"), "");
  EXPECT_EQ(compareListings("   17\n", "   18\n"), "");
  EXPECT_EQ(compareListings(" Calculation date and time: 2026-12-08 10:00:00\n",
                            " Calculation date and time: 1999-01-01 23:59:59\n"),
            "");
}

TEST(ListingComparison, LargerDifferencesAndTextAreRejected) {
  EXPECT_NE(compareListings("  1.2345\n", "  1.2347\n"), "");
  EXPECT_NE(compareListings("  -0.002\n", "   0.000\n"), "");
  EXPECT_NE(compareListings("   17\n", "   19\n"), "");
  EXPECT_NE(compareListings(" BJ  1.0\n", " BK  1.0\n"), "");
  EXPECT_NE(compareListings(" BJ  1.0\n", " BJ  1.0 \n"), ""); // trailing blank
  EXPECT_NE(compareListings("  1.2345\n", "  1.234 \n"), "");  // another layout
  EXPECT_NE(compareListings("  1.2345\n", " ******\n"), "");
  EXPECT_NE(compareListings("a\nb\n", "a\n"), ""); // missing line
  EXPECT_NE(compareListings("a\n", "a\n\n"), "");  // extra blank line
  EXPECT_NE(compareListings("a\n", "a"), "");      // line end
  const std::string msg = compareListings("x\n 1.0\n", "x\n 1.2\n");
  EXPECT_NE(msg.find("line 2"), std::string::npos) << msg;
}

} // namespace
} // namespace ruvo
