// The input reader: logical lines, tokens, number expressions and keyword
// lists of the ruvo input file.
//
// A logical line is built from physical records: "{...}" comments (which
// may run over several records) and "!" comments are removed, a backslash
// continues the line on the next record, apostrophes quote.  Tokens are
// separated by blanks, "," and ";".  Numbers are decimal (Fortran F and I
// editing), hexadecimal "0x1F", binary "%101" or "$name" (read as 0); a
// number expression joins numbers with "+" and "-" tokens.  Keyword lists
// match keys against a table of names by prefix.
//
// Choices made where the format leaves things open:
//  * A logical line holds 255 characters.  When continuation records would
//    store more non-blank characters than that, the run stops with a message
//    that names the record: cutting the line silently could drop or shorten
//    a value without any notice, and the user can always split the line.
//    (Blanks beyond the limit are dropped; they carry nothing.)  A single
//    record is processed up to its 255th character, as the format defines;
//    when non-blank, uncommented text is lost that way (or text beyond the
//    500 characters of a record that are read), a warning naming the record
//    goes to standard error and counts as a problem of the run.
//  * Input that ends inside an open quote or after a continuing backslash
//    ends the logical line there.  Input that ends inside an open "{"
//    comment stops the run with the record where the comment began: the
//    comment has swallowed the rest of the file.  The token scanner never
//    looks past the line end.
//  * Tokens are cut to 40 characters; so are keys.
//  * Integers (also hexadecimal and binary ones) must fit 32 bits and
//    decimal numbers the double range; anything larger stops the run with
//    "ERROR: number out of range: " and the token.  An integer expression
//    whose value leaves 32 bits stops with "ERROR: integer out of range in: "
//    and the line.  Numbers too small for a double read as 0.  A token that
//    starts like a number but is none stops with "ERROR: cannot read number: ".
//    These messages name the input record.
//  * The value after an unknown key is read and dropped (with the message
//    for every number that follows it), so the rest of the line is read on.
//  * Every keyword list starts without a remembered key and fills bare
//    numbers from the first name on.
//  * A key that equals one name exactly and is followed by at most one
//    number selects that name alone, although it is also a prefix of other
//    names: "DJ 3.8e-6" sets DJ, and "fit DJ" fits DJ alone.  Followed by
//    several numbers it selects the whole group, so "DJ 1.2e-6 -4.5e-6"
//    still gives DJ and DJK.  A key that selects a group of longer names but
//    is followed by fewer numbers than names is reported once per key on
//    standard error; names that are equal (the G and S of the species lines)
//    are not reported.  A key without a stem, such as "(2)", selects no name.
//  * Unknown keys, and numbers without a key when no name is left to fill,
//    are reported on standard error with the input line (besides the
//    listing's message) and counted as problems of the run.
//  * Scan positions are remembered by value (scanPosition / setScanPosition), so there is
//    no stack of marks that could overflow.
#include "input/reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <streambuf>
#include <type_traits>

#include "core/fortran_format.h"
#include "core/stop.h"

