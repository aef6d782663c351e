// Fortran-style layouts for the listing.
//
// A layout is parsed into a small tree of descriptors and then walked with
// the list of items.  Numbers are converted with the standard library's
// correctly rounded decimal conversion (std::to_chars with a precision, the
// digits of the exact binary value rounded to nearest, ties to even, as the
// C library's %.*f and %.*e write them), so the digits written are those a
// Fortran run-time library writes.  Every field is appended in place to the
// record being built: a listing of 100,000 lines writes a million fields.
#include "core/fortran_format.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

namespace ruvo {

namespace {

// Widths and digit counts beyond this are treated as a broken layout; they
// keep the conversions within their fixed buffers.
constexpr int MAX_FIELD = 400;
// Room for any field: about 310 digits before the point of the largest
// double, MAX_FIELD decimals, sign, point and exponent.
constexpr int FIELD_BUF = MAX_FIELD + 340;

void appendStars(std::string& out, int w) {
  out.append(static_cast<std::size_t>(std::max(w, 0)), '*');
}

// The text s[0..n) right-justified in w columns (its own width when w <= 0;
// stars when it does not fit).
void appendRight(std::string& out, const char* s, int n, int w) {
  if (w <= 0) {
    out.append(s, static_cast<std::size_t>(n));
  } else if (n > w) {
    appendStars(out, w);
  } else {
    out.append(static_cast<std::size_t>(w - n), ' ');
    out.append(s, static_cast<std::size_t>(n));
  }
}

// Infinity and not-a-number, written right-justified as the Fortran
// run-time library does ("Infinity" when there is room, else "Inf").
void appendNonFinite(std::string& out, double x, int w) {
  if (std::isnan(x)) return appendRight(out, "NaN", 3, w);
  const bool neg = std::signbit(x);
  const int room = w <= 0 ? 9 : w - (neg ? 1 : 0);
  const char* s = room >= 8 ? (neg ? "-Infinity" : "Infinity") : (neg ? "-Inf" : "Inf");
  appendRight(out, s, static_cast<int>(std::strlen(s)), w);
}

// Decimal digits and exponent of x rounded to `ndig` significant digits
// (1 <= ndig <= MAX_FIELD): x = 0.d1 d2 ... dn * 10^exp10 (the Fortran 0.ddd
// form).  x must be finite and nonzero; `digits` gets ndig characters.
void decimalDigits(double x, int ndig, char* digits, int& exp10) {
  char buf[FIELD_BUF];
  const auto r =
      std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific, ndig - 1);
  // buf: d.ddde+XX  (or "de+XX" when ndig == 1)
  int n = 0;
  const char* p = buf;
  for (; p < r.ptr && *p != 'e'; ++p)
    if (*p != '.') digits[n++] = *p;
  int e = 0;
  if (p < r.ptr) std::from_chars(p + (p[1] == '+' ? 2 : 1), r.ptr, e);
  exp10 = e + 1;
}

// x with d decimals as %.*f writes it, for the numbers of a listing: when
// |x| 10^d rounded is below 2^64, it is found exactly in 128-bit integers
// from the binary value m 2^e of x (half-way cases to even, as the correctly
// rounded conversion does), in a fraction of the time of the general
// conversion.  Returns the end of the text, or nullptr when x is not such a
// number.
char* fixedDigitsFast(double x, int d, char* buf) {
  using u128 = unsigned __int128;
  static constexpr std::uint64_t POW10[20] = {1ULL,
                                              10ULL,
                                              100ULL,
                                              1000ULL,
                                              10000ULL,
                                              100000ULL,
                                              1000000ULL,
                                              10000000ULL,
                                              100000000ULL,
                                              1000000000ULL,
                                              10000000000ULL,
                                              100000000000ULL,
                                              1000000000000ULL,
                                              10000000000000ULL,
                                              100000000000000ULL,
                                              1000000000000000ULL,
                                              10000000000000000ULL,
                                              100000000000000000ULL,
                                              1000000000000000000ULL,
                                              10000000000000000000ULL};
  const double ax = std::fabs(x);
  if (d > 19 || !(ax < 1.0e18)) return nullptr;
  // ax = m 2^e exactly, m < 2^53, from the bits of the double
  const auto bits = std::bit_cast<std::uint64_t>(ax);
  const int biased = static_cast<int>(bits >> 52);
  const std::uint64_t fraction = bits & ((1ULL << 52) - 1);
  const std::uint64_t m = biased == 0 ? fraction : fraction | (1ULL << 52);
  const int e = (biased == 0 ? 1 : biased) - 1075;
  const u128 p = static_cast<u128>(m) * POW10[d]; // below 2^117
  u128 q;
  if (e >= 0) {
    q = p << e; // ax < 1e18 < 2^60: e <= 7
  } else if (e <= -120) {
    q = 0; // below 2^-3: rounds to zero
  } else {
    const int sh = -e;
    q = p >> sh;
    const u128 rest = p - (q << sh), half = static_cast<u128>(1) << (sh - 1);
    if (rest > half || (rest == half && (q & 1) != 0)) ++q;
  }
  if (q > UINT64_MAX) return nullptr;
  // the digits of q with the point before the last d of them (zeros in
  // front when q has no more than d)
  char digits[24];
  const int n = static_cast<int>(
      std::to_chars(digits, digits + sizeof digits, static_cast<std::uint64_t>(q)).ptr - digits);
  char* p0 = buf;
  if (std::signbit(x)) *p0++ = '-';
  const int lead = n > d ? n - d : 0; // digits before the point
  if (lead == 0) *p0++ = '0';
  std::memcpy(p0, digits, static_cast<std::size_t>(lead));
  p0 += lead;
  if (d > 0) {
    *p0++ = '.';
    // the last d digits of q, with the zeros in front when q has fewer
    const int frac = n - lead;
    for (int z = frac; z < d; ++z) *p0++ = '0';
    std::memcpy(p0, digits + lead, static_cast<std::size_t>(frac));
    p0 += frac;
  }
  return p0;
}

void appendInteger(std::string& out, long long x, int w) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  appendRight(out, buf, static_cast<int>(r.ptr - buf), w);
}

