// The option bits of the controls and the state bits of levels and blocks.
//
// The integer controls `aprint`, `xprint`, `woods`, `ints` and `adjf` are
// sums of bits that users add up in their input files; their values are part
// of the input format and never change.  Every bit the program tests is named
// here, after what it does, and the code tests the names only
// (hasBit(ctl.aprint, aprintbit::BLOCK_MATRICES)).  A new option bit goes
// into this file with a one-line comment and into the user guide's table.
#pragma once

#include <cstdint>

namespace ruvo {

constexpr bool hasBit(std::int32_t word, std::int32_t bit) { return (word & bit) != 0; }

// Clears bits of an option word for the length of a scope and gives the
// word its value back on every way out, a stop (which throws) included.
class ListingBitsOff {
public:
  ListingBitsOff(int& word, int bits) : word_(word), saved_(word) { word_ &= ~bits; }
  ~ListingBitsOff() { word_ = saved_; }
  ListingBitsOff(const ListingBitsOff&) = delete;
  ListingBitsOff& operator=(const ListingBitsOff&) = delete;

private:
  int& word_;
  int saved_;
};

// ------------------------------------------------------ aprint (listing)
namespace aprintbit {
// The low three bits are one number, 1..7, that selects which parameters
// the parameter listing shows: 1 fitted, 2 fitted or derived, 3 nonzero,
// 4 the usual ones, 5..7 all.
inline constexpr int PARAMETER_SELECTION = 7;
inline constexpr int PARAMETERS_FITTED = 1;
inline constexpr int PARAMETERS_FITTED_OR_DERIVED = 2;
inline constexpr int PARAMETERS_USUAL = 4;
inline constexpr int PARAMETERS_ALL = 5;
inline constexpr int TRANSITIONS_FIRST_CYCLE = 8; // transition listing after the first cycle
inline constexpr int TRANSITIONS_SELECTED_CYCLES =
    16;                                           // transition listing in cycles xprint selects
inline constexpr int K_LABEL_COLUMNS = 32;        // K-label columns in the transition listing
inline constexpr int PARAMETERS_AND_RHO = 64;     // rho vectors, effective constants, adjustments
inline constexpr int ECHO_TRANSITIONS = 128;      // every transition line echoed as read
inline constexpr int LATEX_TABLE = 256;           // LaTeX table of the transitions at the end
inline constexpr int NORMAL_MATRIX_EIGEN = 512;   // eigenpairs of the fit's normal matrix
inline constexpr int BLOCK_LIST = 1024;           // block list, block headers, scratch file names
inline constexpr int TORSIONAL_INTEGRALS = 2048;  // torsional overlap integrals
inline constexpr int ONE_TOP_EIGENVALUES = 8192;  // eigenvalues of the one-top problems
inline constexpr int TORSIONAL_OPERATORS = 16384; // torsional operator elements, eigenvectors
inline constexpr int BLOCK_EIGENVECTORS = 32768;  // eigenvectors and eigenvalues of every block
inline constexpr int BLOCK_MATRICES = 65536;      // full block matrices, internal-rotation elements
} // namespace aprintbit

// ------------------------------------- xprint (which fit cycles list more)
namespace xprintbit {
inline constexpr int FIRST_CYCLE = 1;           // the extra listings in the first cycle
inline constexpr int AFTER_GOOD_STEP = 2;       // in cycles after a good step (conv > 1)
inline constexpr int AFTER_LOWER_DEVIATION = 4; // in cycles that lowered the deviation
inline constexpr int EVERY_CYCLE = 8;           // in every cycle
} // namespace xprintbit

// ------------------------------- woods (internal-rotation Hamiltonian, per B set)
namespace woodsbit {
inline constexpr int OVERLAPS_FROM_EIGENVECTORS = 1; // overlaps between K from the torsional states
                                                     // (else 1 for equal states, 0 otherwise)
inline constexpr int NORMALISED_OVERLAPS = 2;      // every row of overlaps rescaled to unit length
inline constexpr int OVERLAPS_IN_ENERGIES = 4;     // states from the ground state on; rotated
                                                   // torsional energies expanded through K''
inline constexpr int OTHER_TOPS_OVERLAPS = 8;      // other tops' overlaps in the one-top terms
inline constexpr int OVERLAPS_IN_OPERATORS = 16;   // rotated torsional operators expanded through
                                                   // the states at K'' (the top-top terms)
inline constexpr int OVERLAPS_IN_RIGID_ROTOR = 32; // overlaps in the rigid-rotor terms (couples
                                                   // different product torsional states)
inline constexpr int ENERGIES_TIMES_OVERLAP = 64;  // rotated energies times their own overlap
inline constexpr int UNROTATED_VSS_VCC = 1024;     // Vss, Vcc without rotation, diagonal in K
// The bits of a set whose tops keep their states coupled completely (vkeep):
// the overlaps come from the eigenvectors, unscaled, and enter the rotor
// terms; the approximate forms of the couplings (bits 2, 4, 16, 64) give way.
constexpr int completeCoupling(int woods) {
  return (woods | OVERLAPS_FROM_EIGENVECTORS | OVERLAPS_IN_RIGID_ROTOR) &
         ~(NORMALISED_OVERLAPS | OVERLAPS_IN_ENERGIES | OVERLAPS_IN_OPERATORS |
           ENERGIES_TIMES_OVERLAP);
}
} // namespace woodsbit

// ------------------------------------------------------ ints (intensities)
namespace intsbit {
// The low four bits are one number: 0 none, 1 line strengths of the listed
// lines, 2 predicted spectrum by species, 3 predicted spectrum grouped by
// rotational quantum numbers.
inline constexpr int MODE = 15;
inline constexpr int LINE_STRENGTHS = 1;
inline constexpr int SPECTRUM_BY_SPECIES = 2;
inline constexpr int SPECTRUM_GROUPED = 3;
inline constexpr int KEEP_SCRATCH_FILES = 16; // scratch files stay after the run
} // namespace intsbit

// What the intensity control asks for, without its scratch-file bit.
constexpr int intensityMode(int ints) { return ints & intsbit::MODE; }

// ------------------------------- adjf (derived top parameters, per B set)
namespace adjfbit {
inline constexpr int DERIVE_F = 1;   // F_t from rho, beta, gamma, F0 and the rotational constants
inline constexpr int DERIVE_F12 = 2; // F12 likewise
inline constexpr int UNCOUPLED_TOPS = 4; // the tops uncoupled in that computation (one-top case)
inline constexpr int DERIVE_RHO = 8;     // rho_t from F0_t, beta, gamma (else F0_t from rho)
inline constexpr int DERIVE_BETA_GAMMA =
    16; // beta_t, gamma_t from epsil_t, delta_t (else the reverse)
} // namespace adjfbit

// ------------------------------------------- kind bits of a level (slot 10)
namespace kindbit {
inline constexpr int FOUND = 1;     // the level was found in its block
inline constexpr int BY_t = 2;      // the level is named by its label t, not by K
inline constexpr int BY_T = 4;      // the level is named by its label T
inline constexpr int SUSPECT = 8;   // the splitting fits better reversed (line marked 'x')
inline constexpr int MEASURED = 16; // the level belongs to a data point
} // namespace kindbit

// ------------------------------------------- state bits of a todo entry
inline constexpr int TODO_DERIV = 2; // Stat bit: block takes part in derivative passes

} // namespace ruvo
