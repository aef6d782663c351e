// Listing of parameter sets with values and errors.
#pragma once

#include <string>

#include "driver/state.h"

namespace ruvo {

// mode & 7 selects the lines; style bit 1 adds the errors; set 0 lists all
// sets in use, set k only set k.
void pra(const RunState& rs, const ParamSets& values, const ParamSets& errors,
         const FitFlags& flags, int mode, int style, int set);
// 15-character value text and 12-character error text.
void pra_f(double value, double error, std::string& valueText, std::string& errorText);
// The 30-character entry of one parameter: value, and with style bit 1 its
// error in braces ("fixed" or "derived" when it is not fitted).
std::string pra_out(double value, double error, int fitFlag, int style, bool derived);

} // namespace ruvo
