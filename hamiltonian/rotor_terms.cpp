#include "hamiltonian/rotor_terms.h"
namespace ruvo {
void hmulthrr(const RunState&, const SweepWork&, int, int, int, ConstParamView, const double*,
              const double*, double*, double*) {}
void addrig(const RunState&, SweepWork&, int, int, int, ConstParamView) {}
void hcaldev(const RunState&, SweepWork&, const double*, const double*, int, int, int,
             ConstFlagView, ConstParamView, double*) {}
} // namespace ruvo
