// Listing of parameter sets with values and errors.
#pragma once

#include <string>

#include "core/state.h"

namespace ruvo {

// mode & 7 selects the lines; style bit 1 adds the errors; set 0 lists all
// sets in use, set k only set k.
void printParameters(const RunState& rs, const ParamSets& values, const ParamSets& errors,
                     const FitFlags& flags, int mode, int style, int set);
// 15-character value text and 12-character error text.
void formatValueWithError(double value, double error, std::string& valueText,
                          std::string& errorText);
// The 30-character entry of one parameter: value, and with style bit 1 its
// error in braces ("fixed" or "derived" when it is not fitted).
std::string parameterEntry(double value, double error, int fitFlag, int style, bool derived);

} // namespace ruvo
