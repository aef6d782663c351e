// Reading the whole input file into the run state.
#pragma once

#include "core/state.h"

namespace ruvo {

class Reader;

// Read title, controls, parameters, fit variables, species, torsional
// states and transitions.  Fills rs and fs (best set, flags, fit model).
// Returns false when the title asked for help (the names are listed then).
bool readInputFile(RunState& rs, FitState& fs, Reader& reader);

// Stops the run before a fit that has fewer measured lines than fit
// variables + 1 (nothing is fitted with nzyk 1 or a predicted spectrum).
void checkDataForFit(const RunState& rs, const FitState& fs);

} // namespace ruvo
