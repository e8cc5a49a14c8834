#include "audio/offline.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <memory>

#include "audio/mixer.h"
#include "mml/song.h"
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

SongFileResult render_song_file(std::string_view song_bytes, const SongFileRender& how, PendingFile& file,
                                const std::function<void(const Engine&)>& progress) {
    SongFileResult result;
    auto engine = std::make_unique<Engine>();
    if (!recording_on(*engine)) {
        result.reason = "no memory for the capture (158 MB)";
        return result;
    }
    load_song(*engine, song_bytes);
    engine->muted = how.muted;
    if (render_song(*engine, how.limits, progress).end == RenderEnd::STOPPED) {
        result.stopped = true;
        result.reason = "stopped before the end";
        return result;
    }
    result.frames = engine->recorded_frames;
    const double fade = std::min(how.fade_seconds * SAMPLE_RATE, double(result.frames));
    apply_fade(engine->RecordBuffer.get(), result.frames, std::uint32_t(std::llround(fade)));
    result.written = write_wav(file, engine->RecordBuffer.get(), result.frames, result.reason);
    return result;
}

}  // namespace bleepforge
