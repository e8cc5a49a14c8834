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
#include "audio/wav_file.h"
#include "mml/song.h"

#ifdef _WIN32
#include <io.h>
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
char pending_path[4096];
volatile std::sig_atomic_t pending_set = 0;

extern "C" void remove_pending_and_die(int sig) {
    if (pending_set) std::remove(pending_path);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// While alive, Ctrl-C and SIGTERM remove `file`'s partial output before the process ends.
class InterruptGuard {
public:
    explicit InterruptGuard(const PendingFile& file) {
        const std::string path = file.temp_path().string();
        if (path.size() >= sizeof pending_path) return;
        std::memcpy(pending_path, path.c_str(), path.size() + 1);
        pending_set = 1;
        std::signal(SIGINT, remove_pending_and_die);
        std::signal(SIGTERM, remove_pending_and_die);
    }
    ~InterruptGuard() {
        pending_set = 0;
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
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
        char text[256];
        int n = std::snprintf(text, sizeof text, "rendering %s: %.1f", song_.c_str(),
                              double(engine.recorded_frames) / SAMPLE_RATE);
        if (limits_.max_blocks > 0) {
            n += std::snprintf(text + n, sizeof text - n, " of %.1f",
                               double(limits_.max_blocks * BLOCK_FRAMES) / SAMPLE_RATE);
        }
        n += std::snprintf(text + n, sizeof text - n, " s");
        if (limits_.loops > 0) {
            std::snprintf(text + n, sizeof text - n, ", loop %d of %d", loops_completed(engine), limits_.loops);
        }
        const int width = int(std::strlen(text));
        std::fprintf(stderr, "\r%s%*s", text, std::max(shown_ - width, 0), "");
        shown_ = width;
    }

    void clear() {
        if (shown_ > 0) std::fprintf(stderr, "\r%*s\r", shown_, "");
        shown_ = 0;
    }

private:
    bool enabled_;
    std::string song_;
    RenderLimits limits_;
    std::chrono::steady_clock::time_point next_{};
    int shown_ = 0;  // width of the line on screen
};

}  // namespace

void apply_fade(std::int16_t* frames, std::uint32_t count, std::uint32_t fade_frames) {
    fade_frames = std::min(fade_frames, count);
    for (std::uint32_t i = count - fade_frames; i < count; ++i) {
        const double gain = double(count - 1 - i) / fade_frames;
        frames[2 * i] = std::int16_t(frames[2 * i] * gain);
        frames[2 * i + 1] = std::int16_t(frames[2 * i + 1] * gain);
    }
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

int render_command(const Options& options, std::string_view song_bytes) {
    std::string reason;
    std::error_code ec;
    if (std::filesystem::equivalent(options.song, options.out, ec)) {
        return report_failure(options.out, "is the song file itself (name another output with -o)");
    }
    PendingFile file;
    // Opened before the render so that an unwritable output fails at once.
    if (!file.open(options.out, reason)) return report_failure(options.out, reason);
    const InterruptGuard guard(file);

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
    if (!write_wav(file, engine->RecordBuffer.get(), frames, reason)) return report_failure(options.out, reason);
    if (!options.quiet) {
        std::fprintf(stderr, "wrote %s: %.2f s, %s frames\n", options.out.c_str(), double(frames) / SAMPLE_RATE,
                     with_commas(frames).c_str());
    }
    return 0;
}

}  // namespace bleepforge::cli