namespace ruvo {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Blanks inside a numeric field are ignored, as Fortran input does by
// default for internal reads.
std::string withoutBlanks(std::string_view tok) {
  std::string s;
  s.reserve(tok.size());
  for (char c : tok)
    if (c != ' ') s += c;
  return s;
}

// The input record is named so that the number can be found in a long file.
std::string inRecord(long record) { return " (input record " + std::to_string(record) + ")"; }

[[noreturn]] void cannotRead(std::string_view tok, long record) {
  stop("ERROR: cannot read number: " + std::string(tok) + inRecord(record));
}
[[noreturn]] void outOfRange(std::string_view tok, long record) {
  stop("ERROR: number out of range: " + std::string(tok) + inRecord(record));
}

// A decimal number with the rules of Fortran F editing of a field without
// implied decimals: optional sign, digits with an optional point, and an
// optional exponent introduced by E or D (either case) or, as Fortran
// allows, by the exponent's sign alone (1.5-3 = 1.5E-3).
double readDecimalReal(std::string_view token, long record) {
  const std::string s = withoutBlanks(token);
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::string mantissa;
  int intDigits = 0, fracDigits = 0;
  while (i < s.size() && isDigit(s[i])) {
    mantissa += s[i++];
    ++intDigits;
  }
  if (i < s.size() && s[i] == '.') {
    mantissa += s[i++];
    while (i < s.size() && isDigit(s[i])) {
      mantissa += s[i++];
      ++fracDigits;
    }
  }
  if (intDigits + fracDigits == 0) cannotRead(token, record);
  // decimal exponent, saturated far outside the double range
  long long exponent = 0;
  bool hasExponent = false;
  if (i < s.size()) {
    const char c = s[i];
    if (c == 'e' || c == 'E' || c == 'd' || c == 'D')
      ++i;
    else if (c != '+' && c != '-')
      cannotRead(token, record);
    bool expNegative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) expNegative = s[i++] == '-';
    const std::size_t digitsStart = i;
    while (i < s.size() && isDigit(s[i])) {
      if (exponent < 100000) exponent = exponent * 10 + (s[i] - '0');
      ++i;
    }
    if (i == digitsStart || i != s.size()) cannotRead(token, record);
    if (expNegative) exponent = -exponent;
    hasExponent = true;
  }
  std::string text = mantissa;
  if (hasExponent) text += "e" + std::to_string(exponent);
  double value = 0.0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec == std::errc::result_out_of_range) {
    // Tell overflow from underflow by the magnitude of the mantissa.
    double m = 0.0;
    std::from_chars(mantissa.data(), mantissa.data() + mantissa.size(), m);
    if (m != 0.0 && std::log10(m) + static_cast<double>(exponent) > 0.0) outOfRange(token, record);
    value = 0.0;
  } else if (res.ec != std::errc() || res.ptr != text.data() + text.size()) {
    cannotRead(token, record);
  }
  if (!std::isfinite(value)) outOfRange(token, record);
  return negative ? -value : value;
}

// A decimal integer with the rules of Fortran I editing: optional sign and
// digits only; it must fit 32 bits.
int readDecimalInteger(std::string_view token, long record) {
  const std::string s = withoutBlanks(token);
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) cannotRead(token, record);
  long long magnitude = 0;
  for (; i < s.size(); ++i) {
    if (!isDigit(s[i])) cannotRead(token, record);
    magnitude = magnitude * 10 + (s[i] - '0');
    if (magnitude > 2147483648LL) outOfRange(token, record);
  }
  const long long value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<int>::max()) outOfRange(token, record);
  return static_cast<int>(value);
}

// Hexadecimal digits after "0x", or binary digits after "%": positional
// digits, the last one least significant; blanks are skipped.  Returns -1
// for a character that is no digit of the base.
int digitValue(char c, int base) {
  int d = -1;
  if (isDigit(c))
    d = c - '0';
  else if (c >= 'a' && c <= 'f')
    d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    d = c - 'A' + 10;
  return d < base ? d : -1;
}

int readPositional(std::string_view token, std::size_t skip, int base, const char* what,
                   const char* stopMessage, std::ostream& out, long record) {
  if (token.size() <= skip) return 0;
  for (std::size_t i = skip; i < token.size(); ++i) {
    if (token[i] == ' ') continue;
    if (digitValue(token[i], base) < 0) {
      put(out, "(A,A)", {what, token});
      stop(stopMessage);
    }
  }
  long long value = 0;
  for (std::size_t i = skip; i < token.size(); ++i) {
    if (token[i] == ' ') continue;
    value = value * base + digitValue(token[i], base);
    if (value > std::numeric_limits<int>::max()) outOfRange(token, record);
  }
  return static_cast<int>(value);
}

int parseHexadecimal(std::string_view token, std::ostream& out, long record) {
  return readPositional(token, 2, 16, "supposed hexadecimal: ", "ERROR: hex digit out of range !",
                        out, record);
}

int parseBinary(std::string_view token, std::ostream& out, long record) {
  return readPositional(
      token, 1, 2, "supposed binary: ", "ERROR: binary constant must be of 0 and 1", out, record);
}

bool isBlank(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c == ' '; });
}

// A table name (blank-padded to `width`) is selected by a key stem when the
// stem is a prefix of the name; the comparison is case-sensitive.
bool nameMatches(std::string_view name, std::string_view stem, int width) {
  if (stem.empty() || static_cast<int>(stem.size()) > width) return false;
  if (static_cast<int>(name.size()) > width) name = name.substr(0, static_cast<std::size_t>(width));
  return name.size() >= stem.size() && name.compare(0, stem.size(), stem) == 0;
}

} // namespace

// ------------------------------------------------------------ logical lines

