#include "driver/sweep.h"
namespace ruvo {
void calc2(RunState&, SweepWork&, const ParamSets&, const FitFlags&, const FitModel&, int) {}
void calc1(RunState&, SweepWork&, const ParamSets&, const FitFlags&, const FitModel&, int) {}
} // namespace ruvo
