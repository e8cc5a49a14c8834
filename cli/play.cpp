#include "cli/play.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "app/file_watcher.h"
#include "audio/offline.h"
#include "audio/stream.h"
#include "cli/render.h"
#include "mml/check.h"
#include "mml/song.h"
#include "sequencer/transport.h"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace bleepforge::cli {

namespace {

std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void on_interrupt(int) { stop_playing(); }

// The stream with the Ctrl-C handler installed; the render thread is started
// with the signals blocked so that only this thread sees them.
std::unique_ptr<AudioStream> start_stream(std::unique_ptr<AudioDevice> device) {
    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);
#ifdef _WIN32
    return std::make_unique<AudioStream>(std::move(device));
#else
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    auto stream = std::make_unique<AudioStream>(std::move(device));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return stream;
#endif
}

struct Progress {
    std::uint64_t blocks;  // of the song mixed so far
    int loops;             // loops completed by every active track
    bool playing;          // a track is still active

    double seconds() const { return double(blocks * BLOCK_FRAMES) / SAMPLE_RATE; }
};

// Starts `bytes` from its beginning on `stream` exactly as a fresh --play
// starts it, whatever played before; every start and restart goes through
// here. Returns the count of blocks mixed before the song's first one.
std::uint64_t start_song(AudioStream& stream, [[maybe_unused]] const Options& options, std::string_view bytes) {
    // Compiled outside the lock, into a new engine: nothing of a song played
    // before (the noise register, stream bytes the compiler skips) may carry
    // over into the restart.
    const auto fresh = std::make_unique<Engine>();
    load_song(*fresh, bytes);
    // The mix controls and the capture stay as they are.
    return stream.with_engine([&](Engine& e) {
        copy_sound_state(e, *fresh);
        return stream.stats().blocks_mixed;
    });
}

// After a save: reads the song again and, if it can be played, restarts it
// (true). Either way says in one line on `notices` what became of the save.
bool reload_song(AudioStream& stream, const Options& options, std::uint64_t& first, std::FILE* notices) {
    std::string bytes, reason;
    if (read_song_bytes(options.song, bytes, reason) && !has_track_lines(bytes)) reason = NO_TRACK_LINES;
    if (!reason.empty()) {
        std::fprintf(notices, "not reloaded %s: %s\n", options.song.c_str(), reason.c_str());
    } else {
        first = start_song(stream, options, bytes);
        // The count --check gives: "(no warnings)", "(1 warning)", "(3 warnings)".
        const long warnings = check_song(bytes).warning_count();
        if (warnings == 0) {
            std::fprintf(notices, "reloaded %s (no warnings)\n", options.song.c_str());
        } else {
            std::fprintf(notices, "reloaded %s (%ld warning%s)\n", options.song.c_str(), warnings,
                         warnings == 1 ? "" : "s");
        }
    }
    std::fflush(notices);
    return reason.empty();
}

}  // namespace

void stop_playing() { stop_requested.store(true); }

int play_command(const Options& options, std::string_view song_bytes, std::unique_ptr<AudioDevice> device,
                 std::FILE* notices) {
    stop_requested.store(false);
    // Watching from before the start: a save while the device opens counts.
    std::optional<FileWatcher> watcher;
    if (options.watch) watcher.emplace(options.song);
    std::unique_ptr<AudioStream> stream = start_stream(std::move(device));
    // The stream has said why on stderr.
    if (stream->state() != AudioStream::State::STREAMING) return 2;

    std::uint64_t first = start_song(*stream, options, song_bytes);  // blocks mixed before the song started
    bool waiting = false;  // with --watch: the song is over, a save starts it again
    const std::uint64_t max_blocks = render_limits(options).max_blocks;
    const bool show = !options.quiet && stderr_is_terminal();
    StatusLine line;
    auto next_draw = std::chrono::steady_clock::now();

    Progress now{};
    for (;;) {
        if (!waiting) {
            now = stream->with_engine([&](Engine& e) {
                return Progress{stream->stats().blocks_mixed - first, loops_completed(e), any_track_active(e)};
            });
        }
        if (stop_requested.load() || stream->state() != AudioStream::State::STREAMING) break;
        const bool over = !now.playing || (max_blocks > 0 && now.blocks >= max_blocks) ||
                          (options.loops > 0 && now.loops >= options.loops);
        if (over && !watcher) break;
        if (over && !waiting) {
            // Silent until the next save.
            stream->with_engine([](Engine& e) { stop_all_tracks(e); });
            waiting = true;
            line.clear();
        }
        if (show && !waiting && std::chrono::steady_clock::now() >= next_draw) {
            next_draw += std::chrono::milliseconds(100);
            std::string text = "playing " + options.song + ": " + one_decimal(now.seconds()) + " s";
            if (options.seconds > 0) text += " of " + one_decimal(options.seconds);
            text += ", loop " + std::to_string(now.loops);
            if (options.loops > 0) text += " of " + std::to_string(options.loops);
            line.show(text);
        }
        if (!watcher) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } else if (watcher->wait(std::chrono::milliseconds(10))) {
            line.clear();
            if (reload_song(*stream, options, first, notices)) waiting = false;
            next_draw = std::chrono::steady_clock::now();
        }
    }
    line.clear();

    const bool interrupted = stop_requested.load();
    if (stream->state() == AudioStream::State::STREAMING) {
        // Silence the tracks and let the blocks already queued play out (the
        // device holds up to two), so it is closed on silence, not mid-note.
        const std::uint64_t until = stream->with_engine([&](Engine& e) {
            stop_all_tracks(e);
            return stream->stats().blocks_mixed + 3;
        });
        while (stream->stats().blocks_mixed < until && stream->state() == AudioStream::State::STREAMING) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    const bool stalled = stream->state() == AudioStream::State::STALLED;
    stream.reset();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (stalled) return 2;
    if (!options.quiet) {
        std::fprintf(stderr, "%s %s: %.1f s, %d loop%s\n", interrupted ? "stopped" : "played",
                     options.song.c_str(), now.seconds(), now.loops, now.loops == 1 ? "" : "s");
    }
    return interrupted ? 130 : 0;
}

}  // namespace bleepforge::cli