// The text of x in F w.d before it is right-justified (finite x, d and w
// within MAX_FIELD): its length, the text from *s on, inside buf.
int fixedText(double x, int w, int d, char* buf, char*& s) {
  char* end = fixedDigitsFast(x, d, buf);
  if (end == nullptr)
    end = std::to_chars(buf, buf + FIELD_BUF - 1, x, std::chars_format::fixed, d).ptr;
  if (d == 0) *end++ = '.'; // Fortran always writes the decimal point
  s = buf;
  int n = static_cast<int>(end - buf);
  if (w > 0 && d > 0 && n > w) {
    // The zero before the point of |x| < 1 is optional: drop it when only
    // that makes the number fit ("0.500" -> ".500", "-0.500" -> "-.500").
    // Without decimals it is the only digit and stays.
    const int z = buf[0] == '-' ? 1 : 0;
    if (n > z + 1 && buf[z] == '0' && buf[z + 1] == '.') {
      if (z == 1) buf[1] = '-';
      ++s;
      --n;
    }
  }
  return n;
}

void appendFixed(std::string& out, double x, int w, int d) {
  if (d < 0 || d > MAX_FIELD || w > MAX_FIELD) return appendStars(out, w);
  if (!std::isfinite(x)) return appendNonFinite(out, x, w);
  char buf[FIELD_BUF];
  char* s = nullptr;
  const int n = fixedText(x, w, d, buf, s);
  appendRight(out, s, n, w);
}

