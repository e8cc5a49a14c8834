#include "app/controller.h"

#include <system_error>

#include "app/file_watcher.h"
#include "audio/mixer.h"
#include "audio/sound_file.h"
#include "mml/song.h"
#include "sequencer/transport.h"

namespace bleepforge {

std::filesystem::path with_wav_extension(const std::filesystem::path& path) {
    if (path.has_extension()) return path;
    std::filesystem::path named = path;
    named += ".wav";
    return named;
}

std::vector<SaveFilter> save_filters() {
    std::vector<SaveFilter> filters{{text::SAVE_FILTER_NAME, text::SAVE_FILTER_PATTERN, "wav"}};
    for (const SoundFormatInfo& f : sound_formats()) {
        if (f.built && f.format != SoundFormat::WAV) {
            filters.push_back({std::string(f.description) + " file", std::string("*.") + f.extension, f.extension});
        }
    }
    return filters;
}

Controller::Controller(AudioStream& stream, Shell& shell) : stream_(stream), shell_(shell) {
    // The render thread tells of a stalled device or of a song that ended: the
    // window repaints to show its line, and the scopes stop when nothing plays.
    stream_.set_state_listener([this] {
        post([this] {
            shell_.repaint();
            follow_playing();
        });
    });
    stream_.set_scope_enabled(true);
}

Controller::~Controller() {
    watcher_.reset();
    stream_.set_state_listener({});
    stream_.set_scope_enabled(false);
    if (writer_.joinable()) writer_.join();
    end_checker();
    stop_song_export_ = true;
    if (song_export_.joinable()) song_export_.join();
}

void Controller::post(std::function<void()> call) {
    {
        std::lock_guard<std::mutex> lock(posted_mutex_);
        posted_.push_back(std::move(call));
    }
    shell_.wake_ui();
}

void Controller::run_posted() {
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> lock(posted_mutex_);
        calls.swap(posted_);
    }
    for (auto& call : calls) call();
}

void Controller::drop(const std::vector<DroppedFile>& files) {
    if (files.size() > 1) {
        shell_.show_message(text::DROP_REFUSED, text::DROP_REFUSED_CAPTION);
        return;
    }
    if (files.empty() || exporting_) return;
    remembered_ = files.front();
    watch_remembered();
    load(remembered_);
}

void Controller::reload_play() {
    if (remembered_.path.empty() || exporting_) return;
    load(remembered_);
}

void Controller::load(const DroppedFile& file) {
    std::string bytes, reason = text::NOT_A_LOCAL_FILE;
    if (!file.local || !read_song_bytes(file.path, bytes, reason)) {
        // The design's text, then which file and why.
        shell_.show_message(std::string(text::READ_FAILED) + "\n" + utf8_text(file.path) + ": " + reason,
                            text::READ_FAILED_CAPTION);
        return;
    }
    // Splitting and compiling a large file takes long: only the copy of the
    // compiled streams runs under the lock the render thread needs.
    auto shared_bytes = std::make_shared<const std::string>(std::move(bytes));
    start_song(*prepare_song(*shared_bytes));
    song_started(file.path, std::move(shared_bytes));
}

void Controller::stop() {
    stream_.with_engine([](Engine& engine) { stop_all_tracks(engine); });
    follow_playing();
}

void Controller::record_on() {
    enum { ALREADY_ON, SWITCHED_ON, NO_MEMORY };
    const int result = stream_.with_engine([](Engine& engine) {
        if (engine.recording_mode) return ALREADY_ON;
        return recording_on(engine) ? SWITCHED_ON : NO_MEMORY;
    });
    if (result == SWITCHED_ON) shell_.repaint();
    if (result == NO_MEMORY) shell_.show_message(text::NO_CAPTURE_MEMORY, text::ERROR_CAPTION);
}

