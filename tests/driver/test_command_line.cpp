// The command line: input file, standard input, --help, --version and
// every argument that can not be used; and the program run on a named file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <variant>
#include <vector>

#include "core/version.h"
#include "driver/command_line.h"
#include "support/test_support.h"

namespace ruvo {
namespace {

std::variant<CommandLine, UsageError> parse(std::vector<const char*> args) {
  args.insert(args.begin(), "ruvo");
  return parseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, FileStandardInputHelpAndVersion) {
  struct Case {
    std::vector<const char*> args;
    std::string file;
    bool help, version;
  };
  for (const Case& c :
       {Case{{}, "", false, false}, Case{{"-"}, "", false, false},
        Case{{"mol.inp"}, "mol.inp", false, false}, Case{{"--", "-x"}, "-x", false, false},
        Case{{"--help"}, "", true, false}, Case{{"--version"}, "", false, true},
        Case{{"--json", "run.json", "mol.inp"}, "mol.inp", false, false}}) {
    const auto r = parse(c.args);
    ASSERT_TRUE(std::holds_alternative<CommandLine>(r)) << std::get<UsageError>(r).message;
    const CommandLine& cl = std::get<CommandLine>(r);
    EXPECT_EQ(cl.inputFile, c.file);
    EXPECT_EQ(cl.help, c.help);
    EXPECT_EQ(cl.version, c.version);
  }
  EXPECT_EQ(usageText().rfind("Usage: ruvo [OPTIONS] [FILE]\n", 0), 0u);
}

// One version number, the project's in the build description: --version,
// the banner of the listing and the manual page show it alike (the JSON
// document's test checks its own).
TEST(CommandLine, TheVersionOfTheBuildIsShownEverywhere) {
  const std::string cmake = test::readFile(test::sourcePath("CMakeLists.txt"));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(cmake, m, std::regex("project\\(ruvo VERSION ([0-9.]+) ")));
  const std::string v = m[1];
  EXPECT_EQ(programVersion(), v);
  EXPECT_EQ(versionText(), "ruvo " + v + "\n");
  const std::string listing = test::runText("help\n\n").out;
  EXPECT_EQ(listing.substr(0, listing.find('\n')),
            " Rotational, Centrifugal Distortion, Internal Rotation Calculation (ruvo " + v + ")");
  std::string binDir = RUVO_BINARY;
  binDir.erase(binDir.rfind('/'));
  const std::string man = test::readFile(binDir + "/ruvo.1");
  EXPECT_EQ(man.substr(0, man.find('\n')),
            ".TH RUVO 1 \"December 2026\" \"ruvo " + v + "\" \"User Commands\"");
}

TEST(CommandLine, ArgumentsThatCanNotBeUsed) {
  struct Case {
    std::vector<const char*> args;
    const char* message;
  };
  for (const Case& c : {Case{{"-x"}, "unknown option -x"},
                        Case{{"--catalog"}, "ERROR: option --catalog needs a value"},
                        Case{{"a.inp", "b.inp"}, "more than one input file: b.inp"},
                        Case{{"-", "b.inp"}, "more than one input file: b.inp"},
                        Case{{""}, "empty input file name"},
                        Case{{"--threads"},
                             "--threads needs a whole number of threads from 1 to "
                             "64, not \"\""},
                        Case{{"--threads", "0"},
                             "--threads needs a whole number of threads from "
                             "1 to 64, not \"0\""},
                        Case{{"--threads", "2x"},
                             "--threads needs a whole number of threads "
                             "from 1 to 64, not \"2x\""},
                        Case{{"--threads=", "x.inp"},
                             "--threads needs a whole number of "
                             "threads from 1 to 64, not \"\""},
                        Case{{"--threads", "65"},
                             "--threads needs a whole number of threads "
                             "from 1 to 64, not \"65\""}}) {
    const auto r = parse(c.args);
    ASSERT_TRUE(std::holds_alternative<UsageError>(r)) << c.message;
    EXPECT_EQ(std::get<UsageError>(r).message, c.message);
  }
}

// --threads wins over RUVO_THREADS, which wins over the number of cores;
// a bad RUVO_THREADS is refused like a bad --threads.
TEST(CommandLine, ThreadCount) {
  const auto count = [](std::vector<const char*> args, const char* env) {
    const auto cl = std::get<CommandLine>(parse(std::move(args)));
    return threadCount(cl, env);
  };
  EXPECT_EQ(std::get<int>(count({"--threads", "3", "a.inp"}, "2")), 3);
  EXPECT_EQ(std::get<int>(count({"--threads=1"}, "2")), 1);
  EXPECT_EQ(std::get<int>(count({"a.inp"}, "2")), 2);
  const int cores = std::get<int>(count({}, nullptr));
  EXPECT_GE(cores, 1);
  EXPECT_LE(cores, MAX_THREADS);
  for (const char* bad : {"", "0", "-1", " 2", "two"})
    EXPECT_EQ(std::get<UsageError>(count({}, bad)).message,
              "RUVO_THREADS needs a whole number of threads from 1 to 64, not \"" +
                  std::string(bad) + "\"");
}

TEST(CommandLine, TheProgramReadsANamedFile) {
  test::ScopedWorkDir here("command_line");
  const std::string dir = here.path();
  test::writeFile(dir + "/rigid.inp", test::readFile(test::sourcePath("examples/rigid_rotor.inp")));
  const auto run = [&dir](const std::string& args, const std::string& env = "") {
    const std::string cmd = "cd '" + dir + "' && " + env + "'" + std::string(RUVO_BINARY) + "' " +
                            args + " > out.txt 2> err.txt < /dev/null";
    const int rc = std::system(cmd.c_str());
    return test::RunResult{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, test::readFile(dir + "/out.txt"),
                           test::readFile(dir + "/err.txt")};
  };
  const auto named = run("rigid.inp");
  EXPECT_EQ(named.status, 0);
  EXPECT_EQ(named.err, "");
  EXPECT_EQ(test::compareListings(test::readFile(test::sourcePath("examples/rigid_rotor.out")),
                                  named.out),
            "");
  const auto version = run("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "ruvo " + std::string(programVersion()) + "\n");
  const auto bad = run("-x");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err, "ruvo: unknown option -x\n" + usageText());
  const auto badEnv = run("rigid.inp", "RUVO_THREADS=0 ");
  EXPECT_EQ(badEnv.status, 1);
  EXPECT_EQ(badEnv.out, "");
  EXPECT_EQ(badEnv.err, "ruvo: RUVO_THREADS needs a whole number of threads from 1 to 64, not "
                        "\"0\"\n" +
                            usageText());
  const auto missing = run("missing.inp");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "STOP ERROR: can not open input file missing.inp: No such file or directory\n");
}

} // namespace
} // namespace ruvo
