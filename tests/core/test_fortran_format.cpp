// The layout formatter carries every listing: each descriptor, the rounding
// of the decimal conversions, the optional leading zero, overflow asterisks,
// record structure (/, $, reuse of the layout) and the free-format records.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

#include "core/fortran_format.h"

using ruvo::fmt;
using ruvo::fmtA;
using ruvo::fmtE;
using ruvo::fmtF;
using ruvo::fmtI;
using ruvo::freeFmt;

namespace {

// One value through several field layouts side by side, as in
// "[ 0.500][.500][0.500][        0.]".
struct FixedCase {
  double x;
  const char* f63;  // F6.3
  const char* f43;  // F4.3
  const char* f53;  // F5.3
  const char* f100; // F10.0
};

const FixedCase kFixed[] = {
    {0.5, " 0.500", ".500", "0.500", "        0."},
    {-0.5, "-0.500", "****", "-.500", "       -0."},
    {1.5, " 1.500", "****", "1.500", "        2."},
    {-1.5, "-1.500", "****", "*****", "       -2."},
    {1e-12, " 0.000", ".000", "0.000", "        0."},
    {0.0, " 0.000", ".000", "0.000", "        0."},
    {-0.0001, "-0.000", "****", "-.000", "       -0."},
    {123.456, "******", "****", "*****", "      123."},
    {2.5, " 2.500", "****", "2.500", "        2."}, // half to even on the exact value
    {0.125, " 0.125", ".125", "0.125", "        0."},
    {1e100, "******", "****", "*****", "**********"},
    {9.9999999, "10.000", "****", "*****", "       10."},
    {0.05, " 0.050", ".050", "0.050", "        0."},
    {-3.0, "-3.000", "****", "*****", "       -3."},
    {12345.678, "******", "****", "*****", "    12346."},
};

struct ExpCase {
  double x;
  const char* e126;  // E12.6
  const char* d127;  // D12.7
  const char* d126;  // D12.6
  const char* e93;   // E9.3
  const char* d2214; // D22.14
};

const ExpCase kExp[] = {
    {0.5, "0.500000E+00", ".5000000D+00", "0.500000D+00", "0.500E+00", "  0.50000000000000D+00"},
    {-0.5, "-.500000E+00", "************", "-.500000D+00", "-.500E+00", " -0.50000000000000D+00"},
    {1.5, "0.150000E+01", ".1500000D+01", "0.150000D+01", "0.150E+01", "  0.15000000000000D+01"},
    {-1.5, "-.150000E+01", "************", "-.150000D+01", "-.150E+01", " -0.15000000000000D+01"},
    {1e-12, "0.100000E-11", ".1000000D-11", "0.100000D-11", "0.100E-11", "  0.10000000000000D-11"},
    {0.0, "0.000000E+00", ".0000000D+00", "0.000000D+00", "0.000E+00", "  0.00000000000000D+00"},
    {123.456, "0.123456E+03", ".1234560D+03", "0.123456D+03", "0.123E+03",
     "  0.12345600000000D+03"},
    {1e100, "0.100000+101", ".1000000+101", "0.100000+101", "0.100+101", "  0.10000000000000+101"},
    {-1e-100, "-.100000E-99", "************", "-.100000D-99", "-.100E-99",
     " -0.10000000000000D-99"},
    {9.9999999, "0.100000E+02", ".1000000D+02", "0.100000D+02", "0.100E+02",
     "  0.99999999000000D+01"},
    {1e17, "0.100000E+18", ".1000000D+18", "0.100000D+18", "0.100E+18", "  0.10000000000000D+18"},
    {12345.678, "0.123457E+05", ".1234568D+05", "0.123457D+05", "0.123E+05",
     "  0.12345678000000D+05"},
};

} // namespace

