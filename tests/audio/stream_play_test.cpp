// bleepforge-render --play against the test device: each way a playback ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "audio/mixer.h"
#include "audio/test_device.h"
#include "cli/play.h"
#include "mml/song.h"

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

namespace fs = std::filesystem;

// Two looping songs with noise: a restart that kept the noise register of the
// song before would sound different from a fresh start.
const char* const FIRST = "0t240 @48 o4 l8 L a\n1t240 @64 l4 L c\n";
const char* const SECOND = "0t240 @48 o5 l8 L c e #\n1t240 @66 l8 L c r\n";  // 1 warning: the "#"
const char* const THIRD = "0t240 @32 o5 l8 L c # e #\n1t240 @70 l4 L c\n";  // 2 warnings

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// bleepforge-render SONG --play --watch on a paced test device, SONG in a
// folder of its own; its notices go to a file the test reads as they come.
class WatchedPlay {
public:
    explicit WatchedPlay(double seconds = 0) {
        const std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
        folder_ = fs::temp_directory_path() / ("bleepforge_watch_play_" + test);
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        save(FIRST);
        options_.mode = Mode::PLAY;
        options_.song = song().string();
        options_.quiet = true;
        options_.watch = true;
        options_.seconds = seconds;
        TestDevice::Options paced;
        paced.block_period = 10ms;  // the blocks kept cover 40 s, far longer than a run
        auto device = std::make_unique<TestDevice>(paced);
        log_ = device->log();
        // Binary: the lines end in "\n" on Windows too.
        notices_ = std::fopen((folder_ / "notices.txt").string().c_str(), "wb");
        player_ = std::thread([this, device = std::move(device)]() mutable {
            status_ = play_command(options_, FIRST, std::move(device), notices_);
        });
    }
    ~WatchedPlay() {
        stop();
        fs::remove_all(folder_);
    }

    fs::path song() const { return folder_ / "song.mml"; }
    const TestDevice::Log& log() const { return *log_; }
    // Saves as most editors do: a new file renamed over the song.
    void save(const std::string& text) {
        std::ofstream(folder_ / "song.tmp", std::ios::binary) << text;
        fs::rename(folder_ / "song.tmp", song());
    }
    std::string notices() const { return read_file(folder_ / "notices.txt"); }
    // Waits until the notices end in `line` (and a newline).
    bool wait_for_notice(const std::string& line) const {
        for (auto give_up = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < give_up;) {
            if (notices().ends_with(line + "\n")) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    // Ctrl-C; returns the exit status.
    int stop() {
        if (player_.joinable()) {
            stop_playing();
            player_.join();
            std::fclose(notices_);
        }
        return status_;
    }

private:
    fs::path folder_;
    Options options_;
    std::shared_ptr<TestDevice::Log> log_;
    std::FILE* notices_ = nullptr;
    std::thread player_;
    int status_ = -1;
};

// Follows what the device heard from block `at` on against a fresh engine
// playing `song` from its start; returns the first block that differs.
std::uint64_t heard_from_start(const TestDevice::Log& log, std::uint64_t at, const std::string& song) {
    auto engine = std::make_unique<Engine>();
    load_song(*engine, song);
    std::vector<std::int16_t> expected(BLOCK_SAMPLES);
    for (;; ++at) {
        mix_block(*engine, expected.data());
        if (log.samples(at, 1) != expected) return at;
    }
}

std::uint64_t first_block_of(const TestDevice::Log& log, std::uint64_t from, const std::string& song) {
    while (from < log.blocks() && heard_from_start(log, from, song) == from) ++from;
    return from;
}

TEST(PlayWatch, EachSaveRestartsTheSongAsAFreshPlayAndABadSaveKeepsItGoing) {
    WatchedPlay play;
    ASSERT_TRUE(play.log().wait_for_blocks(10, 30s));
    const std::string song = play.song().string();
    const struct {
        const char* text;
        std::string notice;
    } saves[] = {
        {"# no track lines yet\n", "not reloaded " + song + ": " + NO_TRACK_LINES},
        {SECOND, "reloaded " + song + " (1 warning)"},
        {THIRD, "reloaded " + song + " (2 warnings)"},
        {FIRST, "reloaded " + song + " (no warnings)"},
    };
    std::string notices;
    for (const auto& save : saves) {
        play.save(save.text);
        EXPECT_TRUE(play.wait_for_notice(save.notice)) << play.notices();
        notices += save.notice + "\n";
    }
    EXPECT_TRUE(play.log().wait_for_blocks(play.log().blocks() + 20, 30s));
    EXPECT_EQ(play.stop(), 130);
    EXPECT_EQ(play.notices(), notices) << "one line per save";

    // Each song from its start to the block where the next one starts: the
    // bad save changed nothing, and every restart is a fresh start.
    const char* const heard[] = {FIRST, SECOND, THIRD, FIRST};
    std::uint64_t at = first_block_of(play.log(), 0, FIRST);
    for (const char* song : heard) {
        const std::uint64_t next = heard_from_start(play.log(), at, song);
        EXPECT_GE(next - at, song == heard[3] ? 15u : 1u) << "at block " << at;
        at = next;
    }
}

TEST(PlayWatch, AfterTheSongEndsTheNextSaveStartsIt) {
    WatchedPlay play(0.2);  // 6 blocks
    const auto silent = [&](std::uint64_t from, std::uint64_t count) {
        const std::vector<std::int16_t> samples = play.log().samples(from, count);
        return samples.size() == count * BLOCK_SAMPLES &&
               std::all_of(samples.begin(), samples.end(), [](std::int16_t s) { return s == 0; });
    };
    // Until the device hears the song over.
    for (std::uint64_t n = 20; !silent(n - 10, 10); n += 10) {
        ASSERT_LT(n, 1000u) << "the song did not end";
        ASSERT_TRUE(play.log().wait_for_blocks(n + 10, 30s));
    }
    play.save(SECOND);
    EXPECT_TRUE(play.wait_for_notice("reloaded " + play.song().string() + " (1 warning)")) << play.notices();
    EXPECT_TRUE(play.log().wait_for_blocks(play.log().blocks() + 20, 30s));
    EXPECT_EQ(play.stop(), 130);

    const std::uint64_t start = first_block_of(play.log(), 0, FIRST);
    const std::uint64_t end = heard_from_start(play.log(), start, FIRST);
    EXPECT_GE(end - start, 6u);
    const std::uint64_t restart = first_block_of(play.log(), end, SECOND);
    EXPECT_TRUE(silent(end, restart - end)) << "silence from block " << end << " to " << restart;
    EXPECT_GE(heard_from_start(play.log(), restart, SECOND) - restart, 6u);
}

}  // namespace
}  // namespace bleepforge::cli
