// The two largest-magnitude entries of the columns of an eigenvector table.
#pragma once

namespace ruvo {

// For the `count` columns j = first .. first+count-1 (1-based) of the
// column-major matrix a (leading dimension lda, 0-based storage a[r + c*lda]),
// find among rows 1..nrow the row of the largest |entry| (imax[j]) and of the
// second largest (isec[j]), and their signed values.  Ties go to the later
// row.  Rows are returned 1-based (isec 0 when there is no second row).
// Result arrays are indexed by column j.  ncol is the number of columns the
// caller's array has.  Stops the run on the dimension checks.
void maxof(const double* a, int lda, int ncol, int nrow, int first, int count, int* imax,
           int* isec, double* vmax, double* vsec);

} // namespace ruvo