TEST(FortranFormat, FixedPointFieldsRoundAndOverflow) {
  for (const auto& c : kFixed) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(fmtF(c.x, 6, 3), c.f63);
    EXPECT_EQ(fmtF(c.x, 4, 3), c.f43);
    EXPECT_EQ(fmtF(c.x, 5, 3), c.f53);
    EXPECT_EQ(fmtF(c.x, 10, 0), c.f100);
    // the same through a layout
    EXPECT_EQ(
        fmt("(A,F6.3,A,F4.3,A,F5.3,A,F10.0,A)", {"[", c.x, "][", c.x, "][", c.x, "][", c.x, "]"}),
        std::string("[") + c.f63 + "][" + c.f43 + "][" + c.f53 + "][" + c.f100 + "]\n");
  }
  // rounding of the exact binary value: 2.0005 lies above, 0.35 below the half
  EXPECT_EQ(fmtF(2.0005, 8, 3), "   2.001");
  EXPECT_EQ(fmtF(2.0015, 8, 3), "   2.002");
  EXPECT_EQ(fmtF(0.25, 5, 1), "  0.2");
  EXPECT_EQ(fmtF(0.35, 5, 1), "  0.3");
  EXPECT_EQ(fmtF(-0.04, 3, 1), "-.0");
  // without decimals the zero is the only digit and cannot be dropped
  EXPECT_EQ(fmtF(0.2, 2, 0), "0.");
  EXPECT_EQ(fmtF(0.2, 1, 0), "*");
  EXPECT_EQ(fmtF(-0.4, 3, 0), "-0.");
  EXPECT_EQ(fmtF(-0.4, 2, 0), "**");
  EXPECT_EQ(fmtF(10.0, 4, 1), "10.0");
  EXPECT_EQ(fmtF(1e300, 8, 3), "********");
  EXPECT_EQ(fmtF(-1.0e300, 40, 0), std::string(40, '*'));
  EXPECT_EQ(fmtF(123456789.0, 40, 0), std::string(30, ' ') + "123456789.");
}

// The fields written into a character buffer (the catalogue cards) are
// those of the strings, stars, dropped zeros and words included.
TEST(FortranFormat, FieldsIntoABufferAreThoseOfTheStrings) {
  char buf[64];
  auto put = [&](char* end) { return std::string(buf, end); };
  for (const auto& c : kFixed)
    for (const auto [w, d] : {std::pair{6, 3}, {4, 3}, {5, 3}, {10, 0}, {13, 4}})
      EXPECT_EQ(put(ruvo::putF(buf, c.x, w, d)), fmtF(c.x, w, d)) << c.x << ' ' << w << ' ' << d;
  for (double x : {-0.04, 1e300, -1e300, std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN(), 99999999.99995, -99.99995})
    EXPECT_EQ(put(ruvo::putF(buf, x, 13, 4)), fmtF(x, 13, 4)) << x;
  for (long long x : {0LL, 7LL, -7LL, 123LL, -123LL, 12345LL, -999999LL, 9999999LL, 10000000LL})
    for (int w : {2, 3, 4, 7})
      EXPECT_EQ(put(ruvo::putI(buf, x, w)), fmtI(x, w)) << x << ' ' << w;
}

