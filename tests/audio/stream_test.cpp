// The render thread against the test device: what reaches the device, the
// engine lock against transport operations, halt, and a failing device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "audio/mixer.h"
#include "audio/offline.h"
#include "audio/stream.h"
#include "audio/test_device.h"
#include "mml/song.h"
#include "sequencer/transport.h"
#include "support/test_data.h"

namespace bleepforge {
namespace {

using namespace std::chrono_literals;
using Samples = std::vector<std::int16_t>;

constexpr auto PATIENCE = 30s;  // generous: the suite also runs under ThreadSanitizer

struct Running {
    std::shared_ptr<TestDevice::Log> log;
    std::unique_ptr<AudioStream> stream;
};

Running start(TestDevice::Options options) {
    auto device = std::make_unique<TestDevice>(options);
    Running r{device->log(), nullptr};
    r.stream = std::make_unique<AudioStream>(std::move(device));
    return r;
}

TestDevice::Options paced(std::chrono::microseconds period) {
    TestDevice::Options o;
    o.block_period = period;
    return o;
}

std::string song(const std::string& name) {
    return test::read_file(test::data_dir() / "conformance" / "songs" / name);
}

bool wait_for_state(const AudioStream& stream, AudioStream::State state) {
    for (auto waited = 0ms; waited < PATIENCE; waited += 5ms) {
        if (stream.state() == state) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// Loads `bytes` with recording on; returns the device index of the first block mixed after the load.
std::uint64_t load_recording(AudioStream& stream, const std::string& bytes) {
    std::uint64_t first = 0;
    stream.with_engine([&](Engine& e) {
        EXPECT_TRUE(recording_on(e));
        load_song(e, bytes);
        // The device got silence first, then mixed block n as block n.
        first = stream.stats().blocks_mixed + 1;
    });
    return first;
}

Samples capture(AudioStream& stream, std::uint64_t blocks) {
    return stream.with_engine([&](Engine& e) {
        const std::uint64_t n = std::min<std::uint64_t>(e.recorded_frames / BLOCK_FRAMES, blocks);
        return Samples(e.RecordBuffer.get(), e.RecordBuffer.get() + n * BLOCK_SAMPLES);
    });
}

// What the offline renderer makes of the song after `idle_blocks` idle blocks.
Samples offline(const std::string& bytes, std::uint64_t idle_blocks, std::uint64_t blocks) {
    auto engine = std::make_unique<Engine>();
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    for (std::uint64_t i = 0; i < idle_blocks; ++i) mix_block(*engine, block.data());
    EXPECT_TRUE(recording_on(*engine));
    load_song(*engine, bytes);
    render_song(*engine, {blocks, 0});
    return Samples(engine->RecordBuffer.get(), engine->RecordBuffer.get() + engine->recorded_frames * 2);
}

TEST(AudioStream, StreamsSilenceFromTheStartAndClosesTheDevice) {
    Running r = start(paced(1ms));
    EXPECT_EQ(r.stream->state(), AudioStream::State::STREAMING);
    EXPECT_EQ(r.stream->device_error(), "");
    ASSERT_TRUE(r.log->wait_for_blocks(12, PATIENCE));
    const Samples got = r.log->samples(0, 12);
    EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](std::int16_t s) { return s == 0; }));
    EXPECT_EQ(r.log->last_timeout_ms(), DEVICE_WAIT_MS);
    EXPECT_EQ(r.log->opens(), 1);
    EXPECT_EQ(r.log->closes(), 0);
    r.stream.reset();
    EXPECT_EQ(r.log->closes(), 1);
}

class BlocksAfterLoad : public testing::TestWithParam<const char*> {};

TEST_P(BlocksAfterLoad, EqualTheOfflineRenderAndTheCapture) {
    constexpr std::uint64_t N = 40;
    const std::string bytes = song(GetParam());
    Running r = start(paced(300us));
    ASSERT_TRUE(r.log->wait_for_blocks(3, PATIENCE));
    const std::uint64_t first = load_recording(*r.stream, bytes);
    ASSERT_TRUE(r.log->wait_for_blocks(first + N, PATIENCE));
    const Samples captured = capture(*r.stream, N);
    r.stream->halt();

    const Samples expected = offline(bytes, first - 1, N);
    ASSERT_GT(expected.size(), 0u);
    const Samples device = r.log->samples(first, expected.size() / BLOCK_SAMPLES);
    EXPECT_TRUE(device == expected) << "device blocks differ from the offline render";
    EXPECT_TRUE(Samples(captured.begin(), captured.begin() + expected.size()) == expected)
        << "capture differs from the offline render";
}

INSTANTIATE_TEST_SUITE_P(Songs, BlocksAfterLoad,
                         testing::Values("p01_scale_pulse.mml", "p03_noise_drums.mml", "p06_stereo.mml",
                                         "p08_repeats_loop.mml", "r04_random.mml"));

// The window loads in two steps (compile outside the lock, copy inside); the
// result is load_song's to the byte and to the sample, even over the leftovers
// of a longer song.
TEST(PreparedSong, StartsExactlyAsLoadSong) {
    const std::string before = song("p08_repeats_loop.mml");
    for (const test::GoldenRender& g : test::golden_renders()) {
        SCOPED_TRACE(g.song);
        const std::string bytes = song(g.song);
        std::array<std::unique_ptr<Engine>, 2> engines{std::make_unique<Engine>(), std::make_unique<Engine>()};
        std::array<std::int16_t, BLOCK_SAMPLES> block;
        for (auto& e : engines) {
            ASSERT_TRUE(recording_on(*e));
            load_song(*e, before);
            for (int i = 0; i < 3; ++i) mix_block(*e, block.data());
        }
        load_song(*engines[0], bytes);
        start_prepared_song(*engines[1], *prepare_song(bytes));
        for (int k = 0; k < TRACK_COUNT; ++k) {
            EXPECT_TRUE(engines[0]->tracks[k].events == engines[1]->tracks[k].events) << "track " << k;
            EXPECT_EQ(engines[0]->tracks[k].events_end, engines[1]->tracks[k].events_end);
        }
        for (auto& e : engines) render_song(*e, {60, 0});
        ASSERT_EQ(engines[0]->recorded_frames, engines[1]->recorded_frames);
        EXPECT_TRUE(std::equal(engines[0]->RecordBuffer.get(),
                               engines[0]->RecordBuffer.get() + 2 * engines[0]->recorded_frames,
                               engines[1]->RecordBuffer.get()));
    }
}

TEST(AudioStream, StopAndReloadFromAnotherThreadWhileStreaming) {
    const std::string a = song("p08_repeats_loop.mml");
    const std::string b = song("p03_noise_drums.mml");
    Running r = start(paced(200us));
    ASSERT_TRUE(r.log->wait_for_blocks(2, PATIENCE));

    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done) {
            EXPECT_EQ(r.stream->state(), AudioStream::State::STREAMING);
            r.stream->with_engine([](Engine& e) { return e.recorded_frames; });
            std::this_thread::yield();
        }
    });
    r.stream->with_engine([](Engine& e) { return recording_on(e); });
    for (int i = 0; i < 300; ++i) {
        switch (i % 3) {
            case 0: r.stream->with_engine([&](Engine& e) { load_song(e, a); }); break;
            case 1: r.stream->with_engine([](Engine& e) { stop_all_tracks(e); }); break;
            case 2: r.stream->with_engine([&](Engine& e) { load_song(e, b); }); break;
        }
        if (i % 10 == 0) std::this_thread::sleep_for(1ms);  // let some blocks through
    }
    done = true;
    watcher.join();

    // The engine is whole after all that: a last load is captured exactly as the device hears it.
    constexpr std::uint64_t N = 20;
    const std::uint64_t first = load_recording(*r.stream, a);
    ASSERT_TRUE(r.log->wait_for_blocks(first + N, PATIENCE));
    const Samples captured = capture(*r.stream, N);
    ASSERT_EQ(captured.size(), N * BLOCK_SAMPLES);
    EXPECT_TRUE(captured == r.log->samples(first, N));
    EXPECT_GT(r.stream->stats().blocks_mixed, first);
}