// The text s[0..n) right-justified in w > 0 columns at p (stars when it
// does not fit); returns the end.
char* putRight(char* p, const char* s, int n, int w) {
  if (n > w) return static_cast<char*>(std::memset(p, '*', static_cast<std::size_t>(w))) + w;
  std::memset(p, ' ', static_cast<std::size_t>(w - n));
  std::memcpy(p + (w - n), s, static_cast<std::size_t>(n));
  return p + w;
}
void appendExponent(std::string& out, double x, int w, int d, char letter) {
  if (d <= 0 || d > MAX_FIELD || w > MAX_FIELD) return appendStars(out, w);
  if (!std::isfinite(x)) return appendNonFinite(out, x, w);
  // sign, "0.", the digits, then the exponent part
  char buf[FIELD_BUF];
  char* p = buf;
  if (std::signbit(x)) *p++ = '-';
  char* zero = p;
  *p++ = '0';
  *p++ = '.';
  int exp10 = 0;
  if (x == 0.0) {
    std::memset(p, '0', static_cast<std::size_t>(d));
  } else {
    decimalDigits(x, d, p, exp10);
  }
  p += d;
  // exponent part: letter, sign and two digits; a three-digit exponent
  // takes the place of the letter
  const int ae = std::abs(exp10);
  if (ae > 999) return appendStars(out, w);
  if (ae <= 99) *p++ = letter;
  *p++ = exp10 < 0 ? '-' : '+';
  if (ae > 99) *p++ = static_cast<char>('0' + ae / 100);
  *p++ = static_cast<char>('0' + ae / 10 % 10);
  *p++ = static_cast<char>('0' + ae % 10);
  char* s = buf;
  int n = static_cast<int>(p - buf);
  // the leading zero is dropped when the field is short by just that one
  if (w > 0 && n > w) {
    if (zero != buf) *zero = '-';
    ++s;
    --n;
  }
  appendRight(out, s, n, w);
}

void appendText(std::string& out, std::string_view s, int w) {
  if (w <= 0) {
    out.append(s);
  } else if (static_cast<int>(s.size()) >= w) {
    out.append(s.substr(0, static_cast<std::size_t>(w)));
  } else {
    out.append(static_cast<std::size_t>(w) - s.size(), ' ');
    out.append(s);
  }
}

} // namespace

// ------------------------------------------------------ single descriptors

std::string fmtI(long long x, int w) {
  std::string s;
  appendInteger(s, x, w);
  return s;
}

char* putI(char* p, long long x, int w) {
  if (w <= 0 || w > MAX_FIELD) {
    std::string t;
    appendInteger(t, x, w);
    return static_cast<char*>(std::memcpy(p, t.data(), t.size())) + t.size();
  }
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  return putRight(p, buf, static_cast<int>(r.ptr - buf), w);
}

char* putF(char* p, double x, int w, int d) {
  if (w <= 0 || w > MAX_FIELD || d < 0 || d > MAX_FIELD || !std::isfinite(x)) {
    std::string t;
    appendFixed(t, x, w, d);
    return static_cast<char*>(std::memcpy(p, t.data(), t.size())) + t.size();
  }
  char buf[FIELD_BUF];
  char* s = nullptr;
  const int n = fixedText(x, w, d, buf, s);
  return putRight(p, s, n, w);
}

std::string fmtF(double x, int w, int d) {
  std::string s;
  appendFixed(s, x, w, d);
  return s;
}

std::string fmtE(double x, int w, int d, char letter) {
  std::string s;
  appendExponent(s, x, w, d, letter);
  return s;
}

std::string fmtA(std::string_view s, int w) {
  std::string t;
  appendText(t, s, w);
  return t;
}

// ------------------------------------------------------------ free format

