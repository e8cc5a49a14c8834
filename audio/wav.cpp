#include "audio/wav.h"

#include <cstring>

namespace bleepforge {

namespace {

void put32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = std::uint8_t(v >> (8 * i));
}
void put16(std::uint8_t* at, std::uint16_t v) {
    at[0] = std::uint8_t(v);
    at[1] = std::uint8_t(v >> 8);
}

}  // namespace

WavHeader make_wav_header(std::uint32_t frames) {
    const std::uint32_t data_bytes = frames * 4;
    WavHeader h{};
    std::uint8_t* b = h.bytes.data();
    std::memcpy(b, "RIFF", 4);
    put32(b + 4, 36 + data_bytes);
    std::memcpy(b + 8, "WAVE", 4);
    std::memcpy(b + 12, "fmt ", 4);
    put32(b + 16, 16);
    put16(b + 20, 1);       // PCM
    put16(b + 22, 2);       // channels
    put32(b + 24, 44100);   // frames per second
    put32(b + 28, 176400);  // bytes per second
    put16(b + 32, 4);       // bytes per frame
    put16(b + 34, 16);      // bits per sample
    std::memcpy(b + 36, "data", 4);
    put32(b + 40, data_bytes);
    return h;
}

}  // namespace bleepforge
