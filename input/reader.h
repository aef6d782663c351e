// The input reader: logical lines, tokens, number expressions and keyword
// lists of the ruvo input file.
#pragma once

#include <istream>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace ruvo {

inline constexpr int LINE_MAX_CHARS = 255; // characters kept of a logical line
inline constexpr int RECORD_MAX_CHARS = 500;
inline constexpr int TOKEN_MAX = 40;       // token working buffer

// A table of names matched by prefix (blank-padded fixed width w in the
// original layout; here the names without trailing blanks).
struct NameTable {
  const std::string* names; // names[0 .. n-1]
  int n;
  int width;
};

class Reader {
public:
  // `out`: listing (messages of getln/getxln), `err`: warnings.
  Reader(std::istream& in, std::ostream& out, std::ostream& err);

  // Read the next logical line.  Returns the number of characters from the
  // first non-blank one to the end (0: empty line or end of input), or a
  // negative value when the read failed.
  int getbuf();
  bool getend() const;
  bool atEof() const;                // the input is exhausted
  void writebuf(std::ostream& os);   // rest of the line as one record
  // next token as text (quotes undoubled); false when none is left
  bool getc(std::string& text, int len = TOKEN_MAX);
  // number expressions: return the kind code (> 0) or <= 0 (no number)
  int getd(double& value);
  int geti(int& value);
  // keyword-and-value lists; values[k] and counts[k] for name k (0-based),
  // indexed form: set s (1..m) of name k at index (s-1)*n + k
  void getln(const NameTable& table, double* values, int* counts);
  void getxln(const NameTable& table, int m, double* values, int* counts);
  int s_mark() const;
  void g_mark(int position);
  // the current logical line (for echo and tests)
  std::string_view line() const;

private:
  struct Impl;
  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  std::string buf_;            // logical line (1-based positions map to buf_[p-1])
  int len_ = 0, pos_ = 1, tokStart_ = 1, tokEnd_ = 0, sepFlag_ = 0;
  bool inQuote_ = false, inComment_ = false, eof_ = false;
  std::string rememberedKey_;
  std::set<std::string> warnedKeys_; // keys already warned about
  friend struct Impl;
};

} // namespace ruvo
