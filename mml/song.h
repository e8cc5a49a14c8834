// Song files: the split into eight track texts, and loading a song into an engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <bitset>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sequencer/transport.h"

namespace bleepforge {

// Where a run of a track's text came from: text[text_offset...] starts at
// file byte file_offset, which is column `column` (1-based) of line `line`.
struct TextOrigin {
    std::size_t text_offset;
    std::size_t file_offset;
    int line;
    int column;
};

struct SplitSong {
    TrackTexts texts;
    std::array<std::vector<TextOrigin>, TRACK_COUNT> origins;  // one entry per contributing line
};

// The line and column (1-based) of byte `position` of a track text whose
// pieces came from `origins`; {0, 0} when it has none.
struct SourcePlace {
    int line = 0;
    int column = 0;
};
SourcePlace source_place(const std::vector<TextOrigin>& origins, std::size_t position);

// Splits song file bytes into track texts. Lines end at CR LF, a lone CR or a
// lone LF; a line led by "0".."7" carries MML for that track (the rest of the
// line, NUL bytes dropped); every other line is skipped. A UTF-8 byte-order
// mark at the very start is skipped.
SplitSong split_song(std::string_view bytes);

// Loads a song as a dropped file is loaded: stops every track, recompiles all
// eight streams, starts them, and restarts the capture while recording.
void load_song(Engine& engine, std::string_view bytes);

// load_song in two steps, so the slow part runs outside the engine lock:
// prepare_song splits and compiles into streams of its own (any thread, no
// engine), start_prepared_song then does what load_song does with them.
struct PreparedSong {
    struct Stream {
        std::array<std::uint8_t, EVENT_STREAM_BYTES> events{};
        std::bitset<EVENT_STREAM_BYTES> written;  // the bytes the compiler wrote; it skips some
        int events_end = -1;
    };
    std::array<Stream, TRACK_COUNT> streams;
};
std::unique_ptr<PreparedSong> prepare_song(std::string_view bytes);
void start_prepared_song(Engine& engine, const PreparedSong& song);

// Reads a whole song file. On failure returns false with a reason a person can read.

// Whether the system reads `path` as a device whatever the folder: on Windows
// "NUL", "CON", "COM1"... (also with an extension); elsewhere never.
bool names_a_device(const std::filesystem::path& path);

// Songs are a few kilobytes; anything larger than this is not one.
constexpr std::size_t MAX_SONG_BYTES = std::size_t{16} << 20;

// Reads a whole song file of at most MAX_SONG_BYTES. Anything but a regular
// file (or a link to one) is refused without being opened, so a FIFO or a
// terminal never blocks. On failure returns false with a reason a person can read.
bool read_song_bytes(const std::filesystem::path& path, std::string& bytes, std::string& reason);

}  // namespace bleepforge
