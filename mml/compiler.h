// MML compiler: one track's text into its event stream.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "sequencer/engine.h"

namespace bleepforge {

// Something in a track text that the compiler passed over, squeezed, or read
// differently from how it looks. Positions are byte indices in the text.
struct CompileNote {
    enum Kind {
        IGNORED_CHARACTER,  // a byte that is no command (spaces and line ends are not reported)
        STREAM_FULL,        // the event of the command at `position` overwrote the last slot
        STRAY_DIGIT,        // a digit that belongs to no command
        CLAMPED,            // the command's number was out of range: `value` used instead of `asked`
        MISREAD,            // the command read fewer digits than follow it, or "o"/"q" took an odd byte: `value` used
        LENGTH_CLAMPED,     // a note or rest of `asked` ticks, played as `value` (255)
        NOTE_TOO_LOW,       // an accidental took the note below 0: played as a rest
    };
    Kind kind;
    std::size_t position;         // the command's (or the byte's) first byte
    std::size_t read_end = 0;     // one past the bytes the command consumed
    std::size_t looks_end = 0;    // one past the command and every digit right behind it
    int value = 0;
    int asked = 0;
};

// Receives the compiler's notes and, for every event written, which command wrote it.
class CompileListener {
public:
    virtual ~CompileListener() = default;
    virtual void note(const CompileNote&) {}
    // The command starting at text byte `position` wrote the event now at stream `offset`.
    virtual void event(int /*offset*/, std::size_t /*position*/) {}
};

// Compiles `text` into the stream of `track` from offset 0 and records where it
// ends in `events_end`. Does nothing for a track index of 8 or more or an active
// track. Never fails: unknown characters are skipped, numbers clamped. When
// `notes` is given, skipped characters and events lost to a full stream are
// reported there.
void compile_track(Engine& engine, int track, std::string_view text,
                   std::vector<CompileNote>* notes = nullptr);

// The same, reporting to `listener` as it goes (nothing is stored for it).
void compile_track(Engine& engine, int track, std::string_view text, CompileListener& listener);

}  // namespace bleepforge