Reader::Reader(std::istream& in, std::ostream& out, std::ostream& err)
    : in_(in), out_(out), err_(err), buf_(LINE_MAX_CHARS, ' ') {}

void Reader::store(char c) {
  if (len_ < LINE_MAX_CHARS) {
    buf_[static_cast<std::size_t>(len_++)] = c;
    return;
  }
  if (c == ' ') return; // blanks beyond the line's end carry nothing
  // An apostrophe opens a quote that runs on over the following records
  // until the next apostrophe; say so, as that is the usual cause.
  stop("ERROR: input line longer than 255 characters at input record " + std::to_string(records_) +
       (inQuote_ ? " (inside a quote)" : ""));
}

// Appends the characters of one physical record to the logical line.
// Returns true when the record ends with a continuing backslash.
bool Reader::processRecord(const char* rec, int n, bool textBeyondRecord) {
  int last = n; // characters at or below blank at the end are dropped
  while (last > 0 && static_cast<unsigned char>(rec[last - 1]) <= ' ') --last;
  const int limit = std::min(last, LINE_MAX_CHARS);
  bool endedEarly = false;
  bool continued = false;
  for (int i = 0; i < limit; ++i) {
    const char c = rec[i];
    const auto u = static_cast<unsigned char>(c);
    if (inComment_) {
      if (c == '}') inComment_ = false;
      continue;
    }
    if (c == '\'') {
      inQuote_ = !inQuote_;
      store(c);
      continue;
    }
    if (inQuote_) {
      store(c);
      continue;
    }
    if (c == '\t') {
      store(' ');
      continue;
    }
    if (u < ' ') continue;
    if (c == '{') {
      inComment_ = true;
      commentStart_ = records_;
      continue;
    }
    if (c == '!') {
      endedEarly = true;
      break;
    }
    if (c == '\\') {
      if (i + 1 < limit && (rec[i + 1] == '{' || rec[i + 1] == '!' || rec[i + 1] == '\\')) {
        store(rec[++i]);
        continue;
      }
      endedEarly = true;
      continued = true;
      break;
    }
    store(c);
  }
  // Tell the user when text that is no comment falls beyond the characters
  // that are processed (also text beyond column 500 behind blanks, which is
  // not even read into the record); it counts as input that was not used.
  bool lost = false;
  if (last > LINE_MAX_CHARS && !endedEarly && !inComment_) {
    int i = LINE_MAX_CHARS;
    while (i < last && rec[i] == ' ') ++i;
    lost = i < last ? inQuote_ || (rec[i] != '!' && rec[i] != '{') : textBeyondRecord;
  } else if (textBeyondRecord && !endedEarly) {
    lost = true; // a "}" closing a comment may be among the dropped text
  }
  if (lost) {
    err_ << "Warning: input record " << records_
         << " is longer than 255 characters; the rest is ignored\n";
    ++problems_;
  }
  return continued;
}

int Reader::nextLine() {
  len_ = 0;
  std::fill(buf_.begin(), buf_.end(), ' ');
  pos_ = 1;
  tokStart_ = 1;
  tokEnd_ = 0;
  sepFlag_ = 0;
  inQuote_ = false;
  inComment_ = false;
  eof_ = false;
  std::streambuf* sb = in_.rdbuf();
  if (sb == nullptr || in_.bad()) return -1;

  char rec[RECORD_MAX_CHARS];
  bool firstRecord = true;
  for (;;) {
    // one physical record; characters beyond 500 are read and dropped
    int n = 0;
    bool gotAny = false, beyond = false;
    for (;;) {
      const int c = sb->sbumpc();
      if (c == std::char_traits<char>::eof()) break;
      gotAny = true;
      if (c == '\n') break;
      if (n < RECORD_MAX_CHARS) {
        rec[n++] = static_cast<char>(c);
      } else {
        if (c > ' ') beyond = true;
        stopIfTerminated(); // a record that never ends
      }
    }
    // a termination signal ends a run that is still reading, also one fed
    // by an endless pipe or waiting on a stalled one
    stopIfTerminated();
    if (!gotAny) {
      // End of input: the line ends here, also inside an open quote or
      // after a continuing backslash.  A "{" comment that is still open
      // has swallowed the rest of the file: that is an error.
      if (inComment_)
        stop("ERROR: the comment opened by \"{\" in input record " + std::to_string(commentStart_) +
             " is not closed: the rest of the input was read as a comment");
      if (firstRecord) eof_ = true;
      inQuote_ = false;
      inComment_ = false;
      break;
    }
    ++records_;
    if (firstRecord) lineStart_ = records_;
    firstRecord = false;
    const bool continued = processRecord(rec, n, beyond);
    if (!continued && !inQuote_ && !inComment_) break;
  }

  int first = 1;
  while (first <= len_ && buf_[static_cast<std::size_t>(first - 1)] == ' ') ++first;
  pos_ = first;
  tokStart_ = first;
  tokEnd_ = 0;
  if (len_ - first + 1 > 0) ++nonEmptyLines_;
  return len_ - first + 1;
}

