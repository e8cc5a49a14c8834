// bleepforge-render --play against the test device: each way a playback ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "audio/test_device.h"
#include "cli/play.h"

namespace bleepforge::cli {
namespace {

using namespace std::chrono_literals;

const char* const LOOPING = "0t240 @48 o5 l8 L a\n";  // loops every 1/8 s

struct Played {
    int status;
    std::shared_ptr<TestDevice::Log> log;
};

Played play(const std::string& song, Options options, TestDevice::Options device_options = {}) {
    if (device_options.block_period == 0us) device_options.block_period = 300us;
    options.mode = Mode::PLAY;
    options.song = "song.mml";
    options.quiet = true;
    auto device = std::make_unique<TestDevice>(device_options);
    auto log = device->log();
    return {play_command(options, song, std::move(device)), log};
}

bool ends_in_silence(const TestDevice::Log& log) {
    const std::uint64_t n = log.blocks();
    const auto tail = log.samples(n - 2, 2);
    return tail.size() == 2 * BLOCK_SAMPLES &&
           std::all_of(tail.begin(), tail.end(), [](std::int16_t s) { return s == 0; });
}

TEST(Play, EndsWithTheSongOnSilence) {
    const Played p = play("0t240 @48 o4 l16 c x\n", {});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.log->closes(), 1);
    EXPECT_TRUE(ends_in_silence(*p.log)) << "the device is closed once the queued blocks have played";
}

TEST(Play, SecondsAndLoopsEndALoopingSong) {
    Options seconds;
    seconds.seconds = 1;  // 30 blocks
    Played p = play(LOOPING, seconds);
    EXPECT_EQ(p.status, 0);
    EXPECT_GE(p.log->blocks(), 30u);
    EXPECT_TRUE(ends_in_silence(*p.log)) << "tracks are stopped before the device closes";

    Options loops;
    loops.loops = 4;  // half a second: 15 blocks
    p = play(LOOPING, loops);
    EXPECT_EQ(p.status, 0);
    EXPECT_GE(p.log->blocks(), 15u);
    EXPECT_TRUE(ends_in_silence(*p.log));
}

TEST(Play, StopRequestEndsPlaybackWithStatus130) {
    TestDevice::Options paced;
    paced.block_period = 2ms;
    std::thread ctrl_c([] {
        std::this_thread::sleep_for(50ms);
        stop_playing();
    });
    const Played p = play(LOOPING, {}, paced);
    ctrl_c.join();
    EXPECT_EQ(p.status, 130);
    EXPECT_EQ(p.log->closes(), 1);
    EXPECT_TRUE(ends_in_silence(*p.log));
}

TEST(Play, DeviceFailureIsExitStatus2) {
    TestDevice::Options failing;
    failing.fail_open = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(play(LOOPING, {}, failing).status, 2);

    TestDevice::Options stalling;
    stalling.answer_limit = 10;
    stalling.max_wait_ms = 10;
    EXPECT_EQ(play(LOOPING, {}, stalling).status, 2);
    testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace bleepforge::cli
