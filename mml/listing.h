// Text listing of compiled event streams, for people and scripts comparing them.
#pragma once

#include <string>
#include <string_view>

#include "sequencer/engine.h"

namespace bleepforge {

// One line per event, tracks 0..7 in order: "<track> <offset> <code> <operand>"
// and, with `names`, " <name>". The operand is "-" for the codes whose operand
// the compiler never writes. Each track lists what its text wrote and the
// EV_END behind it; a track whose text wrote nothing lists its EV_STOP.
std::string event_listing(const Engine& engine, bool names);

// The listing of a song as load_song compiles it, each line with names and two
// more columns: "<line>:<column>" of the command that wrote the event in the
// song file ("-" for the EV_END and EV_STOP the compiler adds), and the note's
// name for note codes ("c4", "a#4"; "-" for the others).
std::string song_event_listing(std::string_view song_bytes);

// "c4" for code 48: the note letter, "#" for a sharp, the octave.
std::string note_name(std::uint8_t code);

}  // namespace bleepforge