TEST(AudioStream, HaltStopsTheDeviceFeedAndReleasesTheCaptureOnce) {
    Running r = start(paced(500us));
    load_recording(*r.stream, song("p08_repeats_loop.mml"));
    ASSERT_TRUE(r.log->wait_for_blocks(10, PATIENCE));

    // Two shells halting at once (window destroyed while the program exits).
    std::thread other([&] { r.stream->halt(); });
    r.stream->halt();
    other.join();
    EXPECT_EQ(r.stream->state(), AudioStream::State::HALTED);
    r.stream->with_engine([](Engine& e) {
        EXPECT_FALSE(e.recording_mode);
        EXPECT_EQ(e.RecordBuffer, nullptr);
    });
    // The block mixed after the stop request is never written.
    const std::uint64_t mixed = r.stream->stats().blocks_mixed;
    EXPECT_EQ(r.log->blocks(), mixed);
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(r.log->blocks(), mixed);
    EXPECT_EQ(r.stream->stats().blocks_mixed, mixed);

    r.stream->halt();
    EXPECT_EQ(r.stream->state(), AudioStream::State::HALTED);
    EXPECT_EQ(r.log->closes(), 0) << "halt leaves the device open until destruction";
    r.stream.reset();
    EXPECT_EQ(r.log->closes(), 1);
}