TEST(FortranFormat, ExponentFieldsDropLeadingZeroThenOverflow) {
  for (const auto& c : kExp) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(fmtE(c.x, 12, 6, 'E'), c.e126);
    EXPECT_EQ(fmtE(c.x, 12, 7, 'D'), c.d127);
    EXPECT_EQ(fmtE(c.x, 12, 6, 'D'), c.d126);
    EXPECT_EQ(fmtE(c.x, 9, 3, 'E'), c.e93);
    EXPECT_EQ(fmtE(c.x, 22, 14, 'D'), c.d2214);
  }
  EXPECT_EQ(fmt("(A,D12.6,A,F8.6,A,I2)", {"a", -1.5, "b", 0.25, "c", 7}),
            "a-.150000D+01b0.250000c 7\n");
  EXPECT_EQ(fmtE(9.9996, 10, 3), " 0.100E+02"); // rounding carries into the exponent
  EXPECT_EQ(fmtE(1e-100, 10, 3), " 0.100E-99");
  EXPECT_EQ(fmtE(1e-100, 9, 2, 'D'), " 0.10D-99");
  EXPECT_EQ(fmtE(1e-100, 7, 1), "0.1E-99");
  EXPECT_EQ(fmtE(1.0, 6, 1), ".1E+01");
  EXPECT_EQ(fmtE(1.0, 5, 1), "*****");
  EXPECT_EQ(fmtE(-1e-5, 9, 2), "-0.10E-04");
  EXPECT_EQ(fmtE(-1e-5, 8, 2), "-.10E-04");
  EXPECT_EQ(fmtE(1e300, 12, 4), "  0.1000+301");
  EXPECT_EQ(fmtE(9.99995e99, 12, 4), "  0.1000+101");
  EXPECT_EQ(fmt("(1D12.6,2X,F6.3)", {0.1, 0.5}), "0.100000D+00   0.500\n");
  EXPECT_EQ(fmt("(d8.1)", {1e-3}), " 0.1D-02\n"); // lower case
}

TEST(FortranFormat, NotFiniteNumbersAreWrittenAsWords) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(fmtF(inf, 10, 3), "  Infinity");
  EXPECT_EQ(fmtF(-inf, 6, 3), "  -Inf");
  EXPECT_EQ(fmtF(nan, 6, 3), "   NaN");
  EXPECT_EQ(fmtE(nan, 2, 1), "**");
  EXPECT_EQ(freeFmt({inf}), std::string(" ") + std::string(17, ' ') + "Infinity\n");
}

TEST(FortranFormat, IntegersAndTexts) {
  EXPECT_EQ(fmtI(12345, 3), "***");
  EXPECT_EQ(fmtI(-12, 3), "-12");
  EXPECT_EQ(fmtI(-123, 3), "***");
  EXPECT_EQ(fmtI(0, 4), "   0");
  EXPECT_EQ(fmt("(I5.3,I5.3)", {7, -7}), "  007 -007\n");
  EXPECT_EQ(fmtA("abcdef", 3), "abc");
  EXPECT_EQ(fmtA("ab", 6), "    ab");
  EXPECT_EQ(fmtA("", 5), "     ");
  EXPECT_EQ(fmt("(A3)", {"abcdef"}), "abc\n");
  EXPECT_EQ(fmt("(A15,A5)", {"name", "x"}), "           name    x\n");
  EXPECT_EQ(fmt("(4i3,2X,4i3)", {1, 2, 3, 4, 5, 6, 7, 8}), "  1  2  3  4    5  6  7  8\n");
  EXPECT_EQ(fmt("(I40)", {123}), std::string(37, ' ') + "123\n");
  // an item of the other kind is still written sensibly
  EXPECT_EQ(fmt("(I4,F6.2,A,A5)", {2.6, 3, 7, 1.5}), "   3  3.0071.500\n");
  EXPECT_EQ(fmt("(I4)", {1e30}), "****\n");
}

