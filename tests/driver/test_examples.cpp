// The bundled examples run end to end, cleanly, and give their checked-in
// listings (text exact, numbers to one unit in their last printed digit).
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace ruvo {
namespace {

class Examples : public ::testing::TestWithParam<const char*> {};

TEST_P(Examples, ListingMatchesTheCheckedInOne) {
  const std::string name = GetParam();
  test::ScopedWorkDir here("example_" + name);
  const std::string input = test::readFile(test::sourcePath("examples/" + name + ".inp"));
  const std::string expected = test::readFile(test::sourcePath("examples/" + name + ".out"));
  ASSERT_FALSE(input.empty()) << name;
  ASSERT_FALSE(expected.empty()) << name;
  const auto r = test::runText(input);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "") << name; // a clean run says nothing on standard error
  EXPECT_EQ(test::compareListings(expected, r.out), "") << name;
}

INSTANTIATE_TEST_SUITE_P(Bundled, Examples,
                         ::testing::Values("rigid_rotor", "hyperfine_14n", "one_top", "two_tops",
                                           "intensity"));

} // namespace
} // namespace ruvo
