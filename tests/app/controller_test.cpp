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
#include "audio/test_device.h"
#include "mml/song.h"
#include "sequencer/transport.h"

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
    void set_tick_interval(int milliseconds) override { tick_intervals.push_back(milliseconds); }
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
    std::vector<int> tick_intervals;
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
        ASSERT_TRUE(shell_.wait_for_wake());
        controller_.run_posted();
    }
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

// The scopes of an idle window: eight labelled boxes below the lines, flat
// traces at their middle rows, and no timer asked for.
TEST_F(ControllerTest, IdleScopesAreFlatAndRequestNoUpdates) {
    constexpr int LINE = 16;
    const ScopePicture picture = controller_.scope_picture(240, 200, LINE);
    ASSERT_EQ(picture.labels.size(), std::size_t{TRACK_COUNT});
    ASSERT_EQ(picture.lines.size(), std::size_t{2 * TRACK_COUNT});
    for (int k = 0; k < TRACK_COUNT; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(picture.labels[std::size_t(k)].text, std::to_string(k));
        const std::vector<Point>& frame = picture.lines[std::size_t(k)].points;
        EXPECT_EQ(picture.lines[std::size_t(k)].colour, scope::FRAME);
        EXPECT_GE(frame[0].y, 70 + LINE);  // below the lowest line's place
        EXPECT_LE(frame[2].y, 199);
        const Polyline& trace = picture.lines[std::size_t(TRACK_COUNT + k)];
        EXPECT_EQ(trace.colour, scope::TRACE);
        ASSERT_FALSE(trace.points.empty());
        for (const Point& p : trace.points) EXPECT_EQ(p.y, (frame[0].y + frame[2].y) / 2);
    }
    controller_.stop();
    // A song on a stream without a device does not advance: nothing to follow either.
    controller_.drop({{song_}});
    EXPECT_EQ(active_tracks(), 2);
    EXPECT_TRUE(shell_.tick_intervals.empty());
    EXPECT_EQ(shell_.repaints, 0);
    // Too little room: no scopes at all.
    EXPECT_TRUE(controller_.scope_picture(240, 100, LINE).lines.empty());
}

