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

  // Largest and second largest |component| of each column, down the column
  // (its elements one after the other in memory); a later row wins a tie,
  // for the first place as well as for the second.
  for (int j = first; j <= last; ++j) {
    const double* col = a + static_cast<long>(j - 1) * lda;
    int rBest = 1, rSecond = 0;
    double best = 0.0, second = 0.0;
    for (int r = 1; r <= nrow; ++r) {
      const double mag = std::fabs(col[r - 1]);
      if (mag >= second) {
        if (mag >= best) {
          rSecond = rBest;
          second = best;
          rBest = r;
          best = mag;
        } else {
          rSecond = r;
          second = mag;
        }
      }
    }
    imax[j] = rBest;
    isec[j] = rSecond;
    vmax[j] = rBest >= 1 && rBest <= nrow ? col[rBest - 1] : 0.0;
    vsec[j] = rSecond >= 1 && rSecond <= nrow ? col[rSecond - 1] : 0.0;
  }
}

} // namespace ruvo
