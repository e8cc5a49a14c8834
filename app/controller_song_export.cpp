// "曲を書き出し...": the loaded song rendered offline to a WAV file by the
// renderer bleepforge-render uses, on a worker thread, with a progress line.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "app/controller.h"
#include "audio/song_file.h"

namespace bleepforge {

namespace {

constexpr auto PROGRESS_INTERVAL = std::chrono::milliseconds(250);  // how often the progress line is repainted
constexpr int MOST_LOOPS = 9999;  // the hour's ceiling comes long before

}  // namespace

bool parse_song_export(const std::string& loops_text, const std::string& fade_text, int& loops, double& fade) {
    if (loops_text.empty() || loops_text.size() > 4 || loops_text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    loops = std::atoi(loops_text.c_str());
    if (loops < 1 || loops > MOST_LOOPS || fade_text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    fade = std::strtod(fade_text.c_str(), &end);
    return *end == '\0' && errno == 0 && std::isfinite(fade) && fade >= 0;
}

void Controller::export_song() {
    if (song_exporting()) {
        shell_.show_message(text::EXPORT_BUSY, text::ERROR_CAPTION);
        return;
    }
    if (!song_bytes_) {
        shell_.show_message(text::NO_SONG_YET, text::ERROR_CAPTION);
        return;
    }
    SongExportRequest request{text::EXPORT_SONG_CAPTION, text::EXPORT_LOOPS_LABEL, text::EXPORT_FADE_LABEL, "1", "0"};
    if (!shell_.ask_song_export(request)) return;
    SongFileRender how;
    if (!parse_song_export(request.loops, request.fade, how.limits.loops, how.fade_seconds)) {
        shell_.show_message(text::EXPORT_BAD_NUMBERS, text::ERROR_CAPTION);
        return;
    }

    // The song's own folder and name, as bleepforge-render names its output.
    std::filesystem::path start_name = remembered_.path.filename();
    start_name.replace_extension(".wav");
    const SaveRequest save{text::SAVE_TITLE, save_filters(), remembered_.path.parent_path(), start_name};
    const std::filesystem::path chosen = shell_.ask_save_path(save);
    if (chosen.empty()) return;
    const std::filesystem::path target = with_wav_extension(chosen);
    std::error_code ec;
    if (std::filesystem::equivalent(remembered_.path, target, ec)) {
        shell_.show_message(std::string(text::WRITE_FAILED) + "\n" + utf8_text(target) + "\n" +
                                text::IS_THE_SONG_ITSELF,
                            text::ERROR_CAPTION);
        return;
    }

    // As bleepforge-render --loops N renders it: to the loop count or the hour's ceiling.
    how.limits.ceiling_frames = DEFAULT_CEILING_FRAMES;
    how.muted = stream_.with_engine([](const Engine& engine) { return engine.muted; });
    stop_song_export_ = false;
    song_export_frames_ = 0;
    song_export_loops_ = 0;
    song_export_loop_target_ = how.limits.loops;
    // The format the name's extension asks for, as bleepforge-render and the capture's export choose it.
    SoundOptions format;
    const SoundFormatInfo* named = sound_format_of(target);
    if (named != nullptr && named->built) format.format = named->format;
    song_export_ = std::thread([this, bytes = song_bytes_, how, format, target] {
        auto next_repaint = std::chrono::steady_clock::now() + PROGRESS_INTERVAL;
        auto progress = [&](const SongFileProgress& at) {
            song_export_frames_ = std::uint32_t(at.frames);
            song_export_loops_ = loops_completed(at.engine);
            if (std::chrono::steady_clock::now() >= next_repaint) {
                next_repaint += PROGRESS_INTERVAL;
                post([this] { shell_.repaint(); });
            }
            return !stop_song_export_.load();
        };
        const std::unique_ptr<SoundWriter> writer = make_sound_writer(format);
        SongFileResult result;
        if (writer->open(target, result.reason)) result = render_song_file(*bytes, how, {{writer.get()}}, progress);
        post([this, target, result] { song_export_finished(target, result.written, result.stopped, result.reason); });
    });
    shell_.repaint();
}

void Controller::stop_song_export() {
    stop_song_export_ = true;
}

void Controller::song_export_finished(const std::filesystem::path& target, bool written, bool stopped,
                                      const std::string& reason) {
    if (!song_export_.joinable()) return;  // the window closed meanwhile
    song_export_.join();
    shell_.repaint();
    if (!written && !stopped) {
        shell_.show_message(std::string(text::WRITE_FAILED) + "\n" + utf8_text(target) + "\n" + reason,
                            text::ERROR_CAPTION);
    }
}

std::string Controller::song_export_progress() const {
    if (!song_exporting()) return {};
    return std::string(text::EXPORTING_SONG) + " " + minutes_seconds(song_export_frames_) + " " + text::LOOP +
           std::to_string(song_export_loops_) + "/" + std::to_string(song_export_loop_target_);
}

}  // namespace bleepforge
