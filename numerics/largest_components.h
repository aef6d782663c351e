// The two largest-magnitude entries of the columns of an eigenvector table.
//
// The level assignment names a level after the basis function that
// dominates its eigenvector; the second largest component tells how clean
// that name is.
#pragma once

namespace ruvo {

// For the `count` columns j = first .. first+count-1 (1-based column
// numbers) of the column-major matrix a (leading dimension lda, 0-based
// storage a[r + c*lda]), find among rows 1..nrow the row of the largest
// |entry| (imax[j]) and of the second largest (isec[j]), and their signed
// values vmax[j], vsec[j].  Ties go to the later row.  Rows are returned
// 1-based.  The result arrays are indexed by the column number j, so they
// need first+count elements (element 0 unused when first = 1).
//
// imax starts at 1 and isec at 0: a column scanned over no row (nrow = 0)
// gives imax 1, isec 0; a value belonging to row 0 or to a row that was not
// scanned is returned as 0.  ncol is the number of columns the caller's
// array has.  Stops the run with " ERROR: DIMCOL  exceeded" when the columns
// asked for are not all in 1..ncol and with " ERROR: DIMROW  exceeded" when
// lda < nrow.
void largestComponents(const double* a, int lda, int ncol, int nrow, int first, int count,
                       int* imax, int* isec, double* vmax, double* vsec);

} // namespace ruvo
