// The event interpreter: walks a track's stream in musical time.
#pragma once

#include <array>
#include <cstdint>

#include "sequencer/engine.h"

namespace bleepforge {

// Entry i: 440 * 2^((i - 57) / 12) Hz to six decimals; entry 57 is the a of octave 4.
extern const std::array<double, 110> PITCH_TABLE;

// Each track may run at most FETCH_BUDGET_MAX events in one fetch, and its
// allowance refills by FETCH_BUDGET_PER_SAMPLE every sample it plays; a fetch
// that runs out stops the track. A plain pass over a whole stream, even with its
// loop-back, needs fewer than 1024 events, so only note-less sections repeated
// over and over reach the limit; it keeps the work of a block bounded whatever
// a song file holds.
constexpr std::int32_t FETCH_BUDGET_MAX = 2048;
constexpr std::int32_t FETCH_BUDGET_PER_SAMPLE = 32;

// Runs the track's events from `cursor` up to and including the next note or
// rest, or until the track stops. Does nothing for an inactive track. Executes
// at most FETCH_BUDGET_MAX events.
void fetch_events(Engine& engine, int track);

// Length of `ticks` in samples at the track's current tempo, fraction included.
double event_length(const TrackState& state, std::uint8_t ticks);

// Frequency in Hz of note number n detuned by d hundredths of a semitone;
// numbers outside 0..100 sound as the nearest end of that range.
double note_frequency(int n, int d);

}  // namespace bleepforge
