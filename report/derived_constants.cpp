#include "report/derived_constants.h"

namespace ruvo {

void prrrp(RunState&, ConstParamView, ConstParamView, const double*, const FitModel&, int, int) {}
void prpot(RunState&, ConstParamView, ConstParamView, double, double, double) {}
void prirp(RunState&, ConstParamView, ConstParamView, double, int) {}
void prpar(RunState&, const ParamSets&) {}
void prderiv(RunState&, const FitModel&, int) {}

} // namespace ruvo