// A triangle at 440 Hz on track 0 through a device that takes blocks at
// once. Each scope is 882 + 2 pixels wide, one column a frame, and 256 rows
// from its top inner row to its bottom one.
TEST(ControllerScopes, KnownToneGivesItsTrace) {
    const fs::path song = fs::temp_directory_path() / "bleepforge_controller_tone.mml";
    const std::string bytes = "0@48 v15 o4 l1 L a\r\n";
    write_file(song, bytes);
    constexpr int LINE = 16, BOX_HEIGHT = 259, TOP = 70 + LINE + scope::GAP;
    constexpr int WIDTH = 4 * (scope::SHOWN_FRAMES + 2) + 5 * scope::GAP;
    constexpr int HEIGHT = TOP + 2 * BOX_HEIGHT + 2 * scope::GAP;
    constexpr int MIDDLE = TOP + 1 + 128;
    // The loudest sample the tone reaches, from the offline mix.
    int peak = 0;
    {
        auto engine = std::make_unique<Engine>();
        load_song(*engine, bytes);
        std::vector<std::int16_t> block(BLOCK_SAMPLES);
        for (int i = 0; i < 4; ++i) {
            mix_block(*engine, block.data());
            for (int f = 0; f < BLOCK_FRAMES; ++f) peak = std::max(peak, (block[2 * f] + block[2 * f + 1]) / 2);
        }
    }
    ASSERT_GT(peak, 3000);

    FakeShell shell;
    auto device = std::make_unique<TestDevice>(TestDevice::Options{.block_period = std::chrono::milliseconds(2)});
    std::shared_ptr<TestDevice::Log> log = device->log();
    AudioStream stream(std::move(device));
    Controller controller(stream, shell);
    controller.drop({{song}});
    EXPECT_EQ(shell.tick_intervals, std::vector<int>{Controller::TICK_MS});
    ASSERT_TRUE(log->wait_for_blocks(log->blocks() + 6, std::chrono::minutes(1)));

    const ScopePicture picture = controller.scope_picture(WIDTH, HEIGHT, LINE);
    ASSERT_EQ(picture.lines.size(), std::size_t{2 * TRACK_COUNT});
    const std::vector<Point>& trace = picture.lines[TRACK_COUNT].points;
    ASSERT_EQ(trace.size(), std::size_t{scope::SHOWN_FRAMES});
    // Starts on the middle row, rising.
    EXPECT_NEAR(trace[0].y, MIDDLE, 1);
    EXPECT_LT(trace[10].y, trace[0].y);
    // Rises through the middle every 44100 / 440 = 100.2 columns.
    std::vector<int> rises;
    for (std::size_t c = 1; c < trace.size(); ++c) {
        if (trace[c - 1].y > MIDDLE && trace[c].y <= MIDDLE) rises.push_back(int(c));
    }
    ASSERT_EQ(rises.size(), 8u);
    EXPECT_NEAR(rises[7], 8 * 100.23, 1.5);
    // As high as the loudest sample: 128 rows are full scale.
    int highest = HEIGHT, lowest = 0;
    for (const Point& p : trace) {
        highest = std::min(highest, p.y);
        lowest = std::max(lowest, p.y);
    }
    EXPECT_NEAR(MIDDLE - highest, peak * 128 / 32768, 1);
    EXPECT_NEAR(lowest - MIDDLE, peak * 128 / 32768, 1);
    for (int k = 1; k < TRACK_COUNT; ++k) {  // silent tracks: flat
        const int middle = MIDDLE + (k >= scope::COLUMNS ? BOX_HEIGHT + scope::GAP : 0);
        for (const Point& p : picture.lines[std::size_t(TRACK_COUNT + k)].points) ASSERT_EQ(p.y, middle) << k;
    }

    // Muted: greyed at once.
    stream.with_engine([](Engine& e) { e.muted = 1; });
    EXPECT_EQ(controller.scope_picture(WIDTH, HEIGHT, LINE).lines[TRACK_COUNT].colour, scope::MUTED_TRACE);

    // Stopped: the timer stops and the traces go flat.
    controller.stop();
    EXPECT_EQ(shell.tick_intervals, (std::vector<int>{Controller::TICK_MS, 0}));
    EXPECT_EQ(shell.repaints, 1);
    const ScopePicture stopped = controller.scope_picture(WIDTH, HEIGHT, LINE);
    for (const Point& p : stopped.lines[TRACK_COUNT].points) ASSERT_EQ(p.y, MIDDLE);
    controller.window_closed();
    fs::remove(song);
}

// A song that ends by itself stops the timer through the stream's word to the window.
TEST(ControllerScopes, SongThatEndsStopsTheUpdates) {
    const fs::path song = fs::temp_directory_path() / "bleepforge_controller_short.mml";
    write_file(song, "0l2cx\r\n");  // half a second
    FakeShell shell;
    AudioStream stream(std::make_unique<TestDevice>(TestDevice::Options{.block_period = std::chrono::milliseconds(2)}));
    Controller controller(stream, shell);
    controller.drop({{song}});
    EXPECT_EQ(shell.tick_intervals, std::vector<int>{Controller::TICK_MS});
    controller.tick();
    EXPECT_EQ(shell.repaints, 1);
    ASSERT_TRUE(shell.wait_for_wake());
    controller.run_posted();
    EXPECT_EQ(shell.tick_intervals, (std::vector<int>{Controller::TICK_MS, 0}));
    controller.window_closed();
    fs::remove(song);
}

TEST(WavExtension, AddedOnlyWhenMissing) {
    EXPECT_EQ(with_wav_extension("a/take1"), "a/take1.wav");
    EXPECT_EQ(with_wav_extension("a/take1.wav"), "a/take1.wav");
    EXPECT_EQ(with_wav_extension("a/take1.WAV"), "a/take1.WAV");
    EXPECT_EQ(with_wav_extension("a/take.raw"), "a/take.raw");
}

}  // namespace
}  // namespace bleepforge
