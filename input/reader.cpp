// The input reader (being written).
#include "input/reader.h"

namespace ruvo {

Reader::Reader(std::istream& in, std::ostream& out, std::ostream& err)
    : in_(in), out_(out), err_(err), buf_(LINE_MAX_CHARS, ' ') {}
int Reader::getbuf() { eof_ = true; len_ = 0; pos_ = 1; return 0; }
bool Reader::getend() const { return true; }
bool Reader::atEof() const { return eof_; }
void Reader::writebuf(std::ostream&) {}
bool Reader::getc(std::string&, int) { return false; }
int Reader::getd(double&) { return 0; }
int Reader::geti(int&) { return 0; }
void Reader::getln(const NameTable&, double*, int*) {}
void Reader::getxln(const NameTable&, int, double*, int*) {}
int Reader::s_mark() const { return pos_; }
void Reader::g_mark(int position) { pos_ = position; }
std::string_view Reader::line() const { return std::string_view(buf_).substr(0, len_); }

} // namespace ruvo
