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
inline constexpr int TOKEN_MAX = 40; // token working buffer

// A table of names matched by prefix (blank-padded fixed width w in the
// original layout; here the names without trailing blanks).
struct NameTable {
  const std::string* names; // names[0 .. n-1]
  int n;
  int width;
};

class Reader {
public:
  // `out`: listing (messages of readKeywordValues/readIndexedKeywordValues), `err`: warnings.
  Reader(std::istream& in, std::ostream& out, std::ostream& err);

  // Read the next logical line.  Returns the number of characters from the
  // first non-blank one to the end (0: empty line or end of input), or a
  // negative value when the read failed.
  int nextLine();
  bool atLineEnd() const;
  bool atEof() const;                    // the input is exhausted
  void echoRestOfLine(std::ostream& os); // rest of the line as one record
  // next token as text (quotes undoubled); false when none is left
  bool readWord(std::string& text, int len = TOKEN_MAX);
  // number expressions: return the kind code (> 0) or <= 0 (no number)
  int readReal(double& value);
  int readInteger(int& value);
  // keyword-and-value lists; values[k] and counts[k] for name k (0-based),
  // indexed form: set s (1..m) of name k at index (s-1)*n + k
  void readKeywordValues(const NameTable& table, double* values, int* counts);
  void readIndexedKeywordValues(const NameTable& table, int m, double* values, int* counts);
  int scanPosition() const;
  void setScanPosition(int position);
  // input line (physical record) where the current logical line begins
  long lineNumber() const { return lineStart_; }
  // input that the keyword lists could not use (unknown keys, numbers
  // beyond the last name), each reported on the message stream
  int problems() const { return problems_; }
  // logical lines read so far that held anything
  long nonEmptyLines() const { return nonEmptyLines_; }
  // names (0-based) given a second time within the last keyword list, whose
  // earlier value was overwritten
  const std::vector<int>& overwritten() const { return overwritten_; }
  // A value given again within a section of keyword lines: name (0-based)
  // and set (1-based), the input lines of the earlier and the later value,
  // and whether each was named with an explicit set range ("BJ(2)").
  struct Repeat {
    int name, set;
    long firstLine, line;
    bool firstRanged, ranged;
  };
  // Start recording repeats for a section of n names in m sets (the lists
  // read until the next call, or until stopRecordingRepeats).
  void recordRepeats(int n, int m);
  void stopRecordingRepeats() { givenAt_.clear(); }
  const std::vector<Repeat>& repeats() const { return repeats_; }
  // the current logical line (for echo and tests)
  std::string_view line() const;

  // Kind of a token as a number: 4 "$name" (reads as 0), 3 hexadecimal
  // "0x..", 2 binary "%0.."/"%1..", 1 decimal, 0 no number.
  static int classifyNumber(std::string_view token);

private:
  struct Impl;
  // the scan state of the current line, saved and restored by look-aheads
  struct Scan {
    int pos, tokStart, tokEnd, sepFlag;
  };
  Scan save() const { return {pos_, tokStart_, tokEnd_, sepFlag_}; }
  void restore(const Scan& s) {
    pos_ = s.pos;
    tokStart_ = s.tokStart;
    tokEnd_ = s.tokEnd;
    sepFlag_ = s.sepFlag;
  }
  // true: the line continues; textBeyondRecord: non-blank characters after
  // the 500 of the record were dropped
  bool processRecord(const char* rec, int n, bool textBeyondRecord);
  void store(char c);
  int scanToken();
  std::string tokenText(int maxLen) const;
  int peekOperator();
  int readRealToken(double& v);
  int readIntegerToken(long long& v);
  template <class T> int readNumberToken(T& v);
  void keyList(const NameTable& table, int m, double* values, int* counts, bool indexed);
  void parseSetRange(const std::string& key, int m, int& stemLen, int& first, int& last) const;
  void selectNames(std::string_view stem, const NameTable& table, const Scan& valueStart);
  long records_ = 0;      // physical records read so far
  long lineStart_ = 0;    // first record of the current logical line
  long commentStart_ = 0; // record where the open "{" comment began
  int problems_ = 0;
  long nonEmptyLines_ = 0;
  std::vector<int> overwritten_;
  struct GivenAt {
    long line = 0;
    bool ranged = false;
  };
  std::vector<GivenAt> givenAt_; // per set and name while repeats are recorded
  int givenNames_ = 0;
  std::vector<Repeat> repeats_;
  std::vector<char> match_; // names selected by the current key
  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  std::string buf_; // logical line (1-based positions map to buf_[p-1])
  int len_ = 0, pos_ = 1, tokStart_ = 1, tokEnd_ = 0, sepFlag_ = 0;
  bool inQuote_ = false, inComment_ = false, eof_ = false;
  std::string rememberedKey_;
  std::set<std::string> warnedKeys_; // keys already warned about
  friend struct Impl;
};

} // namespace ruvo
