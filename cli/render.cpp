#include "cli/render.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "audio/mixer.h"
#include "audio/offline.h"
#include "audio/song_file.h"
#include "audio/sound_file.h"
#include "mml/song.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace bleepforge::cli {

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

namespace {

std::string with_commas(std::uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// The partial files to remove when the process is interrupted: the mix and up to eight stems.
#ifdef _WIN32
wchar_t pending_paths[1 + TRACK_COUNT][32768];
#else
char pending_paths[1 + TRACK_COUNT][4096];
#endif
volatile std::sig_atomic_t pending_count = 0;

// Every signal a terminal sends to end a program.
#ifdef _WIN32
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM};
#else
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
#endif

extern "C" void remove_pending_and_die(int sig) {
    for (int i = 0; i < pending_count; ++i) {
#ifdef _WIN32
        _wremove(pending_paths[i]);
#else
        unlink(pending_paths[i]);
#endif
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

#ifdef _WIN32
// A closed console window or Ctrl-Break ends the process without a signal;
// returning FALSE lets the default handler end it after the removal.
BOOL WINAPI remove_pending_on_console_event(DWORD) {
    for (int i = 0; i < pending_count; ++i) DeleteFileW(pending_paths[i]);
    return FALSE;
}
#endif

// Holds the ending signals back while alive: none arrives while the guard
// below puts its handlers in place, nor between a temporary file's creation
// and its registration with the guard.
class SignalsHeld {
public:
#ifdef _WIN32
    SignalsHeld() {}  // console events come on a thread of their own: nothing to hold
    ~SignalsHeld() {}
#else
    SignalsHeld() {
        sigset_t ending;
        sigemptyset(&ending);
        for (int sig : ENDING_SIGNALS) sigaddset(&ending, sig);
        pthread_sigmask(SIG_BLOCK, &ending, &before_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }

private:
    sigset_t before_;
#endif
public:
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};

// While alive, an interrupting signal removes the partial output of every
// file added. A signal the caller ignores (nohup's hangup, a background job's
// interrupt) stays ignored.
class InterruptGuard {
public:
    InterruptGuard() {
        const SignalsHeld held;  // an ignored signal never meets the handler before it is put back
        for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
            before_[i] = std::signal(ENDING_SIGNALS[i], remove_pending_and_die);
            if (before_[i] == SIG_IGN) std::signal(ENDING_SIGNALS[i], SIG_IGN);
        }
#ifdef _WIN32
        SetConsoleCtrlHandler(remove_pending_on_console_event, TRUE);
#endif
    }
    void add(const PendingFile& file) {
        const auto& path = file.temp_path().native();
        if (path.empty() || path.size() >= std::size(pending_paths[0])) return;
        if (pending_count == int(std::size(pending_paths))) return;
        std::copy(path.c_str(), path.c_str() + path.size() + 1, pending_paths[pending_count]);
        pending_count = pending_count + 1;  // only once the path is complete
    }
    ~InterruptGuard() {
        pending_count = 0;
        for (std::size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
            std::signal(ENDING_SIGNALS[i], before_[i] == SIG_ERR ? SIG_DFL : before_[i]);
        }
#ifdef _WIN32
        SetConsoleCtrlHandler(remove_pending_on_console_event, FALSE);
#endif
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    using Handler = void (*)(int);
    Handler before_[std::size(ENDING_SIGNALS)];
};

// "rendering SONG: 12.3 of 60.0 s, loop 0 of 2", redrawn in place at most ten times a second.
class ProgressLine {
public:
    ProgressLine(const Options& options, const RenderLimits& limits)
        : enabled_(!options.quiet && stderr_is_terminal()), song_(options.song), limits_(limits) {}

    // `written`: the frames written so far.
    void update(const Engine& engine, std::uint64_t written) {
        if (!enabled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return;
        next_ = now + std::chrono::milliseconds(100);
        std::string text = "rendering " + song_ + ": " + one_decimal(double(written) / SAMPLE_RATE);
        if (limits_.max_blocks > 0) text += " of " + one_decimal(double(limits_.max_blocks * BLOCK_FRAMES) / SAMPLE_RATE);
        text += " s";
        if (limits_.loops > 0) {
            text += ", loop " + std::to_string(loops_completed(engine)) + " of " + std::to_string(limits_.loops);
        }
        line_.show(text);
    }

    void clear() { line_.clear(); }

private:
    bool enabled_;
    std::string song_;
    RenderLimits limits_;
    std::chrono::steady_clock::time_point next_{};
    StatusLine line_;
};

}  // namespace

void StatusLine::show(const std::string& text) {
    std::string line(1, '\r');
    line += text;
    // Spaces over what is left of a longer line drawn before.
    if (shown_ > text.size()) line.append(shown_ - text.size(), ' ');
    std::fputs(line.c_str(), stderr);
    shown_ = text.size();
}

void StatusLine::clear() {
    if (shown_ == 0) return;
    std::string line(1, '\r');
    line.append(shown_, ' ');
    line += '\r';
    std::fputs(line.c_str(), stderr);
    shown_ = 0;
}

std::string one_decimal(double value) {
    std::string text(std::size_t(std::snprintf(nullptr, 0, "%.1f", value)), '\0');
    std::snprintf(text.data(), text.size() + 1, "%.1f", value);
    return text;
}

std::string stem_path(const std::string& mix, int track) {
    const std::filesystem::path path(mix);
    std::filesystem::path stem = path.stem();
    stem += "-";
    stem += std::to_string(track);
    stem += path.extension();
    return (path.parent_path() / stem).string();
}

std::string ends_before_from(const RenderResult& result, const Options& options) {
    char text[128];
    std::snprintf(text, sizeof text, "ends at %.1f s, before --from %.1f s: nothing to %s",
                  double(result.frames_kept) / SAMPLE_RATE, options.from,
                  options.mode == Mode::PLAY ? "play" : "write");
    return text;
}

int report_failure(const std::string& file, const std::string& reason) {
    std::fprintf(stderr, "bleepforge-render: %s: %s\n", file.c_str(), reason.c_str());
    return 2;
}

namespace {

// One file a render writes: the mix, or a track's stem.
struct Output {
    std::string name;  // as messages show it
    int track;         // -1: the mix
    std::unique_ptr<SoundWriter> writer;
};

// Opens the mix and, with --stems, one stem for each track with MML text.
bool open_outputs(const Options& options, std::string_view song_bytes, std::vector<std::unique_ptr<Output>>& outputs,
                  std::string& failed, std::string& reason) {
    std::vector<std::pair<std::string, int>> wanted{{options.out, -1}};
    if (options.stems && options.out == "-") {
        failed = "-o -";
        reason = "--stems needs a file to write beside (-o FILE), not standard output";
        return false;
    }
    if (options.stems) {
        const SplitSong split = split_song(song_bytes);
        for (int k = 0; k < TRACK_COUNT; ++k) {
            if (!split.texts[k].empty()) wanted.emplace_back(stem_path(options.out, k), k);
        }
    }
    for (const auto& [name, track] : wanted) {
        std::error_code ec;
        failed = name;
        if (std::filesystem::equivalent(options.song, name, ec)) {
            reason = "is the song file itself (name another output with -o)";
            return false;
        }
        outputs.push_back(std::make_unique<Output>(Output{name, track, make_sound_writer(sound_options(options))}));
        SoundWriter& writer = *outputs.back()->writer;
        if (!(name == "-" ? writer.open_stdout(reason) : writer.open(name, reason))) return false;
    }
    return true;
}

}  // namespace

int render_command(const Options& options, std::string_view song_bytes) {
    std::string reason;
    std::string failed;
    std::vector<std::unique_ptr<Output>> outputs;
    InterruptGuard guard;
    bool opened = false;
    {
        const SignalsHeld held;
        // Opened before the render so that an unwritable output fails at once.
        opened = open_outputs(options, song_bytes, outputs, failed, reason);
        for (const auto& output : outputs) guard.add(output->writer->file());
    }
    if (!opened) return report_failure(failed, reason);
    std::vector<SongFileOutput> files;
    for (const auto& output : outputs) files.push_back({output->writer.get(), output->track});

    SongFileRender how;
    how.limits = render_limits(options);
    how.fade_seconds = options.fade;
    how.muted = muted_tracks(options);
    ProgressLine progress(options, how.limits);
    const SongFileResult result = render_song_file(song_bytes, how, files, [&](const SongFileProgress& at) {
        if (!at.measuring) progress.update(at.engine, at.frames);
        return true;
    });
    progress.clear();
    if (result.before_from) return report_failure(options.song, ends_before_from(result.render, options));
    if (result.render.end == RenderEnd::CEILING) {
        std::fprintf(stderr, "bleepforge-render: %s: stopped after one hour, the longest render without --seconds "
                     "(give --seconds for a longer one)\n",
                     options.song.c_str());
    }
    if (!result.written) return report_failure(outputs[std::size_t(result.failed)]->name, result.reason);

    const std::uint64_t written = result.frames;
    if (!options.quiet) {
        std::fprintf(stderr, "wrote %s: %.2f s, %s frames\n", options.out.c_str(), double(written) / SAMPLE_RATE,
                     with_commas(written).c_str());
        if (outputs.size() > 1) {
            std::string names;
            for (std::size_t i = 1; i < outputs.size(); ++i) names += (i > 1 ? ", " : "") + outputs[i]->name;
            std::fprintf(stderr, "wrote %zu stem%s beside it: %s\n", outputs.size() - 1,
                         outputs.size() == 2 ? "" : "s", names.c_str());
        }
    }
    return 0;
}

}  // namespace bleepforge::cli
