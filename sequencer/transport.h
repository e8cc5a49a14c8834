// Starting and stopping tracks. All of these run on the side that owns the
// engine (the UI side behind the engine lock, or a renderer).
#pragma once

#include <array>
#include <string>

#include "sequencer/engine.h"

namespace bleepforge {

using TrackTexts = std::array<std::string, TRACK_COUNT>;

void init_tracks(Engine& engine);                // start values, every stream holding EV_STOP
void reset_envelope(Engine& engine, int track);  // full level in one sample, no decay
void reset_track(Engine& engine, int track);     // default parameters, stream start, first fetch
void reset_all_tracks(Engine& engine);
void stop_track(Engine& engine, int track);      // gate closed, inactive, stream starts with EV_END
void stop_all_tracks(Engine& engine);
void clear_stream(Engine& engine, int track);    // stream starts with EV_STOP
void clear_all_streams(Engine& engine);
bool any_track_active(const Engine& engine);

// Only when no track is active: clears and recompiles all eight streams, then
// resets and starts every track.
void start_all_if_idle(Engine& engine, const TrackTexts& texts);

// Copies what the sound of the coming blocks depends on (the eight tracks and
// the shared noise generator) from `from` into `to`; the capture, the recording
// mode, the mix controls and the work areas of `to` stay as they are.
void copy_sound_state(Engine& to, const Engine& from);

}  // namespace bleepforge
