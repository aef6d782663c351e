// The program's name and version.  The version is stated once, in the
// build description (the project's version), and every place that shows
// it (the banner of the listing, --version, the JSON document, the manual
// page) takes it from there.
#pragma once

#include <string_view>

namespace ruvo {

// The version of this build, e.g. "0.9.0".
std::string_view programVersion();

} // namespace ruvo
