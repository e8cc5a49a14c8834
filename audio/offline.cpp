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
                         const std::function<void(const Engine&)>& progress, const BlockSink& sink) {
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    std::uint64_t end_frame = UINT64_MAX;  // of the kept frames: where the render stops
    if (limits.max_blocks > 0) end_frame = limits.from_frame + limits.max_blocks * BLOCK_FRAMES;
    if (limits.ceiling_frames > 0) end_frame = std::min(end_frame, limits.ceiling_frames);

    RenderResult result{RenderEnd::SONG_ENDED, 0, 0, 0};
    auto ended = [&](RenderEnd end) {
        result.end = end;
        return result;
    };
    for (;;) {
        const bool was_active = any_track_active(engine);
        mix_block(engine, block.data());
        ++result.blocks_mixed;
        if (was_active || any_track_active(engine)) {
            const std::uint64_t start = result.frames_kept;
            result.frames_kept += BLOCK_FRAMES;
            const std::uint64_t begin = std::max(start, limits.from_frame);
            const std::uint64_t end = std::min(result.frames_kept, end_frame);
            if (begin < end) {
                result.frames_delivered += end - begin;
                if (sink && !sink({block.data(), engine.track_tap, int(begin - start), int(end - start)})) {
                    return ended(RenderEnd::STOPPED);
                }
            }
        }
        if (progress) progress(engine);
        if (!any_track_active(engine)) return ended(RenderEnd::SONG_ENDED);
        if (limits.loops > 0 && loops_completed(engine) >= limits.loops) return ended(RenderEnd::LOOPS);
        if (result.frames_kept >= end_frame) {
            const bool by_blocks = limits.max_blocks > 0 && end_frame == limits.from_frame + limits.max_blocks * BLOCK_FRAMES;
            return ended(by_blocks ? RenderEnd::BLOCKS : RenderEnd::CEILING);
        }
        if (engine.recording_mode && engine.recorded_frames >= RECORD_CAPACITY - 1) {
            return ended(RenderEnd::CAPTURE_FULL);
        }
    }
}

}  // namespace bleepforge
