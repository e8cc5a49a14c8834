// Each track's latest output for drawing, handed from the render thread to
// the UI thread without the engine lock: a triple buffer, so the writer never
// waits and never allocates, and the reader always holds one whole snapshot.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "sequencer/engine.h"

namespace bleepforge {

// What the device was handed most recently, per track.
struct TrackScope {
    static constexpr int FRAMES = 2 * BLOCK_FRAMES;  // the latest two blocks, oldest first

    std::uint64_t block = 0;  // device index of the newest block (the device's first block is 0); 0: none yet
    // (L + R) / 2 of each track's samples as they entered the mix; zeros where no block was taken.
    std::array<std::array<std::int16_t, FRAMES>, TRACK_COUNT> mono{};
};

class TrackScopeBuffer {
public:
    // The tap rows mix_block fills: TRACK_COUNT rows of BLOCK_SAMPLES interleaved samples.
    std::int16_t* tap() { return tap_.data(); }

    // Render thread: publishes the tap as device block `block`, behind the
    // block published before it (zeros unless that was block - 1).
    void publish(std::uint64_t block);

    // Reader thread (one only): the newest published snapshot; it stays as it
    // is until the next call.
    const TrackScope& latest();

private:
    static constexpr std::uint8_t FRESH = 4;  // in middle_: the writer published since the reader took it

    std::array<std::int16_t, TRACK_COUNT * BLOCK_SAMPLES> tap_{};
    std::array<TrackScope, 3> snapshots_{};
    std::array<std::array<std::int16_t, BLOCK_FRAMES>, TRACK_COUNT> previous_{};  // writer's last block
    std::uint64_t previous_block_ = 0;  // writer only
    int back_ = 0;                      // writer only
    std::atomic<std::uint8_t> middle_{1};
    int front_ = 2;                     // reader only
};

}  // namespace bleepforge
