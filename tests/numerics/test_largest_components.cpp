// The search for the two largest components of eigenvectors that names
// the levels: signs, ties, column numbering and the dimension stops.
#include "numerics/largest_components.h"

#include "core/stop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ruvo::test {
namespace {

// Message of the stop raised by f, or "" when it does not stop.
template <class F> std::string stopMessage(F f) {
  try {
    f();
  } catch (const RunEnd& e) {
    return e.message;
  }
  return "";
}

struct MaxofResult {
  std::vector<int> imax, isec;
  std::vector<double> vmax, vsec;
};

MaxofResult run(const std::vector<double>& a, int lda, int ncol, int nrow, int first, int count) {
  MaxofResult r;
  const int size = first + count;
  r.imax.assign(size, -7);
  r.isec.assign(size, -7);
  r.vmax.assign(size, -7.0);
  r.vsec.assign(size, -7.0);
  largestComponents(a.data(), lda, ncol, nrow, first, count, r.imax.data(), r.isec.data(),
                    r.vmax.data(), r.vsec.data());
  return r;
}

TEST(LargestComponents, LargestAndSecondLargestWithSigns) {
  // Leading dimension 5, 4 rows scanned; columns 2 and 3 (1-based) asked.
  const int lda = 5;
  std::vector<double> a = {
      0.1,  0.2,  0.3, 0.4,  99.0,  // column 1 (not asked)
      0.6,  -0.7, 0.1, 0.05, 99.0,  // column 2: max row 2 (-0.7), second row 1 (0.6)
      -0.2, 0.1,  0.3, -0.9, -99.0, // column 3: max row 4 (-0.9), second row 3 (0.3)
  };
  MaxofResult r = run(a, lda, 3, 4, 2, 2);
  EXPECT_EQ(r.imax[2], 2);
  EXPECT_EQ(r.vmax[2], -0.7);
  EXPECT_EQ(r.isec[2], 1);
  EXPECT_EQ(r.vsec[2], 0.6);
  EXPECT_EQ(r.imax[3], 4);
  EXPECT_EQ(r.vmax[3], -0.9);
  EXPECT_EQ(r.isec[3], 3);
  EXPECT_EQ(r.vsec[3], 0.3);
  // row 5 (beyond nrow) is never looked at; column 1 results untouched
  EXPECT_EQ(r.imax[1], -7);
  EXPECT_EQ(r.vmax[1], -7.0);
}

TEST(LargestComponents, TiesGoToTheLaterRow) {
  // Equal largest magnitudes: the later row is the largest, the earlier
  // the second.  A later row equal to the second replaces it.
  std::vector<double> a = {0.5, -0.5, 0.1,   // column 1
                           0.6, 0.2,  -0.2}; // column 2
  MaxofResult r = run(a, 3, 2, 3, 1, 2);
  EXPECT_EQ(r.imax[1], 2);
  EXPECT_EQ(r.vmax[1], -0.5);
  EXPECT_EQ(r.isec[1], 1);
  EXPECT_EQ(r.vsec[1], 0.5);
  EXPECT_EQ(r.imax[2], 1);
  EXPECT_EQ(r.isec[2], 3);
  EXPECT_EQ(r.vsec[2], -0.2);

  // An all-zero column: every row ties, the last two win.
  std::vector<double> z(4, 0.0);
  r = run(z, 4, 1, 4, 1, 1);
  EXPECT_EQ(r.imax[1], 4);
  EXPECT_EQ(r.isec[1], 3);
}

TEST(LargestComponents, DegenerateScans) {
  // One row: it is both the largest and (from the empty start) the second.
  std::vector<double> a = {-2.0, 7.0};
  MaxofResult r = run(a, 2, 1, 1, 1, 1);
  EXPECT_EQ(r.imax[1], 1);
  EXPECT_EQ(r.vmax[1], -2.0);
  EXPECT_EQ(r.isec[1], 1);
  EXPECT_EQ(r.vsec[1], -2.0);
  // No row scanned: imax 1, isec 0, and no value is read from the array.
  r = run(a, 2, 1, 0, 1, 1);
  EXPECT_EQ(r.imax[1], 1);
  EXPECT_EQ(r.isec[1], 0);
  EXPECT_EQ(r.vmax[1], 0.0);
  EXPECT_EQ(r.vsec[1], 0.0);
}

TEST(LargestComponents, ManyColumnsOfALargeTable) {
  // 423 x 200 with a known peak per column (more columns than one group of
  // the scan).
  const int lda = 423, nrow = 400, ncol = 200;
  std::vector<double> a(static_cast<std::size_t>(lda) * ncol, 0.01);
  for (int j = 1; j <= ncol; ++j) {
    a[(j * 3 % nrow) + static_cast<std::size_t>(j - 1) * lda] = 0.5;
    a[(j * 7 % nrow) + static_cast<std::size_t>(j - 1) * lda] = -1.0 - j;
    a[nrow + static_cast<std::size_t>(j - 1) * lda] = 1000.0; // row 401: not scanned
  }
  MaxofResult r = run(a, lda, ncol, nrow, 1, ncol);
  for (int j = 1; j <= ncol; ++j) {
    EXPECT_EQ(r.imax[j], j * 7 % nrow + 1) << j;
    EXPECT_EQ(r.vmax[j], -1.0 - j) << j;
    if (j * 3 % nrow != j * 7 % nrow) {
      EXPECT_EQ(r.isec[j], j * 3 % nrow + 1) << j;
      EXPECT_EQ(r.vsec[j], 0.5) << j;
    }
  }
}

TEST(LargestComponents, DimensionStops) {
  std::vector<double> a(12, 1.0);
  // columns 2..4 of a 3-column array
  EXPECT_EQ(stopMessage([&] { run(a, 4, 3, 4, 2, 3); }), " ERROR: DIMCOL  exceeded");
  // columns 1..3 are fine, 5 rows of a leading dimension 4 are not
  EXPECT_EQ(stopMessage([&] { run(a, 4, 3, 4, 1, 3); }), "");
  EXPECT_EQ(stopMessage([&] { run(a, 4, 3, 5, 1, 3); }), " ERROR: DIMROW  exceeded");
  // a column number below 1 is outside the array as well
  EXPECT_EQ(stopMessage([&] { run(a, 4, 3, 4, 0, 2); }), " ERROR: DIMCOL  exceeded");
}

} // namespace
} // namespace ruvo::test
