// Dependent internal-rotation parameters: F, F12, rho, F0 and the axis angles.
#pragma once

#include <array>

#include "core/state.h"

namespace ruvo {

// Recompute the parameters of one set that the adjustment bits `adjf`
// declare dependent (ntop tops).
void adjustDependentParameters(RunState& rs, ParamView set, int npar, int adjf);

// F0 and direction cosines (lx, ly, lz) of a top axis from rho, beta, gamma
// and the rotational constants Bx, By, Bz.
void oneTopAxisFromRho(double rho, double beta, double gamma, double Bx, double By, double Bz,
                       double& F0, double& lx, double& ly, double& lz);

// The F matrix of `ntop` tops and its inverse.  rho, beta, gamma, F0 and
// lambda are indexed by top 1..ntop; lambda[t] = (lx, ly, lz).  With
// `noCoupling` the elements between different tops are left out.  finv is
// the 3 x 3 inverse (row-major, finv[i][j] for tops i+1, j+1; zero outside
// ntop).
using TopVec = std::array<double, DIMTOP + 1>;
using AxisDirs = std::array<std::array<double, 3>, DIMTOP + 1>;
void topAxesFromRho(int ntop, const TopVec& rho, const TopVec& beta, const TopVec& gamma, double Bx,
                    double By, double Bz, bool noCoupling, TopVec& F0, AxisDirs& lambda,
                    double finv[3][3]);

// rho of a top from its F0 and the direction (beta, gamma) of the rho vector.
double rhoFromF0(double F0, double beta, double gamma, double Bx, double By, double Bz);

// Direction (beta, gamma) of the rho vector from the direction (epsil, delta)
// of the top axis.
void anglesFromEpsilonDelta(double epsil, double delta, double Bx, double By, double Bz,
                            double& beta, double& gamma);

// Inverse of a symmetric n x n matrix (n <= 3, row-major 3 x 3 storage)
// through its eigen-decomposition (diagonaliseNormalMatrix, pseudoInverse); directions of zero
// eigenvalue are left out (a pseudo-inverse).
void symInverse3(int n, const double a[3][3], double inv[3][3]);

} // namespace ruvo
