// The voice renderer: one track's frames with pitch motion, envelope, volume and note timing.
#pragma once

#include <array>
#include <cstdint>

#include "sequencer/engine.h"

namespace bleepforge {

extern const std::array<double, 16> VOLUME_TABLE;  // 3 dB steps; entry 15 is 1.0, entry 0 silence

// Overwrites the frames of `block` (interleaved left/right) at byte offsets
// 0, 4, ... below `length_bytes`, advancing the track one sample per frame and
// fetching its next event whenever the current one runs out.
void render_voice(Engine& engine, int track, std::int16_t* block, int length_bytes);

// render_voice for every track (at most a block), track k into
// engine.track_blocks[k]: the same samples and state as rendering track 0,
// then 1, ... one after another.
void render_voices(Engine& engine, int length_bytes);

// Advances the track's envelope by one sample (restarting from 0 when asked)
// and returns the level that multiplies this sample.
double envelope_next(Engine& engine, int track, std::uint8_t restart);

}  // namespace bleepforge
