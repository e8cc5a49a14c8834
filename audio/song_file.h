// A song rendered offline straight into a sound file, as bleepforge-render
// renders it (the same render_song, keep rule and fade): the window's song export.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "audio/offline.h"
#include "audio/sound_file.h"

namespace bleepforge {

// How the song is rendered.
struct SongFileRender {
    RenderLimits limits;
    double fade_seconds = 0;  // the last seconds fade to silence (at most the whole render)
    std::uint8_t muted = 0;   // Engine::muted during the render
    const std::atomic<bool>* stop = nullptr;  // set from another thread: stop after the block in hand
};

struct SongFileResult {
    bool written = false;      // the file is complete and in place
    bool stopped = false;      // `stop` ended the render; nothing was written
    std::uint32_t frames = 0;  // frames rendered
    std::string reason;        // why not written, for a message that already names the file
};

// Loads `song_bytes` into an engine of its own as a drop loads it, renders it
// as render_song does (`progress` likewise), fades its end and writes it all
// through `writer`, which must be open, finishing the file.
SongFileResult render_song_file(std::string_view song_bytes, const SongFileRender& how, SoundWriter& writer,
                                const std::function<void(const Engine&)>& progress = {});

}  // namespace bleepforge
