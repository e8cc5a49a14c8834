#include "app/controller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <fstream>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "audio/mixer.h"
#include "audio/sound_file.h"
#include "audio/test_device.h"
#include "sequencer/transport.h"
#include "support/test_data.h"

namespace bleepforge {
namespace {

namespace fs = std::filesystem;

struct Message {
    std::string text, caption;
};

class FakeShell : public Shell {
public:
    void show_message(const std::string& text, const std::string& caption) override {
        messages.push_back({text, caption});
    }
    fs::path ask_save_path(const SaveRequest& request) override {
        requests.push_back(request);
        return answer ? answer(request) : fs::path{};
    }
    void repaint() override { ++repaints; }
    void wake_ui() override {
        std::lock_guard<std::mutex> lock(wake_mutex);
        ++wakes;
        woken.notify_all();
    }
    // Waits for a wake from another thread; false after a minute without one.
    bool wait_for_wake(int count = 1) {
        std::unique_lock<std::mutex> lock(wake_mutex);
        return woken.wait_for(lock, std::chrono::minutes(1), [&] { return wakes >= count; });
    }

    std::mutex wake_mutex;
    std::condition_variable woken;
    int wakes = 0;
    std::vector<Message> messages;
    std::vector<SaveRequest> requests;
    std::function<fs::path(const SaveRequest&)> answer;
    int repaints = 0;
};

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A stream whose device never opens, so nothing advances unless the test mixes
// a block itself: every capture is exactly what the test played.
class ControllerTest : public ::testing::Test {
protected:
    ControllerTest()
        : stream_(std::make_unique<TestDevice>(TestDevice::Options{.fail_open = true})),
          controller_(stream_, shell_) {
        dir_ = fs::temp_directory_path() /
               ("bleepforge_controller_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        song_ = dir_ / "song.mml";
        write_file(song_, "0t150l8cdefgab>c\r\n1o3l4cgcg\r\n");
    }
    ~ControllerTest() override { fs::remove_all(dir_); }

    int active_tracks() {
        return stream_.with_engine([](const Engine& e) {
            int n = 0;
            for (const TrackState& t : e.tracks) n += t.active ? 1 : 0;
            return n;
        });
    }
    void play_blocks(int blocks) {
        std::vector<std::int16_t> block(BLOCK_SAMPLES);
        stream_.with_engine([&](Engine& e) {
            for (int i = 0; i < blocks; ++i) mix_block(e, block.data());
        });
    }
    // Lets the export's worker finish and runs its completion, as the UI thread would.
    void finish_export() {
        ASSERT_TRUE(shell_.wait_for_wake(++exports_finished_));
        controller_.run_posted();
    }
    int exports_finished_ = 0;
    bool painted(const char* text) {
        for (const PaintLine& line : controller_.paint_lines()) {
            if (line.text == text) return true;
        }
        return false;
    }
    std::uint32_t recorded() {
        return stream_.with_engine([](const Engine& e) { return e.recorded_frames; });
    }
    // Drops the song with recording on, plays `blocks` and stops: ready to export.
    void capture(int blocks) {
        controller_.record_on();
        controller_.drop({{song_}});
        play_blocks(blocks);
        controller_.stop();
    }

    AudioStream stream_;
    FakeShell shell_;
    Controller controller_;
    fs::path dir_, song_;
};

TEST_F(ControllerTest, DropOfOneFileLoadsItAndPRereadsItFromDisk) {
    controller_.key_down(KeyKind::P);  // nothing dropped yet
    EXPECT_EQ(active_tracks(), 0);
    EXPECT_TRUE(shell_.messages.empty());

    controller_.drop({{song_}});
    EXPECT_EQ(controller_.remembered_path(), song_);
    EXPECT_EQ(active_tracks(), 2);

    controller_.stop();
    EXPECT_EQ(active_tracks(), 0);
    write_file(song_, "0cde\r\n1cde\r\n2cde\r\n");
    controller_.key_down(KeyKind::P);
    EXPECT_EQ(active_tracks(), 3);
    EXPECT_TRUE(shell_.messages.empty());
}

TEST_F(ControllerTest, RecordOnTwiceAllocatesOnceAndKeepsTheCapture) {
    controller_.record_on();
    EXPECT_EQ(shell_.repaints, 1);
    const std::int16_t* buffer = stream_.with_engine([](const Engine& e) { return e.RecordBuffer.get(); });
    ASSERT_NE(buffer, nullptr);

    controller_.drop({{song_}});
    play_blocks(2);
    controller_.record_on();
    EXPECT_EQ(stream_.with_engine([](const Engine& e) { return e.RecordBuffer.get(); }), buffer);
    EXPECT_EQ(recorded(), 2u * BLOCK_FRAMES);
    EXPECT_EQ(shell_.repaints, 1);
}

#if defined(__linux__)
// Leaves this process 64 MB of address space more than it uses now: too little
// for the capture.
void cap_address_space() {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t{64} << 20);
    const rlimit rl{limit, limit};
    setrlimit(RLIMIT_AS, &rl);
}

TEST_F(ControllerTest, CaptureThatCannotBeAllocatedLeavesRecordingOff) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto outcome = [this] {
        cap_address_space();
        controller_.record_on();
        const bool off = !stream_.with_engine([](const Engine& e) { return e.recording_mode; });
        const bool said = shell_.messages.size() == 1 && shell_.messages[0].caption == "えらー" &&
                          shell_.repaints == 0;
        return off && said ? 0 : 1;
    };
    EXPECT_EXIT(std::exit(outcome()), ::testing::ExitedWithCode(0), "");
}
#endif

TEST_F(ControllerTest, PaintedLines) {
    auto texts = [&] {
        std::vector<std::string> out;
        for (const PaintLine& line : controller_.paint_lines()) out.push_back(line.text);
        return out;
    };
    // This stream has no device, so its line shows under the hint.
    EXPECT_EQ(texts(), (std::vector<std::string>{"mmlファイルをドラッグ", text::NO_DEVICE}));
    const std::vector<PaintLine> before = controller_.paint_lines();
    EXPECT_EQ(before[0].place, PaintLine::Place::CENTRED_ROW);
    EXPECT_EQ(before[0].row, 0);
    EXPECT_EQ(before[1].row, 1);

    controller_.record_on();
    const std::vector<PaintLine> after = controller_.paint_lines();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[2].text, "録音モード");
    EXPECT_EQ(after[2].place, PaintLine::Place::AT);
    EXPECT_EQ(after[2].x, 10);
    EXPECT_EQ(after[2].y, 50);
}

