#include "audio/offline.h"

#include <algorithm>
#include <array>
#include <climits>

#include "audio/mixer.h"
#include "sequencer/transport.h"

namespace bleepforge {

int loops_completed(const Engine& engine) {
    int least = INT_MAX;
    for (const TrackState& t : engine.tracks) {
        if (t.active) least = std::min(least, t.loop_count);
    }
    return least == INT_MAX ? 0 : least;
}

RenderResult render_song(Engine& engine, const RenderLimits& limits,
                         const std::function<void(const Engine&)>& progress) {
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    for (std::uint64_t mixed = 1;; ++mixed) {
        mix_block(engine, block.data());
        if (progress) progress(engine);
        if (!any_track_active(engine)) return {RenderEnd::SONG_ENDED, mixed};
        if (limits.loops > 0 && loops_completed(engine) >= limits.loops) return {RenderEnd::LOOPS, mixed};
        if (limits.max_blocks > 0 && engine.recorded_frames >= limits.max_blocks * BLOCK_FRAMES) {
            return {RenderEnd::BLOCKS, mixed};
        }
        if (engine.recorded_frames >= RECORD_CAPACITY - 1) return {RenderEnd::CAPTURE_FULL, mixed};
    }
}

}  // namespace bleepforge
