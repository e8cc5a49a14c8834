// bleepforge-render --play: a song through the sound device, from a terminal.
#pragma once

#include <memory>
#include <string_view>

#include "audio/device.h"
#include "cli/options.h"

namespace bleepforge::cli {

// Plays `song_bytes` on `device` until the song ends by itself, options.seconds
// of it (rounded up to whole blocks) or options.loops loops have been mixed, or
// stop_playing() is called (Ctrl-C). Draws a progress line on a terminal
// unless quiet. Returns the exit status: 0 when played out, 130 when stopped,
// 2 when the device cannot be opened or stops answering.
int play_command(const Options& options, std::string_view song_bytes, std::unique_ptr<AudioDevice> device);

// Asks a running play_command to stop cleanly. Async-signal-safe.
void stop_playing();

}  // namespace bleepforge::cli
