// The one interface every sound output implements (ALSA, winmm, test device).
#pragma once

#include <cstdint>
#include <string>

namespace bleepforge {

constexpr int DEVICE_WAIT_MS = 5000;  // a device silent this long is taken as stalled

class AudioDevice {
public:
    enum class Wait { PLAYED, TIMED_OUT };

    virtual ~AudioDevice() = default;

    // Opens the output for 44100 Hz, 16-bit, 2 channels, in blocks of
    // BLOCK_FRAMES frames. Returns false with a reason a person can read.
    virtual bool open(std::string& reason) = 0;

    // Queues one block of BLOCK_FRAMES interleaved frames behind whatever is
    // playing and returns once the device has finished the block queued before
    // it (so one block plays while the next is mixed), or TIMED_OUT after
    // `timeout_ms` without the device answering. Called only by the render thread.
    virtual Wait write_block(const std::int16_t* block, int timeout_ms) = 0;

    // Stops playback, drops what is queued and releases the device. Safe to call twice.
    virtual void close() = 0;
};

}  // namespace bleepforge
