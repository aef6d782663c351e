// Placeholder until the intensity listings are written.
#include "intensity/intensity_listing.h"

namespace ruvo {
void intall(RunState&, SweepWork&, double, double, double, double) {}
void intal2(RunState&, SweepWork&, double, double, double, double) {}
} // namespace ruvo