TEST(ControllerStreaming, NoDeviceLineOnlyWhenTheDeviceFails) {
    FakeShell shell;
    AudioStream stream(std::make_unique<TestDevice>());
    Controller controller(stream, shell);
    EXPECT_EQ(controller.paint_lines().size(), 1u);
}

// The render thread tells the window of a stalled device at once: the line
// shows without any user action.
TEST(ControllerStreaming, StalledDeviceWakesTheWindowToRepaint) {
    FakeShell shell;
    auto device = std::make_unique<TestDevice>(TestDevice::Options{.max_wait_ms = 0});
    std::shared_ptr<TestDevice::Log> log = device->log();
    AudioStream stream(std::move(device));
    Controller controller(stream, shell);
    ASSERT_TRUE(log->wait_for_blocks(2, std::chrono::minutes(1)));
    log->stop_answering();
    ASSERT_TRUE(shell.wait_for_wake());
    EXPECT_EQ(stream.state(), AudioStream::State::STALLED);
    controller.run_posted();
    EXPECT_EQ(shell.repaints, 1);
    EXPECT_EQ(controller.paint_lines().at(1).text, text::DEVICE_STALLED);
}

// Loading runs the slow split and compile outside the engine lock, so even a
// file at the size limit keeps the paced device fed: no block comes late.
TEST(ControllerStreaming, LoadingAHugeFileMakesNoBlockLate) {
    const fs::path big = fs::temp_directory_path() / "bleepforge_controller_huge.mml";
    {
        std::ofstream out(big, std::ios::binary);
        const std::string lines = "0t150l8cdefgab>c<\r\n1o3l4cgcg\r\n2v9ceg\r\n3@2cdef\r\n";
        for (std::size_t n = 0; n + lines.size() <= (std::size_t{16} << 20) - 1024; n += lines.size()) out << lines;
    }
    FakeShell shell;
    const auto period = std::chrono::microseconds(1'000'000LL * BLOCK_FRAMES / SAMPLE_RATE);
    auto device = std::make_unique<TestDevice>(TestDevice::Options{.block_period = period, .keep_blocks = 0});
    std::shared_ptr<TestDevice::Log> log = device->log();
    AudioStream stream(std::move(device));
    Controller controller(stream, shell);
    ASSERT_TRUE(log->wait_for_blocks(4, std::chrono::minutes(1)));
    const std::uint64_t late = log->underruns();
    for (int i = 0; i < 3; ++i) {
        controller.drop({{big}});
        ASSERT_TRUE(log->wait_for_blocks(log->blocks() + 2, std::chrono::minutes(1)));
    }
    EXPECT_EQ(log->underruns(), late);
    EXPECT_TRUE(shell.messages.empty());
    EXPECT_TRUE(stream.with_engine([](const Engine& e) { return any_track_active(e); }));
    fs::remove(big);
}

TEST_F(ControllerTest, NoSongStartsWhileTheSaveDialogIsOpen) {
    capture(1);
    shell_.answer = [&](const SaveRequest&) {
        controller_.drop({{song_}});
        controller_.key_down(KeyKind::P);
        return dir_ / "take.wav";
    };
    controller_.write_out();
    finish_export();
    EXPECT_EQ(active_tracks(), 0);
    EXPECT_EQ(fs::file_size(dir_ / "take.wav"), 6044u);
}

