// Placeholder until the LaTeX table is written.
#include "report/latex_table.h"

namespace ruvo {
void ltxpr(RunState&) {}
} // namespace ruvo
