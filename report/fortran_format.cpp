// Placeholder; the formatter is being written.
#include "report/fortran_format.h"

namespace ruvo {
std::string fmt(std::string_view, std::initializer_list<FItem>) { return {}; }
void put(std::ostream& os, std::string_view layout, std::initializer_list<FItem> items) {
  os << fmt(layout, items);
}
std::string freeFmt(std::initializer_list<FItem>) { return "\n"; }
void putFree(std::ostream& os, std::initializer_list<FItem> items) { os << freeFmt(items); }
std::string fmtI(long long, int w) { return std::string(w, ' '); }
std::string fmtF(double, int w, int) { return std::string(w, ' '); }
std::string fmtE(double, int w, int, char) { return std::string(w, ' '); }
std::string fmtA(std::string_view, int w) { return std::string(w, ' '); }
} // namespace ruvo
