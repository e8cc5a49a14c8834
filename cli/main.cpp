// bleepforge-render: songs to WAV files, event listings and song checks from the command line.
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "audio/stream.h"
#include "cli/check.h"
#include "cli/options.h"
#include "cli/play.h"
#include "cli/render.h"
#include "mml/listing.h"
#include "mml/song.h"

using namespace bleepforge;
using namespace bleepforge::cli;

namespace {

int print_events(std::string_view song_bytes) {
    std::fputs(song_event_listing(song_bytes).c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGXFSZ
    // A file size limit then fails the write with EFBIG instead of killing us mid-file.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    set_program_name("bleepforge-render");
    Options options;
    std::string error;
    if (!parse_options(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "bleepforge-render: %s\n", error.c_str());
        return 2;
    }
    if (options.mode == Mode::HELP) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (options.mode == Mode::VERSION) {
        std::puts("bleepforge Version " BLEEPFORGE_VERSION);
        return 0;
    }

    std::string song_bytes;
    if (!read_song_bytes(options.song, song_bytes, error)) return report_failure(options.song, error);

    if (options.mode != Mode::CHECK && !has_track_lines(song_bytes)) {
        return report_failure(options.song, "no line starts with a track digit 0-7: nothing to play");
    }
    const CheckResult check = options.mode == Mode::EVENTS ? CheckResult{} : check_song(song_bytes);
    const std::string warnings = warnings_line(check);
    if (!options.quiet && !warnings.empty() && (options.mode == Mode::RENDER || options.mode == Mode::PLAY)) {
        std::fprintf(stderr, "%s: %s\n", options.song.c_str(), warnings.c_str());
    }

    int status = 0;
    switch (options.mode) {
    case Mode::EVENTS: status = print_events(song_bytes); break;
    case Mode::CHECK: status = print_findings(options.song, check, options.quiet, stdout); break;
    case Mode::PLAY: status = play_command(options, song_bytes, make_default_device()); break;
    default: status = render_command(options, song_bytes); break;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return report_failure("standard output", "cannot be written");
    return status;
}
