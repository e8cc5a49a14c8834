#include "cli/play.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "audio/offline.h"
#include "audio/stream.h"
#include "cli/render.h"
#include "mml/song.h"

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

}  // namespace

void stop_playing() { stop_requested.store(true); }

int play_command(const Options& options, std::string_view song_bytes, std::unique_ptr<AudioDevice> device) {
    stop_requested.store(false);
    // --from is reached on an engine of our own, whole blocks at full speed, so the stream never waits for it.
    const std::uint64_t from_blocks = render_limits(options).from_frame / BLOCK_FRAMES;
    std::unique_ptr<Engine> start;
    if (from_blocks > 0) {
        start = std::make_unique<Engine>();
        load_song(*start, song_bytes);
        const RenderResult skipped = render_song(*start, {.max_blocks = from_blocks});
        if (skipped.end != RenderEnd::BLOCKS) return report_failure(options.song, ends_before_from(skipped, options));
    }
    std::unique_ptr<AudioStream> stream = start_stream(std::move(device));
    // The stream has said why on stderr.
    if (stream->state() != AudioStream::State::STREAMING) return 2;

    std::uint64_t first = 0;  // blocks mixed before the song started
    stream->with_engine([&](Engine& e) {
        if (from_blocks > 0) {
            copy_sound_state(e, *start);
        } else {
            load_song(e, song_bytes);
        }
        e.muted = muted_tracks(options);
        first = stream->stats().blocks_mixed;
    });
    const std::uint64_t max_blocks = render_limits(options).max_blocks;
    const bool show = !options.quiet && stderr_is_terminal();
    StatusLine line;
    auto next_draw = std::chrono::steady_clock::now();

    Progress now{};
    for (;;) {
        now = stream->with_engine([&](Engine& e) {
            return Progress{stream->stats().blocks_mixed - first, loops_completed(e), any_track_active(e)};
        });
        const bool done = !now.playing || stop_requested.load() || stream->state() != AudioStream::State::STREAMING ||
                          (max_blocks > 0 && now.blocks >= max_blocks) ||
                          (options.loops > 0 && now.loops >= options.loops);
        if (done) break;
        if (show && std::chrono::steady_clock::now() >= next_draw) {
            next_draw += std::chrono::milliseconds(100);
            std::string text = "playing " + options.song + ": " + one_decimal(now.seconds()) + " s";
            if (options.seconds > 0) text += " of " + one_decimal(options.seconds);
            text += ", loop " + std::to_string(now.loops);
            if (options.loops > 0) text += " of " + std::to_string(options.loops);
            line.show(text);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
