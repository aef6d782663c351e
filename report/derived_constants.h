// Quantities a spectroscopist quotes, derived from the fitted parameters:
// principal rotational constants and Ray's kappa, barriers in energy units,
// the geometry of every internal top, rho vectors and effective constants,
// and the table of frequency derivatives.
#pragma once

#include "core/state.h"

namespace ruvo {

// GHz to kJ/mol, kcal/mol and cm-1; degrees per radian.
inline constexpr double GHZ_TO_KJ = 0.00039903132;
inline constexpr double GHZ_TO_KCAL = 0.00009530464880605068;
inline constexpr double GHZ_TO_CM = 0.033356404846685624;
inline constexpr double DEG_PER_RAD = 57.29577951308232;
// I (amu A^2) = IALPHA_CONST / F (GHz)
inline constexpr double IALPHA_CONST = 505.37907;

// Principal rotational constants of set b with errors (using the correlations
// of the fit variables that carry BJ, BK and B-) and Ray's kappa.
// `corr` is the DIMFIT x DIMFIT matrix of the fit (correlations above the
// diagonal, 0-based column-major).
void printRotationalConstants(RunState& rs, ConstParamView p, ConstParamView err,
                              const double* corr, const FitModel& fm, int nfit, int b);
// Barriers V1n, V2n of every top, Vss and Vcc in kJ/mol, kcal/mol and cm-1.
void printPotentialConstants(RunState& rs, ConstParamView p, ConstParamView err, double kj,
                             double kcal, double cm);
// F0, I_alpha and axis angles of every top with errors by variation; adjf
// are the adjustment bits of the set.
void printTopGeometry(RunState& rs, ConstParamView p, ConstParamView err, double degPerRad,
                      int adjf);
// rho vectors, Q vectors and effective rotational constants of every set.
void printRhoAndEffectiveConstants(RunState& rs, const ParamSets& p);
// Frequencies and their derivatives by the fit variables to "dfreq.out".
void writeFrequencyDerivatives(RunState& rs, const FitModel& fm, int nfit);

} // namespace ruvo
