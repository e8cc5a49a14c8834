// bleepforge-render --play: a song through the sound device, from a terminal.
#pragma once

#include <cstdio>
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
// With options.watch every save of options.song restarts it as a fresh --play
// would start, with one line on `notices` ("reloaded SONG (3 warnings)"); a
// save that cannot be played leaves the song going and says why there. Only
// stop_playing() ends it then (130), or the device (2).
int play_command(const Options& options, std::string_view song_bytes, std::unique_ptr<AudioDevice> device,
                 std::FILE* notices = stderr);

// Why a song file without a line led by a track digit is not played.
inline constexpr const char* NO_TRACK_LINES = "no line starts with a track digit 0-7: nothing to play";

// Asks a running play_command to stop cleanly. Async-signal-safe.
void stop_playing();

}  // namespace bleepforge::cli
