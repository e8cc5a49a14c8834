#include "app/controller.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <tuple>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "app/file_watcher.h"
#include "audio/mixer.h"
#include "audio/offline.h"
#include "audio/sound_file.h"
#include "audio/test_device.h"
#include "mml/song.h"
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

    std::optional<std::string> ask_text(const TextRequest& request) override {
        text_requests.push_back(request);
        return text_answer;
    }
    int wake_count() {
        std::lock_guard<std::mutex> lock(wake_mutex);
        return wakes;
    }
    std::vector<TextRequest> text_requests;
    std::optional<std::string> text_answer;  // nothing: Cancel
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
    constexpr int LINE = 16, BOX_HEIGHT = 259, TOP = 70 + 2 * LINE + scope::GAP;  // under the status line
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

// The window's own lines and messages, against a shell that also keeps the
// title, the timer and the Open dialog.
class StatusShell : public FakeShell {
public:
    void set_title(const std::string& title) override { titles.push_back(title); }
    fs::path ask_open_path(const OpenRequest& request) override {
        open_requests.push_back(request);
        return open_answer;
    }
    void show_text(const std::string& text, const std::string& caption) override {
        texts.push_back({text, caption});
    }
    bool ask_song_export(SongExportRequest& request) override {
        export_requests.push_back(request);
        if (export_answer.empty()) return false;
        request.loops = export_answer[0];
        request.fade = export_answer[1];
        return true;
    }
    std::vector<SongExportRequest> export_requests;
    std::vector<std::string> export_answer;  // loops and fade typed; empty: cancelled
    std::vector<Message> texts;
    std::vector<std::string> titles;
    std::vector<OpenRequest> open_requests;
    fs::path open_answer;
};

