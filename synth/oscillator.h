// Waveforms, the shared noise generator, the output low-pass and the pan.
#pragma once

#include <array>
#include <cstdint>

#include "sequencer/engine.h"

namespace bleepforge {

extern const std::array<double, 16> NOISE_RATE_TABLE;  // register steps per second, by variant
extern const std::array<double, 16> PAN_TABLE;         // entry k (1..15): cos((k - 1) * pi / 28)

// Truncates toward zero and keeps the low 16 bits, as every sample is stored.
inline std::int16_t to_sample(double value) {
    return std::int16_t(std::uint16_t(std::int64_t(value)));
}

// One stereo frame of `track`'s raw sound into out[0] (left) and out[1] (right):
// advances the phase, and with the gate open draws the waveform, filters and pans.
void oscillator_frame(Engine& engine, int track, std::int16_t out[2]);

// One step of the shared 15-bit register; mode 0 long, any other short. Returns the feedback bit.
int noise_step(Engine& engine, std::uint8_t mode);

}  // namespace bleepforge
