// The composer's loop: start points, play on save and track mutes.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/controller.h"
#include "app/file_watcher.h"
#include "audio/offline.h"
#include "mml/song.h"
#include "sequencer/transport.h"

namespace bleepforge {

std::string format_time(double seconds) {
    const long long ms = std::llround(std::max(seconds, 0.0) * 1000);
    char text[40];
    int n = std::snprintf(text, sizeof text, "%lld:%02lld", ms / 60000, ms / 1000 % 60);
    if (ms % 1000 != 0) {
        n += std::snprintf(text + n, sizeof text - n, ".%03lld", ms % 1000);
        while (text[n - 1] == '0') text[--n] = '\0';
    }
    return text;
}

void Controller::start_song(const PreparedSong& song) {
    const std::string problem_before = load_problem_;
    load_problem_.clear();
    // Whole blocks from the song's start: from there on the sound is exactly
    // what P followed by that much listening gives (at most one block early).
    const std::uint64_t blocks = time_frames(start_seconds_) / BLOCK_FRAMES;
    if (blocks == 0) {
        stream_.with_engine([&](Engine& engine) {
            start_prepared_song(engine, song);
            engine.played_frames = 0;
        });
    } else {
        // Reaching the start point takes a moment; the old song keeps playing
        // meanwhile, as only the two copies run under the lock.
        auto copy = std::make_unique<Engine>();
        stream_.with_engine([&](const Engine& live) { copy_sound_state(*copy, live); });
        start_prepared_song(*copy, song);
        if (!fast_forward(*copy, blocks)) load_problem_ = text::PAST_THE_END;
        stream_.with_engine([&](Engine& live) {
            copy_sound_state(live, *copy);
            if (live.recording_mode) live.recorded_frames = 0;  // the capture restarts as with P
            live.played_frames = blocks * BLOCK_FRAMES;  // the status line's clock counts from the song's start
        });
    }
    if (load_problem_ != problem_before) shell_.repaint();
    follow_playing();
}

void Controller::play_from() {
    const std::optional<std::string> answer =
        shell_.ask_text({text::PLAY_FROM_TITLE, text::PLAY_FROM_PROMPT, format_time(start_seconds_)});
    if (!answer) return;
    const std::optional<double> seconds = parse_time(*answer);
    if (!seconds) {
        shell_.show_message(std::string(text::BAD_TIME) + ": " + *answer + "\n" + text::TIME_EXAMPLES,
                            text::ERROR_CAPTION);
        return;
    }
    if (*seconds != start_seconds_) {
        start_seconds_ = *seconds;
        shell_.repaint();
    }
    reload_play();
}

void Controller::toggle_play_on_save() {
    play_on_save_ = !play_on_save_;
    watch_remembered();
}

void Controller::watch_remembered() {
    watcher_.reset();  // joins its thread: the old file reports nothing more
    ++watch_generation_;
    if (!play_on_save_ || remembered_.path.empty() || !remembered_.local) return;
    watcher_ = std::make_unique<FileWatcher>(remembered_.path);
    // Reports come from the watcher's thread; a report still queued when the
    // watch changed belongs to the old one and is dropped.
    watcher_->start([this, generation = watch_generation_] {
        post([this, generation] {
            if (generation == watch_generation_) file_saved();
        });
    });
}

void Controller::file_saved() {
    if (exporting_) {
        reload_pending_ = true;  // the capture being saved stays as it is until the export ends
        return;
    }
    std::string bytes, reason;
    if (!read_song_bytes(remembered_.path, bytes, reason)) {
        // A message box on every save would be in the way: a line until the next good load.
        load_problem_ = std::string(text::READ_FAILED) + ": " + remembered_.path.filename().string() + " (" +
                        reason + ")";
        shell_.repaint();
        return;
    }
    auto shared_bytes = std::make_shared<const std::string>(std::move(bytes));
    start_song(*prepare_song(*shared_bytes));
    song_started(remembered_.path, std::move(shared_bytes));
}

void Controller::end_export() {
    exporting_ = false;
    if (reload_pending_) {
        reload_pending_ = false;
        file_saved();
    }
}

void Controller::toggle_mute(int track) {
    if (track < 0 || track >= TRACK_COUNT) return;
    muted_ ^= std::uint8_t(1u << track);
    apply_mutes();
}

void Controller::unmute_all() {
    muted_ = 0;
    apply_mutes();
}

void Controller::apply_mutes() {
    stream_.with_engine([&](Engine& engine) { engine.muted = muted_; });
}

}  // namespace bleepforge