class StatusTest : public ::testing::Test {
protected:
    StatusTest()
        : stream_(std::make_unique<TestDevice>(TestDevice::Options{.fail_open = true})),
          controller_(stream_, shell_) {
        dir_ = fs::temp_directory_path() / ("bleepforge_status_" +
                                            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        song_ = dir_ / "song.mml";
        // Both tracks loop after 1.6 s.
        write_file(song_, "0t150l8cdefgab>c\r\n1o3l4cgcg\r\n");
    }
    ~StatusTest() override { fs::remove_all(dir_); }
    // The checker's result, found as the status timer finds it.
    void wait_for_check() {
        for (int i = 0; i < 60'000 && controller_.warning_count() < 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GE(controller_.warning_count(), 0);
    }
    void play_blocks(int blocks) {
        std::vector<std::int16_t> block(BLOCK_SAMPLES);
        stream_.with_engine([&](Engine& e) {
            for (int i = 0; i < blocks; ++i) mix_block(e, block.data());
        });
    }

    AudioStream stream_;
    StatusShell shell_;
    Controller controller_;
    fs::path dir_, song_;
};

TEST_F(StatusTest, TitleNamesTheSongLastLoaded) {
    EXPECT_EQ(controller_.title(), "bleepforge");
    controller_.drop({{dir_ / "missing.mml"}});
    EXPECT_EQ(controller_.title(), "bleepforge");
    controller_.drop({{song_}});
    controller_.reload_play();
    const fs::path other = dir_ / "二曲目.mml";
    write_file(other, "0cde\r\n");
    controller_.drop({{other}});
    controller_.drop({{dir_}});  // cannot be read: the title stays
    EXPECT_EQ(shell_.titles, (std::vector<std::string>{"song.mml - bleepforge", "二曲目.mml - bleepforge"}));
    EXPECT_EQ(controller_.title(), "二曲目.mml - bleepforge");
}

// Time and loops by the blocks mixed, not by the clock: 30 blocks are 1.02 s,
// 48 blocks 1.63 s, past the songs' loop point.
TEST_F(StatusTest, StatusLineSaysWhatPlaysHowLongAndWhatIsCaptured) {
    EXPECT_EQ(controller_.status_text(), "");
    const std::vector<std::pair<std::function<void()>, std::string>> steps = {
        {[&] { controller_.drop({{song_}}); }, "再生中 0:00 ループ0"},
        {[&] { play_blocks(30); }, "再生中 0:01 ループ0"},
        {[&] { play_blocks(18); }, "再生中 0:01 ループ1"},
        {[&] { controller_.record_on(); }, "再生中 0:01 ループ1 録音0:00"},
        {[&] { play_blocks(30); }, "再生中 0:02 ループ1 録音0:01"},
        {[&] { controller_.stop(); }, "停止中 0:02 録音0:01"},
        {[&] { play_blocks(100); }, "停止中 0:02 録音0:01"},  // the clock stands still
        {[&] { controller_.reload_play(); }, "再生中 0:00 ループ0 録音0:00"},
    };
    for (const auto& [step, expected] : steps) {
        step();
        EXPECT_EQ(controller_.status_text(), expected);
    }
    const std::vector<PaintLine> lines = controller_.paint_lines();
    EXPECT_EQ(lines.back().text, "再生中 0:00 ループ0 録音0:00");
    EXPECT_EQ(lines.back().place, PaintLine::Place::STACKED);
}

TEST_F(StatusTest, LayoutKeepsTheDesignsPlacesAndStacksTheRestBelow) {
    controller_.record_on();
    controller_.drop({{song_}});
    auto boxes = [&](int width, int height, int line) {
        std::vector<std::tuple<int, int, int, int, bool>> out;
        for (const WindowLine& l : controller_.layout(width, height, line)) {
            out.emplace_back(l.x, l.y, l.width, l.height, l.centred);
        }
        return out;
    };
    using Box = std::tuple<int, int, int, int, bool>;
    // Hint centred on the top row, no-device line on the second, "録音モード"
    // at (10, 50), the status line on the row after "保存中..."'s place.
    EXPECT_EQ(boxes(224, 140, 16), (std::vector<Box>{{0, 0, 224, 16, true},
                                                     {0, 16, 224, 16, true},
                                                     {10, 50, 214, 16, false},
                                                     {10, 86, 214, 16, false}}));
    // A tall font pushes the status line under the second row; a short window leaves it out.
    EXPECT_EQ(std::get<1>(boxes(224, 400, 50).back()), 120);
    EXPECT_EQ(boxes(224, 80, 16).size(), 3u);
    const std::vector<WindowLine> lines = controller_.layout(224, 140, 16);
    EXPECT_EQ(lines.front().text, text::HINT);
    EXPECT_EQ(lines.back().text, controller_.status_text());
}

TEST_F(StatusTest, ReadFailureNamesTheFileAndTheReason) {
    const std::vector<std::pair<DroppedFile, std::string>> cases = {
        {{dir_ / "missing.mml"}, (dir_ / "missing.mml").string() + ": does not exist"},
        {{dir_}, dir_.string() + ": is a folder, not a song file"},
        {{"https://example.org/a.mml", false}, "https://example.org/a.mml: is not a file of this computer"},
    };
    for (const auto& [file, second_line] : cases) {
        shell_.messages.clear();
        controller_.drop({file});
        ASSERT_EQ(shell_.messages.size(), 1u);
        EXPECT_EQ(shell_.messages[0].text, "ファイル読めなかったよ\n" + second_line);
        EXPECT_EQ(shell_.messages[0].caption, "x");
    }
}

TEST_F(StatusTest, ExportThatCannotRunSaysWhy) {
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] {}, "録音データがないよ"},                                  // recording off
        {[&] { controller_.record_on(); }, "録音データがないよ"},       // nothing captured
        {[&] { controller_.drop({{song_}}); }, "演奏を止めてから書き出してね"},  // playing, nothing yet
        {[&] { play_blocks(2); }, "演奏を止めてから書き出してね"},
    };
    for (const auto& [step, expected] : cases) {
        step();
        shell_.messages.clear();
        controller_.write_out();
        ASSERT_EQ(shell_.messages.size(), 1u) << expected;
        EXPECT_EQ(shell_.messages[0].text, expected);
        EXPECT_EQ(shell_.messages[0].caption, "えらー");
    }
    EXPECT_TRUE(shell_.requests.empty());
}

