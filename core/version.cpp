#include "core/version.h"

// RUVO_VERSION is defined for this file alone by the build, from the
// project's version.
#ifndef RUVO_VERSION
#error "RUVO_VERSION must come from the build"
#endif

namespace ruvo {

std::string_view programVersion() { return RUVO_VERSION; }

} // namespace ruvo