bool Reader::atLineEnd() const {
  int p = pos_;
  while (p <= len_ && buf_[static_cast<std::size_t>(p - 1)] == ' ') ++p;
  return p > len_;
}

bool Reader::atEof() const { return eof_; }

void Reader::echoRestOfLine(std::ostream& os) {
  if (pos_ > len_) return;
  put(os, "(A)",
      {std::string_view(buf_).substr(static_cast<std::size_t>(pos_ - 1),
                                     static_cast<std::size_t>(len_ - pos_ + 1))});
}

std::string_view Reader::line() const {
  return std::string_view(buf_).substr(0, static_cast<std::size_t>(len_));
}

int Reader::scanPosition() const { return pos_; }

void Reader::setScanPosition(int position) { pos_ = std::clamp(position, 1, len_ + 1); }

// ------------------------------------------------------------------ tokens

// Scans the next token: blanks, "," and ";" end it outside apostrophes.  A
// "," or ";" after it (blanks between allowed) is consumed and sets the
// separator flag.  Returns the token length, or -1 at the line end.
int Reader::scanToken() {
  const auto at = [this](int p) { return buf_[static_cast<std::size_t>(p - 1)]; };
  int p = std::max(pos_, 1);
  while (p <= len_ && at(p) == ' ') ++p;
  tokStart_ = p;
  sepFlag_ = 0;
  if (p > len_) {
    tokEnd_ = p - 1;
    pos_ = p;
    return -1;
  }
  bool quoted = false;
  while (p <= len_) {
    const char c = at(p);
    if (c == '\'')
      quoted = !quoted;
    else if (!quoted && (c == ' ' || c == ',' || c == ';'))
      break;
    ++p;
  }
  tokEnd_ = p - 1;
  while (p <= len_ && at(p) == ' ') ++p;
  if (p <= len_ && (at(p) == ',' || at(p) == ';')) {
    sepFlag_ = 1;
    ++p;
  }
  pos_ = p;
  return tokEnd_ - tokStart_ + 1;
}

// The scanned token as text: a single apostrophe is dropped, two adjacent
// ones give one; cut to maxLen characters.
std::string Reader::tokenText(int maxLen) const {
  std::string text;
  for (int p = tokStart_; p <= tokEnd_ && p <= len_; ++p) {
    const char c = buf_[static_cast<std::size_t>(p - 1)];
    if (c == '\'') {
      if (p + 1 <= tokEnd_ && buf_[static_cast<std::size_t>(p)] == '\'') {
        text += '\'';
        ++p;
      }
      continue;
    }
    text += c;
  }
  if (static_cast<int>(text.size()) > std::max(maxLen, 0))
    text.resize(static_cast<std::size_t>(std::max(maxLen, 0)));
  return text;
}

bool Reader::readWord(std::string& text, int len) {
  if (scanToken() < 0) return false;
  text = tokenText(len);
  return true;
}

int Reader::classifyNumber(std::string_view t) {
  if (t.empty()) return 0;
  if (t[0] == '$') return 4;
  if (t.size() >= 3 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) return 3;
  if (t.size() >= 2 && t[0] == '%' && (t[1] == '0' || t[1] == '1')) return 2;
  const auto at = [&t](std::size_t i) { return i < t.size() ? t[i] : ' '; };
  if (isDigit(t[0])) return 1;
  if ((t[0] == '+' || t[0] == '-' || t[0] == '.') && isDigit(at(1))) return 1;
  if ((t[0] == '+' || t[0] == '-') && at(1) == '.' && isDigit(at(2))) return 1;
  return 0;
}

// ------------------------------------------------------- number expressions

