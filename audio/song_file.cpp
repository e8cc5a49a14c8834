#include "audio/song_file.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

#include "audio/mixer.h"
#include "mml/song.h"

namespace bleepforge {

namespace {

// `n` frames at `frames` are frames first..first+n-1 of `count`, the last
// `fade_frames` of which fade linearly to silence: frame i gets the gain
// (count - 1 - i) / fade_frames, truncated toward zero, so the last is 0.
void fade_part(std::int16_t* frames, std::uint64_t first, std::uint32_t n, std::uint64_t count,
               std::uint64_t fade_frames) {
    fade_frames = std::min(fade_frames, count);
    for (std::uint64_t i = std::max(first, count - fade_frames); i < first + n; ++i) {
        const double gain = double(count - 1 - i) / double(fade_frames);
        std::int16_t* frame = frames + 2 * (i - first);
        frame[0] = std::int16_t(frame[0] * gain);
        frame[1] = std::int16_t(frame[1] * gain);
    }
}

// The frames a render of `song_bytes` delivers, found by a silent render.
RenderResult measure(std::string_view song_bytes, const RenderLimits& limits, const SongFileProgressFn& progress,
                     bool& stopped) {
    auto engine = std::make_unique<Engine>();
    engine->loads_no_more = true;
    load_song(*engine, song_bytes);
    std::uint64_t delivered = 0;
    bool go_on = true;
    const BlockSink sink = [&](const KeptBlock& block) {
        delivered += std::uint64_t(block.end - block.begin);
        return go_on;
    };
    const auto step = [&](const Engine& e) { go_on = go_on && progress({e, true, delivered}); };
    const RenderResult result = progress ? render_song(*engine, limits, step, sink) : render_song(*engine, limits);
    stopped = result.end == RenderEnd::STOPPED;
    return result;
}

}  // namespace

SongFileResult render_song_file(std::string_view song_bytes, const SongFileRender& how,
                                const std::vector<SongFileOutput>& outputs, const SongFileProgressFn& progress) {
    SongFileResult result;
    // A fade needs the length before its first frame, and so does a header that cannot be rewritten.
    const bool length_first = how.fade_seconds > 0 || !outputs[0].writer->file().seekable();
    std::uint64_t total = 0;
    if (length_first) {
        result.render = measure(song_bytes, how.limits, progress, result.stopped);
        if (result.stopped) {
            result.reason = "stopped before the end";
            return result;
        }
        total = result.render.frames_delivered;
        if (total == 0 && how.limits.from_frame > 0) {
            result.before_from = true;
            return result;
        }
        for (const SongFileOutput& output : outputs) output.writer->expect_frames(std::uint32_t(total));
    }
    const std::uint64_t fade = std::llround(std::min(how.fade_seconds * SAMPLE_RATE, double(total)));

    auto engine = std::make_unique<Engine>();
    engine->loads_no_more = true;
    engine->muted = how.muted;
    std::vector<std::int16_t> tap;
    if (std::any_of(outputs.begin(), outputs.end(), [](const SongFileOutput& o) { return o.track >= 0; })) {
        tap.resize(std::size_t{TRACK_COUNT} * BLOCK_SAMPLES);
        engine->track_tap = tap.data();
    }
    load_song(*engine, song_bytes);
    std::uint64_t& written = result.frames;
    bool go_on = true;
    std::array<std::int16_t, BLOCK_SAMPLES> faded;
    const BlockSink sink = [&](const KeptBlock& block) {
        if (!go_on) {
            result.stopped = true;
            result.reason = "stopped before the end";
            return false;
        }
        const auto n = std::uint32_t(block.end - block.begin);
        for (std::size_t k = 0; k < outputs.size(); ++k) {
            const SongFileOutput& output = outputs[k];
            const std::int16_t* frames =
                (output.track < 0 ? block.mix : block.tracks + output.track * BLOCK_SAMPLES) + 2 * block.begin;
            if (fade > 0 && written + n > total - fade) {
                std::copy_n(frames, 2 * n, faded.begin());
                fade_part(faded.data(), written, n, total, fade);
                frames = faded.data();
            }
            if (!output.writer->write_frames(frames, n, result.reason)) {
                result.failed = int(k);
                return false;
            }
        }
        written += n;
        return true;
    };
    const auto step = [&](const Engine& e) { go_on = go_on && progress({e, false, written}); };
    result.render = progress ? render_song(*engine, how.limits, step, sink) : render_song(*engine, how.limits, {}, sink);
    if (result.render.end == RenderEnd::STOPPED) return result;
    if (written == 0 && how.limits.from_frame > 0) {
        result.before_from = true;
        return result;
    }

    for (std::size_t k = 0; k < outputs.size(); ++k) {
        result.failed = int(k);
        outputs[k].writer->file().defer_rename();
        if (!outputs[k].writer->finish(result.reason)) return result;
    }
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        result.failed = int(k);
        if (!outputs[k].writer->file().place(result.reason)) return result;
    }
    result.failed = -1;
    result.written = true;
    return result;
}

}  // namespace bleepforge
