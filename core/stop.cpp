#include "core/stop.h"

#include <istream>
#include <ostream>
#include <string>

#include "core/state.h"

namespace ruvo {

void stop(std::string_view message) { throw RunEnd{std::string(message), true}; }

void stopIfTerminated() {
  const int signo = g_terminateSignal;
  if (signo != 0) stop("terminated by signal " + std::to_string(signo));
}

void pause(std::istream& in, std::ostream& err, std::string_view message) {
  err << "PAUSE " << message << '\n';
  err << "To resume execution, type go.  Other input will terminate the job.\n";
  err.flush();
  std::string answer;
  if (std::getline(in, answer)) {
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
    if (answer == "go") {
      err << "RESUMED\n";
      return;
    }
  }
  throw RunEnd{std::string(), false};
}

void pause(Io& io, std::string_view message) {
  // the operator decides with the listing so far in view
  if (io.out) io.out->flush();
  pause(*io.in, *io.err, message);
}

int finishRunEnd(const RunEnd& e, std::ostream& out, std::ostream& err) {
  out.flush();
  if (e.isStop) err << "STOP " << e.message << '\n';
  err.flush();
  return 1;
}

} // namespace ruvo
