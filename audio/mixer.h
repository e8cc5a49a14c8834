// The mix of the eight tracks and the recording capture.
#pragma once

#include <cstdint>

#include "sequencer/engine.h"

namespace bleepforge {

constexpr double master_gain = 1.0;

// Fills `block` (BLOCK_BYTES = 1500 frames) with the next block of the mix:
// every track rendered and summed, clamped to the 16-bit range. While
// recording, the block is appended to the capture when any track was active
// when mixing began or is active after it.
// Tracks whose bit is set in `engine.muted` are rendered (the shared noise register
// moves as in the full mix) but left out of the sum; the capture keeps its length.
// With `engine.track_tap` set, row k (BLOCK_SAMPLES apart) receives track k's
// interleaved samples before its mix gain, the first length_bytes / 2 of them;
// with it null nothing is copied. Runs on the thread that owns the engine.
void mix_block(Engine& engine, std::int16_t* block, int length_bytes = BLOCK_BYTES);

// Switches recording mode on with an empty capture. Returns false, leaving the
// mode off, when the capture buffer cannot be allocated. Does nothing when on.
bool recording_on(Engine& engine);

// Switches recording mode off and releases the capture.
void recording_off(Engine& engine);

}  // namespace bleepforge
