// The scope traces from known waves: where they trigger, how samples become
// pixels, and where the eight boxes sit.
#include "app/scope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

namespace bleepforge {
namespace {

using Wave = std::vector<std::int16_t>;
constexpr int COUNT = 2 * BLOCK_FRAMES;

Wave make_wave(const std::function<int(int)>& sample_at) {
    Wave wave(COUNT);
    for (int f = 0; f < COUNT; ++f) wave[std::size_t(f)] = std::int16_t(sample_at(f));
    return wave;
}

// High for the first half of each `period`, low for the second.
Wave square(int period, int amplitude, int phase = 0) {
    return make_wave([=](int f) { return (f + phase) % period < period / 2 ? amplitude : -amplitude; });
}

TEST(TriggerFrame, LatestRisingCrossingThatLeavesTheWindowShown) {
    const int latest = COUNT - scope::SHOWN_FRAMES;
    struct Case {
        const char* name;
        Wave wave;
        int expected;
    };
    const Case cases[] = {
        // Rises at f = 100 k + 30: the latest at or before `latest` (2118) is 2030.
        {"square", square(100, 1000, 70), 2030},
        {"rise exactly at the latest start", square(2 * latest, 1000, latest), latest},
        {"sine", make_wave([](int f) { return int(std::lround(8000 * std::sin(2 * M_PI * (f - 5) / 98.0))); }),
         5 + 21 * 98},
        {"falling edges are no trigger", make_wave([](int f) { return f == 2000 ? -1 : 1; }), 2001},
        {"no crossing: the last frames", make_wave([](int) { return 500; }), latest},
        {"silence: the last frames", make_wave([](int) { return 0; }), latest},
        {"crossing older than a block back", make_wave([](int f) { return f < 600 ? -100 : 100; }), latest},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(trigger_frame(c.wave.data(), COUNT), c.expected) << c.name;
    }
}

// One frame per column: the trace is the wave itself, sample for sample.
TEST(ScopeTrace, SquareWavePeriodAmplitudeAndTriggerPoint) {
    constexpr int PERIOD = 98, AMPLITUDE = 8192;
    const Rect box{10, 20, 10 + scope::SHOWN_FRAMES + 2, 20 + 259};  // 256 rows from top to bottom inside
    const Wave wave = square(PERIOD, AMPLITUDE, 37);
    const std::vector<Point> points = scope_trace(wave.data(), COUNT, box);
    ASSERT_EQ(points.size(), std::size_t{scope::SHOWN_FRAMES});

    // A quarter of full scale: a quarter of the 128 rows from the middle row (149) up or down.
    const int high = 149 - 32, low = 149 + 32;
    std::vector<int> rises;
    for (int c = 0; c < scope::SHOWN_FRAMES; ++c) {
        const Point p = points[std::size_t(c)];
        EXPECT_EQ(p.x, 11 + c);
        EXPECT_TRUE(p.y == high || p.y == low) << c << ": " << p.y;
        if (c > 0 && points[std::size_t(c - 1)].y == low && p.y == high) rises.push_back(c);
    }
    EXPECT_EQ(points[0].y, high);  // it starts where the wave rises
    EXPECT_EQ(rises, (std::vector<int>{98, 196, 294, 392, 490, 588, 686, 784}));
}

TEST(ScopeTrace, FullRangeFillsTheInnerRows) {
    const Rect box{0, 0, 60, 40};
    const Wave top = make_wave([](int) { return 32767; });
    const Wave bottom = make_wave([](int) { return -32768; });
    const Wave silent = make_wave([](int) { return 0; });
    for (const auto& [wave, y] : {std::pair{&top, 1}, std::pair{&bottom, 38}, std::pair{&silent, 19}}) {
        const std::vector<Point> points = scope_trace(wave->data(), COUNT, box);
        ASSERT_EQ(points.size(), 58u);
        for (const Point& p : points) EXPECT_EQ(p.y, y);
        EXPECT_EQ(points.front().x, 1);
        EXPECT_EQ(points.back().x, 58);
    }
}

// A wave denser than the pixels: every column spans the whole swing, low or
// high first as the wave has them.
TEST(ScopeTrace, DenseWaveKeepsItsSwingInEveryColumn) {
    const Rect box{0, 0, 52, 40};
    const Wave wave = square(4, 16384);
    const std::vector<Point> points = scope_trace(wave.data(), COUNT, box);
    ASSERT_EQ(points.size(), 100u);
    for (int c = 0; c < 50; ++c) {
        const Point a = points[std::size_t(2 * c)], b = points[std::size_t(2 * c + 1)];
        EXPECT_EQ(a.x, c + 1);
        EXPECT_EQ(b.x, c + 1);
        EXPECT_EQ(std::abs(a.y - b.y), 19) << c;
    }
    EXPECT_LT(points[0].y, points[1].y);  // the trigger starts on the high part
}

TEST(ScopeBoxes, FourByTwoWithGapsInsideTheArea) {
    const Rect area{0, 90, 240, 190};
    const std::array<Rect, TRACK_COUNT> boxes = scope_boxes(area);
    // (240 - 5 x 4) / 4 = 55 wide, (100 - 3 x 4) / 2 = 44 high.
    EXPECT_EQ(boxes[0], (Rect{4, 94, 59, 138}));
    EXPECT_EQ(boxes[3], (Rect{181, 94, 236, 138}));
    EXPECT_EQ(boxes[4], (Rect{4, 142, 59, 186}));
    EXPECT_EQ(boxes[7], (Rect{181, 142, 236, 186}));

    for (const Rect& tiny : {Rect{0, 0, 35, 100}, Rect{0, 0, 240, 19}}) {
        for (const Rect& box : scope_boxes(tiny)) EXPECT_EQ(box, Rect{});
    }
}

TEST(ScopeBoxes, OutlineIsClosedOnTheEdgePixels) {
    EXPECT_EQ(box_outline({4, 94, 59, 138}),
              (std::vector<Point>{{4, 94}, {58, 94}, {58, 137}, {4, 137}, {4, 94}}));
}

}  // namespace
}  // namespace bleepforge
