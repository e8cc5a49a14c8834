#include "app/controller.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

#include "audio/mixer.h"
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

TEST_F(ControllerTest, RefusedAndUnreadableDropsSaySoAndLeaveTheSongPlaying) {
    controller_.drop({{song_}});
    controller_.drop({{song_}, {dir_ / "other.mml"}});
    ASSERT_EQ(shell_.messages.size(), 1u);
    EXPECT_EQ(shell_.messages[0].text, "ファイル受け入れ失敗");
    EXPECT_EQ(shell_.messages[0].caption, "えらー");
    EXPECT_EQ(controller_.remembered_path(), song_);
    EXPECT_EQ(active_tracks(), 2);

    const std::vector<DroppedFile> unreadable = {
        {dir_},                                   // a folder
        {dir_ / "missing.mml"},                   // no such file
        {"https://example.org/a.mml", false},     // not a local file
    };
    for (const DroppedFile& file : unreadable) {
        shell_.messages.clear();
        controller_.drop({file});
        EXPECT_EQ(controller_.remembered_path(), file.path);
        controller_.reload_play();  // the remembered path fails the same way
        ASSERT_EQ(shell_.messages.size(), 2u) << file.path;
        for (const Message& m : shell_.messages) {
            EXPECT_EQ(m.text, "ファイル読めなかったよ");
            EXPECT_EQ(m.caption, "x");
        }
        EXPECT_EQ(active_tracks(), 2) << file.path;
    }
}

TEST_F(ControllerTest, KeysAndButtons) {
    controller_.drop({{song_}});
    controller_.key_down(KeyKind::SYSTEM);  // Alt, Alt+key, F10 belong to the menu
    controller_.left_button();
    EXPECT_EQ(active_tracks(), 2);
    controller_.key_down(KeyKind::OTHER);
    EXPECT_EQ(active_tracks(), 0);

    controller_.key_down(KeyKind::P);
    EXPECT_EQ(active_tracks(), 2);
    controller_.right_button();
    EXPECT_EQ(active_tracks(), 0);

    controller_.key_down(KeyKind::R);
    EXPECT_TRUE(stream_.with_engine([](const Engine& e) { return e.recording_mode; }));
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

TEST_F(ControllerTest, ExportRefusedWithoutAFinishedCapture) {
    controller_.write_out();  // recording off
    controller_.record_on();
    controller_.write_out();  // nothing captured
    controller_.drop({{song_}});
    play_blocks(1);
    controller_.write_out();  // still playing
    EXPECT_TRUE(shell_.requests.empty());
    EXPECT_TRUE(shell_.messages.empty());

    controller_.stop();
    controller_.write_out();  // cancelled
    EXPECT_EQ(shell_.requests.size(), 1u);
    EXPECT_TRUE(controller_.save_path().empty());
}

TEST_F(ControllerTest, ExportWritesTheCaptureAsWav) {
    capture(1);
    std::vector<std::int16_t> played(BLOCK_SAMPLES);
    stream_.with_engine([&](const Engine& e) { std::copy_n(e.RecordBuffer.get(), BLOCK_SAMPLES, played.begin()); });

    shell_.answer = [&](const SaveRequest&) { return dir_ / "take1"; };
    controller_.write_out();
    ASSERT_EQ(shell_.requests.size(), 1u);
    const SaveRequest& request = shell_.requests[0];
    EXPECT_EQ(request.title, "とっととファイルを選べ。");
    EXPECT_EQ(request.filter_name, "wave file");
    EXPECT_EQ(request.filter_pattern, "*.wav");
    EXPECT_EQ(request.default_suffix, "wav");
    EXPECT_EQ(request.start_folder, fs::current_path());
    EXPECT_TRUE(request.start_name.empty());

    const fs::path written = dir_ / "take1.wav";
    EXPECT_EQ(controller_.save_path(), written);
    const std::string bytes = test::read_file(written);
    ASSERT_EQ(bytes.size(), 6044u);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(bytes.substr(36, 4), "data");
    EXPECT_EQ(std::uint8_t(bytes[4]) | std::uint8_t(bytes[5]) << 8, 6036);
    EXPECT_EQ(std::uint8_t(bytes[40]) | std::uint8_t(bytes[41]) << 8, 6000);
    EXPECT_EQ(std::memcmp(bytes.data() + 44, played.data(), 6000), 0);
    EXPECT_TRUE(shell_.messages.empty());

    // The next dialog opens on the last file; writing again overwrites it alike.
    shell_.answer = [&](const SaveRequest&) { return written; };
    controller_.write_out();
    ASSERT_EQ(shell_.requests.size(), 2u);
    EXPECT_EQ(shell_.requests[1].start_folder, dir_);
    EXPECT_EQ(shell_.requests[1].start_name, "take1.wav");
    EXPECT_EQ(test::read_file(written), bytes);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);  // song + wav
}

TEST_F(ControllerTest, NoSongStartsWhileTheSaveDialogIsOpen) {
    capture(1);
    shell_.answer = [&](const SaveRequest&) {
        controller_.drop({{song_}});
        controller_.key_down(KeyKind::P);
        return dir_ / "take.wav";
    };
    controller_.write_out();
    EXPECT_EQ(active_tracks(), 0);
    EXPECT_EQ(fs::file_size(dir_ / "take.wav"), 6044u);
}

// A write that fails midway (the file size limit here) keeps the old file and
// leaves no temporary file behind.
TEST_F(ControllerTest, FailedWriteKeepsTheExistingFile) {
    capture(2);
    const fs::path target = dir_ / "keep.wav";
    write_file(target, "old contents");
    shell_.answer = [&](const SaveRequest&) { return target; };

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small{4096, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    controller_.write_out();
    setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(test::read_file(target), "old contents");
    ASSERT_EQ(shell_.messages.size(), 1u);
    EXPECT_EQ(shell_.messages[0].text.rfind("ファイル書けなかったよ\n", 0), 0u) << shell_.messages[0].text;
    EXPECT_NE(shell_.messages[0].text.find("keep.wav"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST(WavExtension, AddedOnlyWhenMissing) {
    EXPECT_EQ(with_wav_extension("a/take1"), "a/take1.wav");
    EXPECT_EQ(with_wav_extension("a/take1.wav"), "a/take1.wav");
    EXPECT_EQ(with_wav_extension("a/take1.WAV"), "a/take1.WAV");
    EXPECT_EQ(with_wav_extension("a/take.raw"), "a/take.raw");
}

}  // namespace
}  // namespace bleepforge
