// The sound outputs themselves: the test device's pacing and the ALSA
// backend where no such device exists.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "audio/stream.h"
#include "audio/test_device.h"
#if defined(BLEEPFORGE_ALSA)
#include "audio/alsa_device.h"
#endif

namespace bleepforge {
namespace {

using namespace std::chrono;

TEST(TestDevice, PacedWritesReturnWhenTheOlderBlockHasPlayed) {
    TestDevice::Options o;
    o.block_period = 2ms;
    TestDevice device(o);
    std::string reason;
    ASSERT_TRUE(device.open(reason));
    std::array<std::int16_t, BLOCK_SAMPLES> block{};
    const auto begin = steady_clock::now();
    for (int i = 0; i < 6; ++i) {
        block[0] = std::int16_t(i);
        EXPECT_EQ(device.write_block(block.data(), 100), AudioDevice::Wait::PLAYED);
    }
    // The sixth write returns once the fifth block from the end has played: 5 periods in.
    EXPECT_GE(steady_clock::now() - begin, 10ms);
    EXPECT_EQ(device.log()->blocks(), 6u);
    EXPECT_EQ(device.log()->samples(4, 1)[0], 4);
    EXPECT_EQ(device.log()->samples(5, 10).size(), std::size_t(BLOCK_SAMPLES));
}

TEST(TestDevice, SilentDeviceWaitsAtMostItsCapAndTimesOut) {
    TestDevice::Options o;
    o.answer_limit = 1;
    o.max_wait_ms = 1;
    TestDevice device(o);
    std::array<std::int16_t, BLOCK_SAMPLES> block{};
    EXPECT_EQ(device.write_block(block.data(), 60000), AudioDevice::Wait::PLAYED);
    EXPECT_EQ(device.write_block(block.data(), 60000), AudioDevice::Wait::TIMED_OUT);
    EXPECT_EQ(device.log()->last_timeout_ms(), 60000);
}

TEST(DefaultDevice, Exists) { EXPECT_NE(make_default_device(), nullptr); }

#if defined(BLEEPFORGE_ALSA)
TEST(AlsaDevice, MissingDeviceIsOneLineOfOursOnStderr) {
    auto device = make_alsa_device("bleepforge_no_such_pcm");
    std::string reason;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(device->open(reason));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "ALSA's own messages are silenced";
    EXPECT_NE(reason.find("\"bleepforge_no_such_pcm\""), std::string::npos) << reason;
    device->close();
    device->close();

    testing::internal::CaptureStderr();
    AudioStream stream(make_alsa_device("bleepforge_no_such_pcm"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bleepforge: no sound: " + reason + "\n");
    EXPECT_EQ(stream.state(), AudioStream::State::NO_DEVICE);
    EXPECT_EQ(stream.device_error(), reason);
}

// A suspended device whose resume keeps answering "try again" must not hold
// the render thread (and so halt) past the device deadline.
TEST(AlsaDevice, ResumeAfterSuspendEndsByTheDeadline) {
    struct Case {
        std::vector<int> resume_answers;  // the last one repeats
        bool deadline_passed;
        int resumes, prepares, result;
    };
    const auto past = steady_clock::now() - 1s;
    const std::vector<Case> cases = {
        {{-EAGAIN, -EAGAIN, 0}, false, 3, 0, 0},   // the hardware woke up
        {{-ENOSYS}, false, 1, 1, 0},               // cannot resume: restart the stream
        {{-EAGAIN}, true, 1, 1, 0},                // never wakes: one try, then restart
    };
    for (const Case& c : cases) {
        int resumes = 0, prepares = 0;
        auto resume = [&] { return c.resume_answers[std::min<std::size_t>(resumes++, c.resume_answers.size() - 1)]; };
        auto prepare = [&] { return ++prepares, 0; };
        const auto deadline = c.deadline_passed ? past : steady_clock::now() + 1min;
        EXPECT_EQ(resume_suspended(resume, prepare, deadline), c.result);
        EXPECT_EQ(resumes, c.resumes);
        EXPECT_EQ(prepares, c.prepares);
    }
    // Still waking up when the deadline comes: it returns, restarted.
    int prepares = 0;
    EXPECT_EQ(resume_suspended([] { return -EAGAIN; }, [&] { return ++prepares, -EIO; },
                               steady_clock::now() + 30ms),
              -EIO);
    EXPECT_EQ(prepares, 1);
}
#endif

}  // namespace
}  // namespace bleepforge
