// Internal-rotation operators of the tops (being written).
#include "hamiltonian/internal_rotation.h"

namespace ruvo {
void bld2vjk(const RunState&, SweepWork&, int, int, int, ConstParamView, bool) {}
} // namespace ruvo
