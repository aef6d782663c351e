// Placeholder; the program spine is being written.
#include "driver/program.h"

namespace ruvo {
int runProgram(std::istream&, std::ostream&, std::ostream&) { return 0; }
} // namespace ruvo
