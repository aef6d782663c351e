// The fields are written with std::to_chars; the C library's %.*f and %.*e
// conversions (correctly rounded, ties to even) are the reference their
// digits must match byte for byte, over values that probe every rounding
// case: random bit patterns, decimal ties, numbers just beside a rounding
// boundary, and the magnitudes a listing holds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/fortran_format.h"

namespace {

std::string justify(const std::string& s, int w) {
  if (static_cast<int>(s.size()) > w) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

// Fw.d from %.*f: the point always, the zero before it dropped when only
// that makes the number fit
std::string referenceF(double x, int w, int d) {
  char b[800];
  std::snprintf(b, sizeof b, "%.*f", d, x);
  std::string s = b;
  if (d == 0) s += '.';
  const std::size_t z = s[0] == '-' ? 1 : 0;
  if (d > 0 && static_cast<int>(s.size()) > w && s[z] == '0' && s[z + 1] == '.') s.erase(z, 1);
  return justify(s, w);
}

// Ew.d from %.*e: 0.ddd form, two-digit exponent after the letter, three
// digits in its place
std::string referenceE(double x, int w, int d, char letter) {
  char b[800];
  std::snprintf(b, sizeof b, "%.*e", d - 1, std::fabs(x));
  std::string digits;
  const char* p = b;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits += *p;
  const int e = x == 0.0 ? 0 : std::atoi(p + 1) + 1;
  const int ae = std::abs(e);
  char ex[16];
  if (ae <= 99)
    std::snprintf(ex, sizeof ex, "%c%c%02d", letter, e < 0 ? '-' : '+', ae);
  else
    std::snprintf(ex, sizeof ex, "%c%03d", e < 0 ? '-' : '+', ae);
  const std::string sign = std::signbit(x) ? "-" : "";
  std::string s = sign + "0." + digits + ex;
  if (static_cast<int>(s.size()) > w) s = sign + "." + digits + ex;
  return justify(s, w);
}

// values that probe the rounding (of the exact integer arithmetic that
// serves numbers below 10^18 with up to 19 decimals, and of the general
// conversion beyond)
std::vector<double> probeValues() {
  std::vector<double> v;
  std::mt19937_64 rnd(20261209);
  for (int i = 0; i < 2000; ++i) { // random bit patterns of finite doubles
    std::uint64_t bits = rnd();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (std::isfinite(x)) v.push_back(x);
  }
  std::uniform_real_distribution<double> mant(-10.0, 10.0);
  std::uniform_int_distribution<int> ex(-14, 12);
  for (int i = 0; i < 3000; ++i) v.push_back(mant(rnd) * std::pow(10.0, ex(rnd)));
  for (int k = -2000; k <= 2000; ++k) { // exact binary ties: k/8, k/64 ...
    v.push_back(k / 8.0);
    v.push_back(k / 64.0 + 0.5);
    v.push_back(k * 1.0e-6 + 0.0005); // decimal half-way values, not exact in binary
  }
  for (double x : {0.0, -0.0, 1.0, 0.1, 0.05, 0.15, 0.25, 2.5, 9.5, 99.5, 999.9995, 1e17, 1e-17,
                   0.099999999999999999, 9.9999999999999999e16, 1e300, 2.2250738585072014e-308,
                   4.9e-324, 1.7976931348623157e308})
    for (double s : {1.0, -1.0}) v.push_back(s * x);
  const std::size_t n = v.size(); // the neighbours of each
  for (std::size_t i = 0; i < n; i += 7) {
    v.push_back(std::nextafter(v[i], INFINITY));
    v.push_back(std::nextafter(v[i], -INFINITY));
  }
  return v;
}

TEST(FortranFormatRounding, FixedAndExponentFieldsMatchTheCLibrary) {
  const std::vector<double> values = probeValues();
  int compared = 0;
  for (const double x : values) {
    for (const int d : {0, 1, 2, 3, 4, 6, 9, 12, 17, 19, 20}) {
      const int w = d + 8;
      if (std::fabs(x) < 1e30) { // fixed fields of numbers a listing holds
        ASSERT_EQ(ruvo::fmtF(x, w, d), referenceF(x, w, d)) << x << " F" << w << "." << d;
        ASSERT_EQ(ruvo::fmtF(x, d + 3, d), referenceF(x, d + 3, d)) << x;
      }
      if (d >= 1) {
        ASSERT_EQ(ruvo::fmtE(x, w + 6, d, 'D'), referenceE(x, w + 6, d, 'D')) << x << " D" << d;
        ASSERT_EQ(ruvo::fmtE(x, d + 6, d, 'E'), referenceE(x, d + 6, d, 'E')) << x << " E" << d;
      }
      compared += 4;
    }
  }
  EXPECT_GT(compared, 50000);
  // all the digits of very large and very small numbers
  char b[800];
  for (const double x : {1.7976931348623157e308, 4.9e-324, 123456789.123456789}) {
    std::snprintf(b, sizeof b, "%.330f", x);
    EXPECT_EQ(ruvo::fmtF(x, 0, 330), b);
  }
}

// The free form from %.16e: 17 significant digits, fixed for exponents
// 0..17 of the 0.ddd form, else d.dddE+eee.
std::string referenceFree(double x) {
  if (x == 0.0)
    return justify(std::signbit(x) ? "-0.0000000000000000" : "0.0000000000000000", 20) + "     ";
  char b[64];
  std::snprintf(b, sizeof b, "%.16e", std::fabs(x));
  std::string digits;
  const char* p = b;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits += *p;
  const int e10 = std::atoi(p + 1) + 1;
  const std::string sign = std::signbit(x) ? "-" : "";
  if (e10 >= 0 && e10 <= 17)
    return justify(sign + (e10 == 0 ? "0" : digits.substr(0, e10)) + "." + digits.substr(e10), 20) +
           "     ";
  std::snprintf(b, sizeof b, "E%c%03d", e10 - 1 < 0 ? '-' : '+', std::abs(e10 - 1));
  return justify(sign + digits.substr(0, 1) + "." + digits.substr(1) + b, 25);
}

// A record of the transition listing and a free-format record, against
// the same record built from the references.
TEST(FortranFormatRounding, RecordsMatchFieldByField) {
  const std::vector<double> values = probeValues();
  for (std::size_t i = 0; i + 2 < values.size(); i += 3) {
    const double f = values[i], dev = values[i + 1] * 1e-3, e = values[i + 2];
    if (std::fabs(f) > 1e20) continue;
    const std::string expected =
        referenceF(f, 13, 6) + referenceF(dev, 9, 4) + " " + referenceE(e, 12, 6, 'D') + "\n";
    ASSERT_EQ(ruvo::fmt("(F13.6,F9.4,1X,D12.6)", {f, dev, e}), expected) << i;
  }
  for (std::size_t i = 0; i + 1 < values.size(); i += 2)
    ASSERT_EQ(ruvo::freeFmt({"x", values[i], 7, values[i + 1]}),
              " x " + referenceFree(values[i]) + "           7 " + referenceFree(values[i + 1]) +
                  "\n")
        << values[i];
}

} // namespace
