// The whole run, from the banner to the clean-up.
#pragma once

#include <iosfwd>

namespace ruvo {

// Runs ruvo on `in`, writing the listing to `out` and messages to `err`.
// Returns the exit status: 0 after a normal end or help, 1 after a stop,
// input errors or an ended pause.
int runProgram(std::istream& in, std::ostream& out, std::ostream& err);

} // namespace ruvo
