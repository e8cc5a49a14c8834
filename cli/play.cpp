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

// `bytes` as a fresh --play starts it, on an engine of its own: compiled, and
// run silently at full speed up to the block that holds --from, so the stream
// never waits and nothing of a song played before (the noise register, stream
// bytes the compiler skips) carries over. Null, with the reason, when the song
// ends before --from.
std::unique_ptr<Engine> prepare_start(const Options& options, std::string_view bytes, std::string& reason) {
    auto start = std::make_unique<Engine>();
    load_song(*start, bytes);
    const std::uint64_t from_blocks = render_limits(options).from_frame / BLOCK_FRAMES;
    if (from_blocks > 0) {
        const RenderResult skipped = render_song(*start, {.max_blocks = from_blocks});
        if (skipped.end != RenderEnd::BLOCKS) {
            reason = ends_before_from(skipped, options);
            return nullptr;
        }
    }
    return start;
}

// Every start and restart goes through here: the prepared song replaces what
// plays, with the mutes; the capture stays as it is. Returns the count of
// blocks mixed before the song's first one.
std::uint64_t start_song(AudioStream& stream, const Options& options, const Engine& start) {
    return stream.with_engine([&](Engine& e) {
        copy_sound_state(e, start);
        e.muted = muted_tracks(options);
        return stream.stats().blocks_mixed;
    });
}

// After a save: reads the song again and, if it can be played, restarts it
// (true). Either way says in one line on `notices` what became of the save.
bool reload_song(AudioStream& stream, const Options& options, std::uint64_t& first, std::FILE* notices) {
    std::string bytes, reason;
    std::unique_ptr<Engine> start;
    if (read_song_bytes(options.song, bytes, reason) && !has_track_lines(bytes)) reason = NO_TRACK_LINES;
    if (reason.empty()) start = prepare_start(options, bytes, reason);
    if (!reason.empty()) {
        std::fprintf(notices, "not reloaded %s: %s\n", options.song.c_str(), reason.c_str());
    } else {
        first = start_song(stream, options, *start);
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
    std::string reason;
    const std::unique_ptr<Engine> start = prepare_start(options, song_bytes, reason);
    if (!start) return report_failure(options.song, reason);
    // Watching from before the start: a save while the device opens counts.
    std::optional<FileWatcher> watcher;
    if (options.watch) watcher.emplace(options.song);
    std::unique_ptr<AudioStream> stream = start_stream(std::move(device));
    // The stream has said why on stderr.
    if (stream->state() != AudioStream::State::STREAMING) return 2;

    std::uint64_t first = start_song(*stream, options, *start);  // blocks mixed before the song started
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
