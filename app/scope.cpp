#include "app/scope.h"

#include <algorithm>

namespace bleepforge {

std::array<Rect, TRACK_COUNT> scope_boxes(Rect area) {
    using scope::COLUMNS, scope::GAP;
    constexpr int ROWS = TRACK_COUNT / COLUMNS;
    std::array<Rect, TRACK_COUNT> boxes{};
    const int width = (area.width() - GAP * (COLUMNS + 1)) / COLUMNS;
    const int height = (area.height() - GAP * (ROWS + 1)) / ROWS;
    if (width < 4 || height < 4) return boxes;
    for (int k = 0; k < TRACK_COUNT; ++k) {
        const int left = area.left + GAP + (k % COLUMNS) * (width + GAP);
        const int top = area.top + GAP + (k / COLUMNS) * (height + GAP);
        boxes[std::size_t(k)] = {left, top, left + width, top + height};
    }
    return boxes;
}

int trigger_frame(const std::int16_t* samples, int count) {
    const int latest = count - scope::SHOWN_FRAMES;
    const int earliest = std::max(1, latest - BLOCK_FRAMES);
    for (int f = latest; f >= earliest; --f) {
        if (samples[f - 1] < 0 && samples[f] >= 0) return f;
    }
    return latest;
}

std::vector<Point> scope_trace(const std::int16_t* samples, int count, Rect box) {
    // Inside the frame: columns left + 1 .. right - 2, rows top + 1 .. bottom - 2.
    const int columns = box.width() - 2;
    const int span = box.height() - 3;  // rows from the top inner row to the bottom one
    std::vector<Point> points;
    if (columns < 1 || span < 0) return points;
    auto y_of = [&](int sample) {
        return box.top + 1 + int(((32767 - std::int64_t{sample}) * span + 32767) / 65535);  // rounded
    };
    auto add = [&](int x, int sample) {
        const Point p{x, y_of(sample)};
        if (points.empty() || points.back() != p) points.push_back(p);
    };

    const std::int16_t* shown = samples + trigger_frame(samples, count);
    for (int c = 0; c < columns; ++c) {
        const int first = int(std::int64_t{c} * scope::SHOWN_FRAMES / columns);
        const int end = std::max(first + 1, int(std::int64_t{c + 1} * scope::SHOWN_FRAMES / columns));
        const std::int16_t* low = std::min_element(shown + first, shown + end);
        const std::int16_t* high = std::max_element(shown + first, shown + end);
        const int x = box.left + 1 + c;
        add(x, low < high ? *low : *high);
        add(x, low < high ? *high : *low);
    }
    return points;
}

std::vector<Point> box_outline(Rect box) {
    const int right = box.right - 1, bottom = box.bottom - 1;
    return {{box.left, box.top}, {right, box.top}, {right, bottom}, {box.left, bottom}, {box.left, box.top}};
}

}  // namespace bleepforge
