// The oscilloscope traces of the window: where the eight scopes sit, where a
// trace starts (its trigger) and how samples become pixels. Pure computation,
// shared by every shell through the controller.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sequencer/engine.h"

namespace bleepforge {

struct Point {
    int x = 0, y = 0;  // client pixels
    bool operator==(const Point&) const = default;
};

struct Colour {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Colour&) const = default;
};

// A line through `points` in turn, one pixel wide, in `colour`.
struct Polyline {
    std::vector<Point> points;
    Colour colour;
};

// Pixels [left, right) x [top, bottom) of the client area.
struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool operator==(const Rect&) const = default;
};

namespace scope {
inline constexpr int SHOWN_FRAMES = SAMPLE_RATE / 50;  // 20 ms across each scope
inline constexpr int COLUMNS = 4;                      // scopes side by side; TRACK_COUNT / COLUMNS rows
inline constexpr int GAP = 4;                          // pixels between scopes and around the grid
inline constexpr Colour TRACE{0x00, 0x99, 0x33};
inline constexpr Colour MUTED_TRACE{0xA8, 0xA8, 0xA8};
inline constexpr Colour FRAME{0xC8, 0xC8, 0xC8};
}  // namespace scope

// The eight scopes' boxes in `area`, track k at column k % COLUMNS, row
// k / COLUMNS, GAP pixels apart and from the area's edges; all empty when
// the area leaves a scope less than 4 x 4 pixels.
std::array<Rect, TRACK_COUNT> scope_boxes(Rect area);

// The first frame a trace shows: the latest rising zero crossing (a sample
// below zero, then one at or above it) with SHOWN_FRAMES frames from it to the
// end of `samples`, searched back over at most BLOCK_FRAMES frames; without
// one, the last SHOWN_FRAMES frames. `count` >= SHOWN_FRAMES.
int trigger_frame(const std::int16_t* samples, int count);

// The trace of SHOWN_FRAMES frames of `samples` from the trigger, inside
// `box`'s frame: the frames spread evenly over the inner columns, the 16-bit
// range over the inner rows (32767 at the top, -32768 at the bottom). Each
// column gives its lowest and highest sample in the order they come, so a
// wave denser than the pixels stays visible. `count` >= SHOWN_FRAMES.
std::vector<Point> scope_trace(const std::int16_t* samples, int count, Rect box);

// The box's one-pixel frame as a closed polyline.
std::vector<Point> box_outline(Rect box);

}  // namespace bleepforge