TEST_F(StatusTest, OpenDialogLoadsTheChosenFileAsADrop) {
    controller_.open_file();  // cancelled
    EXPECT_EQ(controller_.remembered_path(), fs::path());
    ASSERT_EQ(shell_.open_requests.size(), 1u);
    EXPECT_EQ(shell_.open_requests[0].title, "とっととファイルを選べ。");
    EXPECT_EQ(shell_.open_requests[0].filters,
              (std::vector<std::pair<std::string, std::string>>{{"mml file", "*.mml"}, {"all files", "*"}}));
    shell_.open_answer = song_;
    controller_.open_file();
    EXPECT_EQ(controller_.remembered_path(), song_);
    EXPECT_TRUE(stream_.with_engine([](const Engine& e) { return any_track_active(e); }));
    shell_.open_answer = dir_ / "missing.mml";
    controller_.open_file();  // opens where the last song was
    EXPECT_EQ(shell_.open_requests.at(2).start_folder, dir_);
    ASSERT_EQ(shell_.messages.size(), 1u);
    EXPECT_EQ(shell_.messages[0].text.rfind("ファイル読めなかったよ\n", 0), 0u);
}

// The check runs off the UI thread and wakes nobody: the next repaint (the
// tick timer's, while the song plays) shows its count.
TEST_F(StatusTest, CheckerCountsWarningsAndListsThem) {
    controller_.show_warnings();
    ASSERT_EQ(shell_.messages.size(), 1u);
    EXPECT_EQ(shell_.messages[0].text, "曲がまだないよ");

    const fs::path warned = dir_ / "warned.mml";
    write_file(warned, "0cdv99999e\r\n1c 5 d e\r\n");
    controller_.drop({{warned}});
    wait_for_check();
    EXPECT_EQ(controller_.warning_count(), 2);
    EXPECT_EQ(controller_.status_text(), "再生中 0:00 ループ0 警告 2件");
    controller_.show_warnings();
    ASSERT_EQ(shell_.texts.size(), 1u);
    EXPECT_EQ(shell_.texts[0].caption, "警告");
    const std::string& listing = shell_.texts[0].text;
    EXPECT_EQ(listing.rfind("warned.mml\n", 0), 0u) << listing;
    EXPECT_NE(listing.find("\n1:4 W-clamp: track 0: \"v99999\" read as v15"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\n2:4 W-ignored: track 1: ignored character \"5\"\n"), std::string::npos) << listing;

    // Loaded right after another song, the count is this song's, never the one before.
    controller_.reload_play();
    controller_.drop({{song_}});
    wait_for_check();
    EXPECT_EQ(controller_.warning_count(), 0);
    EXPECT_EQ(controller_.status_text(), "再生中 0:00 ループ0");
    EXPECT_EQ(shell_.wakes, 0);
    controller_.show_warnings();
    ASSERT_EQ(shell_.texts.size(), 2u);
    EXPECT_EQ(shell_.texts[1].text.rfind("song.mml\n警告はないよ\n", 0), 0u) << shell_.texts[1].text;
}

TEST(SongExportFields, WholeLoopsFromOneAndSecondsFromZero) {
    const std::vector<std::tuple<std::string, std::string, bool, int, double>> cases = {
        {"1", "0", true, 1, 0.0},      {"12", "2.5", true, 12, 2.5}, {"0", "0", false, 0, 0},
        {"-1", "0", false, 0, 0},      {"1.5", "0", false, 0, 0},    {"", "0", false, 0, 0},
        {"x", "0", false, 0, 0},       {"1", "-0.5", false, 0, 0},   {"1", "", false, 0, 0},
        {"1", "nan", false, 0, 0},     {"1", "inf", false, 0, 0},    {"1", "3s", false, 0, 0},
        {"99999", "0", false, 0, 0},
    };
    for (const auto& [loops_text, fade_text, ok, loops, fade] : cases) {
        int l = 0;
        double f = 0;
        EXPECT_EQ(parse_song_export(loops_text, fade_text, l, f), ok) << loops_text << " " << fade_text;
        if (ok) {
            EXPECT_EQ(l, loops);
            EXPECT_EQ(f, fade);
        }
    }
}

