#include "input/transition_input.h"
namespace ruvo {
void readTransitions(RunState&, Reader&) {}
} // namespace ruvo
