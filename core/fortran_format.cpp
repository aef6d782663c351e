// Fortran-style layouts for the listing.
//
// A layout is parsed into a small tree of descriptors and then walked with
// the list of items.  Numbers are converted with the C library's correctly
// rounded decimal conversion (%.*f, %.*e), so the digits written are those
// of the exact binary value rounded to nearest, as a Fortran run-time
// library writes them.
#include "core/fortran_format.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

std::string stars(int w) { return std::string(static_cast<std::size_t>(std::max(w, 0)), '*'); }

std::string rightJustify(std::string s, int w) {
  if (w <= 0) return s;
  if (static_cast<int>(s.size()) > w) return stars(w);
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

// Infinity and not-a-number, written right-justified as the Fortran
// run-time library does ("Infinity" when there is room, else "Inf").
std::string nonFinite(double x, int w) {
  std::string s;
  if (std::isnan(x)) {
    s = "NaN";
  } else {
    const bool neg = std::signbit(x);
    const int room = w <= 0 ? 9 : w - (neg ? 1 : 0);
    s = room >= 8 ? "Infinity" : "Inf";
    if (neg) s = "-" + s;
  }
  return rightJustify(s, w);
}

// Decimal digits and exponent of x rounded to `ndig` significant digits:
// x = 0.d1 d2 ... dn * 10^exp10 (the Fortran 0.ddd form).  x must be finite
// and nonzero.
void decimalDigits(double x, int ndig, std::string& digits, int& exp10) {
  char buf[MAX_FIELD + 32];
  std::snprintf(buf, sizeof buf, "%.*e", ndig - 1, std::fabs(x));
  // buf: d.ddde+XX  (or "de+XX" when ndig == 1)
  digits.clear();
  const char* p = buf;
  for (; *p && *p != 'e'; ++p)
    if (std::isdigit(static_cast<unsigned char>(*p))) digits += *p;
  exp10 = (*p == 'e') ? std::atoi(p + 1) + 1 : 1;
}

} // namespace

// ------------------------------------------------------ single descriptors

std::string fmtI(long long x, int w) {
  std::string s = std::to_string(x);
  return rightJustify(s, w);
}

std::string fmtF(double x, int w, int d) {
  if (d < 0 || d > MAX_FIELD || w > MAX_FIELD) return stars(w);
  if (!std::isfinite(x)) return nonFinite(x, w);
  // the number itself can need about 310 digits before the point
  char buf[MAX_FIELD + 340];
  std::snprintf(buf, sizeof buf, "%.*f", d, x);
  std::string s = buf;
  if (d == 0) s += '.'; // Fortran always writes the decimal point
  if (w > 0 && d > 0 && static_cast<int>(s.size()) > w) {
    // The zero before the point of |x| < 1 is optional: drop it when only
    // that makes the number fit ("0.500" -> ".500", "-0.500" -> "-.500").
    // Without decimals it is the only digit and stays.
    const std::size_t z = (s[0] == '-') ? 1 : 0;
    if (s.size() > z + 1 && s[z] == '0' && s[z + 1] == '.') s.erase(z, 1);
  }
  return rightJustify(s, w);
}

std::string fmtE(double x, int w, int d, char letter) {
  if (d <= 0 || d > MAX_FIELD || w > MAX_FIELD) return stars(w);
  if (!std::isfinite(x)) return nonFinite(x, w);
  std::string digits;
  int exp10 = 0;
  if (x == 0.0) {
    digits.assign(static_cast<std::size_t>(d), '0');
  } else {
    decimalDigits(x, d, digits, exp10);
  }
  // exponent part: letter, sign and two digits; a three-digit exponent
  // takes the place of the letter
  const int ae = std::abs(exp10);
  if (ae > 999) return stars(w);
  std::string ex;
  ex += (exp10 < 0) ? '-' : '+';
  if (ae <= 99) {
    ex.insert(ex.begin(), letter);
    ex += static_cast<char>('0' + ae / 10);
    ex += static_cast<char>('0' + ae % 10);
  } else {
    ex += static_cast<char>('0' + ae / 100);
    ex += static_cast<char>('0' + ae / 10 % 10);
    ex += static_cast<char>('0' + ae % 10);
  }
  const std::string sign = std::signbit(x) ? "-" : "";
  std::string s = sign + "0." + digits + ex;
  // the leading zero is dropped when the field is short by just that one
  if (w > 0 && static_cast<int>(s.size()) > w) s = sign + "." + digits + ex;
  return rightJustify(s, w);
}

std::string fmtA(std::string_view s, int w) {
  if (w <= 0) return std::string(s);
  if (static_cast<int>(s.size()) >= w) return std::string(s.substr(0, static_cast<std::size_t>(w)));
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + std::string(s);
}

// ------------------------------------------------------------ free format