namespace {

// A double in the 25 columns of a free-format record: 17 significant digits,
// fixed form (right-justified in 20 columns, then 5 blanks) for
// 0.1 <= |x| < 1e17 and for zero, else d.ddddE+eee.
void appendFreeDouble(std::string& out, double x) {
  constexpr int W = 25;
  if (!std::isfinite(x)) return appendNonFinite(out, x, W);
  if (x == 0.0) {
    // zero: one zero before the point and 16 after it
    appendRight(out, std::signbit(x) ? "-0.0000000000000000" : "0.0000000000000000",
                std::signbit(x) ? 19 : 18, 20);
    out.append(5, ' ');
    return;
  }
  char digits[17];
  int exp10 = 0; // x = 0.d1d2... * 10^exp10
  decimalDigits(x, 17, digits, exp10);
  char buf[32];
  char* p = buf;
  if (std::signbit(x)) *p++ = '-';
  // the form is chosen on the rounded value
  if (exp10 >= 0 && exp10 <= 17) {
    if (exp10 == 0) *p++ = '0';
    std::memcpy(p, digits, static_cast<std::size_t>(exp10));
    p += exp10;
    *p++ = '.';
    std::memcpy(p, digits + exp10, static_cast<std::size_t>(17 - exp10));
    p += 17 - exp10;
    appendRight(out, buf, static_cast<int>(p - buf), 20);
    out.append(5, ' ');
    return;
  }
  const int e = exp10 - 1; // exponent of the d.ddd form
  const int ae = std::abs(e);
  *p++ = digits[0];
  *p++ = '.';
  std::memcpy(p, digits + 1, 16);
  p += 16;
  *p++ = 'E';
  *p++ = e < 0 ? '-' : '+';
  *p++ = static_cast<char>('0' + ae / 100);
  *p++ = static_cast<char>('0' + ae / 10 % 10);
  *p++ = static_cast<char>('0' + ae % 10);
  appendRight(out, buf, static_cast<int>(p - buf), W);
}

void appendFreeItem(std::string& out, const FItem& it) {
  if (const auto* i = std::get_if<long long>(&it.v)) {
    // integers in 11 columns (wider only when the number needs it)
    char buf[24];
    const int n = static_cast<int>(std::to_chars(buf, buf + sizeof buf, *i).ptr - buf);
    appendRight(out, buf, n, std::max(n, 11));
  } else if (const auto* x = std::get_if<double>(&it.v)) {
    appendFreeDouble(out, *x);
  } else {
    out.append(std::get<std::string_view>(it.v));
  }
}

} // namespace

std::string freeFmt(std::initializer_list<FItem> items) {
  std::string s = " ";
  bool first = true, prevText = false;
  for (const FItem& it : items) {
    const bool text = std::holds_alternative<std::string_view>(it.v);
    if (!first && !(text && prevText)) s += ' ';
    appendFreeItem(s, it);
    first = false;
    prevText = text;
  }
  s += '\n';
  return s;
}

void putFree(std::ostream& os, std::initializer_list<FItem> items) { os << freeFmt(items); }

// ---------------------------------------------------------------- layouts

namespace {

struct Desc {
  char kind = 0; // I F E D A X / $ ' (literal) G (group)
  int rep = 1;
  int w = 0; // width (0 with A: the text's own length); count of nX
  int d = 0; // decimals; minimum digits of Iw.m
  bool hasW = false;
  std::string lit;
  std::vector<Desc> kids;
};

// Parser of a layout.  Blanks are ignored outside quoted texts, lower-case
// letters are taken as upper-case ones, commas are optional where Fortran
// allows them to be left out (around / and $).  Characters that form no
// descriptor are skipped, so that no layout can make the writer fail.
class LayoutParser {
public:
  explicit LayoutParser(std::string_view s) : s_(s) {}

  std::vector<Desc> parse() {
    skipBlanks();
    if (pos_ < s_.size() && s_[pos_] == '(') {
      ++pos_;
      return list(1);
    }
    return list(0);
  }

private:
  std::string_view s_;
  std::size_t pos_ = 0;
  int depth_ = 0;

  void skipBlanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
  }
  char peek() {
    skipBlanks();
    return pos_ < s_.size() ? static_cast<char>(std::toupper(static_cast<unsigned char>(s_[pos_])))
                            : '\0';
  }
  // an unsigned number, blanks inside ignored; -1 when there is none
  int number() {
    int v = -1;
    while (true) {
      const char c = peek();
      if (!std::isdigit(static_cast<unsigned char>(c))) break;
      v = (v < 0 ? 0 : v);
      if (v < 100000) v = v * 10 + (c - '0');
      ++pos_;
    }
    return v;
  }

