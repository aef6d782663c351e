// Output in the Fortran layout notation used by every listing of ruvo.
//
// A layout such as "(A,D12.6,A,F8.6,A,I2)" is applied to a list of items:
//   Iw      integer, right-justified in w columns
//   Fw.d    fixed point, d decimals
//   Ew.d    exponent form 0.ddd E+ee   (Dw.d the same with D)
//   Aw / A  text in w columns (right-justified when shorter, first w
//           characters when longer) / at its own length
//   nX      n blanks;  /  record end;  $ (last) no record end
//   n(...)  group repeated n times
// When items remain at the end of the layout it is used again from its
// beginning on a new record; output stops at the first data descriptor for
// which no item is left (blanks, record ends and quoted texts before it are
// still written; '$' counts only when it is reached).  A number that does not
// fit is written as w '*'.  Lower-case letters mean the same as upper-case
// ones; blanks are ignored.
//
// Numbers: Fw.d drops the zero before the point of |x| < 1 only when that
// makes it fit; Ew.d/Dw.d likewise drop the zero of 0.ddd; an exponent of
// three digits takes the place of the letter (0.123+100).  Negative values
// that round to zero keep their sign (-0.000).
// An item of the wrong kind is still written sensibly: a real under I is
// rounded to the nearest integer, an integer under F/E/D is converted, a
// number under A is written as its free-format text, a text under I/F/E/D
// as under Aw.
#pragma once

#include <initializer_list>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace ruvo {

// One output item: an integer, a double or a text.  A text item only refers
// to its characters: keep the string alive while the item is in use (a
// temporary in the braces of a put/fmt call lives long enough).
struct FItem {
  std::variant<long long, double, std::string_view> v;
  FItem(int x) : v(static_cast<long long>(x)) {}
  FItem(long x) : v(static_cast<long long>(x)) {}
  FItem(long long x) : v(x) {}
  FItem(unsigned x) : v(static_cast<long long>(x)) {}
  FItem(unsigned long x) : v(static_cast<long long>(x)) {}
  FItem(unsigned long long x) : v(static_cast<long long>(x)) {}
  FItem(double x) : v(x) {}
  FItem(const char* s) : v(std::string_view(s)) {}
  FItem(std::string_view s) : v(s) {}
  FItem(const std::string& s) : v(std::string_view(s)) {}
};

// The text of the records: every record end ('/' and the end of the layout,
// unless the layout ends in '$') is written as '\n'.
std::string fmt(std::string_view layout, std::initializer_list<FItem> items);
// The same, written to `os`.
void put(std::ostream& os, std::string_view layout, std::initializer_list<FItem> items);
// Columns an integer needs when written in full, its minus sign included
// (the narrowest Iw that does not turn it into asterisks).
int decimalWidth(long long n);
// The same for an item list built at run time.
std::string fmt(std::string_view layout, std::span<const FItem> items);
void put(std::ostream& os, std::string_view layout, std::span<const FItem> items);
// An array of numbers through one layout, e.g. "(40F10.6)" over a table.
void putValues(std::ostream& os, std::string_view layout, std::span<const double> values);

// A free-format record: a leading blank, items separated by one blank (two
// texts in a row are joined directly), integers in 11 columns, doubles with
// 17 significant digits in 25 columns.  Ends with '\n'.
std::string freeFmt(std::initializer_list<FItem> items);
void putFree(std::ostream& os, std::initializer_list<FItem> items);

// Single edit descriptors, for building texts field by field.
std::string fmtI(long long x, int w);
std::string fmtF(double x, int w, int d);
std::string fmtE(double x, int w, int d, char letter = 'E');
std::string fmtA(std::string_view s, int w);
// The same written at p, w columns for w > 0 (else the field's own width);
// returns the end: for texts of many fields.
char* putI(char* p, long long x, int w);
char* putF(char* p, double x, int w, int d);

} // namespace ruvo
