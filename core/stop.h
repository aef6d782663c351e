// Fatal stops and operator pauses.
//
// A stop ends the run: the listing is flushed, "STOP " and the message go to
// standard error and the program exits with status 1.  A pause asks the
// operator whether to go on.  Both work by throwing a RunEnd that only
// `main` (and tests) catch, so the input code can be driven in-process.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

namespace ruvo {

struct Io;

// Thrown to end the run.  `message` is empty for a pause that was not
// answered with "go" (its messages are written already).
struct RunEnd {
  std::string message; // the stop message (without "STOP ")
  bool isStop = true;  // false: ended pause
};

// End the run with "STOP " + message on standard error.
[[noreturn]] void stop(std::string_view message);

// End the run through the stop path when a SIGTERM or SIGHUP has asked for
// it ("terminated by signal 15").  Called wherever a long run can stop
// cleanly: per block, per line strength, per block of a predicted spectrum
// and per fit cycle.
void stopIfTerminated();

// Write "PAUSE " + message and the resume prompt to `err`, read one line
// from `in`; "go" resumes (writes "RESUMED"), anything else ends the run.
void pause(std::istream& in, std::ostream& err, std::string_view message);
void pause(Io& io, std::string_view message);

// What main does with a RunEnd: writes the stop line and returns the exit
// status (1 for every stop and every ended pause).
int finishRunEnd(const RunEnd& e, std::ostream& out, std::ostream& err);

} // namespace ruvo
