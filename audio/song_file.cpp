#include "audio/song_file.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "audio/mixer.h"
#include "mml/song.h"

namespace bleepforge {

SongFileResult render_song_file(std::string_view song_bytes, const SongFileRender& how, SoundWriter& writer,
                                const std::function<void(const Engine&)>& progress) {
    SongFileResult result;
    auto engine = std::make_unique<Engine>();
    if (!recording_on(*engine)) {
        result.reason = "no memory for the capture (158 MB)";
        return result;
    }
    load_song(*engine, song_bytes);
    engine->muted = how.muted;
    // The capture keeps every frame; the sink only answers whether to go on.
    const BlockSink go_on = [&how](const KeptBlock&) { return !(how.stop && how.stop->load()); };
    if (render_song(*engine, how.limits, progress, go_on).end == RenderEnd::STOPPED) {
        result.stopped = true;
        result.reason = "stopped before the end";
        return result;
    }
    result.frames = engine->recorded_frames;
    const double fade = std::min(how.fade_seconds * SAMPLE_RATE, double(result.frames));
    apply_fade(engine->RecordBuffer.get(), result.frames, std::uint32_t(std::llround(fade)));
    writer.expect_frames(result.frames);
    result.written = writer.write_frames(engine->RecordBuffer.get(), result.frames, result.reason) &&
                     writer.finish(result.reason);
    return result;
}

}  // namespace bleepforge
