// The controller's track scopes: when they are redrawn and what they draw.
#include <algorithm>
#include <string>

#include "app/controller.h"
#include "audio/track_scope.h"
#include "sequencer/transport.h"

namespace bleepforge {

namespace {

constexpr int LOWEST_LINE_Y = 70;  // the saving line's top: the scopes never move up into the lines' places

// The first pixel row below every line, those painted now and those that may come.
int lines_bottom(const std::vector<WindowLine>& lines, int line_height) {
    int bottom = LOWEST_LINE_Y + line_height;
    for (const WindowLine& line : lines) bottom = std::max(bottom, line.y + line.height);
    return bottom;
}

}  // namespace

void Controller::follow_playing() {
    // Without a working device nothing advances: there is nothing to follow.
    const bool playing = stream_.state() == AudioStream::State::STREAMING &&
                         stream_.with_engine([](const Engine& engine) { return any_track_active(engine); });
    if (playing == ticking_) return;
    ticking_ = playing;
    shell_.set_tick_interval(playing ? TICK_MS : 0);
    if (!playing && traces_drawn_) shell_.repaint();  // the traces go flat
}

void Controller::tick() {
    shell_.repaint();
}

ScopePicture Controller::scope_picture(int width, int height, int line_height) {
    static constexpr std::array<std::int16_t, TrackScope::FRAMES> SILENCE{};
    const Rect area{0, lines_bottom(layout(width, height, line_height), line_height), width, height};
    const std::array<Rect, TRACK_COUNT> boxes = scope_boxes(area);
    ScopePicture picture;
    const TrackScope* scope = ticking_ && boxes[0].width() > 0 ? stream_.latest_scope() : nullptr;
    traces_drawn_ = scope != nullptr;
    if (boxes[0].width() == 0) return picture;

    const std::uint8_t muted = stream_.with_engine([](const Engine& engine) { return engine.muted; });
    for (int k = 0; k < TRACK_COUNT; ++k) {
        const Rect box = boxes[std::size_t(k)];
        picture.labels.push_back({std::to_string(k), PaintLine::Place::AT, 0, box.left + 3, box.top + 1});
        picture.lines.push_back({box_outline(box), scope::FRAME});
    }
    for (int k = 0; k < TRACK_COUNT; ++k) {
        const std::int16_t* samples = scope ? scope->mono[std::size_t(k)].data() : SILENCE.data();
        const Colour colour = muted >> k & 1 ? scope::MUTED_TRACE : scope::TRACE;
        picture.lines.push_back({scope_trace(samples, TrackScope::FRAMES, boxes[std::size_t(k)]), colour});
    }
    return picture;
}

}  // namespace bleepforge