class SongExportTest : public StatusTest {
protected:
    // Runs posted calls as the UI thread would until the export's completion has run.
    void finish_song_export() {
        int seen = 0;
        while (controller_.song_exporting()) {
            ASSERT_TRUE(shell_.wait_for_wake(seen + 1));
            seen = shell_.wake_count();  // a wake after this comes with a call not yet run
            controller_.run_posted();
        }
    }
};

#ifdef BLEEPFORGE_RENDER
// The window's export is the renderer's file, byte for byte.
TEST_F(SongExportTest, WritesWhatTheRendererWrites) {
    controller_.drop({{song_}});
    shell_.export_answer = {"2", "0.5"};
    shell_.answer = [&](const SaveRequest&) { return dir_ / "window"; };
    controller_.export_song();
    ASSERT_EQ(shell_.export_requests.size(), 1u);
    const SongExportRequest& asked = shell_.export_requests[0];
    EXPECT_EQ(asked.caption, "曲を書き出し");
    EXPECT_EQ(std::vector<std::string>({asked.loops_label, asked.fade_label, asked.loops, asked.fade}),
              std::vector<std::string>({"ループ回数", "フェード（秒）", "1", "0"}));
    ASSERT_EQ(shell_.requests.size(), 1u);
    EXPECT_EQ(shell_.requests[0].start_folder, dir_);
    EXPECT_EQ(shell_.requests[0].start_name, "song.wav");
    finish_song_export();
    EXPECT_TRUE(shell_.messages.empty());

    const fs::path by_cli = dir_ / "cli.wav";
    const std::string command = std::string("\"") + BLEEPFORGE_RENDER + "\" \"" + song_.string() +
                                "\" --loops 2 --fade 0.5 -q -o \"" + by_cli.string() + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string expected = test::read_file(by_cli);
    EXPECT_EQ(expected.size(), 44u + 4u * 95 * BLOCK_FRAMES);  // two loops of 1.6 s, to the end of the block
    EXPECT_TRUE(test::read_file(dir_ / "window.wav") == expected);

    // With a track muted in the window, as with --mute.
    controller_.toggle_mute(1);
    shell_.answer = [&](const SaveRequest&) { return dir_ / "muted.wav"; };
    controller_.export_song();
    finish_song_export();
    const fs::path muted_by_cli = dir_ / "cli-muted.wav";
    const std::string muted_command = std::string("\"") + BLEEPFORGE_RENDER + "\" \"" + song_.string() +
                                      "\" --loops 2 --fade 0.5 --mute 1 -q -o \"" + muted_by_cli.string() + "\"";
    ASSERT_EQ(std::system(muted_command.c_str()), 0) << muted_command;
    const std::string muted = test::read_file(muted_by_cli);
    EXPECT_NE(muted, expected);
    EXPECT_TRUE(test::read_file(dir_ / "muted.wav") == muted);
}
#endif

TEST_F(SongExportTest, RefusedOrCancelledWithoutAFile) {
    controller_.export_song();
    ASSERT_EQ(shell_.messages.size(), 1u);
    EXPECT_EQ(shell_.messages[0].text, "曲がまだないよ");
    controller_.drop({{song_}});

    shell_.messages.clear();
    controller_.export_song();  // the dialog cancelled
    shell_.export_answer = {"0", "0"};
    controller_.export_song();
    shell_.export_answer = {"1", "0"};
    controller_.export_song();  // the Save dialog cancelled
    shell_.answer = [&](const SaveRequest&) { return song_; };
    controller_.export_song();
    ASSERT_EQ(shell_.messages.size(), 2u);
    EXPECT_EQ(shell_.messages[0].text, "ループ回数は1以上の整数、フェードは0以上の秒数で書いてね");
    EXPECT_EQ(shell_.messages[1].text,
              "ファイル書けなかったよ\n" + song_.string() + "\nis the song file itself");
    EXPECT_EQ(shell_.requests.size(), 2u);
    EXPECT_FALSE(controller_.song_exporting());
    EXPECT_EQ(test::read_file(song_), "0t150l8cdefgab>c\r\n1o3l4cgcg\r\n");

    // A file that cannot be written is named, with the reason, once the worker is done.
    const fs::path nowhere = dir_ / "no-such-folder" / "take.wav";
    shell_.answer = [&](const SaveRequest&) { return nowhere; };
    controller_.export_song();
    finish_song_export();
    ASSERT_EQ(shell_.messages.size(), 3u);
    EXPECT_EQ(shell_.messages[2].text.rfind("ファイル書けなかったよ\n" + nowhere.string() + "\n", 0), 0u)
        << shell_.messages[2].text;
}

