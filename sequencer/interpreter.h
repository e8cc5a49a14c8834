// The event interpreter: walks a track's stream in musical time.
#pragma once

#include <array>
#include <cstdint>

#include "sequencer/engine.h"

namespace bleepforge {

// Entry i: 440 * 2^((i - 57) / 12) Hz to six decimals; entry 57 is the a of octave 4.
extern const std::array<double, 110> PITCH_TABLE;

// Runs the track's events from `cursor` up to and including the next note or
// rest, or until the track stops. Does nothing for an inactive track.
void fetch_events(Engine& engine, int track);

// Length of `ticks` in samples at the track's current tempo, fraction included.
double event_length(const TrackState& state, std::uint8_t ticks);

// Frequency in Hz of note number n detuned by d hundredths of a semitone;
// numbers outside 0..100 sound as the nearest end of that range.
double note_frequency(int n, int d);

}  // namespace bleepforge
