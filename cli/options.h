// Command-line options of bleepforge-render, parsed apart from what they do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/offline.h"
#include "audio/sound_file.h"

namespace bleepforge::cli {

enum class Mode { RENDER, EVENTS, CHECK, PLAY, HELP, VERSION };

struct Options {
    Mode mode = Mode::RENDER;
    std::string song;      // SONG as given
    std::string out;       // -o; after parsing never empty in RENDER mode
    double seconds = 0;    // --seconds, > 0; 0: not given
    int loops = 0;         // --loops, >= 1; 0: not given
    double fade = 0;       // --fade in seconds, >= 0
    double from = 0;       // --from in seconds, >= 0
    std::uint8_t mute = 0;  // --mute: bit k for track k
    std::uint8_t solo = 0;  // --solo: bit k for track k; 0: not given
    bool stems = false;    // --stems
    bool quiet = false;    // -q
    std::string format_name;  // --format as given; empty: not given
    SoundFormat format = SoundFormat::WAV;  // after parsing: --format's, else OUT's extension's, else WAV
    int quality = -1;      // --quality, 0..10; -1: not given
    std::string title;     // --title
    std::string artist;    // --artist
    bool watch = false;    // --watch: with --play, restart on every save of SONG
};

// Parses the arguments after the program name. On success fills `options`
// (out defaulted, --help/--version taking over as soon as they are seen) and
// returns true; otherwise returns false with one line for the user in `error`.
bool parse_options(const std::vector<std::string>& args, Options& options, std::string& error);

// `song` with its extension replaced by ".wav" ("a/b.mml" -> "a/b.wav", "x" -> "x.wav"),
// or by `extension` (no dot) when given.
std::string default_output_path(const std::string& song, const char* extension = "wav");

// How the file is written: format, quality and tags from `options`, frames unknown.
SoundOptions sound_options(const Options& options);

// The end conditions of a render: --loops 1 when neither --seconds nor
// --loops is given; --seconds S as ceil(S x 44100 / 1500) blocks after the
// --from frame; without --seconds the one-hour ceiling.
RenderLimits render_limits(const Options& options);

// The tracks left out of the mix: those not soloed (when --solo is given) and the muted ones.
std::uint8_t muted_tracks(const Options& options);

// Every option the parser takes, as typed ("-o", "--seconds", ...).
std::vector<std::string> option_names();

// The text printed by --help, ending in a newline: the options grouped by
// the modes they serve, each with the range of its value.
std::string usage_text();

}  // namespace bleepforge::cli