// While one export runs a second is refused with its own message; stopping
// it leaves no file and says nothing.
TEST_F(SongExportTest, OneAtATimeAndStoppable) {
    controller_.drop({{song_}});
    shell_.export_answer = {"9999", "0"};  // would fill the whole capture
    shell_.answer = [&](const SaveRequest&) { return dir_ / "long.wav"; };
    controller_.export_song();
    ASSERT_TRUE(controller_.song_exporting());
    const std::vector<PaintLine> lines = controller_.paint_lines();
    EXPECT_EQ(lines.back().text.rfind("曲を書き出し中 ", 0), 0u) << lines.back().text;
    EXPECT_EQ(lines.back().text.substr(lines.back().text.size() - 5), "/9999");
    controller_.export_song();
    ASSERT_EQ(shell_.messages.size(), 1u);
    EXPECT_EQ(shell_.messages[0].text, "いま曲を書き出し中だよ。終わるか中止するまで待ってね");
    EXPECT_EQ(shell_.requests.size(), 1u);

    controller_.stop_song_export();
    finish_song_export();
    EXPECT_EQ(shell_.messages.size(), 1u);
    EXPECT_FALSE(fs::exists(dir_ / "long.wav"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);  // the song alone
    EXPECT_EQ(controller_.paint_lines().back().text.rfind("曲を書き出し中", 0), std::string::npos);
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

// The composer's loop: start points, mutes, play on save.
class LoopTest : public ControllerTest {
protected:
    using Block = std::array<std::int16_t, BLOCK_SAMPLES>;

    // Three tracks, one of them noise, so the shared noise register matters.
    static constexpr char LOOPING_SONG[] = "0t150o4l8cdefgab>c\r\n1o3l2c<g\r\n2@64l16cr8\r\n";

    // Block `index` (from 0) of `song` as heard after P from the engine as it
    // is now (a load keeps the noise register and some filter state).
    Block heard_block(const std::string& song, std::uint64_t index) {
        auto engine = std::make_unique<Engine>();
        stream_.with_engine([&](const Engine& live) { copy_sound_state(*engine, live); });
        load_song(*engine, song);
        Block block;
        for (std::uint64_t i = 0; i <= index; ++i) mix_block(*engine, block.data());
        return block;
    }
    Block next_block() {
        Block block;
        stream_.with_engine([&](Engine& e) { mix_block(e, block.data()); });
        return block;
    }
    std::uint8_t engine_mutes() {
        return stream_.with_engine([](const Engine& e) { return e.muted; });
    }
    void play_from(const char* answer) {
        shell_.text_answer = answer;
        controller_.play_from();
    }
    // Waits for the watcher's report of a save and runs it, as the UI thread would.
    void run_save_report(int wakes_before) {
        ASSERT_TRUE(shell_.wait_for_wake(wakes_before + 1));
        controller_.run_posted();
    }
};

TEST(FormatTime, MinutesSecondsAndOnlyTheDecimalsThatAreThere) {
    const std::pair<double, const char*> cases[] = {
        {0, "0:00"},        {5, "0:05"},     {90, "1:30"},      {90.5, "1:30.5"},
        {90.25, "1:30.25"}, {3600, "60:00"}, {59.9996, "1:00"}, {0.001, "0:00.001"},
    };
    for (const auto& [seconds, shown] : cases) EXPECT_EQ(format_time(seconds), shown) << seconds;
}

TEST_F(LoopTest, PlayFromStartsAtTheBlockHoldingTheTimeAndPStartsThereToo) {
    write_file(song_, LOOPING_SONG);
    controller_.drop({{song_}});
    struct Case {
        const char* answer;
        std::uint64_t block;  // whole blocks of 1500 frames before the time
        const char* line;     // painted while set; nullptr: none
    };
    const Case cases[] = {
        {"1:30", 2646, "途中から 1:30"},
        {"0:01", 29, "途中から 0:01"},  // 44100 frames: inside block 29
        {"80.5", 2366, "途中から 1:20.5"},
        {"0", 0, nullptr},
    };
    std::string shown = "0:00";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        const Block expected = heard_block(LOOPING_SONG, c.block);
        play_from(c.answer);
        ASSERT_FALSE(shell_.text_requests.empty());
        EXPECT_EQ(shell_.text_requests.back().initial, shown);  // the last value, as shown
        EXPECT_EQ(shell_.text_requests.back().title, text::PLAY_FROM_TITLE);
        EXPECT_EQ(next_block(), expected);
        const Block again = heard_block(LOOPING_SONG, c.block);
        controller_.key_down(KeyKind::P);
        EXPECT_EQ(next_block(), again);
        if (c.line) {
            EXPECT_TRUE(painted(c.line));
        } else {
            EXPECT_EQ(controller_.paint_lines().size(), 3u);  // hint, no device, status
        }
        shown = format_time(controller_.start_seconds());
    }
    EXPECT_TRUE(shell_.messages.empty());
}

TEST_F(LoopTest, PlayFromRefusesWhatIsNotATimeAndCancelChangesNothing) {
    controller_.drop({{song_}});
    play_from("1:30");
    controller_.stop();
    for (const char* answer : {"abc", "1:75", "-3"}) {
        play_from(answer);
        ASSERT_FALSE(shell_.messages.empty());
        EXPECT_EQ(shell_.messages.back().text,
                  std::string(text::BAD_TIME) + ": " + answer + "\n" + text::TIME_EXAMPLES);
        EXPECT_EQ(shell_.messages.back().caption, text::ERROR_CAPTION);
    }
    shell_.text_answer.reset();
    controller_.play_from();
    EXPECT_EQ(shell_.messages.size(), 3u);
    EXPECT_EQ(controller_.start_seconds(), 90);
    EXPECT_EQ(active_tracks(), 0);
}

TEST_F(LoopTest, AStartPastTheSongsEndPlaysNothingAndSaysSoUntilTheNextGoodLoad) {
    write_file(song_, "0t150l8cdx\r\n");
    controller_.drop({{song_}});
    play_from("0:10");
    EXPECT_EQ(active_tracks(), 0);
    EXPECT_TRUE(painted(text::PAST_THE_END));
    EXPECT_TRUE(shell_.messages.empty());
    play_from("0");
    EXPECT_EQ(active_tracks(), 1);
    EXPECT_FALSE(painted(text::PAST_THE_END));
}

TEST_F(LoopTest, AStartPointKeepsRecordingTheCaptureAndTheMutes) {
    controller_.record_on();
    controller_.toggle_mute(1);
    controller_.drop({{song_}});
    play_blocks(3);
    ASSERT_EQ(recorded(), 3u * BLOCK_FRAMES);
    const std::int16_t* capture = stream_.with_engine([](const Engine& e) { return e.RecordBuffer.get(); });
    play_from("0:00.5");
    EXPECT_EQ(recorded(), 0u);  // restarted, as P restarts it
    EXPECT_EQ(stream_.with_engine([](const Engine& e) { return e.RecordBuffer.get(); }), capture);
    EXPECT_EQ(engine_mutes(), 0b10);
    play_blocks(1);
    EXPECT_EQ(recorded(), std::uint32_t(BLOCK_FRAMES));
}

TEST_F(LoopTest, MutesSilenceTracksFromTheNextBlockAndStayAcrossLoads) {
    controller_.drop({{song_}});
    controller_.toggle_mute(0);
    controller_.toggle_mute(1);
    controller_.toggle_mute(8);  // no such track
    controller_.toggle_mute(-1);
    EXPECT_TRUE(controller_.muted(0) && controller_.muted(1) && !controller_.muted(2));
    EXPECT_EQ(engine_mutes(), 0b11);
    EXPECT_EQ(next_block(), Block{});  // both sounding tracks left out
    EXPECT_EQ(active_tracks(), 2);     // yet still playing

    controller_.toggle_mute(0);
    controller_.key_down(KeyKind::P);
    controller_.drop({{song_}});
    play_from("0:01");
    EXPECT_EQ(engine_mutes(), 0b10);
    controller_.unmute_all();
    EXPECT_EQ(engine_mutes(), 0);
    EXPECT_FALSE(controller_.muted(1));
    EXPECT_NE(next_block(), Block{});
}

TEST_F(LoopTest, PlayOnSaveIsOffAtStartThenReloadsEachSaveFromTheStartPoint) {
    EXPECT_FALSE(controller_.play_on_save());
    controller_.toggle_play_on_save();  // before any drop: watches the file dropped next
    EXPECT_TRUE(controller_.play_on_save());
    controller_.drop({{song_}});
    controller_.stop();

    int wakes = shell_.wake_count();
    write_file(song_, "0cde\r\n1cde\r\n2cde\r\n");  // in place
    run_save_report(wakes);
    EXPECT_EQ(active_tracks(), 3);

    // A new file renamed over the old one, played from a start point.
    play_from("0:00.1");
    wakes = shell_.wake_count();
    write_file(dir_ / "song.mml.tmp", LOOPING_SONG);
    fs::rename(dir_ / "song.mml.tmp", song_);
    const Block expected = heard_block(LOOPING_SONG, 2);
    run_save_report(wakes);
    EXPECT_EQ(next_block(), expected);
    EXPECT_TRUE(shell_.messages.empty());

#if defined(__linux__)
    // A save that cannot be read keeps the song playing and paints a line, no box.
    wakes = shell_.wake_count();
    fs::create_symlink("/proc/self/mem", dir_ / "song.mml.tmp");  // its first read fails
    fs::rename(dir_ / "song.mml.tmp", song_);
    run_save_report(wakes);
    EXPECT_EQ(active_tracks(), 3);
    EXPECT_TRUE(painted((std::string(text::READ_FAILED) + ": song.mml (could not be read to its end)").c_str()));
    EXPECT_TRUE(shell_.messages.empty());
    const int repaints = shell_.repaints;

    wakes = shell_.wake_count();
    fs::remove(song_);
    write_file(song_, "0c\r\n");
    run_save_report(wakes);
    EXPECT_EQ(active_tracks(), 1);
    EXPECT_EQ(controller_.paint_lines().size(), 4u);  // hint, no device, status, start point: the line is gone
    EXPECT_GT(shell_.repaints, repaints);
#endif

    // Switched off, a report already queued is dropped.
    controller_.stop();
    wakes = shell_.wake_count();
    write_file(song_, "0cde\r\n");
    ASSERT_TRUE(shell_.wait_for_wake(wakes + 1));
    controller_.toggle_play_on_save();
    controller_.run_posted();
    EXPECT_EQ(active_tracks(), 0);
}

TEST_F(LoopTest, ASaveWhileExportingReloadsOnceTheExportHasEnded) {
    capture(1);
    controller_.toggle_play_on_save();
    // Saved while the Save dialog is open: the report runs inside the dialog's
    // event loop, and the capture being saved must stay.
    shell_.answer = [&](const SaveRequest&) {
        const int wakes = shell_.wake_count();
        write_file(song_, "0cde\r\n1cde\r\n2cde\r\n");
        run_save_report(wakes);
        EXPECT_EQ(active_tracks(), 0);
        return dir_ / "take.wav";
    };
    int wakes = shell_.wake_count();
    controller_.write_out();
    EXPECT_EQ(active_tracks(), 0);  // still writing
    ASSERT_TRUE(shell_.wait_for_wake(wakes + 2));  // the report, then the write's end
    controller_.run_posted();
    EXPECT_EQ(fs::file_size(dir_ / "take.wav"), 6044u);
    EXPECT_EQ(active_tracks(), 3);

    // Cancelled: the reload follows at once.
    play_blocks(1);
    controller_.stop();
    shell_.answer = [&](const SaveRequest&) {
        const int wakes = shell_.wake_count();
        write_file(song_, "0c\r\n");
        run_save_report(wakes);
        return fs::path{};
    };
    controller_.write_out();
    EXPECT_EQ(active_tracks(), 1);
}

}  // namespace
}  // namespace bleepforge
