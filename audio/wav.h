// The RIFF/WAVE file layout of a capture: 16-bit stereo PCM at 44100 Hz.
#pragma once

#include <array>
#include <cstdint>

namespace bleepforge {

constexpr int WAV_HEADER_BYTES = 44;

struct WavHeader {
    std::array<std::uint8_t, WAV_HEADER_BYTES> bytes;  // little-endian, ready to write
};

// The 44-byte header for `frames` frames of 16-bit stereo PCM; only the two
// size fields depend on `frames`.
WavHeader make_wav_header(std::uint32_t frames);

}  // namespace bleepforge
