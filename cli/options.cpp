#include "cli/options.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <optional>

#include "sequencer/engine.h"

namespace bleepforge::cli {
namespace {

constexpr unsigned bit(Mode m) { return 1u << unsigned(m); }

using Apply = bool (*)(Options&, const std::string& value);

// Where --help lists an option, in this order.
enum class Group { RENDER, TIMED, PLAYING, MODES, GENERAL };

struct OptionSpec {
    const char* name;
    bool takes_value;
    unsigned modes;     // the modes the option makes sense in
    Mode selects;       // the mode a mode flag selects; RENDER for the others
    Apply apply;        // false when the value is not acceptable
    const char* wants;  // what the value must be, for the error message
    Group group;        // its heading in --help
    const char* value;  // the value's name in --help, nullptr without one
    const char* help;   // its lines in --help; "\n" breaks a line, the range goes last
};

bool parse_double(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && errno == 0 && std::isfinite(value);
}

bool apply_out(Options& o, const std::string& v) {
    o.out = v;
    return !v.empty();
}
bool apply_seconds(Options& o, const std::string& v) { return parse_double(v, o.seconds) && o.seconds > 0; }
bool apply_fade(Options& o, const std::string& v) { return parse_double(v, o.fade) && o.fade >= 0; }
bool apply_loops(Options& o, const std::string& v) {
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const long n = std::strtol(v.c_str(), nullptr, 10);
    o.loops = int(n);
    return errno == 0 && n >= 1 && n <= INT_MAX;
}
bool apply_from(Options& o, const std::string& v) {
    const std::optional<double> seconds = parse_time(v);
    o.from = seconds.value_or(0);
    return seconds.has_value();
}
// Track digits, commas between them allowed: "0,3", "03".
bool parse_tracks(const std::string& v, std::uint8_t& tracks) {
    tracks = 0;
    bool digit_last = false;
    for (char c : v) {
        if (c >= '0' && c <= '7') {
            tracks |= std::uint8_t(1u << (c - '0'));
            digit_last = true;
        } else if (c == ',' && digit_last) {
            digit_last = false;
        } else {
            return false;
        }
    }
    return digit_last;
}
bool apply_mute(Options& o, const std::string& v) { return parse_tracks(v, o.mute); }
bool apply_solo(Options& o, const std::string& v) { return parse_tracks(v, o.solo); }
bool apply_stems(Options& o, const std::string&) {
    o.stems = true;
    return true;
}
bool apply_quiet(Options& o, const std::string&) {
    o.quiet = true;
    return true;
}
bool apply_watch(Options& o, const std::string&) {
    o.watch = true;
    return true;
}
bool apply_nothing(Options&, const std::string&) { return true; }
bool apply_format(Options& o, const std::string& v) {
    o.format_name = v;
    return sound_format_named(v) != nullptr;
}
bool apply_quality(Options& o, const std::string& v) {
    o.quality = v.size() == 1 && std::isdigit(static_cast<unsigned char>(v[0])) ? v[0] - '0' : v == "10" ? 10 : -1;
    return o.quality >= 0;
}
bool apply_title(Options& o, const std::string& v) {
    o.title = v;
    return true;
}
bool apply_artist(Options& o, const std::string& v) {
    o.artist = v;
    return true;
}

constexpr unsigned RENDERING = bit(Mode::RENDER);
constexpr unsigned PLAYING = bit(Mode::PLAY);
constexpr unsigned TIMED = bit(Mode::RENDER) | bit(Mode::PLAY);
constexpr unsigned ANY = bit(Mode::RENDER) | bit(Mode::EVENTS) | bit(Mode::CHECK) | bit(Mode::PLAY);

// A new mode is one row here, its bit in the `modes` of the options it takes,
// and its case in main().
const OptionSpec OPTIONS[] = {
    {"-o", true, RENDERING, Mode::RENDER, apply_out, "a file name", Group::RENDER, "OUT.wav",
     "the file to write (default: SONG with the format's extension)"},
    {"--format", true, RENDERING, Mode::RENDER, apply_format, "wav, flac, ogg, opus or mp3", Group::RENDER, "FMT",
     "the format: wav, flac, ogg (Ogg Vorbis), opus or mp3; without\n"
     "it OUT's extension .flac, .ogg, .opus or .mp3 (in any case)\n"
     "chooses, and any other name gets wav. All but wav in Linux\n"
     "builds only; opus is resampled to 48000 Hz"},
    {"--quality", true, RENDERING, Mode::RENDER, apply_quality, "a whole number from 0 to 10", Group::RENDER, "Q",
     "the quality of ogg, opus and mp3 (0 to 10, 10 best)"},
    {"--title", true, RENDERING, Mode::RENDER, apply_title, "a text", Group::RENDER, "TEXT",
     "the title tag of flac, ogg, opus and mp3 files (wav has none)"},
    {"--artist", true, RENDERING, Mode::RENDER, apply_artist, "a text", Group::RENDER, "TEXT",
     "the artist tag, likewise"},
    {"--fade", true, RENDERING, Mode::RENDER, apply_fade, "a number of seconds, 0 or more", Group::RENDER, "F",
     "fade the last F seconds out to silence (F >= 0)"},
    {"--stems", false, RENDERING, Mode::RENDER, apply_stems, nullptr, Group::RENDER, nullptr,
     "also write each track that has MML text as it enters the mix,\n"
     "beside OUT.wav: OUT-0.wav ... OUT-7.wav (muted tracks too)"},
    {"--from", true, TIMED, Mode::RENDER, apply_from, "a time: seconds, or m:ss.s, up to 24 hours", Group::TIMED, "TIME",
     "start TIME into the song: the same render cut before TIME;\n"
     "--seconds then counts from TIME (seconds or m:ss.s, to 24 h;\n"
     "--play starts at the block of 1500 frames holding TIME)"},
    {"--mute", true, TIMED, Mode::RENDER, apply_mute, "track digits 0-7 (like 0,3)", Group::TIMED, "LIST",
     "leave the tracks in LIST out of the mix (digits 0-7, like 0,3);\n"
     "they still run, so every other track sounds as in the full song"},
    {"--solo", true, TIMED, Mode::RENDER, apply_solo, "track digits 0-7 (like 0,3)", Group::TIMED, "LIST",
     "hear only the tracks in LIST, less those of --mute"},
    {"--seconds", true, TIMED, Mode::RENDER, apply_seconds, "a number of seconds above 0", Group::TIMED, "S",
     "stop after S seconds, rounded up to whole blocks of 1500 frames\n"
     "(S > 0; a WAV file holds 24347.8 s, 6 h 45 min, at most)"},
    {"--loops", true, TIMED, Mode::RENDER, apply_loops, "a whole number of loops, 1 or more", Group::TIMED, "N",
     "stop once every looping track has looped back N times (N >= 1;\n"
     "--loops 1 when neither --seconds nor --loops is given)"},
    {"--watch", false, PLAYING, Mode::RENDER, apply_watch, nullptr, Group::PLAYING, nullptr,
     "play again from the start on every save of SONG, and after the\n"
     "song ends wait for the next save, until Ctrl-C"},
    {"--play", false, ANY, Mode::PLAY, apply_nothing, nullptr, Group::MODES, nullptr,
     "play through the sound device instead of rendering, until the\n"
     "song ends, --seconds or --loops say so, or Ctrl-C"},
    {"--check", false, ANY, Mode::CHECK, apply_nothing, nullptr, Group::MODES, nullptr,
     "report problems in the song instead of rendering\n(exit status 0: clean, 1: warnings)"},
    {"--events", false, ANY, Mode::EVENTS, apply_nothing, nullptr, Group::MODES, nullptr,
     "print the compiled event streams instead of rendering"},
    {"-q", false, ANY, Mode::RENDER, apply_quiet, nullptr, Group::GENERAL, nullptr,
     "no progress line and no summary (with --check: warnings only)"},
    {"--help", false, ANY, Mode::HELP, apply_nothing, nullptr, Group::GENERAL, nullptr, "print this text"},
    {"--version", false, ANY, Mode::VERSION, apply_nothing, nullptr, Group::GENERAL, nullptr, "print the version"},
};

const OptionSpec* find_option(const std::string& name) {
    for (const OptionSpec& row : OPTIONS) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

const char* mode_flag(Mode mode) {
    for (const OptionSpec& row : OPTIONS) {
        if (row.selects == mode && mode != Mode::RENDER) return row.name;
    }
    return "rendering";
}

// The flag that selects the one mode in `modes`; nullptr for several modes or
// for rendering, which no flag selects.
const char* only_mode_flag(unsigned modes) {
    for (const OptionSpec& row : OPTIONS) {
        if (row.selects != Mode::RENDER && bit(row.selects) == modes) return row.name;
    }
    return nullptr;
}

// Quotes an argument for an error message, control characters escaped so the
// message stays on one line.
std::string in_quotes(const std::string& s) {
    std::string quoted = "\"";
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f) {
            static const char hex[] = "0123456789abcdef";
            quoted += "\\x";
            quoted += hex[c >> 4];
            quoted += hex[c & 15];
        } else {
            quoted += char(c);
        }
    }
    return quoted + "\"";
}

std::string format_seconds(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", std::floor(seconds * 10) / 10);
    return text;
}

// Settles the format from --format and OUT's extension, and whether the
// other file options fit it.
bool choose_format(Options& options, std::string& error) {
    const SoundFormatInfo* by_name = sound_format_of(options.out);
    const SoundFormatInfo* info = options.format_name.empty() ? by_name : sound_format_named(options.format_name);
    if (!options.format_name.empty() && by_name != nullptr && by_name != info) {
        error = "--format " + options.format_name + " does not match the file name " + in_quotes(options.out);
        return false;
    }
    if (info == nullptr) info = &sound_formats()[0];
    if (!info->built) {
        error = std::string(info->description) + " files are not written by this build (only WAV)";
        return false;
    }
    if (options.quality >= 0 && !info->lossy) {
        error = std::string("--quality does not apply to ") + info->description + " (only to ogg, opus and mp3)";
        return false;
    }
    options.format = info->format;
    if (options.out.empty()) options.out = default_output_path(options.song, info->extension);
    return true;
}

}  // namespace