// Looks ahead for an operator token: "+" gives 1, "-" gives 2; otherwise
// the scan state is restored and the result is 0.
int Reader::peekOperator() {
  const Scan before = save();
  if (scanToken() == 1) {
    const char c = buf_[static_cast<std::size_t>(tokStart_ - 1)];
    if (c == '+') return 1;
    if (c == '-') return 2;
  }
  restore(before);
  return 0;
}

// Reads one number token into v (0 when there is none): a decimal token as
// a real or an integer as T is, binary and hexadecimal tokens alike.
// Returns its kind, or <= 0 with the scan state restored when the next token
// is no number.
template <class T> int Reader::readNumberToken(T& v) {
  v = 0;
  const Scan before = save();
  const int n = scanToken();
  if (n <= 0) {
    restore(before);
    return n < 0 ? -1 : 0;
  }
  const std::string tok = tokenText(TOKEN_MAX);
  const int kind = classifyNumber(tok);
  switch (kind) {
  case 1:
    if constexpr (std::is_floating_point_v<T>)
      v = readDecimalReal(tok, records_);
    else
      v = readDecimalInteger(tok, records_);
    break;
  case 2:
    v = parseBinary(tok, out_, records_);
    break;
  case 3:
    v = parseHexadecimal(tok, out_, records_);
    break;
  case 4:
    v = 0;
    break;
  default:
    restore(before);
    return 0;
  }
  return kind;
}

int Reader::readRealToken(double& v) { return readNumberToken(v); }
int Reader::readIntegerToken(long long& v) { return readNumberToken(v); }

// A number expression: numbers joined by "+" and "-" tokens, applied to the
// value held.  A leading operator works on the value held ("+ 0.5" adds to
// it); an operator followed by a separator or by no number ends the
// expression with result 5, "-" negating the value.  "," or ";" after a
// number ends the expression.
int Reader::readReal(double& value) {
  int op = peekOperator();
  if (op > 0 && sepFlag_ == 1) {
    if (op == 2) value = -value;
    return 5;
  }
  for (;;) {
    double v = 0.0;
    const int kind = readRealToken(v);
    if (op > 0 && kind <= 0) {
      if (op == 2) value = -value;
      return 5;
    }
    if (op == 0)
      value = v;
    else if (op == 1)
      value += v;
    else
      value -= v;
    if (kind <= 0 || sepFlag_ == 1) return kind;
    op = peekOperator();
    if (op == 0) return kind;
  }
}

int Reader::readInteger(int& value) {
  // the running value is kept in 64 bits and checked against the 32-bit
  // range at every step, so that no sum or negation wraps
  long long acc = value;
  const auto fits = [this](long long v) {
    if (v > std::numeric_limits<int>::max() || v < std::numeric_limits<int>::min())
      stop("ERROR: integer out of range in: " + std::string(line()) + inRecord(records_));
    return static_cast<int>(v);
  };
  int op = peekOperator();
  if (op > 0 && sepFlag_ == 1) {
    if (op == 2) acc = -acc;
    value = fits(acc);
    return 5;
  }
  for (;;) {
    long long v = 0;
    const int kind = readIntegerToken(v);
    if (op > 0 && kind <= 0) {
      if (op == 2) acc = -acc;
      value = fits(acc);
      return 5;
    }
    if (op == 0)
      acc = v;
    else if (op == 1)
      acc += v;
    else
      acc -= v;
    value = fits(acc);
    if (kind <= 0 || sepFlag_ == 1) return kind;
    op = peekOperator();
    if (op == 0) return kind;
  }
}

// ------------------------------------------------------------ keyword lists

void Reader::readKeywordValues(const NameTable& table, double* values, int* counts) {
  keyList(table, 1, values, counts, false);
}

void Reader::readIndexedKeywordValues(const NameTable& table, int m, double* values, int* counts) {
  keyList(table, m, values, counts, true);
}

