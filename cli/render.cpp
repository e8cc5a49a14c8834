#include "cli/render.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>

#include "audio/mixer.h"
#include "audio/offline.h"
#include "audio/sound_file.h"
#include "mml/song.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
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

// The partial file to remove when the process is interrupted.
#ifdef _WIN32
wchar_t pending_path[32768];
#else
char pending_path[4096];
#endif
volatile std::sig_atomic_t pending_set = 0;

// Every signal a terminal sends to end a program.
#ifdef _WIN32
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM};
#else
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
#endif

extern "C" void remove_pending_and_die(int sig) {
#ifdef _WIN32
    if (pending_set) _wremove(pending_path);
#else
    if (pending_set) unlink(pending_path);
#endif
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

#ifdef _WIN32
// A closed console window or Ctrl-Break ends the process without a signal;
// returning FALSE lets the default handler end it after the removal.
BOOL WINAPI remove_pending_on_console_event(DWORD) {
    if (pending_set) DeleteFileW(pending_path);
    return FALSE;
}
#endif

// While alive, an interrupting signal removes `file`'s partial output before the process ends.
class InterruptGuard {
public:
    explicit InterruptGuard(const PendingFile& file) {
        const auto& path = file.temp_path().native();
        if (path.empty() || path.size() >= std::size(pending_path)) return;
        std::copy(path.c_str(), path.c_str() + path.size() + 1, pending_path);
        pending_set = 1;
        for (int sig : ENDING_SIGNALS) std::signal(sig, remove_pending_and_die);
#ifdef _WIN32
        SetConsoleCtrlHandler(remove_pending_on_console_event, TRUE);
#endif
    }
    ~InterruptGuard() {
        pending_set = 0;
        for (int sig : ENDING_SIGNALS) std::signal(sig, SIG_DFL);
#ifdef _WIN32
        SetConsoleCtrlHandler(remove_pending_on_console_event, FALSE);
#endif
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// "rendering SONG: 12.3 of 60.0 s, loop 0 of 2", redrawn in place at most ten times a second.
class ProgressLine {
public:
    ProgressLine(const Options& options, const RenderLimits& limits)
        : enabled_(!options.quiet && stderr_is_terminal()), song_(options.song), limits_(limits) {}

    void update(const Engine& engine) {
        if (!enabled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return;
        next_ = now + std::chrono::milliseconds(100);
        std::string text = "rendering " + song_ + ": " + one_decimal(double(engine.recorded_frames) / SAMPLE_RATE);
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

void apply_fade(std::int16_t* frames, std::uint32_t count, std::uint32_t fade_frames) {
    fade_frames = std::min(fade_frames, count);
    for (std::uint32_t i = count - fade_frames; i < count; ++i) {
        const double gain = double(count - 1 - i) / fade_frames;
        frames[2 * i] = std::int16_t(frames[2 * i] * gain);
        frames[2 * i + 1] = std::int16_t(frames[2 * i + 1] * gain);
    }
}

int report_failure(const std::string& file, const std::string& reason) {
    std::fprintf(stderr, "bleepforge-render: %s: %s\n", file.c_str(), reason.c_str());
    return 2;
}

int render_command(const Options& options, std::string_view song_bytes) {
    std::string reason;
    std::error_code ec;
    if (std::filesystem::equivalent(options.song, options.out, ec)) {
        return report_failure(options.out, "is the song file itself (name another output with -o)");
    }
    const std::unique_ptr<SoundWriter> writer = make_sound_writer(sound_options(options));
    // Opened before the render so that an unwritable output fails at once.
    const bool opened = options.out == "-" ? writer->open_stdout(reason) : writer->open(options.out, reason);
    if (!opened) return report_failure(options.out, reason);
    const InterruptGuard guard(writer->file());

    auto engine = std::make_unique<Engine>();
    if (!recording_on(*engine)) return report_failure(options.out, "no memory for the capture (158 MB)");
    load_song(*engine, song_bytes);
    const RenderLimits limits = render_limits(options);
    ProgressLine progress(options, limits);
    render_song(*engine, limits, [&progress](const Engine& e) { progress.update(e); });
    progress.clear();

    const std::uint32_t frames = engine->recorded_frames;
    const double fade = std::min(options.fade * SAMPLE_RATE, double(frames));
    apply_fade(engine->RecordBuffer.get(), frames, std::uint32_t(std::llround(fade)));
    writer->expect_frames(frames);
    if (!writer->write_frames(engine->RecordBuffer.get(), frames, reason) || !writer->finish(reason)) {
        return report_failure(options.out, reason);
    }
    if (!options.quiet) {
        std::fprintf(stderr, "wrote %s: %.2f s, %s frames\n", options.out.c_str(), double(frames) / SAMPLE_RATE,
                     with_commas(frames).c_str());
    }
    return 0;
}

}  // namespace bleepforge::cli
