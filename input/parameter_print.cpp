#include "input/parameter_print.h"
namespace ruvo {
void pra(const RunState&, const ParamSets&, const ParamSets&, const FitFlags&, int, int, int) {}
void pra_f(double, double, std::string& v, std::string& e) { v.assign(15, ' '); e.assign(12, ' '); }
std::string pra_out(double, double, int, int, bool) { return std::string(30, ' '); }
} // namespace ruvo
