#include "report/transition_listing.h"
namespace ruvo {
void funpr(RunState&, FitStats&) {}
} // namespace ruvo
