// MML compiler: one track's text into its event stream.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "sequencer/engine.h"

namespace bleepforge {

// Something in a track text that the compiler passed over or had to squeeze;
// `position` is the byte index in the text.
struct CompileNote {
    enum Kind { IGNORED_CHARACTER, STREAM_FULL };
    Kind kind;
    std::size_t position;
};

// Compiles `text` into the stream of `track` from offset 0 and records where it
// ends in `events_end`. Does nothing for a track index of 8 or more or an active
// track. Never fails: unknown characters are skipped, numbers clamped. When
// `notes` is given, skipped characters and events lost to a full stream are
// reported there.
void compile_track(Engine& engine, int track, std::string_view text,
                   std::vector<CompileNote>* notes = nullptr);

}  // namespace bleepforge