TEST(AudioStream, DeviceThatFailsToOpenLeavesTheEngineUsable) {
    TestDevice::Options o;
    o.fail_open = true;
    testing::internal::CaptureStderr();
    Running r = start(o);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bleepforge: no sound: the test device was told to fail\n");
    EXPECT_EQ(r.stream->state(), AudioStream::State::NO_DEVICE);
    EXPECT_EQ(r.stream->device_error(), "the test device was told to fail");
    r.stream->with_engine([&](Engine& e) {
        EXPECT_TRUE(recording_on(e));
        load_song(e, song("p01_scale_pulse.mml"));
        EXPECT_TRUE(any_track_active(e));
    });
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(r.stream->stats().blocks_mixed, 0u) << "songs load but do not advance";
    EXPECT_EQ(r.log->blocks(), 0u);
    r.stream->halt();
    EXPECT_EQ(r.stream->state(), AudioStream::State::NO_DEVICE);
    r.stream->with_engine([](Engine& e) { EXPECT_EQ(e.RecordBuffer, nullptr); });

    testing::internal::CaptureStderr();
    AudioStream none(nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(none.state(), AudioStream::State::NO_DEVICE);
    EXPECT_NE(none.device_error(), "");
}

TEST(AudioStream, DeviceThatStopsAnsweringIsReportedAsStalled) {
    TestDevice::Options o;
    o.answer_limit = 5;
    o.max_wait_ms = 20;
    testing::internal::CaptureStderr();
    Running r = start(o);
    ASSERT_TRUE(wait_for_state(*r.stream, AudioStream::State::STALLED));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "bleepforge: the sound device stopped answering; playback stopped\n");
    EXPECT_EQ(r.log->last_timeout_ms(), DEVICE_WAIT_MS);
    EXPECT_EQ(r.log->blocks(), 6u);
    EXPECT_EQ(r.stream->stats().blocks_mixed, 5u) << "nothing is mixed after the timeout";
    r.stream->with_engine([&](Engine& e) { load_song(e, song("p01_scale_pulse.mml")); });
    r.stream->halt();
    EXPECT_EQ(r.stream->state(), AudioStream::State::STALLED);

    // A device that falls silent in the middle of a song.
    o = paced(1ms);
    o.max_wait_ms = 20;
    Running later = start(o);
    later.stream->with_engine([&](Engine& e) { load_song(e, song("p08_repeats_loop.mml")); });
    ASSERT_TRUE(later.log->wait_for_blocks(8, PATIENCE));
    testing::internal::CaptureStderr();
    later.log->stop_answering();
    ASSERT_TRUE(wait_for_state(*later.stream, AudioStream::State::STALLED));
    testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace bleepforge
