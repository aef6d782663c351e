#include "input/parameter_input.h"
#include "input/reader.h"
namespace ruvo {
bool parinp(RunState&, FitState&, Reader&) { return true; }
} // namespace ruvo
