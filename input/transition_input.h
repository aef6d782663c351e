// The transition list: measured lines with the quantum numbers of their two
// levels, read after the parameter sections.
#pragma once

#include "core/state.h"

namespace ruvo {

class Reader;

// Read the transition section into rs.tr, check every line and write the
// input summary.  Lines with errors are all reported; then the run ends
// with "INPUT ERROR(S)".  Raises rs.nB to the largest set a level names.
void readTransitions(RunState& rs, Reader& reader);

} // namespace ruvo