bool parse_options(const std::vector<std::string>& args, Options& options, std::string& error) {
    options = Options{};
    std::vector<const OptionSpec*> given;
    std::vector<std::string> songs;
    bool only_songs = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (only_songs || arg.size() < 2 || arg[0] != '-') {
            songs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            only_songs = true;
            continue;
        }
        // "--name=value", "--name value", "-oFILE", "-o FILE".
        std::string name = arg;
        std::string value;
        bool attached = false;
        if (const std::size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            attached = true;
        } else if (!arg.starts_with("--") && arg.size() > 2) {
            name = arg.substr(0, 2);
            value = arg.substr(2);
            attached = true;
        }
        const OptionSpec* row = find_option(name);
        if (row == nullptr || (attached && !row->takes_value)) {
            error = "unknown option " + in_quotes(arg) + " (see --help)";
            return false;
        }
        if (row->takes_value && !attached) {
            if (i + 1 == args.size()) {
                error = name + " needs " + row->wants;
                return false;
            }
            value = args[++i];
        }
        if (row->selects == Mode::HELP || row->selects == Mode::VERSION) {
            options.mode = row->selects;
            return true;
        }
        if (row->selects != Mode::RENDER) {
            if (options.mode != Mode::RENDER && options.mode != row->selects) {
                error = std::string(mode_flag(options.mode)) + " and " + row->name + " cannot be used together";
                return false;
            }
            options.mode = row->selects;
        }
        if (!row->apply(options, value)) {
            error = name + " needs " + row->wants + ", not " + in_quotes(value);
            return false;
        }
        given.push_back(row);
    }
    for (const OptionSpec* row : given) {
        if ((row->modes & bit(options.mode)) == 0) {
            if (const char* needed = only_mode_flag(row->modes)) {
                error = std::string(row->name) + " needs " + needed;
            } else {
                error = std::string(row->name) + " does not apply with " + mode_flag(options.mode);
            }
            return false;
        }
    }
    if (songs.empty()) {
        error = "no song file given (see --help)";
        return false;
    }
    if (songs.size() > 1) {
        error = "more than one song file given (" + in_quotes(songs[0]) + " and " + in_quotes(songs[1]) + ")";
        return false;
    }
    options.song = songs[0];
    if (options.mode != Mode::RENDER) return true;
    if (!choose_format(options, error)) return false;
    // Every format keeps to what a WAV file holds, so that a render can always be written as WAV too.
    if (render_limits(options).max_blocks * BLOCK_FRAMES > WAV_MAX_FRAMES) {
        error = "--seconds " + format_seconds(options.seconds) + " is longer than a WAV file can hold (" +
                format_seconds(double(WAV_MAX_FRAMES) / SAMPLE_RATE) + " s, 6 h 45 min, at most)";
        return false;
    }
    return true;
}

