#include "hamiltonian/level_assignment.h"
namespace ruvo {
void assgn(RunState&, SweepWork&, int, int, int, int, int) {}
void esave(RunState&, SweepWork&, int, int, int, int) {}
void devsave(RunState&, const SweepWork&, int, int, int, int, int, const FitModel&,
             const double*) {}
} // namespace ruvo
