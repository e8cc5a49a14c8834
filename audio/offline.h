// Rendering a loaded song faster than real time, block by block, keeping the
// frames recording mode would capture.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "sequencer/engine.h"

namespace bleepforge {

// The longest render a WAV file can hold: its size fields are 32-bit, so the
// data is at most 4 GiB less the header, in whole blocks (6 h 45 min 47 s).
constexpr std::uint64_t WAV_MAX_FRAMES = (0xFFFF'FFFFull - 36) / 4 / BLOCK_FRAMES * BLOCK_FRAMES;

// A render without a length of its own (bleepforge-render without --seconds,
// the window's song export) stops after this many frames: one hour.
constexpr std::uint64_t DEFAULT_CEILING_FRAMES = 3600ull * SAMPLE_RATE;

struct RenderLimits {
    std::uint64_t max_blocks = 0;     // stop once this many blocks follow from_frame; 0: no limit
    int loops = 0;                    // stop once every active track has looped back this often; 0: no limit
    std::uint64_t from_frame = 0;     // the kept frames before this one are not delivered (a cut)
    std::uint64_t ceiling_frames = 0; // stop once this many frames are kept from the start; 0: no ceiling
};

enum class RenderEnd { SONG_ENDED, LOOPS, BLOCKS, CEILING, CAPTURE_FULL, STOPPED };

struct RenderResult {
    RenderEnd end;
    std::uint64_t blocks_mixed;
    std::uint64_t frames_kept;       // from the start of the song, as the capture would count them
    std::uint64_t frames_delivered;  // to the sink: the kept frames from from_frame on, up to the limit
};

// Part of one kept block of the mix for a sink: frames [begin, end) of the
// block, 0 <= begin < end <= BLOCK_FRAMES, all interleaved stereo.
struct KeptBlock {
    const std::int16_t* mix;     // the whole block
    const std::int16_t* tracks;  // engine.track_tap (TRACK_COUNT rows BLOCK_SAMPLES apart), or null
    int begin;
    int end;
};

// Takes each delivered part in order; false stops the render (RenderEnd::STOPPED).
using BlockSink = std::function<bool(const KeptBlock&)>;

// Mixes blocks of a song already loaded into `engine` until the song ends by
// itself (its last block kept), a limit is reached, the sink refuses, or,
// while recording, the capture is full. A block is kept when a track was
// active when its mixing began or is active after it; the kept frames from
// `from_frame` on go to `sink` exactly as the capture would hold them.
// `progress`, when given, is called after every block.
RenderResult render_song(Engine& engine, const RenderLimits& limits,
                         const std::function<void(const Engine&)>& progress = {}, const BlockSink& sink = {});

// Mixes `blocks` blocks of a loaded song and drops them, as if they had been
// heard; stops early once no track is active. Returns whether a track is still
// active. Nothing is captured unless recording is on.
bool fast_forward(Engine& engine, std::uint64_t blocks);

// A point in a song as a person writes it: seconds ("90", "90.5") or minutes
// and seconds ("1:30", "1:30.5", seconds below 60), spaces around it allowed.
// Empty when the text is neither, or is past MAX_TIME_SECONDS.
constexpr double MAX_TIME_SECONDS = 24 * 60 * 60;
std::optional<double> parse_time(std::string_view text);

// `seconds` (0 .. MAX_TIME_SECONDS) as a frame count at SAMPLE_RATE, rounded to the nearest frame.
std::uint64_t time_frames(double seconds);

// The least loop-back count over the active tracks; 0 when none is active.
int loops_completed(const Engine& engine);

}  // namespace bleepforge
