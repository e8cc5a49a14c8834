// The tracks' output handed from the render thread to the window: what a
// snapshot holds, that a reader never sees half of one, and that the stream
// hands over exactly the block the device was given last.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "audio/stream.h"
#include "audio/test_device.h"
#include "audio/track_scope.h"
#include "mml/song.h"
#include "sequencer/transport.h"

namespace bleepforge {
namespace {

using namespace std::chrono_literals;

// Track k's frame f of a test block: left and right differ, and the sign alternates.
void fill_tap(TrackScopeBuffer& buffer, int base) {
    for (int k = 0; k < TRACK_COUNT; ++k) {
        std::int16_t* row = buffer.tap() + k * BLOCK_SAMPLES;
        for (int f = 0; f < BLOCK_FRAMES; ++f) {
            const int sign = f % 2 ? -1 : 1;
            row[2 * f] = std::int16_t(sign * (base + k));
            row[2 * f + 1] = std::int16_t(sign * (base + k + 3));
        }
    }
}

TEST(TrackScopeBuffer, HoldsHalfSumsBehindTheBlockBefore) {
    TrackScopeBuffer buffer;
    struct Step {
        std::uint64_t block;
        int base;
        int expected_older_base;  // the first block of the snapshot; 0: zeros
    };
    const Step steps[] = {{1, 100, 0}, {2, 200, 100}, {3, 300, 200}, {7, 700, 0}, {8, 800, 700}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.block);
        fill_tap(buffer, step.base);
        buffer.publish(step.block);
        const TrackScope& got = buffer.latest();
        EXPECT_EQ(got.block, step.block);
        for (int k = 0; k < TRACK_COUNT; ++k) {
            const auto& mono = got.mono[std::size_t(k)];
            // (L + R) / 2 rounds toward zero on both signs.
            const int half_sum = (2 * (step.base + k) + 3) / 2;
            EXPECT_EQ(mono[BLOCK_FRAMES], half_sum);
            EXPECT_EQ(mono[BLOCK_FRAMES + 1], -half_sum);
            EXPECT_EQ(mono[TrackScope::FRAMES - 1], -half_sum);
            const int older = step.expected_older_base ? (2 * (step.expected_older_base + k) + 3) / 2 : 0;
            EXPECT_EQ(mono[0], older);
            EXPECT_EQ(mono[BLOCK_FRAMES - 1], -older);
        }
    }
    // Nothing new: the same snapshot.
    EXPECT_EQ(&buffer.latest(), &buffer.latest());
    EXPECT_EQ(buffer.latest().block, 8u);
}

// Every sample of block n is n: a snapshot mixing two publications would show it.
TEST(TrackScopeBuffer, ReaderNeverSeesATornSnapshot) {
    constexpr std::uint64_t BLOCKS = 3000;
    TrackScopeBuffer buffer;
    std::thread writer([&] {
        for (std::uint64_t n = 1; n <= BLOCKS; ++n) {
            std::fill_n(buffer.tap(), TRACK_COUNT * BLOCK_SAMPLES, std::int16_t(n));
            buffer.publish(n);
        }
    });
    std::uint64_t seen = 0, torn = 0, snapshots = 0;
    while (seen < BLOCKS) {
        const TrackScope& got = buffer.latest();
        if (got.block == seen) continue;
        ++snapshots;
        seen = got.block;
        for (const auto& mono : got.mono) {
            for (int f = 0; f < TrackScope::FRAMES; ++f) {
                const std::uint64_t expected = f < BLOCK_FRAMES ? seen - 1 : seen;
                torn += std::uint64_t(mono[std::size_t(f)]) != expected;
            }
        }
    }
    writer.join();
    EXPECT_EQ(torn, 0u);
    EXPECT_GT(snapshots, 1u);
}

struct Running {
    std::shared_ptr<TestDevice::Log> log;
    std::unique_ptr<AudioStream> stream;
};

Running start_paced() {
    auto device = std::make_unique<TestDevice>(TestDevice::Options{.block_period = 1ms});
    Running r{device->log(), nullptr};
    r.stream = std::make_unique<AudioStream>(std::move(device));
    return r;
}

// Track 0 alone is heard, track 1 plays muted: the device's blocks are track
// 0's samples, so the snapshot's two blocks must be the device's two latest.
TEST(AudioStreamScope, ShowsTheBlocksLastHandedToTheDevice) {
    Running r = start_paced();
    // Nothing is tapped or shown before the scope is enabled.
    EXPECT_EQ(r.stream->latest_scope(), nullptr);
    EXPECT_EQ(r.stream->with_engine([](Engine& e) { return e.track_tap; }), nullptr);
    r.stream->set_scope_enabled(true);
    r.stream->with_engine([](Engine& e) {
        load_song(e, "0@48 v15 o4 l1 L a\r\n1@0 v15 o5 l1 L c\r\n");
        e.muted = 0b10;
    });
    const std::uint64_t after_load = r.log->blocks();
    ASSERT_TRUE(r.log->wait_for_blocks(after_load + 6, 30s));
    const TrackScope got = *r.stream->latest_scope();
    ASSERT_GT(got.block, after_load + 2);
    const std::vector<std::int16_t> device = r.log->samples(got.block - 1, 2);
    ASSERT_EQ(device.size(), std::size_t{2 * BLOCK_SAMPLES});
    int differ = 0;
    for (int f = 0; f < TrackScope::FRAMES; ++f) {
        differ += got.mono[0][std::size_t(f)] != (device[2 * f] + device[2 * f + 1]) / 2;
    }
    EXPECT_EQ(differ, 0);
    auto sounds = [&](int k) {
        const auto& mono = got.mono[std::size_t(k)];
        return std::any_of(mono.begin(), mono.end(), [](std::int16_t s) { return s != 0; });
    };
    EXPECT_TRUE(sounds(0));
    EXPECT_TRUE(sounds(1));  // muted, yet shown
    for (int k = 2; k < TRACK_COUNT; ++k) EXPECT_FALSE(sounds(k)) << k;

    // Off: the block mixed before may still come, then nothing.
    r.stream->set_scope_enabled(false);
    ASSERT_TRUE(r.log->wait_for_blocks(r.log->blocks() + 3, 30s));
    const std::uint64_t last = r.stream->latest_scope()->block;
    ASSERT_TRUE(r.log->wait_for_blocks(r.log->blocks() + 5, 30s));
    EXPECT_EQ(r.stream->latest_scope()->block, last);
}

// The listener hears of every block that leaves all tracks stopped after
// something played, and of nothing else.
TEST(AudioStreamScope, ListenerHearsWhenPlayingEnds) {
    Running r = start_paced();
    std::atomic<int> told{0};
    r.stream->set_state_listener([&] { ++told; });
    auto wait_told = [&](int count) {
        for (auto waited = 0ms; waited < 30s && told < count; waited += 1ms) std::this_thread::sleep_for(1ms);
        return told == count;
    };
    ASSERT_TRUE(r.log->wait_for_blocks(5, 30s));
    EXPECT_EQ(told, 0);  // silence from the start is no end

    r.stream->with_engine([](Engine& e) { load_song(e, "0l16cx\r\n"); });  // ends by itself
    EXPECT_TRUE(wait_told(1));
    r.stream->with_engine([](Engine& e) { load_song(e, "0L c\r\n"); });  // loops until stopped
    ASSERT_TRUE(r.log->wait_for_blocks(r.log->blocks() + 3, 30s));
    EXPECT_EQ(told, 1);
    r.stream->with_engine([](Engine& e) { stop_all_tracks(e); });
    EXPECT_TRUE(wait_told(2));
    ASSERT_TRUE(r.log->wait_for_blocks(r.log->blocks() + 5, 30s));
    EXPECT_EQ(told, 2);
    EXPECT_EQ(r.stream->state(), AudioStream::State::STREAMING);
    r.stream->set_state_listener({});
}

}  // namespace
}  // namespace bleepforge