  // descriptors up to the ')' that closes this level (or the end)
  std::vector<Desc> list(int level) {
    std::vector<Desc> out;
    ++depth_;
    while (true) {
      const char c = peek();
      if (c == '\0') break;
      if (c == ')') {
        ++pos_;
        if (level > 0) break;
        continue;
      }
      if (c == ',') {
        ++pos_;
        continue;
      }
      Desc d;
      const int rep = number();
      const char k = peek();
      if (k == '\0') break;
      ++pos_;
      switch (k) {
      case '(':
        d.kind = 'G';
        d.rep = rep < 0 ? 1 : rep;
        if (depth_ < 32) {
          d.kids = list(1);
        } else {
          skipGroup();
        }
        break;
      case 'I':
      case 'F':
      case 'E':
      case 'D':
      case 'A':
        d.kind = k;
        d.rep = rep < 0 ? 1 : rep;
        d.w = number();
        d.hasW = d.w >= 0;
        if (d.w < 0) d.w = 0;
        if (peek() == '.') {
          ++pos_;
          d.d = std::max(number(), 0);
        }
        if ((k == 'E' || k == 'D') && peek() == 'E') { // Ew.dEe: exponent digits
          ++pos_;
          number();
        }
        break;
      case 'X':
        d.kind = 'X';
        d.w = rep < 0 ? 1 : rep;
        break;
      case '/':
        d.kind = '/';
        d.rep = rep < 0 ? 1 : rep;
        break;
      case '$':
      case '\\':
        d.kind = '$';
        break;
      case '\'':
      case '"':
        d.kind = '\'';
        d.rep = rep < 0 ? 1 : rep;
        d.lit = quoted(s_[pos_ - 1]);
        break;
      default:
        continue; // not a descriptor of ours
      }
      if (d.rep > 0) out.push_back(std::move(d));
    }
    --depth_;
    return out;
  }

  // a quoted text; a doubled quote stands for one
  std::string quoted(char q) {
    std::string t;
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == q) {
        if (pos_ < s_.size() && s_[pos_] == q) {
          t += q;
          ++pos_;
          continue;
        }
        break;
      }
      t += c;
    }
    return t;
  }

  void skipGroup() {
    int open = 1;
    while (pos_ < s_.size() && open > 0) {
      if (s_[pos_] == '(') ++open;
      if (s_[pos_] == ')') --open;
      ++pos_;
    }
  }
};

class LayoutWriter {
public:
  // the record is appended to `out`
  LayoutWriter(std::span<const FItem> items, std::string& out)
      : items_(items.data()), n_(items.size()), out_(out) {}

  void run(const std::vector<Desc>& layout) {
    while (true) {
      const std::size_t before = next_;
      walk(layout);
      if (stopped_ || next_ >= n_) break;
      if (next_ == before) break; // a layout without data descriptors takes no item
      out_ += '\n';               // items remain: the layout again, on a new record
    }
    if (!dollar_) out_ += '\n';
  }

private:
  const FItem* items_;
  std::size_t n_;
  std::size_t next_ = 0;
  bool stopped_ = false, dollar_ = false;
  std::string& out_;

  void walk(const std::vector<Desc>& list) {
    for (const Desc& d : list) {
      for (int r = 0; r < d.rep; ++r) {
        switch (d.kind) {
        case 'G':
          walk(d.kids);
          break;
        case 'X':
          out_.append(static_cast<std::size_t>(d.w), ' ');
          break;
        case '/':
          out_ += '\n';
          break;
        case '$':
          dollar_ = true;
          break;
        case '\'':
          out_ += d.lit;
          break;
        default:
          if (next_ >= n_) {
            stopped_ = true; // output ends at the first data descriptor without an item
            return;
          }
          field(d, items_[next_++]);
        }
        if (stopped_) return;
      }
    }
  }

