// The JSON document of a run: program, input, fit statistics, parameters
// with errors, the transition list with observed and calculated values, and
// the correlation matrix of the fitted combinations.  Values are full
// doubles; frequencies in GHz, deviations and errors in MHz.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "core/state.h"
#include "report/catalogue.h"
#include "report/line_list.h"

namespace ruvo {

// Unit of parameter place p: "GHz", "D" for the dipole components, "rad"
// for the angles, "" for rho.
const char* parameterUnit(int p);

void writeRunJson(std::ostream& os, const RunState& rs, const FitState& fs,
                  const std::vector<OutputLevel>& levels, const EndLevels& ends,
                  const std::string& inputName);

} // namespace ruvo
