// Fuzz target: a whole run on arbitrary bytes as the input file.  The
// listing and the messages are discarded; a stop is an ordinary end.  The
// run may create output and scratch files in the working directory, so the
// target works in a directory of its own below the system's temporary
// directory.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/stop.h"
#include "driver/program.h"

namespace {

// The arguments as libFuzzer will read them, kept for the whole process.
std::vector<std::string> g_args;
std::vector<char*> g_argv;
// The working directory of the runs, removed when the fuzzer ends, however
// it ends.
std::string g_workDir;

void removeWorkDir() {
  std::error_code ec;
  std::filesystem::remove_all(g_workDir, ec);
}

bool isRelativePath(const std::string& p) { return !p.empty() && p[0] != '/'; }

// libFuzzer ends a run that exceeds -timeout or -rss_limit_mb with _Exit,
// and a fuzzer may be killed outright; atexit handlers do not run then.  A
// small child process holds the reading end of a pipe whose writing end
// only this process holds: when this process ends in any way the read
// returns, and the child removes the directory.
void startWatchdog() {
  int fds[2];
  if (pipe(fds) != 0) return;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (pid == 0) {
    close(fds[1]);
    setsid(); // a Ctrl-C meant for the fuzzer does not end the watchdog early
    char c;
    for (;;) {
      const ssize_t n = read(fds[0], &c, 1);
      if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    removeWorkDir();
    _exit(0);
  }
  close(fds[0]);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
}

} // namespace

// Runs before libFuzzer reads its arguments: corpus directories, input
// files and the path flags are made absolute, crash files go where the
// fuzzer was started (unless -artifact_prefix says otherwise), and then the
// process moves to a fresh temporary directory.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  const std::string cwd = std::filesystem::current_path().string();
  const char* pathFlags[] = {"-artifact_prefix=", "-exact_artifact_path=", "-dict=",
                             "-features_dir=",    "-mutation_graph_file=", "-close_fd_mask_file="};
  bool hasArtifactPrefix = false;
  for (int i = 0; i < *argc; ++i) {
    std::string a = (*argv)[i];
    if (i > 0 && a[0] != '-' && isRelativePath(a)) a = cwd + "/" + a;
    for (const char* flag : pathFlags) {
      const std::string f = flag;
      if (a.rfind(f, 0) == 0) {
        if (isRelativePath(a.substr(f.size()))) a = f + cwd + "/" + a.substr(f.size());
        if (f == "-artifact_prefix=") hasArtifactPrefix = true;
      }
    }
    g_args.push_back(a);
  }
  if (!hasArtifactPrefix) g_args.insert(g_args.begin() + 1, "-artifact_prefix=" + cwd + "/");
  for (std::string& a : g_args) g_argv.push_back(a.data());
  g_argv.push_back(nullptr);
  *argc = static_cast<int>(g_args.size());
  *argv = g_argv.data();

  g_workDir = (std::filesystem::temp_directory_path() / "ruvo-fuzz-XXXXXX").string();
  if (mkdtemp(g_workDir.data()) == nullptr || chdir(g_workDir.c_str()) != 0) std::abort();
  std::atexit(removeWorkDir);
  startWatchdog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::ostringstream out, err;
  try {
    ruvo::runProgram(in, out, err);
  } catch (const ruvo::RunEnd&) {
    // runProgram ends stops itself; this only guards the fuzzer
  }
  return 0;
}