TEST(FortranFormat, GroupsRepeatsAndBlanks) {
  EXPECT_EQ(fmt("(2X,2(A,I3))", {"\\\\ B=", 1, "    adj=", 0}), "  \\\\ B=  1    adj=  0\n");
  EXPECT_EQ(fmt("(A15    ,F13.6)", {"x", 1.0}), "              x     1.000000\n");
  EXPECT_EQ(fmt("(2(1X,2I3,1X,I3))", {1, 2, 3, 4, 5, 6}), "   1  2   3   4  5   6\n");
  EXPECT_EQ(fmt("(20X,(A,I2),10X,F6.1)", {"  S", 2, 1.25}),
            std::string(20, ' ') + "  S 2" + std::string(10, ' ') + "   1.2\n");
  EXPECT_EQ(fmt("((A,F12.6,A,F8.4,A),A,F11.6)", {"v", 1.0, " cm +/- ", 0.5, " cm ", "   s=", 2.0}),
            "v    1.000000 cm +/-   0.5000 cm    s=   2.000000\n");
  EXPECT_EQ(fmt("(2(3I3,1X),A15 ,F6.2)", {1, 2, 3, 4, 5, 6, "t", 1.0}),
            "  1  2  3   4  5  6               t  1.00\n");
  EXPECT_EQ(fmt("(3(3X,A,I4),/,3X,A,F6.1)", {"a", 1, "b", 2, "c", 3, "d", 4.0}),
            "   a   1   b   2   c   3\n   d   4.0\n");
  EXPECT_EQ(fmt("(1X,3(I3,A),A,3(I3,A))", {1, "a", 2, "b", 3, "c", "|", 4, "d", 5, "e", 6, "f"}),
            "   1a  2b  3c|  4d  5e  6f\n");
  EXPECT_EQ(fmt("(X,A)", {"x"}), " x\n");
  EXPECT_EQ(fmt("(2A)", {"ab", "cd"}), "abcd\n");
  EXPECT_EQ(fmt("(A,'=',I2)", {"n", 5}), "n= 5\n"); // quoted texts in a layout
}

TEST(FortranFormat, RecordsSlashDollarAndEmptyLayouts) {
  EXPECT_EQ(fmt("(/,A,A,/)", {"a", "b"}), "\nab\n\n");
  EXPECT_EQ(fmt("(/,A)", {"x"}), "\nx\n");
  EXPECT_EQ(fmt("(A,/,20X,A)", {"a", "b"}), "a\n" + std::string(20, ' ') + "b\n");
  EXPECT_EQ(fmt("()", {}), "\n");
  EXPECT_EQ(fmt("(A,$)", {"x"}), "x");
  EXPECT_EQ(fmt("(F10.5,$)", {1.0}), "   1.00000");
  EXPECT_EQ(fmt("(3X,A,3X,I5,$)", {"nzyk", 1}), "   nzyk       1");
  // blanks of nX are written also at the end of a record
  EXPECT_EQ(fmt("(A,2D8.1,3X,$)", {" fit ", 0.1, 1.0}), " fit  0.1D+00 0.1D+01   ");
  EXPECT_EQ(fmt("(/,2(A,I3,3X))", {"s=", 1, "d=", 2}), "\ns=  1   d=  2   \n");
  std::ostringstream os;
  ruvo::put(os, "(A,$)", {"a"});
  ruvo::put(os, "(A)", {"b"});
  EXPECT_EQ(os.str(), "ab\n");
}

TEST(FortranFormat, OutputStopsAtFirstDataDescriptorWithoutItem) {
  EXPECT_EQ(fmt("(A,I2)", {"end"}), "end\n");
  EXPECT_EQ(fmt("(A,3X,/,I2)", {"y"}), "y   \n\n");
  EXPECT_EQ(fmt("(A,3X,I2)", {"x"}), "x   \n");
  // '$' counts only when it is reached
  EXPECT_EQ(fmt("(F10.5,A,$)", {1.0}), "   1.00000\n");
  EXPECT_EQ(fmt("(/,A)", {}), "\n\n");
  EXPECT_EQ(fmt("(A)", {}), "\n");
}