// The set range of an indexed key such as BJ(2:4), BJ(2-4), BJ(3:) or BJ():
// the stem length (characters before "(" or, without parentheses, before
// the first blank) and the first and last set.  Without a range, or with
// "()", all sets 1..m.
void Reader::parseSetRange(const std::string& key, int m, int& stemLen, int& first,
                           int& last) const {
  std::size_t end = key.find(' ');
  if (end == std::string::npos) end = key.size();
  int opens = 0, closes = 0;
  for (std::size_t i = 0; i < end; ++i) {
    if (key[i] == '(') ++opens;
    if (key[i] == ')') {
      if (closes == opens) stop(" index error 2");
      ++closes;
    }
  }
  if (opens != closes) stop(" index error 1");
  first = 1;
  last = m;
  if (opens == 0) {
    stemLen = static_cast<int>(end);
    return;
  }
  const std::size_t open = key.find('(');
  stemLen = static_cast<int>(open);
  std::size_t i = open + 1;
  if (key[i] == ')') return; // "()": all sets
  // a set number, saturated well above any set count
  const auto number = [&](int& out) {
    bool any = false;
    long long v = 0;
    while (i < end && isDigit(key[i])) {
      if (v < 1000000) v = v * 10 + (key[i] - '0');
      any = true;
      ++i;
    }
    if (any) out = static_cast<int>(v);
    return any;
  };
  number(first);
  if (key[i] == ')') {
    last = first;
  } else if (key[i] == ':' || key[i] == '-') {
    ++i;
    if (!number(last)) last = m;
    if (key[i] != ')') stop("index range - or :");
  } else {
    stop("index range - or :");
  }
  if (first < 1 || last < 1) stop(" index .lt. 1");
  if (first > m || last > m) stop(" index gt maxi");
}

// Narrows the names a key matched (match_) and reports a group key that
// gets fewer numbers than names.  valueStart is where the key's numbers
// begin; the scan state is left there.
void Reader::selectNames(std::string_view stem, const NameTable& table, const Scan& valueStart) {
  const auto nameAt = [&table](int j) {
    std::string_view name = table.names[j];
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    return name;
  };
  int matched = 0, exact = -1, nExact = 0;
  bool longer = false;
  for (int j = 0; j < table.n; ++j) {
    if (!match_[static_cast<std::size_t>(j)]) continue;
    ++matched;
    if (nameAt(j) == stem) {
      ++nExact;
      exact = j;
    } else {
      longer = true;
    }
  }
  // one name, or only names equal to the key (G and S of the species lines)
  if (!longer) return;
  restore(valueStart);
  int numbers = 0;
  double scratch = 0.0;
  while (numbers < matched && !atLineEnd() && readReal(scratch) > 0) ++numbers;
  restore(valueStart);
  if (nExact == 1 && numbers <= 1) {
    std::fill(match_.begin(), match_.end(), 0);
    match_[static_cast<std::size_t>(exact)] = 1;
    return;
  }
  if (numbers >= matched) return;
  if (!warnedKeys_.insert(std::string(stem)).second) return;
  err_ << "Warning: key " << stem << " at input line " << lineStart_ << " selects";
  for (int j = 0; j < table.n; ++j)
    if (match_[static_cast<std::size_t>(j)]) err_ << ' ' << nameAt(j);
  err_ << " (it is a prefix of each)";
  if (numbers == 0)
    err_ << " and no number follows: all of them are taken together\n";
  else
    err_ << " but only " << numbers << (numbers == 1 ? " number follows" : " numbers follow")
         << ": the names without a number of their own take the last one\n";
}

// Reads the rest of the line as keys and values.  A key selects every name
// of which it is a prefix; the value that follows is read into each of
// them.  An ambiguous key followed by several numbers hands them to its
// names in table order (the set counts track how many of the group still
// wait for a value); numbers without a key fill the names in table order;
// a name given again is overwritten with a message.
void Reader::recordRepeats(int n, int m) {
  givenNames_ = std::max(n, 0);
  givenAt_.assign(static_cast<std::size_t>(givenNames_) * static_cast<std::size_t>(std::max(m, 0)),
                  GivenAt{});
  repeats_.clear();
}