  void field(const Desc& d, const FItem& it) {
    const auto* i = std::get_if<long long>(&it.v);
    const auto* x = std::get_if<double>(&it.v);
    const auto* t = std::get_if<std::string_view>(&it.v);
    switch (d.kind) {
    case 'I':
      if (i) return integerField(*i, d);
      if (x) {
        // a real number under an integer descriptor: the nearest integer
        if (!std::isfinite(*x) || std::fabs(*x) > 9.0e18) return appendStars(out_, d.w);
        return integerField(std::llround(*x), d);
      }
      return appendText(out_, *t, d.w);
    case 'F':
      if (t) return appendText(out_, *t, d.w);
      return appendFixed(out_, x ? *x : static_cast<double>(*i), d.w, d.d);
    case 'E':
    case 'D':
      if (t) return appendText(out_, *t, d.w);
      return appendExponent(out_, x ? *x : static_cast<double>(*i), d.w, d.d, d.kind);
    default: { // A
      if (t) return appendText(out_, *t, d.hasW ? d.w : 0);
      // a number under a text descriptor: its free-format text
      std::string s;
      appendFreeItem(s, it);
      const auto b = s.find_first_not_of(' ');
      const auto e = s.find_last_not_of(' ');
      s = (b == std::string::npos) ? std::string() : s.substr(b, e - b + 1);
      return appendText(out_, s, d.hasW ? d.w : 0);
    }
    }
  }

  // Iw.m: at least m digits
  void integerField(long long v, const Desc& d) {
    if (d.d <= 0) return appendInteger(out_, v, d.hasW ? d.w : 0);
    char buf[MAX_FIELD + 24];
    char* p = buf;
    if (v < 0) *p++ = '-';
    const unsigned long long m = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : v;
    char digits[24];
    const int n = static_cast<int>(std::to_chars(digits, digits + sizeof digits, m).ptr - digits);
    const int zeros = std::min(std::max(d.d - n, 0), MAX_FIELD);
    std::memset(p, '0', static_cast<std::size_t>(zeros));
    p += zeros;
    std::memcpy(p, digits, static_cast<std::size_t>(n));
    p += n;
    appendRight(out_, buf, static_cast<int>(p - buf), d.w);
  }
};

} // namespace

namespace {

// Layouts parsed so far on this thread: a listing writes the same few
// layouts over and over.  Layouts made up at run time (widths that follow
// the data) are few too; the store is emptied should it ever grow large.
struct LayoutHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
const std::vector<Desc>& parsedLayout(std::string_view layout) {
  thread_local std::unordered_map<std::string, std::vector<Desc>, LayoutHash, std::equal_to<>>
      parsed;
  if (const auto it = parsed.find(layout); it != parsed.end()) return it->second;
  if (parsed.size() >= 1024) parsed.clear();
  LayoutParser p(layout);
  return parsed.emplace(std::string(layout), p.parse()).first->second;
}

// The records of one layout and its items, written to a stream through a
// buffer this thread keeps for it.
void writeRecords(std::ostream& os, std::string_view layout, std::span<const FItem> items) {
  thread_local std::string record;
  record.clear();
  LayoutWriter w(items, record);
  w.run(parsedLayout(layout));
  os.write(record.data(), static_cast<std::streamsize>(record.size()));
}

} // namespace

std::string fmt(std::string_view layout, std::span<const FItem> items) {
  std::string s;
  LayoutWriter w(items, s);
  w.run(parsedLayout(layout));
  return s;
}

std::string fmt(std::string_view layout, std::initializer_list<FItem> items) {
  return fmt(layout, std::span<const FItem>(items.begin(), items.size()));
}

void put(std::ostream& os, std::string_view layout, std::initializer_list<FItem> items) {
  writeRecords(os, layout, std::span<const FItem>(items.begin(), items.size()));
}

void put(std::ostream& os, std::string_view layout, std::span<const FItem> items) {
  writeRecords(os, layout, items);
}

void putValues(std::ostream& os, std::string_view layout, std::span<const double> values) {
  std::vector<FItem> items(values.begin(), values.end());
  writeRecords(os, layout, items);
}

int decimalWidth(long long n) {
  int w = n < 0 ? 2 : 1;
  for (unsigned long long m = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : n; m >= 10;
       m /= 10)
    ++w;
  return w;
}

} // namespace ruvo
