// The transitions as the body of a LaTeX longtable.
#pragma once

#include "core/state.h"

namespace ruvo {

void printLatexTable(RunState& rs);

} // namespace ruvo