TEST(FortranFormat, LayoutIsReusedOnNewRecordsWhileItemsRemain) {
  EXPECT_EQ(fmt("(3F8.2)", {1.0, 2.0, 3.0, 4.0, 5.0}),
            "    1.00    2.00    3.00\n    4.00    5.00\n");
  EXPECT_EQ(fmt("(A,I2,F6.2)", {"a", 1, 2.0, "b", 3}), "a 1  2.00\nb 3\n");
  EXPECT_EQ(fmt("(A,$)", {"a", "b"}), "a\nb");
  // a layout without data descriptors takes no item: one record, no loop
  EXPECT_EQ(fmt("(3X)", {1, 2}), "   \n");
  EXPECT_EQ(fmt("()", {1}), "\n");
  std::vector<double> row(45);
  for (int i = 0; i < 45; ++i) row[static_cast<std::size_t>(i)] = i * 0.5;
  std::ostringstream os;
  ruvo::putValues(os, "(20F7.3)", row);
  const std::string s = os.str();
  EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 3);
  EXPECT_EQ(s.substr(0, 14), "  0.000  0.500");
  EXPECT_EQ(s.substr(s.size() - 15), " 21.500 22.000\n");
  std::vector<ruvo::FItem> items{ruvo::FItem(1), ruvo::FItem("x")};
  EXPECT_EQ(fmt("(I2,A)", items), " 1x\n");
}

TEST(FortranFormat, MalformedLayoutsNeverFail) {
  EXPECT_NO_THROW(fmt("(", {1}));
  EXPECT_NO_THROW(fmt("(((((((((((((((((((((((((((((((((((((((((((((A", {"x"}));
  EXPECT_NO_THROW(fmt("(I99999999999)", {1}));
  EXPECT_NO_THROW(fmt("(F9999.9999)", {1.0}));
  EXPECT_NO_THROW(fmt("(E5.0,Q,'unterminated", {1.0}));
  EXPECT_EQ(fmt("A,I3", {"n", 4}), "n  4\n"); // parentheses are optional
}

TEST(FortranFormat, FreeFormatRecords) {
  EXPECT_EQ(freeFmt({3.0}), "   3.0000000000000000     \n");
  EXPECT_EQ(freeFmt({0.5}), "  0.50000000000000000     \n");
  EXPECT_EQ(freeFmt({-3.0}), "  -3.0000000000000000     \n");
  EXPECT_EQ(freeFmt({0.0}), "   0.0000000000000000     \n");
  EXPECT_EQ(freeFmt({1e-5}), "   1.0000000000000001E-005\n");
  EXPECT_EQ(freeFmt({-1e-4}), "  -1.0000000000000000E-004\n");
  EXPECT_EQ(freeFmt({1e-12}), "   9.9999999999999998E-013\n");
  EXPECT_EQ(freeFmt({1e100}), "   1.0000000000000000E+100\n");
  EXPECT_EQ(freeFmt({0.1}), "  0.10000000000000001     \n");
  EXPECT_EQ(freeFmt({0.05}), "   5.0000000000000003E-002\n");
  // the form is chosen on the value rounded to 17 digits
  EXPECT_EQ(freeFmt({0.09999999999999999}), "   9.9999999999999992E-002\n");
  EXPECT_EQ(freeFmt({1e16}), "   10000000000000000.     \n");
  EXPECT_EQ(freeFmt({99999999999999990.0}), "   99999999999999984.     \n");
  EXPECT_EQ(freeFmt({1e17}), "   1.0000000000000000E+017\n");
  EXPECT_EQ(freeFmt({123.456}), "   123.45600000000000     \n");
  EXPECT_EQ(freeFmt({9.9999999}), "   9.9999999000000006     \n");
  // items: one blank between, none between two texts
  EXPECT_EQ(freeFmt({"Signal no.", 2}), " Signal no.           2\n");
  EXPECT_EQ(freeFmt({"Signal no.", 1, "a", "b", 0.5, "c"}),
            " Signal no.           1 ab  0.50000000000000000      c\n");
  EXPECT_EQ(freeFmt({"a", "b", 1, 2, "c"}), " ab           1           2 c\n");
  EXPECT_EQ(freeFmt({2147483647}), "  2147483647\n");
  EXPECT_EQ(freeFmt({1.0, 2.0}), "   1.0000000000000000        2.0000000000000000     \n");
  EXPECT_EQ(freeFmt({" Modified version"}), "  Modified version\n");
  EXPECT_EQ(freeFmt({}), " \n");
}
