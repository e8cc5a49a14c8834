#include "audio/offline.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

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
    // Where the render stops, counted in kept frames from the start.
    const std::uint64_t blocks_end =
        limits.max_blocks > 0 ? limits.from_frame + limits.max_blocks * BLOCK_FRAMES : UINT64_MAX;
    const std::uint64_t end_frame = limits.ceiling_frames > 0 ? std::min(blocks_end, limits.ceiling_frames) : blocks_end;

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
            return ended(end_frame == blocks_end ? RenderEnd::BLOCKS : RenderEnd::CEILING);
        }
        if (engine.recording_mode && engine.recorded_frames >= RECORD_CAPACITY - 1) {
            return ended(RenderEnd::CAPTURE_FULL);
        }
    }
}

bool fast_forward(Engine& engine, std::uint64_t blocks) {
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    for (std::uint64_t i = 0; i < blocks && any_track_active(engine); ++i) mix_block(engine, block.data());
    return any_track_active(engine);
}

namespace {

// Digits with at most one decimal point and at least one digit; no sign, no exponent.
std::optional<double> parse_decimal(std::string_view text) {
    double digits = 0;
    int decimals = 0;
    bool point = false, digit = false;
    for (char c : text) {
        if (c == '.' && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            digit = true;
            if (point) ++decimals;
            digits = digits * 10 + (c - '0');
        } else {
            return std::nullopt;
        }
    }
    if (!digit) return std::nullopt;
    return digits / std::pow(10.0, decimals);  // one rounding: "90.1" is the double nearest 90.1
}

}  // namespace

std::optional<double> parse_time(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(" \t") - first + 1);

    std::optional<double> seconds;
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        seconds = parse_decimal(text);
    } else {
        const std::string_view minutes_text = text.substr(0, colon);
        const std::optional<double> minutes = parse_decimal(minutes_text);
        const std::optional<double> rest = parse_decimal(text.substr(colon + 1));
        if (!minutes || minutes_text.find('.') != std::string_view::npos || !rest || *rest >= 60) {
            return std::nullopt;
        }
        seconds = *minutes * 60 + *rest;
    }
    if (!seconds || *seconds > MAX_TIME_SECONDS) return std::nullopt;
    return seconds;
}

std::uint64_t time_frames(double seconds) {
    return std::uint64_t(std::llround(std::clamp(seconds, 0.0, MAX_TIME_SECONDS) * SAMPLE_RATE));
}

}  // namespace bleepforge