std::vector<std::string> option_names() {
    std::vector<std::string> names;
    for (const OptionSpec& row : OPTIONS) names.push_back(row.name);
    return names;
}

std::string default_output_path(const std::string& song, const char* extension) {
    return std::filesystem::path(song).replace_extension(std::string(".") + extension).string();
}

SoundOptions sound_options(const Options& options) {
    SoundOptions sound;
    sound.format = options.format;
    sound.quality = options.quality;
    sound.title = options.title;
    sound.artist = options.artist;
    return sound;
}

RenderLimits render_limits(const Options& options) {
    RenderLimits limits;
    limits.loops = options.loops;
    limits.from_frame = time_frames(options.from);
    if (options.seconds > 0) {
        // Far past any WAV file; the bound keeps the count in range (--play has no other).
        constexpr double most = double(std::uint64_t{1} << 40);
        limits.max_blocks = std::uint64_t(std::min(std::ceil(options.seconds * SAMPLE_RATE / BLOCK_FRAMES), most));
    } else {
        limits.ceiling_frames = DEFAULT_CEILING_FRAMES;
        if (options.loops == 0) limits.loops = 1;
    }
    return limits;
}

std::uint8_t muted_tracks(const Options& options) {
    const std::uint8_t heard = (options.solo != 0 ? options.solo : 0xFF) & ~options.mute;
    return std::uint8_t(~heard);
}

