// The input reader: logical lines, tokens, numbers, number expressions and
// keyword lists, including every message of bad input.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "input/reader.h"
#include "support/test_support.h"

namespace {

using ruvo::NameTable;
using ruvo::Reader;

// A reader over a text, with its listing and message streams.
struct Fixture {
  std::istringstream in;
  std::ostringstream out, err;
  Reader r;
  explicit Fixture(const std::string& text) : in(text), r(in, out, err) {}
};

// The tokens of the current line, as readWord returns them.
std::vector<std::string> tokens(Reader& r) {
  std::vector<std::string> t;
  std::string s;
  while (r.readWord(s)) t.push_back(s);
  return t;
}

// The message of the stop that `f` ends with ("" when it does not stop).
template <class F> std::string stopMessage(F&& f) {
  try {
    f();
  } catch (const ruvo::RunEnd& e) {
    return e.message;
  }
  return "";
}

double readD(const std::string& text, int* kind = nullptr, double start = 0.0) {
  Fixture f(text);
  f.r.nextLine();
  double v = start;
  const int k = f.r.readReal(v);
  if (kind) *kind = k;
  return v;
}

int readI(const std::string& text, int* kind = nullptr, int start = 0) {
  Fixture f(text);
  f.r.nextLine();
  int v = start;
  const int k = f.r.readInteger(v);
  if (kind) *kind = k;
  return v;
}

// ------------------------------------------------------------ logical lines

TEST(ReaderLine, ResultCountsFromFirstNonBlankAndEmptyLinesAndEnd) {
  Fixture f("   abc  \n\n  {only a comment}\nlast");
  EXPECT_EQ(f.r.nextLine(), 3);
  EXPECT_EQ(f.r.line(), "   abc");
  EXPECT_FALSE(f.r.atLineEnd());
  EXPECT_EQ(f.r.nextLine(), 0);
  EXPECT_TRUE(f.r.atLineEnd());
  EXPECT_FALSE(f.r.atEof());
  EXPECT_EQ(f.r.nextLine(), 0); // blanks before a comment make no token
  EXPECT_TRUE(f.r.atLineEnd());
  EXPECT_FALSE(f.r.atEof());
  EXPECT_EQ(f.r.nextLine(), 4); // last record without a line end
  EXPECT_FALSE(f.r.atEof());
  EXPECT_EQ(f.r.nextLine(), 0);
  EXPECT_TRUE(f.r.atEof());
  EXPECT_EQ(f.r.nextLine(), 0); // reading on at the end stays there
  EXPECT_TRUE(f.r.atEof());
}

TEST(ReaderLine, FailedReadGivesNegativeResultAndEmptyLine) {
  Fixture f("abc\n");
  f.in.setstate(std::ios::badbit);
  EXPECT_LT(f.r.nextLine(), 0);
  EXPECT_EQ(f.r.line(), "");
  EXPECT_TRUE(f.r.atLineEnd());
}

TEST(ReaderLine, CommentsAreRemoved) {
  Fixture f("x { note } y\na {note\nstill } b\n1.5 ! note\nfirst {a}{b} second\n");
  f.r.nextLine();
  EXPECT_EQ(f.r.line(), "x  y");
  f.r.nextLine();
  EXPECT_EQ(f.r.line(), "a  b"); // one logical line from two records
  f.r.nextLine();
  EXPECT_EQ(f.r.line(), "1.5 ");
  EXPECT_EQ(tokens(f.r), std::vector<std::string>{"1.5"});
  f.r.nextLine();
  EXPECT_EQ(tokens(f.r), (std::vector<std::string>{"first", "second"}));
}

TEST(ReaderLine, BackslashEscapesAndContinuation) {
  Fixture f("a\\!b \\{c} d\\\\e\nabc \\ dropped rest\n  xyz\nend\\\nnext\nq\\'\nr\n");
  f.r.nextLine();
  EXPECT_EQ(f.r.line(), "a!b {c} d\\e");
  f.r.nextLine();
  EXPECT_EQ(f.r.line(), "abc   xyz"); // the rest after the backslash is dropped
  f.r.nextLine();
  EXPECT_EQ(f.r.line(), "endnext"); // backslash at the end of the record
  f.r.nextLine();
  EXPECT_EQ(f.r.line(), "qr"); // backslash before any other character continues
}

TEST(ReaderLine, QuotesKeepEverythingAndRunOverRecords) {
  Fixture f("'a b' 'it''s' '!{\\' x\n'open\nclosed' y\nt\tu\x01v '\tw'\n");
  f.r.nextLine();
  EXPECT_EQ(tokens(f.r), (std::vector<std::string>{"a b", "it's", "!{\\", "x"}));
  f.r.nextLine();
  EXPECT_EQ(f.r.line(), "'openclosed' y");
  EXPECT_EQ(tokens(f.r), (std::vector<std::string>{"openclosed", "y"}));
  f.r.nextLine();
  EXPECT_EQ(f.r.line(), "t uv '\tw'"); // TAB is a blank, controls go, quotes keep both
}

TEST(ReaderLine, TrailingControlsAndCarriageReturnsAreDropped) {
  Fixture f("abc \t\r\n\r\n");
  EXPECT_EQ(f.r.nextLine(), 3);
  EXPECT_EQ(f.r.line(), "abc");
  EXPECT_EQ(f.r.nextLine(), 0);
  EXPECT_FALSE(f.r.atEof());
}

TEST(ReaderLine, InputEndingInsideQuoteOrContinuationEndsTheLine) {
  {
    // a "{" comment that is never closed has swallowed the rest of the file
    Fixture f("x\na { never closed\nb c\n");
    f.r.nextLine();
    EXPECT_EQ(stopMessage([&] { f.r.nextLine(); }),
              "ERROR: the comment opened by \"{\" in input record 2 is not closed: the rest of "
              "the input was read as a comment");
  }
  {
    Fixture f("x 'never closed");
    f.r.nextLine();
    EXPECT_EQ(tokens(f.r), (std::vector<std::string>{"x", "never closed"}));
    EXPECT_EQ(f.r.nextLine(), 0);
    EXPECT_TRUE(f.r.atEof());
  }
  {
    Fixture f("abc\\");
    EXPECT_EQ(f.r.nextLine(), 3);
    EXPECT_EQ(f.r.nextLine(), 0);
    EXPECT_TRUE(f.r.atEof());
  }
  {
    // the state of an unclosed quote does not leak into the next line
    Fixture f("'abc");
    f.r.nextLine();
    EXPECT_EQ(f.r.nextLine(), 0);
  }
}

TEST(ReaderLine, LongRecordsAndLongLogicalLines) {
  // a record is processed up to its 255th character; lost text is reported
  const std::string rec(250, 'a');
  {
    Fixture f(rec + " bcdefghij\n");
    f.r.nextLine();
    EXPECT_EQ(f.r.line(), rec + " bcde");
    EXPECT_EQ(f.err.str(),
              "Warning: input record 1 is longer than 255 characters; the rest is ignored\n");
    EXPECT_EQ(f.r.problems(), 1);
  }
  {
    // a value behind blanks beyond the 500 characters of a record that are
    // read is lost as well
    Fixture f("Jup 1" + std::string(600, ' ') + "= 7.5\n");
    f.r.nextLine();
    EXPECT_EQ(f.r.line(), "Jup 1");
    EXPECT_EQ(f.err.str(),
              "Warning: input record 1 is longer than 255 characters; the rest is ignored\n");
    EXPECT_EQ(f.r.problems(), 1);
  }
  {
    // a comment beyond the limit loses nothing
    Fixture f(rec + "      ! comment\n");
    f.r.nextLine();
    EXPECT_EQ(f.err.str(), "");
  }
  {
    // characters beyond 500 of a record are read and dropped
    Fixture f(std::string(700, 'z') + "\nnext\n");
    f.r.nextLine();
    EXPECT_EQ(f.r.line().size(), 255u);
    f.r.nextLine();
    EXPECT_EQ(f.r.line(), "next");
  }
  {
    // continuation up to exactly 255 characters is fine, blanks beyond too
    Fixture f(rec + "\\\nabcde     \\\n   \n");
    f.r.nextLine();
    EXPECT_EQ(f.r.line().size(), 255u);
  }
  {
    // more stored characters than the line holds stop the run
    Fixture f("x\n" + rec + "\\\nabcdef\n");
    f.r.nextLine();
    EXPECT_EQ(stopMessage([&] { f.r.nextLine(); }),
              "ERROR: input line longer than 255 characters at input record 3");
  }
  {
    // an apostrophe in a title runs the quote on over the following records
    std::string text = "The molecule's spectrum\n\n";
    for (int i = 0; i < 30; ++i) text += "BJ 3000.123 BK 2000.456\n";
    Fixture f(text);
    EXPECT_EQ(stopMessage([&] { f.r.nextLine(); }),
              "ERROR: input line longer than 255 characters at input record 13 (inside a quote)");
  }
}

TEST(ReaderLine, ManyLinesWithOverlongTokens) {
  std::string text;
  const std::string longToken(60, 'k');
  for (int i = 0; i < 10001; ++i) text += longToken + " " + std::to_string(i) + "\n";
  Fixture f(text);
  int lines = 0, sum = 0;
  std::string tok;
  while (f.r.nextLine() > 0) {
    ASSERT_TRUE(f.r.readWord(tok));
    ASSERT_EQ(tok, std::string(40, 'k')); // tokens are cut to 40 characters
    int v = 0;
    ASSERT_EQ(f.r.readInteger(v), 1);
    sum += v == lines ? 1 : 0;
    ++lines;
  }
  EXPECT_EQ(lines, 10001);
  EXPECT_EQ(sum, 10001);
  EXPECT_TRUE(f.r.atEof());
}

TEST(ReaderLine, WritebufWritesTheRestOfTheLine) {
  Fixture f("  first second third {a blank stays before the comment}\n");
  f.r.nextLine();
  std::ostringstream os;
  f.r.echoRestOfLine(os);
  EXPECT_EQ(os.str(), "first second third \n");
  std::string t;
  f.r.readWord(t);
  os.str("");
  f.r.echoRestOfLine(os);
  EXPECT_EQ(os.str(), "second third \n");
  f.r.readWord(t);
  f.r.readWord(t);
  os.str("");
  f.r.echoRestOfLine(os);
  EXPECT_EQ(os.str(), "");
}

TEST(ReaderLine, MarksRereadTheLine) {
  Fixture f("a 1 b\n");
  f.r.nextLine();
  std::string t;
  f.r.readWord(t);
  const int mark = f.r.scanPosition();
  f.r.readWord(t);
  f.r.readWord(t);
  EXPECT_TRUE(f.r.atLineEnd());
  f.r.setScanPosition(mark);
  EXPECT_EQ(tokens(f.r), (std::vector<std::string>{"1", "b"}));
  f.r.setScanPosition(10000); // out-of-line positions are held at the line end
  EXPECT_TRUE(f.r.atLineEnd());
  f.r.setScanPosition(-5);
  EXPECT_EQ(tokens(f.r).size(), 3u);
}

// ------------------------------------------------------------------ tokens

TEST(ReaderToken, SeparatorsAndEmptyTokens) {
  Fixture f("a, b ; c\nx,,y\n");
  f.r.nextLine();
  EXPECT_EQ(tokens(f.r), (std::vector<std::string>{"a", "b", "c"}));
  f.r.nextLine();
  EXPECT_EQ(tokens(f.r), (std::vector<std::string>{"x", "", "y"}));
  // the text buffer is cut to its length and left alone when no token is left
  Fixture g("abcdef\n");
  g.r.nextLine();
  std::string t = "keep";
  EXPECT_TRUE(g.r.readWord(t, 3));
  EXPECT_EQ(t, "abc");
  t = "keep";
  EXPECT_FALSE(g.r.readWord(t));
  EXPECT_EQ(t, "keep");
}

TEST(ReaderToken, SeparatorEndsANumberExpression) {
  Fixture f("3, + 1\n");
  f.r.nextLine();
  double v = 0;
  EXPECT_EQ(f.r.readReal(v), 1);
  EXPECT_EQ(v, 3.0);
  EXPECT_EQ(f.r.readReal(v), 1); // "+ 1" on its own adds to the value held
  EXPECT_EQ(v, 4.0);
}

TEST(ReaderToken, NumberKinds) {
  EXPECT_EQ(Reader::classifyNumber("$name"), 4);
  EXPECT_EQ(Reader::classifyNumber("0x1F"), 3);
  EXPECT_EQ(Reader::classifyNumber("0X1"), 3);
  EXPECT_EQ(Reader::classifyNumber("0x"), 1); // too short for hexadecimal
  EXPECT_EQ(Reader::classifyNumber("%101"), 2);
  EXPECT_EQ(Reader::classifyNumber("%2"), 0);
  EXPECT_EQ(Reader::classifyNumber(".5"), 1);
  EXPECT_EQ(Reader::classifyNumber("-.5"), 1);
  EXPECT_EQ(Reader::classifyNumber("+5"), 1);
  EXPECT_EQ(Reader::classifyNumber("+.5"), 1);
  EXPECT_EQ(Reader::classifyNumber("7abc"), 1); // starts like a number
  EXPECT_EQ(Reader::classifyNumber("e5"), 0);
  EXPECT_EQ(Reader::classifyNumber("x"), 0);
  EXPECT_EQ(Reader::classifyNumber("-"), 0);
  EXPECT_EQ(Reader::classifyNumber("+."), 0);
  EXPECT_EQ(Reader::classifyNumber(""), 0);
}

// ------------------------------------------------------------------ numbers

TEST(ReaderNumber, Conversions) {
  int kind = 0;
  EXPECT_EQ(readD("0x1F", &kind), 31.0);
  EXPECT_EQ(kind, 3);
  EXPECT_EQ(readD("0xff"), 255.0);
  EXPECT_EQ(readD("%101", &kind), 5.0);
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(readD("$mass", &kind, 7.0), 0.0);
  EXPECT_EQ(kind, 4);
  EXPECT_EQ(readD(".5", &kind), 0.5);
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(readD("-.5"), -0.5);
  EXPECT_EQ(readD("+5"), 5.0);
  EXPECT_EQ(readD("1.5D3"), 1500.0);
  EXPECT_EQ(readD("2.5e-1"), 0.25);
  EXPECT_EQ(readD("1.5d+2"), 150.0);
  EXPECT_EQ(readD("1.5-3"), 1.5e-3); // a signed exponent needs no letter
  EXPECT_EQ(readD("12."), 12.0);
  EXPECT_EQ(readD("1.e5"), 1.0e5);
  EXPECT_EQ(readD("-.5E1"), -5.0);
  EXPECT_EQ(readD("0.000000000000000000000000000000000001"), 1e-36);
  EXPECT_EQ(readD("'1 5'"), 15.0); // blanks inside a number are ignored
  EXPECT_EQ(readD("1e-400"), 0.0); // below the double range reads as 0
  EXPECT_DOUBLE_EQ(readD("3000.123456789012345678901234567890123456789"), 3000.1234567890123);
  EXPECT_EQ(readI("0x1F", &kind), 31);
  EXPECT_EQ(kind, 3);
  EXPECT_EQ(readI("%1111"), 15);
  EXPECT_EQ(readI("-17"), -17);
  EXPECT_EQ(readI("2147483647"), 2147483647);
  EXPECT_EQ(readI("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(readI("0x7FFFFFFF"), 2147483647);
}

TEST(ReaderNumber, NoNumberLeavesTheTokenAndSetsZero) {
  for (const char* text : {"e5", "x", "DJ 3", ""}) {
    Fixture f(std::string(text) + "\n");
    f.r.nextLine();
    double v = 9.0;
    EXPECT_LE(f.r.readReal(v), 0) << text;
    EXPECT_EQ(v, 0.0) << text;
    if (*text) {
      std::string t;
      EXPECT_TRUE(f.r.readWord(t));
      EXPECT_EQ(t, std::string(text).substr(0, 2)); // the token is still there
    }
  }
}

TEST(ReaderNumber, Expressions) {
  int kind = 0;
  EXPECT_EQ(readD("3 - 1", &kind), 2.0);
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(readD("3 + 1.5"), 4.5);
  EXPECT_EQ(readD("1 + 0x10 - %11"), 14.0);
  EXPECT_EQ(readD("+ 0.5", &kind, 2.0), 2.5); // adds to the value held
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(readD("- 0.5", nullptr, 2.0), 1.5);
  EXPECT_EQ(readD("-, 4", &kind, 2.0), -2.0); // a lone "-" negates
  EXPECT_EQ(kind, 5);
  EXPECT_EQ(readD("- x", &kind, 2.0), -2.0);
  EXPECT_EQ(kind, 5);
  EXPECT_EQ(readD("-", &kind, 2.0), -2.0);
  EXPECT_EQ(kind, 5);
  EXPECT_EQ(readD("+;", &kind, 2.0), 2.0);
  EXPECT_EQ(kind, 5);
  EXPECT_EQ(readD("3 -", &kind), -3.0); // an operator without number negates
  EXPECT_EQ(kind, 5);
  EXPECT_EQ(readD("-3"), -3.0); // one token: a negative number
  EXPECT_EQ(readI("3 - 1"), 2);
  EXPECT_EQ(readI("- 2", nullptr, 10), 8);
  EXPECT_EQ(readI("-", &kind, 10), -10);
  EXPECT_EQ(kind, 5);
  // the expression stops before the next key
  Fixture f("3 - 1 DJ\n");
  f.r.nextLine();
  double v = 0;
  f.r.readReal(v);
  std::string t;
  f.r.readWord(t);
  EXPECT_EQ(t, "DJ");
}

TEST(ReaderNumber, BadNumbersStopTheRun) {
  struct Case {
    const char* text;
    bool integer;
    const char* listing;
    const char* message;
  };
  const Case cases[] = {
      {"1.2.3", false, "", "ERROR: cannot read number: 1.2.3"},
      {"0x", false, "", "ERROR: cannot read number: 0x"},
      {"7abc", false, "", "ERROR: cannot read number: 7abc"},
      {"1.5e", false, "", "ERROR: cannot read number: 1.5e"},
      {"1.5", true, "", "ERROR: cannot read number: 1.5"},
      {"1e3", true, "", "ERROR: cannot read number: 1e3"},
      {"0xG1", false, "supposed hexadecimal: 0xG1\n", "ERROR: hex digit out of range !"},
      {"0x1-", true, "supposed hexadecimal: 0x1-\n", "ERROR: hex digit out of range !"},
      {"%102", false, "supposed binary: %102\n", "ERROR: binary constant must be of 0 and 1"},
      {"%1a", true, "supposed binary: %1a\n", "ERROR: binary constant must be of 0 and 1"},
      {"1e400", false, "", "ERROR: number out of range: 1e400"},
      {"-1d99999999999999999999", false, "", "ERROR: number out of range: -1d99999999999999999999"},
      {"2147483648", true, "", "ERROR: number out of range: 2147483648"},
      {"-2147483649", true, "", "ERROR: number out of range: -2147483649"},
      {"99999999999999999999999", true, "", "ERROR: number out of range: 99999999999999999999999"},
      {"0x80000000", true, "", "ERROR: number out of range: 0x80000000"},
      {"0x123456789ABCDEF0123", false, "", "ERROR: number out of range: 0x123456789ABCDEF0123"},
      {"%111111111111111111111111111111111", true, "",
       "ERROR: number out of range: %111111111111111111111111111111111"},
      {"2147483647 + 1", true, "", "ERROR: integer out of range in: 2147483647 + 1"},
      {"-2147483648 -", true, "", "ERROR: integer out of range in: -2147483648 -"},
  };
  for (const Case& c : cases) {
    Fixture f(std::string(c.text) + "\n");
    f.r.nextLine();
    const std::string msg = stopMessage([&] {
      if (c.integer) {
        int v = 0;
        f.r.readInteger(v);
      } else {
        double v = 0;
        f.r.readReal(v);
      }
    });
    // conversion errors name the input record; the hex and binary stops are fixed texts
    const std::string expected = std::string(c.message) + (*c.listing ? "" : " (input record 1)");
    EXPECT_EQ(msg, expected) << c.text;
    EXPECT_EQ(f.out.str(), c.listing) << c.text;
  }
}

// ------------------------------------------------------------ keyword lists

const std::vector<std::string> kDNames = {"DJ", "DJK", "DK", "dj", "dk"};
NameTable dTable() { return NameTable{kDNames.data(), 5, 7}; }

struct Values {
  std::vector<double> v;
  std::vector<int> c;
  explicit Values(int n) : v(static_cast<std::size_t>(n), 0.0), c(static_cast<std::size_t>(n), 0) {}
};

TEST(ReaderKeys, AmbiguousKeyHandsNumbersOutInTableOrder) {
  Fixture f("D 1 2 3\n");
  Values x(5);
  f.r.nextLine();
  f.r.readKeywordValues(dTable(), x.v.data(), x.c.data());
  EXPECT_EQ(x.v, (std::vector<double>{1, 2, 3, 0, 0}));
  EXPECT_EQ(x.c, (std::vector<int>{1, 1, 1, 0, 0}));
  EXPECT_EQ(f.out.str(), "");
  EXPECT_EQ(f.err.str(), ""); // D is no name itself: no warning
}

TEST(ReaderKeys, UniqueKeysAbbreviationsAndPositions) {
  Fixture f("dk 5 DK 0x10 dj\n1 2\n7 8 9 10 11 12 13\n");
  Values x(5);
  f.r.nextLine();
  f.r.readKeywordValues(dTable(), x.v.data(), x.c.data());
  EXPECT_EQ(x.v, (std::vector<double>{0, 0, 16, 0, 5})); // dj without number: 0
  EXPECT_EQ(x.c, (std::vector<int>{0, 0, 1, 1, 1}));
  Values y(5);
  f.r.nextLine();
  f.r.readKeywordValues(dTable(), y.v.data(), y.c.data());
  // numbers without key fill the names in order, one name each
  EXPECT_EQ(y.v, (std::vector<double>{1, 2, 0, 0, 0}));
  EXPECT_EQ(y.c, (std::vector<int>{1, 1, 0, 0, 0}));
  EXPECT_EQ(f.err.str(), ""); // names filled by position are no typed keys
  EXPECT_EQ(f.r.problems(), 0);
  Values z(5);
  f.r.nextLine();
  f.r.readKeywordValues(dTable(), z.v.data(), z.c.data()); // numbers beyond the table are ignored
  EXPECT_EQ(z.v, (std::vector<double>{7, 8, 9, 10, 11}));
  EXPECT_EQ(f.out.str(), "");
  EXPECT_EQ(f.err.str(), "Input error: number 12 at input line 3 has no keyword and all 5 names"
                         " are filled; the rest of the line is ignored\n");
  EXPECT_EQ(f.r.problems(), 1);
}

TEST(ReaderKeys, EveryLineStartsWithoutRememberedKey) {
  Fixture f("D 1 2\n5\n");
  Values x(5);
  f.r.nextLine();
  f.r.readKeywordValues(dTable(), x.v.data(), x.c.data());
  EXPECT_EQ(x.v, (std::vector<double>{1, 2, 2, 0, 0}));
  f.r.nextLine();
  f.r.readKeywordValues(dTable(), x.v.data(), x.c.data());
  // the bare number goes to the first name alone, not to DK
  EXPECT_EQ(x.v, (std::vector<double>{5, 2, 2, 0, 0}));
}

TEST(ReaderKeys, OverwriteUndefinedKeysAndExpressions) {
  Fixture f("DK 3\nDK + 0.5 XX 4 5 dk - 2\nDK -\n");
  Values x(5);
  f.r.nextLine();
  f.r.readKeywordValues(dTable(), x.v.data(), x.c.data());
  f.r.nextLine();
  f.r.readKeywordValues(dTable(), x.v.data(), x.c.data());
  EXPECT_EQ(x.v[2], 3.5); // the expression works on the value held
  EXPECT_EQ(x.v[4], -2.0);
  f.r.nextLine();
  f.r.readKeywordValues(dTable(), x.v.data(), x.c.data());
  EXPECT_EQ(x.v[2], -3.5);
  const std::string expected =
      ruvo::freeFmt({" GETLN: overwriting ", "DK", " from ", 3.0, " to ", 3.5}) +
      "Input Error: undef character XX\n" + "Input Error: undef character XX\n" +
      ruvo::freeFmt({" GETLN: overwriting ", "DK", " from ", 3.5, " to ", -3.5});
  EXPECT_EQ(f.out.str(), expected);
  EXPECT_EQ(f.out.str().substr(0, 26), "  GETLN: overwriting DK fr");
  // unknown keys also go to the messages, with the input line, and count
  EXPECT_EQ(f.err.str(), "Input error: unknown keyword XX at input line 2 (ignored with the"
                         " number after it)\n"
                         "Input error: unknown keyword XX at input line 2 (ignored with the"
                         " number after it)\n");
  EXPECT_EQ(f.r.problems(), 2);
}

TEST(ReaderKeys, AnExactNameWithOneNumberSelectsThatNameAlone) {
  struct Case {
    const char* text;
    std::vector<double> v;
  };
  // DJ is also a prefix of DJK: with at most one number it is DJ alone, with
  // several it opens the group; a continuation record does not change that
  for (const Case& c :
       {Case{"DJ 4\n", {4, 0, 0, 0, 0}}, Case{"DJ\n", {0, 0, 0, 0, 0}},
        Case{"DJ 4 dk 2\n", {4, 0, 0, 0, 2}}, Case{"DJ 1 + 2, DJK 5\n", {3, 5, 0, 0, 0}},
        Case{"DJ 4 5\n", {4, 5, 0, 0, 0}}, Case{"DJ 4 \\\n 5\n", {4, 5, 0, 0, 0}}}) {
    Fixture f(c.text);
    Values x(5);
    f.r.nextLine();
    f.r.readKeywordValues(dTable(), x.v.data(), x.c.data());
    EXPECT_EQ(x.v, c.v) << c.text;
    EXPECT_EQ(f.err.str(), "") << c.text;
    EXPECT_EQ(f.out.str(), "") << c.text;
  }
  // the exact name on a later line overwrites DJ, not DJK
  Fixture f("DJ 4 5\nDJ 6\n");
  Values x(5);
  for (int i = 0; i < 2; ++i) {
    f.r.nextLine();
    f.r.readKeywordValues(dTable(), x.v.data(), x.c.data());
  }
  EXPECT_EQ(x.v, (std::vector<double>{6, 5, 0, 0, 0}));
  EXPECT_EQ(f.out.str(), ruvo::freeFmt({" GETLN: overwriting ", "DJ", " from ", 4.0, " to ", 6.0}));
}

TEST(ReaderKeys, AGroupKeyWithFewerNumbersThanNamesWarnsOncePerKey) {
  Fixture f("D 4\n\nD 5 6\nD\n");
  Values x(5);
  while (!f.r.atEof()) {
    f.r.nextLine();
    f.r.readKeywordValues(dTable(), x.v.data(), x.c.data());
  }
  EXPECT_EQ(f.err.str(), "Warning: key D at input line 1 selects DJ DJK DK (it is a prefix of"
                         " each) but only 1 number follows: the names without a number of their"
                         " own take the last one\n");
  Fixture g("DJ(2)\n");
  g.r.nextLine();
  Values y(15);
  const std::vector<std::string> d2 = {"DJ", "DJK", "DJ2"};
  g.r.readIndexedKeywordValues(NameTable{d2.data(), 3, 7}, 5, y.v.data(), y.c.data());
  EXPECT_EQ(y.c[3 + 0], 1); // DJ of set 2 alone
  EXPECT_EQ(y.c[3 + 1], 0);
  Fixture h("D\n");
  h.r.nextLine();
  Values z(5);
  h.r.readKeywordValues(dTable(), z.v.data(), z.c.data());
  EXPECT_EQ(h.err.str(), "Warning: key D at input line 1 selects DJ DJK DK (it is a prefix of"
                         " each) and no number follows: all of them are taken together\n");
}

TEST(ReaderKeys, EqualNamesTakeOneNumberEachWithoutWarning) {
  const std::vector<std::string> sym = {"G", "S", "G", "S", "G", "S"};
  Fixture f("G 1 0 1 S 2 3\n");
  std::vector<double> v(6, 0.0);
  std::vector<int> c(6, 0);
  f.r.nextLine();
  f.r.readKeywordValues(NameTable{sym.data(), 6, 5}, v.data(), c.data());
  EXPECT_EQ(v, (std::vector<double>{1, 2, 0, 3, 1, 3}));
  EXPECT_EQ(f.err.str(), "");
}

TEST(ReaderKeys, LongKeysAndNamesWiderThanTheTable) {
  const std::vector<std::string> names = {"abcdef"};
  const std::string longKey(45, 'a');
  Fixture f("abcdefg 1 " + longKey + " 2\n");
  std::vector<double> v(1, 0.0);
  std::vector<int> c(1, 0);
  f.r.nextLine();
  f.r.readKeywordValues(NameTable{names.data(), 1, 6}, v.data(), c.data());
  EXPECT_EQ(v[0], 0.0);
  EXPECT_EQ(f.out.str(), "Input Error: undef character abcdefg\n"
                         "Input Error: undef character " +
                             std::string(40, 'a') + "\n");
  EXPECT_EQ(f.r.problems(), 2);
}

// Parameter-like table for the indexed form: 3 names, 5 sets.
const std::vector<std::string> kBNames = {"BJ", "BK", "B-"};
NameTable bTable() { return NameTable{kBNames.data(), 3, 7}; }

struct Sets {
  std::vector<double> v = std::vector<double>(15, 0.0);
  std::vector<int> c = std::vector<int>(15, 0);
  double at(int name, int set) const { return v[static_cast<std::size_t>((set - 1) * 3 + name)]; }
};

Sets readSets(const std::string& text, std::string* listing = nullptr) {
  Fixture f(text);
  Sets s;
  while (f.r.nextLine() > 0) f.r.readIndexedKeywordValues(bTable(), 5, s.v.data(), s.c.data());
  if (listing) *listing = f.out.str();
  return s;
}

TEST(ReaderIndexedKeys, SetRanges) {
  struct Case {
    const char* text;
    int first, last;
  };
  for (const Case& c :
       {Case{"BJ 3000", 1, 5}, Case{"BJ() 3000", 1, 5}, Case{"BJ(2) 3000", 2, 2},
        Case{"BJ(2:4) 3000", 2, 4}, Case{"BJ(2-4) 3000", 2, 4}, Case{"BJ(3:) 3000", 3, 5},
        Case{"BJ(:2) 3000", 1, 2}, Case{"BJ(-) 3000", 1, 5}, Case{"BJ(5) 3000", 5, 5}}) {
    const Sets s = readSets(std::string(c.text) + "\n");
    for (int set = 1; set <= 5; ++set)
      EXPECT_EQ(s.at(0, set), set >= c.first && set <= c.last ? 3000.0 : 0.0)
          << c.text << " set " << set;
  }
}

TEST(ReaderIndexedKeys, EmptyRangeDropsItsNumberAndAmbiguousKeysWorkPerSet) {
  const Sets s = readSets("BJ(4:2) 7 BK(2) 8\nB(3) 1 2 3\n");
  for (int set = 1; set <= 5; ++set) EXPECT_EQ(s.at(0, set), set == 3 ? 1.0 : 0.0);
  EXPECT_EQ(s.at(1, 2), 8.0);
  EXPECT_EQ(s.at(1, 3), 2.0);
  EXPECT_EQ(s.at(2, 3), 3.0);
}

TEST(ReaderIndexedKeys, OverwriteMessageNamesTheKeyWithItsRange) {
  std::string listing;
  const Sets s = readSets("BK 1\nBK(2) 2\n", &listing);
  EXPECT_EQ(s.at(1, 1), 1.0);
  EXPECT_EQ(s.at(1, 2), 2.0);
  EXPECT_EQ(listing, ruvo::freeFmt({"GETXLN: overwriting ", "BK(2)", " from ", 1.0, " to ", 2.0}));
  EXPECT_EQ(listing.substr(0, 22), " GETXLN: overwriting B");
}

TEST(ReaderIndexedKeys, BadRangesStopTheRun) {
  struct Case {
    const char* text;
    const char* message;
  };
  for (const Case& c :
       {Case{"BJ)2( 1", " index error 2"}, Case{"BJ(2)) 1", " index error 2"},
        Case{"BJ(2 1", " index error 1"}, Case{"BJ((2) 1", " index error 1"},
        Case{"BJ(2x) 1", "index range - or :"}, Case{"BJ(2:3:4) 1", "index range - or :"},
        Case{"BJ((2)) 1", "index range - or :"}, Case{"BJ(0) 1", " index .lt. 1"},
        Case{"BJ(2:0) 1", " index .lt. 1"}, Case{"BJ(6) 1", " index gt maxi"},
        Case{"BJ(1:99999999999999) 1", " index gt maxi"}}) {
    EXPECT_EQ(stopMessage([&] { readSets(std::string(c.text) + "\n"); }), c.message) << c.text;
  }
}

TEST(ReaderIndexedKeys, UndefinedKeyAndKeyWithoutStem) {
  std::string listing;
  const Sets s = readSets("XY(2) 5 (2) 6 BK 1\n", &listing);
  EXPECT_EQ(listing, "Input Error: undef character XY(2)\nInput Error: undef character (2)\n");
  EXPECT_EQ(s.at(0, 2), 0.0);
  EXPECT_EQ(s.at(1, 2), 1.0);
}

} // namespace

// ------------------------------------------------------------- whole runs

namespace wholerun {

std::string smallInput(const std::string& parameters) {
  return "Reader check\n\nnzyk 1\n\nBJ 3 BK 2 B- 0.1 " + parameters +
         "\n\n\nJup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 = 5.0\n";
}

// The listing without the banner's line of date and time.
std::string withoutClock(const std::string& listing) {
  std::istringstream in(listing);
  std::string line, kept;
  while (std::getline(in, line))
    if (line.find("date and time") == std::string::npos) kept += line + "\n";
  return kept;
}

TEST(ReaderWholeRun, ExactNamesAreQuietAndGroupWarningsGoToStandardErrorOnly) {
  // DJ with one number is DJ alone; h_ with one number sets h_j and h_k
  const auto exact = ruvo::test::runText(smallInput("DJ 1e-6"));
  const auto plain = ruvo::test::runText(smallInput("DJ 1e-6 DJK 0"));
  const auto group = ruvo::test::runText(smallInput("h_ 1e-9"));
  const auto full = ruvo::test::runText(smallInput("h_j 1e-9 h_k 1e-9"));
  EXPECT_EQ(exact.status, 0);
  EXPECT_EQ(exact.err, "");
  EXPECT_EQ(withoutClock(exact.out), withoutClock(plain.out));
  EXPECT_GT(withoutClock(plain.out).size(), 500u);
  EXPECT_EQ(group.status, 0); // a warning, no error
  EXPECT_EQ(group.err, "Warning: key h_ at input line 5 selects h_j h_k (it is a prefix of"
                       " each) but only 1 number follows: the names without a number of their"
                       " own take the last one\n");
  EXPECT_EQ(withoutClock(group.out), withoutClock(full.out));
}

TEST(ReaderWholeRun, ReaderStopsEndTheRunWithStatusOne) {
  struct Case {
    std::string input, err;
  };
  const Case cases[] = {
      {smallInput("BJ(6) 1"), "STOP  index gt maxi\n"},
      {smallInput("BJ(2 1"), "STOP  index error 1\n"},
      {smallInput("BK 1.2.3"), "STOP ERROR: cannot read number: 1.2.3 (input record 5)\n"},
      {"Title\n\nnzyk %12\n\n", "STOP ERROR: binary constant must be of 0 and 1\n"},
  };
  for (const Case& c : cases) {
    const auto r = ruvo::test::runText(c.input);
    EXPECT_EQ(r.status, 1) << c.input;
    EXPECT_EQ(r.err, c.err) << c.input;
  }
}

} // namespace wholerun