void Controller::write_out() {
    auto writable = [](const Engine& engine) {
        return engine.recording_mode && engine.recorded_frames > 0 && !any_track_active(engine);
    };
    if (exporting_) return;
    enum { WRITABLE, PLAYING, NOTHING };
    const int state = stream_.with_engine([&](const Engine& engine) {
        if (writable(engine)) return WRITABLE;
        return any_track_active(engine) ? PLAYING : NOTHING;
    });
    if (state != WRITABLE) {
        shell_.show_message(state == PLAYING ? text::STOP_BEFORE_WRITING : text::NOTHING_RECORDED,
                            text::ERROR_CAPTION);
        return;
    }

    SaveRequest request{text::SAVE_TITLE, save_filters(), {}, {}};
    std::error_code ec;
    if (save_path_.empty()) {
        request.start_folder = std::filesystem::current_path(ec);
    } else {
        request.start_folder = save_path_.parent_path();
        request.start_name = save_path_.filename();
    }

    // Songs stay unstarted while the dialog is open (drop and reload wait for
    // it), so the capture cannot grow or restart under the write below.
    exporting_ = true;
    const std::filesystem::path chosen = shell_.ask_save_path(request);
    if (chosen.empty()) {
        end_export();
        return;
    }
    const std::filesystem::path target = with_wav_extension(chosen);
    save_path_ = target;

    const std::int16_t* frames = nullptr;
    std::uint32_t count = 0;
    stream_.with_engine([&](Engine& engine) {
        if (!writable(engine)) return;
        frames = engine.RecordBuffer.get();
        count = engine.recorded_frames;
    });
    if (frames == nullptr) {
        end_export();
        return;
    }
    // The capture stays as it is until write_finished runs: no song starts
    // and only window_closed, after joining the writer, releases it.
    saving_ = true;
    shell_.repaint();
    SoundOptions format;
    const SoundFormatInfo* named = sound_format_of(target);
    if (named != nullptr && named->built) format.format = named->format;
    writer_ = std::thread([this, target, format, frames, count] {
        std::string reason;
        const bool written = write_sound_file(target, format, frames, count, reason);
        post([this, target, written, reason] { write_finished(target, written, reason); });
    });
}

void Controller::write_finished(const std::filesystem::path& target, bool written, const std::string& reason) {
    if (!writer_.joinable()) return;  // the window closed meanwhile
    writer_.join();
    saving_ = false;
    end_export();
    shell_.repaint();
    if (!written) {
        shell_.show_message(std::string(text::WRITE_FAILED) + "\n" + target.string() + "\n" + reason,
                            text::ERROR_CAPTION);
    }
}

void Controller::window_closed() {
    watcher_.reset();
    if (writer_.joinable()) writer_.join();
    end_checker();
    // A song export in progress is abandoned; its file is never written.
    stop_song_export_ = true;
    if (song_export_.joinable()) song_export_.join();
    stream_.halt();
}

void Controller::key_down(KeyKind key) {
    switch (key) {
        case KeyKind::P: reload_play(); break;
        case KeyKind::R: record_on(); break;
        case KeyKind::SYSTEM: break;
        case KeyKind::OTHER: stop(); break;
    }
}

void Controller::right_button() {
    stop();
}

void Controller::left_button() {}

std::vector<PaintLine> Controller::paint_lines() {
    std::vector<PaintLine> lines;
    lines.push_back({text::HINT, PaintLine::Place::CENTRED_ROW, 0});
    switch (stream_.state()) {
        case AudioStream::State::NO_DEVICE:
            lines.push_back({text::NO_DEVICE, PaintLine::Place::CENTRED_ROW, 1});
            break;
        case AudioStream::State::STALLED:
            lines.push_back({text::DEVICE_STALLED, PaintLine::Place::CENTRED_ROW, 1});
            break;
        default: break;
    }
    if (stream_.with_engine([](const Engine& engine) { return engine.recording_mode; })) {
        lines.push_back({text::RECORDING, PaintLine::Place::AT, 0, 10, 50});
    }
    if (saving_) lines.push_back({text::SAVING, PaintLine::Place::AT, 0, 10, 70});
    // Below the design's places, one row each.
    if (std::string status = status_text(); !status.empty()) {
        lines.push_back({std::move(status), PaintLine::Place::STACKED});
    }
    if (std::string progress = song_export_progress(); !progress.empty()) {
        lines.push_back({std::move(progress), PaintLine::Place::STACKED});
    }
    if (start_seconds_ > 0) {
        lines.push_back({text::STARTS_FROM + format_time(start_seconds_), PaintLine::Place::STACKED});
    }
    if (!load_problem_.empty()) lines.push_back({load_problem_, PaintLine::Place::STACKED});
    return lines;
}

}  // namespace bleepforge
