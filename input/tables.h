// The vocabulary of the input file: parameter names, control keywords,
// transition keywords and symmetry keywords.
#pragma once

#include <array>
#include <string>

#include "driver/state.h"

namespace ruvo {

// The 77 parameter names (index 1..77), 7 characters wide.
extern const std::array<std::string, NPAR + 1> kParamNames;
// Derivative kind of each parameter: 0 analytic, 1 numerical, 9 dipole.
extern const std::array<int, NPAR + 1> kParamDerivKind;
// The 30 control keywords (index 1..30): 20 integers, then 10 reals.
extern const std::array<std::string, NINTCTL + NREALCTL + 1> kControlNames;
// The 30 fixed transition keywords (index 1..30); slots 31..44 are the
// species labels, kept in the run state.
inline constexpr int NTRKEY = 44;
extern const std::array<std::string, 31> kTransitionKeys;
// quantum-number slot and level (1 upper, 2 lower, 0 none) of each key
extern const std::array<int, 31> kTransitionSlot;
extern const std::array<int, 31> kTransitionLevel;

} // namespace ruvo
