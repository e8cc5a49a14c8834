// Rendering a loaded song faster than real time, captured as recording mode captures it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "sequencer/engine.h"

namespace bleepforge {

struct RenderLimits {
    std::uint64_t max_blocks = 0;  // stop once the capture holds this many blocks; 0: no limit
    int loops = 0;                 // stop once every active track has looped back this often; 0: no limit
};

enum class RenderEnd { SONG_ENDED, LOOPS, BLOCKS, CAPTURE_FULL };

struct RenderResult {
    RenderEnd end;
    std::uint64_t blocks_mixed;
};

// Mixes blocks of a song already loaded into `engine` (recording must be on)
// until the song ends by itself (its last block kept), a limit is reached, or
// the capture is full. `progress`, when given, is called after every block.
RenderResult render_song(Engine& engine, const RenderLimits& limits,
                         const std::function<void(const Engine&)>& progress = {});

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