// Until its completion has run on the UI thread the export shows, and no
// song, reload or second export may touch the capture.
TEST_F(ControllerTest, ExportRunsOnAWorkerAndEndsOnTheUiThread) {
    capture(1);
    shell_.answer = [&](const SaveRequest&) { return dir_ / "take.wav"; };
    controller_.write_out();
    EXPECT_TRUE(painted(text::SAVING));
    EXPECT_EQ(shell_.repaints, 2);  // record_on, then the saving line
    controller_.drop({{song_}});
    controller_.reload_play();
    controller_.write_out();
    EXPECT_EQ(active_tracks(), 0);
    EXPECT_EQ(shell_.requests.size(), 1u);
    EXPECT_EQ(recorded(), std::uint32_t(BLOCK_FRAMES));

    finish_export();
    EXPECT_FALSE(painted(text::SAVING));
    EXPECT_EQ(shell_.repaints, 3);
    EXPECT_EQ(fs::file_size(dir_ / "take.wav"), 6044u);
    EXPECT_TRUE(shell_.messages.empty());
    controller_.drop({{song_}});
    EXPECT_EQ(active_tracks(), 2);

    // A failed write says so from the completion, not from the worker.
    play_blocks(1);
    controller_.stop();
    shell_.answer = [&](const SaveRequest&) { return dir_ / "no-such-folder" / "take.wav"; };
    controller_.write_out();
    EXPECT_TRUE(shell_.messages.empty());
    ASSERT_TRUE(shell_.wait_for_wake(2));
    controller_.run_posted();
    ASSERT_EQ(shell_.messages.size(), 1u);
    EXPECT_EQ(shell_.messages[0].text.rfind(text::WRITE_FAILED, 0), 0u);
}

TEST_F(ControllerTest, ClosingDuringTheExportWaitsForTheWrite) {
    capture(2);
    shell_.answer = [&](const SaveRequest&) { return dir_ / "take.wav"; };
    controller_.write_out();
    controller_.window_closed();
    EXPECT_EQ(fs::file_size(dir_ / "take.wav"), 44u + 2 * BLOCK_BYTES);
    EXPECT_EQ(stream_.with_engine([](const Engine& e) { return e.RecordBuffer.get(); }), nullptr);
    controller_.run_posted();  // the completion finds the window gone
    EXPECT_TRUE(shell_.messages.empty());
}

TEST(WavExtension, AddedOnlyWhenMissing) {
    EXPECT_EQ(with_wav_extension("a/take1"), "a/take1.wav");
    EXPECT_EQ(with_wav_extension("a/take1.wav"), "a/take1.wav");
    EXPECT_EQ(with_wav_extension("a/take1.WAV"), "a/take1.WAV");
    EXPECT_EQ(with_wav_extension("a/take.raw"), "a/take.raw");
}

// The dialog offers WAV first, then each format the build writes, and the
// chosen name's extension picks the format (any other name gets WAV).
TEST_F(ControllerTest, ExportOffersTheBuiltFormatsAndWritesTheNamedOne) {
    capture(1);
    const struct {
        const char* name;
        const char* starts;  // the file's first bytes
    } exports[] = {{"take.FLAC", "fLaC"}, {"take.ogg", "OggS"}, {"take.opus", "OggS"}, {"take.raw", "RIFF"}};
    for (const auto& e : exports) {
        shell_.answer = [&](const SaveRequest&) { return dir_ / e.name; };
        controller_.write_out();
        finish_export();
        const bool built = sound_format_of(e.name) == nullptr || sound_format_of(e.name)->built;
        const std::string bytes = test::read_file(dir_ / e.name);
        EXPECT_EQ(bytes.substr(0, 4), built ? e.starts : "RIFF") << e.name;
    }
    EXPECT_TRUE(shell_.messages.empty());

    const std::vector<SaveFilter>& filters = shell_.requests.at(0).filters;
    ASSERT_FALSE(filters.empty());
    EXPECT_EQ(filters[0].name, "wave file");
    EXPECT_EQ(filters[0].pattern, "*.wav");
    EXPECT_EQ(filters[0].suffix, "wav");
    std::string offered;
    for (const SaveFilter& f : filters) offered += f.name + " " + f.pattern + " " + f.suffix + "\n";
    if (sound_format_named("flac")->built) {
        EXPECT_EQ(offered,
                  "wave file *.wav wav\nFLAC file *.flac flac\nOgg Vorbis file *.ogg ogg\n"
                  "Opus file *.opus opus\nMP3 file *.mp3 mp3\n");
    } else {
        EXPECT_EQ(filters.size(), 1u) << offered;
    }
}

}  // namespace
}  // namespace bleepforge
