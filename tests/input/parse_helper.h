// Runs the input sections on a text, in-process, and keeps the run state,
// the listing, the messages and how the run ended.
#pragma once

#include <memory>
#include <sstream>
#include <string>

#include "core/state.h"
#include "core/stop.h"
#include "input/parameter_input.h"
#include "input/reader.h"
#include "support/test_support.h"

namespace ruvo::test {

struct Parsed {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<FitState> fs = std::make_unique<FitState>();
  std::string out, err;
  bool help = false;       // readInputFile returned false
  bool ended = false;      // a RunEnd was thrown
  bool isStop = false;     // ... by a stop (else by the input-error summary)
  std::string stopMessage; // the stop's message
};

inline Parsed parse(const std::string& text) {
  Parsed p;
  std::istringstream in(text);
  std::ostringstream out, err;
  p.rs->allocate();
  p.rs->io.in = &in;
  p.rs->io.out = &out;
  p.rs->io.err = &err;
  Reader reader(in, out, err);
  try {
    p.help = !readInputFile(*p.rs, *p.fs, reader);
  } catch (const RunEnd& e) {
    p.ended = true;
    p.isStop = e.isStop;
    p.stopMessage = e.message;
  }
  p.rs->io.in = nullptr;
  p.rs->io.out = nullptr;
  p.rs->io.err = nullptr;
  p.out = out.str();
  p.err = err.str();
  return p;
}

// The text of a whole-input case below tests/data/input.
inline std::string inputCase(const std::string& name) {
  return readFile(sourcePath("tests/data/input/" + name));
}

} // namespace ruvo::test
