// Text listing of compiled event streams, for people and scripts comparing them.
#pragma once

#include <string>

#include "sequencer/engine.h"

namespace bleepforge {

// One line per event, tracks 0..7 in order: "<track> <offset> <code> <operand>"
// and, with `names`, " <name>". The operand is "-" for the codes whose operand
// the compiler never writes. Each track lists what its text wrote and the
// EV_END behind it; a track whose text wrote nothing lists its EV_STOP.
std::string event_listing(const Engine& engine, bool names);

}  // namespace bleepforge
