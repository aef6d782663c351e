#include "hamiltonian/block.h"
namespace ruvo {
void calvjk(RunState&, SweepWork&, int, int, int, int, ConstParamView, ConstFlagView,
            const FitModel&, int) {}
} // namespace ruvo
