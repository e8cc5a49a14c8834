// What the window says about itself: its title, the status line (kept current
// by the repaints of the tick timer while a song plays), where every line
// goes, and the Open dialog.
#include <algorithm>
#include <cstdio>

#include "app/controller.h"
#include "audio/offline.h"
#include "sequencer/transport.h"

namespace bleepforge {

namespace {

// Where the stacked lines start: the row after the design's lowest place, "保存中..." at y 70.
constexpr int LOWEST_FIXED_Y = 70;
constexpr int STACK_X = 10;

}  // namespace

std::string minutes_seconds(std::uint64_t frames) {
    const std::uint64_t seconds = frames / SAMPLE_RATE;
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

std::string utf8_text(const std::filesystem::path& path) {
#ifdef _WIN32
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
#else
    return path.string();  // the file system's bytes, UTF-8 on every system this runs on
#endif
}

std::string Controller::title() const {
    if (song_name_.empty()) return text::APP_NAME;
    return song_name_ + " - " + text::APP_NAME;
}

void Controller::song_loaded(const std::filesystem::path& path) {
    const std::string name = utf8_text(path.filename());
    if (name != song_name_) {
        song_name_ = name;
        shell_.set_title(title());
    }
}

void Controller::song_started(const std::filesystem::path& path, std::shared_ptr<const std::string> bytes) {
    song_loaded(path);
    start_check(std::move(bytes));
}

std::string Controller::status_text() {
    if (song_name_.empty()) return {};
    struct Snapshot {
        bool playing, recording;
        std::uint64_t played;
        int loops;
        std::uint32_t recorded;
    };
    const Snapshot now = stream_.with_engine([](const Engine& engine) {
        return Snapshot{any_track_active(engine), engine.recording_mode, engine.played_frames,
                        loops_completed(engine), engine.recorded_frames};
    });
    std::vector<std::string> parts{now.playing ? text::PLAYING : text::STOPPED, minutes_seconds(now.played)};
    if (now.playing) parts.push_back(text::LOOP + std::to_string(now.loops));
    if (const long warnings = warning_count(); warnings > 0) {
        parts.push_back(text::WARNINGS_BEFORE + std::to_string(warnings) + text::WARNINGS_AFTER);
    }
    if (now.recording) parts.push_back(text::RECORDED + minutes_seconds(now.recorded));
    std::string line;
    for (const std::string& part : parts) line.append(line.empty() ? "" : " ").append(part);
    return line;
}

std::vector<WindowLine> Controller::layout(int width, int height, int line_height) {
    std::vector<WindowLine> placed;
    int next_stacked_y = std::max(LOWEST_FIXED_Y + line_height, 2 * line_height);
    for (PaintLine& line : paint_lines()) {
        WindowLine out{std::move(line.text), 0, 0, width, line_height, false};
        switch (line.place) {
            case PaintLine::Place::CENTRED_ROW:
                out.y = line.row * line_height;
                out.centred = true;
                break;
            case PaintLine::Place::AT:
                out.x = line.x;
                out.y = line.y;
                out.width = std::max(width - line.x, 0);
                break;
            case PaintLine::Place::STACKED:
                out.x = STACK_X;
                out.y = next_stacked_y;
                out.width = std::max(width - STACK_X, 0);
                next_stacked_y += line_height;
                break;
        }
        if (out.y < height) placed.push_back(std::move(out));
    }
    return placed;
}

void Controller::open_file() {
    if (exporting_) return;
    OpenRequest request{text::OPEN_TITLE,
                        {{text::OPEN_FILTER_NAME, text::OPEN_FILTER_PATTERN},
                         {text::ALL_FILTER_NAME, text::ALL_FILTER_PATTERN}},
                        remembered_.path.empty() ? std::filesystem::path() : remembered_.path.parent_path()};
    const std::filesystem::path chosen = shell_.ask_open_path(request);
    if (chosen.empty()) return;
    drop({{chosen, true}});
}

}  // namespace bleepforge