void Reader::keyList(const NameTable& table, int m, double* values, int* counts, bool indexed) {
  if (table.names == nullptr || table.n <= 0 || values == nullptr || counts == nullptr || m < 1)
    return;
  const int n = table.n;
  match_.assign(static_cast<std::size_t>(n), 0);
  // The key that following numbers belong to, and the names filled by
  // numbers without a key: both start afresh with every line, so that a
  // line of bare numbers always fills the names from the first one on.
  std::string& remembered = rememberedKey_;
  remembered.clear();
  overwritten_.clear();
  int positional = 0;
  while (!atLineEnd()) {
    const Scan mark = save();
    std::string key;
    Scan valueStart = mark;
    bool typedKey = false, positionalKey = false;
    double scratch = 0.0;
    if (readReal(scratch) > 0) {
      restore(mark);
      key = remembered;
    } else {
      restore(mark);
      scanToken();
      key = tokenText(TOKEN_MAX);
      remembered = key;
      valueStart = save();
      typedKey = true;
    }
    if (isBlank(key)) {
      if (positional + 1 > n) {
        restore(mark);
        scanToken();
        err_ << "Input error: number " << tokenText(TOKEN_MAX) << " at input line " << lineStart_
             << " has no keyword and all " << n << " names are filled; the rest of the line"
             << " is ignored\n";
        ++problems_;
        return;
      }
      key = table.names[positional++];
      while (!key.empty() && key.back() == ' ') key.pop_back();
      typedKey = false;
      positionalKey = true;
    }

    int stemLen = 0, first = 1, last = 1;
    if (indexed) {
      parseSetRange(key, m, stemLen, first, last);
    } else {
      const std::size_t blank = key.find(' ');
      stemLen = static_cast<int>(blank == std::string::npos ? key.size() : blank);
    }
    const std::string_view stem =
        std::string_view(key).substr(0, static_cast<std::size_t>(stemLen));
    bool any = false;
    for (int j = 0; j < n; ++j) {
      match_[static_cast<std::size_t>(j)] = nameMatches(table.names[j], stem, table.width);
      any = any || match_[static_cast<std::size_t>(j)];
    }
    if (!any) {
      put(out_, "(2A)", {"Input Error: undef character ", key});
      restore(valueStart);
      const bool number = readReal(scratch) > 0; // the value of the unknown key is dropped
      err_ << "Input error: unknown keyword " << key << " at input line " << lineStart_
           << (number ? " (ignored with the number after it)\n" : " (ignored)\n");
      ++problems_;
      continue;
    }
    if (typedKey) {
      selectNames(stem, table, valueStart);
    } else if (positionalKey) {
      // a number without a key fills exactly the next name
      std::fill(match_.begin(), match_.end(), 0);
      match_[static_cast<std::size_t>(positional - 1)] = 1;
    }

    int mostMatched = 0;
    Scan after = valueStart;
    bool read = false;
    // where each value comes from, when the section records repeats
    const bool ranged = indexed && key.find('(') != std::string::npos;
    const bool recording = givenNames_ == n && givenAt_.size() >= static_cast<std::size_t>(n) *
                                                                      static_cast<std::size_t>(m);
    auto givenAt = [&](int set, int j) -> GivenAt& {
      return givenAt_[static_cast<std::size_t>(set - 1) * static_cast<std::size_t>(n) +
                      static_cast<std::size_t>(j)];
    };
    for (int s = first; s <= last; ++s) {
      double* v = values + static_cast<std::size_t>(s - 1) * static_cast<std::size_t>(n);
      int* c = counts + static_cast<std::size_t>(s - 1) * static_cast<std::size_t>(n);
      int matched = 0, lastMatched = -1;
      // first pass: names still waiting for a value
      for (int j = 0; j < n; ++j) {
        if (!match_[static_cast<std::size_t>(j)] || !(c[j] == 0 || c[j] > 1)) continue;
        ++matched;
        lastMatched = j;
        restore(valueStart);
        readReal(v[j]);
        after = save();
        read = true;
        if (recording && c[j] == 0) givenAt(s, j) = {lineStart_, ranged};
        c[j] = c[j] == 0 ? matched : c[j] - 1;
      }
      // second pass: names given before are overwritten
      if (matched == 0) {
        for (int j = 0; j < n; ++j) {
          if (!match_[static_cast<std::size_t>(j)] || c[j] != 1) continue;
          ++matched;
          lastMatched = j;
          const double old = v[j];
          restore(valueStart);
          readReal(v[j]);
          after = save();
          read = true;
          putFree(out_, {indexed ? "GETXLN: overwriting " : " GETLN: overwriting ", key, " from ",
                         old, " to ", v[j]});
          overwritten_.push_back(j);
          if (recording) {
            GivenAt& g = givenAt(s, j);
            repeats_.push_back({j, s, g.line, lineStart_, g.ranged, ranged});
            g = {lineStart_, ranged};
          }
          c[j] = matched;
        }
      }
      if (matched == 1) c[lastMatched] = 1;
      mostMatched = std::max(mostMatched, matched);
    }
    if (read) {
      restore(after);
    } else {
      // an empty set range (last below first): the value is read and dropped
      restore(valueStart);
      readReal(scratch);
    }
    if (mostMatched == 1) remembered.clear();
  }
}

} // namespace ruvo
