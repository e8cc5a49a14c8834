#include "audio/track_scope.h"

#include <algorithm>

namespace bleepforge {

void TrackScopeBuffer::publish(std::uint64_t block) {
    TrackScope& out = snapshots_[std::size_t(back_)];
    const bool follows = block == previous_block_ + 1;
    for (int k = 0; k < TRACK_COUNT; ++k) {
        std::array<std::int16_t, BLOCK_FRAMES>& previous = previous_[std::size_t(k)];
        if (!follows) previous.fill(0);
        std::int16_t* mono = out.mono[std::size_t(k)].data();
        std::copy(previous.begin(), previous.end(), mono);
        const std::int16_t* row = tap_.data() + k * BLOCK_SAMPLES;
        for (int f = 0; f < BLOCK_FRAMES; ++f) {
            previous[std::size_t(f)] = std::int16_t((row[2 * f] + row[2 * f + 1]) / 2);
        }
        std::copy(previous.begin(), previous.end(), mono + BLOCK_FRAMES);
    }
    out.block = block;
    previous_block_ = block;
    back_ = middle_.exchange(std::uint8_t(back_ | FRESH), std::memory_order_acq_rel) & ~FRESH;
}

const TrackScope& TrackScopeBuffer::latest() {
    if (middle_.load(std::memory_order_acquire) & FRESH) {
        front_ = middle_.exchange(std::uint8_t(front_), std::memory_order_acq_rel) & ~FRESH;
    }
    return snapshots_[std::size_t(front_)];
}

}  // namespace bleepforge
