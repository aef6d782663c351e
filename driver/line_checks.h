// Checks of the transition list against the first calculation of a run:
// lines whose levels no block provides, and frequencies that were typed in
// MHz without saying so.
#pragma once

#include "core/state.h"

namespace ruvo {

// After the first value sweep.  Each line with a level that was not found
// (or whose splitting or average partner has one) is reported once on
// standard error with its input line and the reason in words, counted as a
// problem of the run and, when measured, left out of a fit; a fit left
// with too few measured lines stops.  A measured frequency 1000 times its
// calculated one gets a warning (a value in MHz without "MHz"), counted too.
// At most a screenful of each is written, then their number.
void checkLinesAgainstFirstCalculation(RunState& rs, const FitState& fs);

} // namespace ruvo