std::string usage_text() {
    static const struct {
        Group group;
        const char* heading;
    } HEADINGS[] = {
        {Group::RENDER, "Rendering to a file:"},
        {Group::TIMED, "Rendering and playing (--play):"},
        {Group::PLAYING, "Playing (--play only):"},
        {Group::MODES, "Instead of rendering:"},
        {Group::GENERAL, "General:"},
    };
    constexpr std::size_t NAME_WIDTH = 15;  // "  --artist TEXT  " lines up the texts
    std::string text =
        "usage: bleepforge-render SONG [-o OUT.wav] [--seconds S] [--loops N] [--fade F]\n"
        "           [--format FMT] [--quality Q] [--title TEXT] [--artist TEXT]\n"
        "           [--from TIME] [--mute LIST] [--solo LIST] [--stems]\n"
        "       bleepforge-render SONG --play [--seconds S] [--loops N] [--from TIME]\n"
        "           [--mute LIST] [--solo LIST] [--watch] [-q]\n"
        "       bleepforge-render SONG --check [-q]\n"
        "       bleepforge-render SONG --events\n"
        "\n"
        "Renders an MML song file to a WAV file (16-bit stereo, 44100 Hz), sample for\n"
        "sample as the player's recording mode captures it, or to FLAC, Ogg Vorbis,\n"
        "Opus or MP3.\n";
    for (const auto& heading : HEADINGS) {
        text += std::string("\n") + heading.heading + "\n";
        for (const OptionSpec& row : OPTIONS) {
            if (row.group != heading.group) continue;
            std::string name = std::string("  ") + row.name + (row.value ? std::string(" ") + row.value : "");
            name.resize(std::max(name.size() + 2, NAME_WIDTH + 2), ' ');
            std::string help = row.help;
            for (std::size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
                help.insert(at + 1, std::string(name.size(), ' '));
            }
            text += name + help + "\n";
        }
    }
    text +=
        "\n"
        "A render also ends when the song ends by itself. Without --seconds it stops\n"
        "after one hour at most, with a notice; give --seconds for a longer one.\n"
        "Exit status 2: the song cannot be read, the output cannot be written, or an\n"
        "option is wrong.\n";
    return text;
}

}  // namespace bleepforge::cli
