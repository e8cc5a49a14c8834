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
        if (limits.stop && limits.stop->load()) return {RenderEnd::STOPPED, mixed};
    }
}

void apply_fade(std::int16_t* frames, std::uint32_t count, std::uint32_t fade_frames) {
    fade_frames = std::min(fade_frames, count);
    for (std::uint32_t i = count - fade_frames; i < count; ++i) {
        const double gain = double(count - 1 - i) / fade_frames;
        frames[2 * i] = std::int16_t(frames[2 * i] * gain);
        frames[2 * i + 1] = std::int16_t(frames[2 * i + 1] * gain);
    }
}

}  // namespace bleepforge
