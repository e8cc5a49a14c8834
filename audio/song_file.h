// A song rendered offline straight into sound files, block by block: what
// bleepforge-render writes and what the window's song export writes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/offline.h"
#include "audio/sound_file.h"

namespace bleepforge {

// How the song is rendered.
struct SongFileRender {
    RenderLimits limits;
    double fade_seconds = 0;  // the last seconds fade to silence (at most the whole render)
    std::uint8_t muted = 0;   // Engine::muted during the render
};

// One file the render writes: the mix, or one track's stem. The writer must be open.
struct SongFileOutput {
    SoundWriter* writer;
    int track = -1;  // -1: the mix
};

// Where a render stands, after each block mixed. A render that needs its
// length first (a fade, a header that cannot be rewritten) runs a silent
// measuring pass before the writing one.
struct SongFileProgress {
    const Engine& engine;
    bool measuring;        // the silent pass: nothing written yet
    std::uint64_t frames;  // frames delivered so far in this pass
};

// False stops the render after the block in hand.
using SongFileProgressFn = std::function<bool(const SongFileProgress&)>;

struct SongFileResult {
    bool written = false;      // every file is complete and in place
    bool stopped = false;      // the progress callback stopped the render; nothing was placed
    bool before_from = false;  // the song ends before limits.from_frame: nothing to write
    RenderResult render{};     // how the (last) pass ended
    std::uint64_t frames = 0;  // frames written to each file
    int failed = -1;           // the output (index) a write or finish failed on
    std::string reason;        // why not written, for a message that names the file
};

// Loads `song_bytes` into an engine of its own as a drop loads it, renders it
// as render_song does, fades its end and streams it into every output (the
// first the mix, the rest stems). Completes every file before any replaces its
// target, so that a failure leaves them all as they were.
SongFileResult render_song_file(std::string_view song_bytes, const SongFileRender& how,
                                const std::vector<SongFileOutput>& outputs, const SongFileProgressFn& progress = {});

}  // namespace bleepforge
