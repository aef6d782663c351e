// The vocabulary of the input file: parameter names, control keywords,
// transition keywords and symmetry keywords.
#pragma once

#include <array>
#include <string>

#include "core/state.h"

namespace ruvo {

// The 77 parameter names (index 1..77), 7 characters wide.
extern const std::array<std::string, NPAR + 1> kParamNames;
// Derivative kind of each parameter: 0 analytic, 1 numerical, 9 dipole.
extern const std::array<int, NPAR + 1> kParamDerivKind;
// The 30 control keywords (index 1..30): 20 integers, then 10 reals.
extern const std::array<std::string, NINTCTL + NREALCTL + NKEPTCTL + 1> kControlNames;
// The 30 fixed transition keywords (index 1..30); slots 31..44 are the
// species labels, kept in the run state (RunState::trKey).
inline constexpr int NTRKEY = 44;
inline constexpr int NTRFIXED = 30;
extern const std::array<std::string, 31> kTransitionKeys;
// quantum-number slot and level (1 upper, 2 lower, 0 none) of each key
extern const std::array<int, 31> kTransitionSlot;
extern const std::array<int, 31> kTransitionLevel;
// The six symmetry keywords (index 1..6): one (G, S) pair per top.
extern const std::array<std::string, 7> kSymmetryKeys;

// Width of the names as the reader compares them.
inline constexpr int PARNAME_WIDTH = 7, CONTROL_WIDTH = 6, TRKEY_WIDTH = 5, SYMKEY_WIDTH = 5;

// The run's parameter names start as the table; with the van Eijck-Typke
// reduction (reduct = 2) place 8 is called R6.
void initParamNames(RunState& rs);

} // namespace ruvo
