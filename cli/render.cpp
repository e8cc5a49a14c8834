#include "cli/render.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "audio/mixer.h"
#include "audio/offline.h"
#include "audio/wav.h"
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

// The capture is written as it lies in memory, and WAV data is little-endian.
static_assert(std::endian::native == std::endian::little);

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

void guard_pending(const std::string& path) {
    if (path.size() >= sizeof pending_path) return;
    std::memcpy(pending_path, path.c_str(), path.size() + 1);
    pending_set = 1;
    std::signal(SIGINT, remove_pending_and_die);
    std::signal(SIGTERM, remove_pending_and_die);
}

void unguard_pending() {
    pending_set = 0;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

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

PendingFile::~PendingFile() { discard(); }

bool PendingFile::open(const std::string& target, std::string& reason) {
    std::error_code ec;
    if (std::filesystem::is_directory(target, ec)) {
        reason = "is a folder, not a file";
        return false;
    }
    std::random_device random;
    char suffix[32];
    do {
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", unsigned(random()));
    } while (std::filesystem::exists(target + suffix, ec));
    temp_ = target + suffix;
    target_ = target;
    guard_pending(temp_);
    file_ = std::fopen(temp_.c_str(), "wb");
    if (file_ == nullptr) {
        reason = std::string("cannot be written (") + std::strerror(errno) + ")";
        unguard_pending();
        temp_.clear();
        return false;
    }
    return true;
}

bool PendingFile::write(const void* data, std::size_t size, std::string& reason) {
    if (std::fwrite(data, 1, size, file_) != size) {
        reason = std::string("could not be written to its end (") + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

bool PendingFile::commit(std::string& reason) {
    int error = 0;
    if (std::fflush(file_) != 0) error = errno;
    if (std::fclose(file_) != 0 && error == 0) error = errno;
    file_ = nullptr;
    if (error != 0) {
        reason = std::string("could not be written to its end (") + std::strerror(error) + ")";
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp_, target_, ec);
    if (ec) {
        reason = "could not replace it (" + ec.message() + ")";
        return false;
    }
    temp_.clear();
    unguard_pending();
    return true;
}

void PendingFile::discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) std::remove(temp_.c_str());
    temp_.clear();
    unguard_pending();
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
    const WavHeader header = make_wav_header(frames);
    if (!file.write(header.bytes.data(), header.bytes.size(), reason) ||
        !file.write(engine->RecordBuffer.get(), std::size_t{frames} * 4, reason) || !file.commit(reason)) {
        return report_failure(options.out, reason);
    }
    if (!options.quiet) {
        std::fprintf(stderr, "wrote %s: %.2f s, %s frames\n", options.out.c_str(), double(frames) / SAMPLE_RATE,
                     with_commas(frames).c_str());
    }
    return 0;
}

}  // namespace bleepforge::cli
