// What must hold of an engine whatever song it was given. Each check aborts
// with a message naming the broken rule, so a fuzzer reports it as a crash.
#pragma once

#include "sequencer/engine.h"

namespace bleepforge::fuzz {

// Streams end within their buffers; positions lie on events inside them;
// depth, volume, pan and frequency stay in range; the capture count too.
void check_engine(const Engine& engine);

}  // namespace bleepforge::fuzz
