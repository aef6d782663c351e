// The dominant components of eigenvectors, for the level assignment.
#include "numerics/largest_components.h"

#include "core/stop.h"

#include <cmath>

namespace ruvo {

void largestComponents(const double* a, int lda, int ncol, int nrow, int first, int count,
                       int* imax, int* isec, double* vmax, double* vsec) {
  if (count <= 0) return;
  const int last = first + count - 1;
  if (ncol < last || first < 1) stop(" ERROR: DIMCOL  exceeded");
  if (lda < nrow) stop(" ERROR: DIMROW  exceeded");

  // Largest and second largest |component| of each column.  The scan runs
  // row by row with the columns inside, and a later row wins a tie, for the
  // first place as well as for the second.
  double best[64], second[64];
  for (int j0 = first; j0 <= last; j0 += 64) {
    const int j1 = j0 + 63 < last ? j0 + 63 : last;
    for (int j = j0; j <= j1; ++j) {
      imax[j] = 1;
      isec[j] = 0;
      best[j - j0] = 0.0;
      second[j - j0] = 0.0;
    }
    for (int r = 1; r <= nrow; ++r) {
      for (int j = j0; j <= j1; ++j) {
        const double mag = std::fabs(a[(r - 1) + static_cast<long>(j - 1) * lda]);
        double& b = best[j - j0];
        double& s = second[j - j0];
        if (mag >= s) {
          if (mag >= b) {
            isec[j] = imax[j];
            s = b;
            imax[j] = r;
            b = mag;
          } else {
            isec[j] = r;
            s = mag;
          }
        }
      }
    }
    for (int j = j0; j <= j1; ++j) {
      const long col = static_cast<long>(j - 1) * lda;
      vmax[j] = (imax[j] >= 1 && imax[j] <= nrow) ? a[(imax[j] - 1) + col] : 0.0;
      vsec[j] = (isec[j] >= 1 && isec[j] <= nrow) ? a[(isec[j] - 1) + col] : 0.0;
    }
  }
}

} // namespace ruvo
