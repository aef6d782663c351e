// Placeholder until the scratch files are written.
#include "intensity/scratch_files.h"

#include <cstdio>

namespace ruvo {
std::string binnam(int J, int S, int F2, int B) {
  char buf[64];
  if (F2 >= 0)
    std::snprintf(buf, sizeof buf, "j%02df%02db%1d.s%02d", J, F2, B, S);
  else
    std::snprintf(buf, sizeof buf, "j%02db%1d.s%02d", J, B, S);
  return buf;
}
void wrvec(RunState&, const SweepWork&, int, int, int, int) {}
void wrtori(RunState&, const SweepWork&, int) {}
} // namespace ruvo