namespace {

// A double in the 25 columns of a free-format record: 17 significant digits,
// fixed form (right-justified in 20 columns, then 5 blanks) for
// 0.1 <= |x| < 1e17 and for zero, else d.ddddE+eee.
std::string freeDouble(double x) {
  constexpr int W = 25;
  if (!std::isfinite(x)) return nonFinite(x, W);
  const std::string sign = std::signbit(x) ? "-" : "";
  std::string digits;
  int exp10 = 0; // x = 0.d1d2... * 10^exp10
  if (x == 0.0) {
    // zero: one zero before the point and 16 after it
    return rightJustify(sign + "0.0000000000000000", 20) + "     ";
  }
  decimalDigits(x, 17, digits, exp10);
  // the form is chosen on the rounded value
  if (exp10 >= 0 && exp10 <= 17) {
    std::string s;
    if (exp10 == 0) {
      s = "0." + digits;
    } else {
      s = digits.substr(0, static_cast<std::size_t>(exp10)) + "." +
          digits.substr(static_cast<std::size_t>(exp10));
    }
    return rightJustify(sign + s, 20) + "     ";
  }
  const int e = exp10 - 1; // exponent of the d.ddd form
  const int ae = std::abs(e);
  char ex[16];
  std::snprintf(ex, sizeof ex, "E%c%03d", e < 0 ? '-' : '+', ae);
  const std::string s = sign + digits.substr(0, 1) + "." + digits.substr(1) + ex;
  return rightJustify(s, W);
}

std::string freeItem(const FItem& it) {
  if (const auto* i = std::get_if<long long>(&it.v)) {
    // integers in 11 columns (wider only when the number needs it)
    const std::string s = std::to_string(*i);
    return s.size() >= 11 ? s : std::string(11 - s.size(), ' ') + s;
  }
  if (const auto* x = std::get_if<double>(&it.v)) return freeDouble(*x);
  return std::string(std::get<std::string_view>(it.v));
}

} // namespace

std::string freeFmt(std::initializer_list<FItem> items) {
  std::string s = " ";
  bool first = true, prevText = false;
  for (const FItem& it : items) {
    const bool text = std::holds_alternative<std::string_view>(it.v);
    if (!first && !(text && prevText)) s += ' ';
    s += freeItem(it);
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
  explicit LayoutWriter(std::span<const FItem> items) : items_(items.data()), n_(items.size()) {}

  std::string run(const std::vector<Desc>& layout) {
    while (true) {
      const std::size_t before = next_;
      walk(layout);
      if (stopped_ || next_ >= n_) break;
      if (next_ == before) break; // a layout without data descriptors takes no item
      out_ += '\n';               // items remain: the layout again, on a new record
    }
    if (!dollar_) out_ += '\n';
    return std::move(out_);
  }

private:
  const FItem* items_;
  std::size_t n_;
  std::size_t next_ = 0;
  bool stopped_ = false, dollar_ = false;
  std::string out_;

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
          out_ += field(d, items_[next_++]);
        }
        if (stopped_) return;
      }
    }
  }

  static std::string field(const Desc& d, const FItem& it) {
    const auto* i = std::get_if<long long>(&it.v);
    const auto* x = std::get_if<double>(&it.v);
    const auto* t = std::get_if<std::string_view>(&it.v);
    switch (d.kind) {
    case 'I':
      if (i) return fmtIm(*i, d);
      if (x) {
        // a real number under an integer descriptor: the nearest integer
        if (!std::isfinite(*x) || std::fabs(*x) > 9.0e18) return stars(d.w);
        return fmtIm(std::llround(*x), d);
      }
      return fmtA(*t, d.w);
    case 'F':
      if (t) return fmtA(*t, d.w);
      return fmtF(x ? *x : static_cast<double>(*i), d.w, d.d);
    case 'E':
    case 'D':
      if (t) return fmtA(*t, d.w);
      return fmtE(x ? *x : static_cast<double>(*i), d.w, d.d, d.kind);
    default: { // A
      if (t) return d.hasW ? fmtA(*t, d.w) : std::string(*t);
      // a number under a text descriptor: its free-format text
      std::string s = freeItem(it);
      const auto b = s.find_first_not_of(' ');
      const auto e = s.find_last_not_of(' ');
      s = (b == std::string::npos) ? std::string() : s.substr(b, e - b + 1);
      return d.hasW ? fmtA(s, d.w) : s;
    }
    }
  }

  // Iw.m: at least m digits
  static std::string fmtIm(long long v, const Desc& d) {
    if (d.d <= 0) return fmtI(v, d.hasW ? d.w : 0);
    std::string digits =
        std::to_string(v < 0 ? -(v + 1) + 1ULL : static_cast<unsigned long long>(v));
    if (static_cast<int>(digits.size()) < d.d)
      digits.insert(0, static_cast<std::size_t>(d.d) - digits.size(), '0');
    return rightJustify((v < 0 ? "-" : "") + digits, d.w);
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

} // namespace

std::string fmt(std::string_view layout, std::span<const FItem> items) {
  const std::vector<Desc>& desc = parsedLayout(layout);
  LayoutWriter w(items);
  return w.run(desc);
}

std::string fmt(std::string_view layout, std::initializer_list<FItem> items) {
  return fmt(layout, std::span<const FItem>(items.begin(), items.size()));
}

void put(std::ostream& os, std::string_view layout, std::initializer_list<FItem> items) {
  os << fmt(layout, items);
}

void put(std::ostream& os, std::string_view layout, std::span<const FItem> items) {
  os << fmt(layout, items);
}

void putValues(std::ostream& os, std::string_view layout, std::span<const double> values) {
  std::vector<FItem> items(values.begin(), values.end());
  os << fmt(layout, std::span<const FItem>(items));
}

int decimalWidth(long long n) {
  int w = n < 0 ? 2 : 1;
  for (unsigned long long m = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : n; m >= 10;
       m /= 10)
    ++w;
  return w;
}

} // namespace ruvo
