#include "app/controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <ostream>
#include <thread>
#include <tuple>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "audio/mixer.h"
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
    bool operator==(const Message&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Message& m) { return out << m.caption << ": " << m.text; }
};

// Keeps what the controller asked of the window and answers as the test says.
class FakeShell : public Shell {
public:
    void show_message(const std::string& text, const std::string& caption) override {
        messages.push_back({text, caption});
    }
    void show_text(const std::string& text, const std::string& caption) override { texts.push_back({text, caption}); }
    fs::path ask_save_path(const SaveRequest& request) override {
        requests.push_back(request);
        return answer ? answer(request) : fs::path{};
    }
    fs::path ask_open_path(const OpenRequest& request) override {
        open_requests.push_back(request);
        return open_answer;
    }
    bool ask_song_export(SongExportRequest& request) override {
        export_requests.push_back(request);
        if (export_answer.empty()) return false;
        request.loops = export_answer[0];
        request.fade = export_answer[1];
        return true;
    }
    std::optional<std::string> ask_text(const TextRequest& request) override {
        text_requests.push_back(request);
        return text_answer;
    }
    void set_title(const std::string& title) override { titles.push_back(title); }
    void repaint() override { ++repaints; }
    void set_tick_interval(int milliseconds) override { tick_intervals.push_back(milliseconds); }
    void wake_ui() override {
        std::lock_guard<std::mutex> lock(wake_mutex);
        ++wakes;
        woken.notify_all();
    }
    // Waits until another thread has woken the window `count` times in all; false after a minute.
    bool wait_for_wake(int count = 1) {
        std::unique_lock<std::mutex> lock(wake_mutex);
        return woken.wait_for(lock, std::chrono::minutes(1), [&] { return wakes >= count; });
    }
    int wake_count() {
        std::lock_guard<std::mutex> lock(wake_mutex);
        return wakes;
    }

    std::mutex wake_mutex;
    std::condition_variable woken;
    int wakes = 0, repaints = 0;
    std::vector<Message> messages, texts;
    std::vector<SaveRequest> requests;
    std::function<fs::path(const SaveRequest&)> answer;  // none: Cancel
    std::vector<OpenRequest> open_requests;
    fs::path open_answer;                                // empty: Cancel
    std::vector<SongExportRequest> export_requests;
    std::vector<std::string> export_answer;              // loops and fade typed; empty: Cancel
    std::vector<TextRequest> text_requests;
    std::optional<std::string> text_answer;              // nothing: Cancel
    std::vector<std::string> titles;
    std::vector<int> tick_intervals;
};

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A folder of the running test's own, removed with it.
struct TempDir {
    TempDir() {
        const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
        path = fs::temp_directory_path() / ("bleepforge_controller_" + std::to_string(unit.random_seed()) + "_" +
                                            unit.current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
};

// A stream whose device never opens, so nothing advances unless the test mixes
// a block itself: every capture is exactly what the test played.
class ControllerTest : public ::testing::Test {
protected:
    using Block = std::array<std::int16_t, BLOCK_SAMPLES>;
    // Both tracks loop after 1.6 s.
    static constexpr char SONG[] = "0t150l8cdefgab>c\r\n1o3l4cgcg\r\n";
    // Three tracks, one of them noise, so the shared noise register matters.
    static constexpr char LOOPING_SONG[] = "0t150o4l8cdefgab>c\r\n1o3l2c<g\r\n2@64l16cr8\r\n";

    explicit ControllerTest(TestDevice::Options device = {.fail_open = true})
        : ControllerTest(std::make_unique<TestDevice>(device)) {}
    explicit ControllerTest(std::unique_ptr<TestDevice> device)
        : log_(device->log()), stream_(std::move(device)), controller_(stream_, shell_) {
        write_file(song_, SONG);
    }

    int active_tracks() {
        const auto count = [](const Engine& e) { return int(std::ranges::count(e.tracks, true, &TrackState::active)); };
        return stream_.with_engine(count);
    }
    Block next_block() {
        Block block;
        stream_.with_engine([&](Engine& e) { mix_block(e, block.data()); });
        return block;
    }
    void play_blocks(int blocks) {
        for (int i = 0; i < blocks; ++i) next_block();
    }
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
    std::uint32_t recorded() { return stream_.with_engine([](const Engine& e) { return e.recorded_frames; }); }
    const std::int16_t* record_buffer() {
        return stream_.with_engine([](const Engine& e) { return e.RecordBuffer.get(); });
    }
    std::uint8_t engine_mutes() { return stream_.with_engine([](const Engine& e) { return e.muted; }); }
    bool painted(const std::string& text) {
        return std::ranges::any_of(controller_.paint_lines(), [&](const PaintLine& line) { return line.text == text; });
    }
    // Drops the song with recording on, plays `blocks` and stops: ready to export.
    void capture(int blocks) {
        controller_.record_on();
        controller_.drop({{song_}});
        play_blocks(blocks);
        controller_.stop();
    }
    // Lets the export's worker finish and runs its completion, as the UI thread would.
    void finish_export() {
        ASSERT_TRUE(shell_.wait_for_wake(++exports_finished_));
        controller_.run_posted();
    }
    // Runs posted calls as the UI thread would until the song export's completion has run.
    void finish_song_export() {
        int seen = 0;
        while (controller_.song_exporting()) {
            ASSERT_TRUE(shell_.wait_for_wake(seen + 1));
            seen = shell_.wake_count();  // a wake after this comes with a call not yet run
            controller_.run_posted();
        }
    }
    // The checker's result, found as the status timer finds it.
    void wait_for_check() {
        for (int i = 0; i < 60'000 && controller_.warning_count() < 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GE(controller_.warning_count(), 0);
    }
    void play_from(const char* answer) {
        shell_.text_answer = answer;
        controller_.play_from();
    }
    // Saves the song as `save` does, then runs the watcher's report of it as the UI thread would.
    void save_and_report(const std::function<void()>& save) {
        const int wakes = shell_.wake_count();
        save();
        ASSERT_TRUE(shell_.wait_for_wake(wakes + 1));
        controller_.run_posted();
    }

    TempDir temp_;
    const fs::path dir_ = temp_.path, song_ = dir_ / "song.mml";
    std::shared_ptr<TestDevice::Log> log_;
    FakeShell shell_;  // outlives the stream's thread
    AudioStream stream_;
    Controller controller_;
    int exports_finished_ = 0;
};

// Devices that take blocks, for what only a running stream shows.
struct StallingDeviceTest : ControllerTest {
    StallingDeviceTest() : ControllerTest({.max_wait_ms = 0}) {}
};
struct PacedDeviceTest : ControllerTest {  // as fast as the sound plays
    PacedDeviceTest()
        : ControllerTest({.block_period = std::chrono::microseconds(1'000'000LL * BLOCK_FRAMES / SAMPLE_RATE),
                          .keep_blocks = 0}) {}
};
struct FastDeviceTest : ControllerTest {
    FastDeviceTest() : ControllerTest({.block_period = std::chrono::milliseconds(2)}) {}
};

// One file dropped or opened is remembered, played and names the window; one
// that cannot be read says which and why, and the song before plays on.
TEST_F(ControllerTest, DropsAndOpensLoadOneFileOrSayWhyNot) {
    controller_.key_down(KeyKind::P);  // nothing dropped yet
    controller_.open_file();           // cancelled
    EXPECT_EQ(active_tracks(), 0);
    EXPECT_EQ(controller_.remembered_path(), fs::path());
    EXPECT_EQ(controller_.title(), "bleepforge");
    const fs::path other = dir_ / "二曲目.mml", missing = dir_ / "missing.mml";
    write_file(other, "0cde\r\n");
    auto unreadable = [](const std::string& why) {
        return std::vector<Message>{{"ファイル読めなかったよ\n" + why, "x"}};
    };
    const struct {
        std::vector<DroppedFile> files;
        std::vector<Message> said;
        int tracks;
        const char* title;
    } drops[] = {
        {{{missing}}, unreadable(missing.string() + ": does not exist"), 0, "bleepforge"},
        {{{song_}}, {}, 2, "song.mml - bleepforge"},
        {{{dir_}}, unreadable(dir_.string() + ": is a folder, not a song file"), 2, "song.mml - bleepforge"},
        {{{"https://example.org/a.mml", false}},
         unreadable("https://example.org/a.mml: is not a file of this computer"), 2, "song.mml - bleepforge"},
        {{{other}, {song_}}, {{"ファイル受け入れ失敗", "えらー"}}, 2, "song.mml - bleepforge"},
        {{{other}}, {}, 1, "二曲目.mml - bleepforge"},
    };
    for (const auto& drop : drops) {
        SCOPED_TRACE(drop.files[0].path.string());
        shell_.messages.clear();
        controller_.drop(drop.files);
        EXPECT_EQ(shell_.messages, drop.said);
        EXPECT_EQ(active_tracks(), drop.tracks);
        EXPECT_EQ(controller_.title(), drop.title);
    }
    EXPECT_EQ(controller_.remembered_path(), other);

    // P reads the file again from disk.
    controller_.stop();
    write_file(other, "0cde\r\n1cde\r\n2cde\r\n");
    controller_.key_down(KeyKind::P);
    EXPECT_EQ(active_tracks(), 3);

    // The Open dialog loads as a drop does, starting where the last song was.
    shell_.open_answer = song_;
    controller_.open_file();
    EXPECT_EQ(controller_.remembered_path(), song_);
    EXPECT_EQ(active_tracks(), 2);
    ASSERT_EQ(shell_.open_requests.size(), 2u);
    EXPECT_EQ(shell_.open_requests[0].title, "とっととファイルを選べ。");
    EXPECT_EQ(shell_.open_requests[0].filters,
              (std::vector<std::pair<std::string, std::string>>{{"mml file", "*.mml"}, {"all files", "*"}}));
    EXPECT_EQ(shell_.open_requests[1].start_folder, dir_);
    EXPECT_EQ(shell_.titles, (std::vector<std::string>{"song.mml - bleepforge", "二曲目.mml - bleepforge",
                                                       "song.mml - bleepforge"}));  // once a change
    EXPECT_TRUE(shell_.messages.empty());
    // A song on a stream without a device does not advance: no scopes to follow.
    EXPECT_TRUE(shell_.tick_intervals.empty());
    EXPECT_EQ(shell_.repaints, 0);
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
        fs::remove_all(dir_);  // the child exits without destructors: leave no folder behind
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

// A working device paints no device line; the render thread tells the window
// of a stalled one at once, so the line shows without any user action.
TEST_F(StallingDeviceTest, StalledDeviceWakesTheWindowToRepaint) {
    ASSERT_TRUE(log_->wait_for_blocks(2, std::chrono::minutes(1)));
    EXPECT_EQ(controller_.paint_lines().size(), 1u);
    log_->stop_answering();
    ASSERT_TRUE(shell_.wait_for_wake());
    EXPECT_EQ(stream_.state(), AudioStream::State::STALLED);
    controller_.run_posted();
    EXPECT_EQ(shell_.repaints, 1);
    EXPECT_EQ(controller_.paint_lines().at(1).text, text::DEVICE_STALLED);
}

// Loading runs the slow split and compile outside the engine lock, so even a
// file at the size limit keeps the paced device fed. A load under the lock
// would hold the render thread for most of the load, and a block would come
// about that late; a shared host's pauses make blocks late by far less.
TEST_F(PacedDeviceTest, LoadingAHugeFileMakesNoBlockLate) {
    const fs::path big = dir_ / "huge.mml";
    {
        std::ofstream out(big, std::ios::binary);
        const std::string lines = "0t150l8cdefgab>c<\r\n1o3l4cgcg\r\n2v9ceg\r\n3@2cdef\r\n";
        for (std::size_t n = 0; n + lines.size() <= (std::size_t{16} << 20) - 1024; n += lines.size()) out << lines;
    }
    ASSERT_TRUE(log_->wait_for_blocks(4, std::chrono::minutes(1)));
    auto shortest_load = std::chrono::steady_clock::duration::max();
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        controller_.drop({{big}});
        shortest_load = std::min(shortest_load, std::chrono::steady_clock::now() - start);
        ASSERT_TRUE(log_->wait_for_blocks(log_->blocks() + 2, std::chrono::minutes(1)));
    }
    const auto late = log_->longest_late();
    EXPECT_LT(late, shortest_load / 4) << "a block came " << late.count() << " us late; the shortest load took "
                                       << std::chrono::duration_cast<std::chrono::microseconds>(shortest_load).count()
                                       << " us";
    EXPECT_TRUE(shell_.messages.empty());
    EXPECT_GT(active_tracks(), 0);
}

// A capture is exported when recording is on, something is captured and
// nothing plays. From the Save dialog until the write's completion has run on
// the UI thread the export shows, and no song, reload or second export may
// touch the capture. A failed write says so from the completion, not from the
// worker; closing the window waits for the write.
TEST_F(ControllerTest, ExportOfAStoppedCaptureRunsOnAWorkerAndEndsOnTheUiThread) {
    const std::vector<std::pair<std::function<void()>, std::string>> refusals = {
        {[] {}, "録音データがないよ"},                                  // recording off
        {[&] { controller_.record_on(); }, "録音データがないよ"},       // nothing captured
        {[&] { controller_.drop({{song_}}); }, "演奏を止めてから書き出してね"},  // playing, nothing yet
        {[&] { play_blocks(2); }, "演奏を止めてから書き出してね"},
    };
    for (const auto& [step, expected] : refusals) {
        step();
        shell_.messages.clear();
        controller_.write_out();
        EXPECT_EQ(shell_.messages, (std::vector<Message>{{expected, "えらー"}}));
    }
    EXPECT_TRUE(shell_.requests.empty());
    shell_.messages.clear();
    // R allocated the capture once and repainted; a second R keeps what it holds.
    const std::int16_t* buffer = record_buffer();
    ASSERT_NE(buffer, nullptr);
    controller_.record_on();
    EXPECT_EQ(record_buffer(), buffer);
    EXPECT_EQ(shell_.repaints, 1);

    controller_.stop();
    shell_.answer = [&](const SaveRequest&) {
        controller_.drop({{song_}});
        controller_.key_down(KeyKind::P);
        return dir_ / "take.wav";
    };
    controller_.write_out();
    EXPECT_TRUE(painted(text::SAVING));
    EXPECT_EQ(shell_.repaints, 2);  // record_on, then the saving line
    controller_.drop({{song_}});
    controller_.reload_play();
    controller_.write_out();
    EXPECT_EQ(active_tracks(), 0);
    EXPECT_EQ(shell_.requests.size(), 1u);
    EXPECT_EQ(recorded(), 2u * BLOCK_FRAMES);

    finish_export();
    EXPECT_FALSE(painted(text::SAVING));
    EXPECT_EQ(shell_.repaints, 3);
    EXPECT_EQ(fs::file_size(dir_ / "take.wav"), 44u + 2 * BLOCK_BYTES);
    EXPECT_TRUE(shell_.messages.empty());
    controller_.drop({{song_}});
    EXPECT_EQ(active_tracks(), 2);

    play_blocks(1);
    controller_.stop();
    shell_.answer = [&](const SaveRequest&) { return dir_ / "no-such-folder" / "take.wav"; };
    controller_.write_out();
    ASSERT_TRUE(shell_.wait_for_wake(++exports_finished_));
    EXPECT_TRUE(shell_.messages.empty());
    controller_.run_posted();
    ASSERT_EQ(shell_.messages.size(), 1u);
    EXPECT_EQ(shell_.messages[0].text.rfind(text::WRITE_FAILED, 0), 0u);

    shell_.answer = [&](const SaveRequest&) { return dir_ / "closed.wav"; };
    controller_.write_out();
    controller_.window_closed();
    EXPECT_EQ(fs::file_size(dir_ / "closed.wav"), 44u + BLOCK_BYTES);
    EXPECT_EQ(record_buffer(), nullptr);
    controller_.run_posted();  // the completion finds the window gone
    EXPECT_EQ(shell_.messages.size(), 1u);
}

// The dialog offers WAV first, then each format the build writes, and the
// chosen name's extension picks the format (any other name gets WAV).
TEST_F(ControllerTest, ExportOffersTheBuiltFormatsAndWritesTheNamedOne) {
    capture(1);
    // Each name and the first bytes of its file.
    for (const auto& [name, starts] : {std::pair{"take.FLAC", "fLaC"}, {"take.ogg", "OggS"}, {"take.opus", "OggS"},
                                       std::pair{"take.raw", "RIFF"}}) {
        const fs::path target = dir_ / name;
        shell_.answer = [target](const SaveRequest&) { return target; };
        controller_.write_out();
        finish_export();
        const bool built = sound_format_of(name) == nullptr || sound_format_of(name)->built;
        EXPECT_EQ(test::read_file(dir_ / name).substr(0, 4), built ? starts : "RIFF") << name;
    }
    EXPECT_TRUE(shell_.messages.empty());

    std::string shown;
    for (const SaveFilter& f : shell_.requests.at(0).filters) shown += f.name + ' ' + f.pattern + ' ' + f.suffix + ';';
    EXPECT_EQ(shown, sound_format_named("flac")->built ? "wave file *.wav wav;FLAC file *.flac flac;"
                                                         "Ogg Vorbis file *.ogg ogg;Opus file *.opus opus;"
                                                         "MP3 file *.mp3 mp3;"
                                                       : "wave file *.wav wav;");
}

TEST(WavExtension, AddedOnlyWhenMissing) {
    EXPECT_EQ(with_wav_extension("a/take1"), "a/take1.wav");
    EXPECT_EQ(with_wav_extension("a/take1.wav"), "a/take1.wav");
    EXPECT_EQ(with_wav_extension("a/take1.WAV"), "a/take1.WAV");
    EXPECT_EQ(with_wav_extension("a/take.raw"), "a/take.raw");
}

// A triangle at 440 Hz on track 0 through a device that takes blocks at
// once. Each scope is 882 + 2 pixels wide, one column a frame, and 256 rows
// from its top inner row to its bottom one. The timer runs while anything
// plays, and stops at a stop or when the song ends by itself; stopped, the
// traces are flat.
TEST_F(FastDeviceTest, KnownToneGivesItsTraceWhileItPlays) {
    const fs::path song = dir_ / "tone.mml", short_song = dir_ / "short.mml";
    write_file(song, "0@48 v15 o4 l1 L a\r\n");
    write_file(short_song, "0l2cx\r\n");  // half a second
    constexpr int LINE = 16, BOX_HEIGHT = 259, TOP = 70 + 2 * LINE + scope::GAP;  // under the status line
    constexpr int WIDTH = 4 * (scope::SHOWN_FRAMES + 2) + 5 * scope::GAP;
    constexpr int HEIGHT = TOP + 2 * BOX_HEIGHT + 2 * scope::GAP;
    constexpr int MIDDLE = TOP + 1 + 128;
    controller_.drop({{song}});
    EXPECT_EQ(shell_.tick_intervals, std::vector<int>{Controller::TICK_MS});
    ASSERT_TRUE(log_->wait_for_blocks(log_->blocks() + 6, std::chrono::minutes(1)));

    const ScopePicture picture = controller_.scope_picture(WIDTH, HEIGHT, LINE);
    ASSERT_EQ(picture.lines.size(), std::size_t{2 * TRACK_COUNT});
    const std::vector<Point>& trace = picture.lines[TRACK_COUNT].points;
    ASSERT_EQ(trace.size(), std::size_t{scope::SHOWN_FRAMES});
    // Triggered: starts on the middle row, rising.
    EXPECT_NEAR(trace[0].y, MIDDLE, 1);
    EXPECT_LT(trace[10].y, trace[0].y);
    // Rises through the middle every 44100 / 440 = 100.2 columns.
    std::vector<int> rises;
    for (std::size_t c = 1; c < trace.size(); ++c) {
        if (trace[c - 1].y > MIDDLE && trace[c].y <= MIDDLE) rises.push_back(int(c));
    }
    ASSERT_EQ(rises.size(), 8u);
    EXPECT_NEAR(rises[7], 8 * 100.23, 1.5);
    // As high as the loudest sample the device got: 128 rows are full scale.
    const std::vector<std::int16_t> played = log_->samples(0, log_->blocks());
    int peak = 0;
    for (std::size_t i = 0; i + 1 < played.size(); i += 2) peak = std::max(peak, (played[i] + played[i + 1]) / 2);
    ASSERT_GT(peak, 3000);
    const auto [highest, lowest] =
        std::minmax_element(trace.begin(), trace.end(), [](Point a, Point b) { return a.y < b.y; });
    EXPECT_NEAR(MIDDLE - highest->y, peak * 128 / 32768, 1);
    EXPECT_NEAR(lowest->y - MIDDLE, peak * 128 / 32768, 1);
    for (std::size_t k = 0; k < std::size_t{TRACK_COUNT}; ++k) {  // labelled boxes, the silent tracks flat
        SCOPED_TRACE(k);
        const Polyline &frame = picture.lines[k], &track = picture.lines[TRACK_COUNT + k];
        EXPECT_EQ(picture.labels.at(k).text, std::to_string(k));
        EXPECT_EQ(frame.colour, scope::FRAME);
        EXPECT_EQ(track.colour, scope::TRACE);
        ASSERT_EQ(track.points.size(), std::size_t{scope::SHOWN_FRAMES});
        if (k == 0) continue;  // the tone
        const int middle = MIDDLE + (k >= scope::COLUMNS ? BOX_HEIGHT + scope::GAP : 0);
        for (const Point& p : track.points) ASSERT_EQ(p.y, middle);
    }

    // Muted: greyed at once.
    stream_.with_engine([](Engine& e) { e.muted = 1; });
    EXPECT_EQ(controller_.scope_picture(WIDTH, HEIGHT, LINE).lines[TRACK_COUNT].colour, scope::MUTED_TRACE);

    // Stopped: the timer stops and the traces go flat.
    controller_.stop();
    EXPECT_EQ(shell_.tick_intervals, (std::vector<int>{Controller::TICK_MS, 0}));
    EXPECT_EQ(shell_.repaints, 1);
    const ScopePicture stopped = controller_.scope_picture(WIDTH, HEIGHT, LINE);
    for (const Point& p : stopped.lines[TRACK_COUNT].points) ASSERT_EQ(p.y, MIDDLE);

    // A song that ends by itself stops the timer through the stream's word to
    // the window; words the stream sent before it are run on the way.
    int seen = shell_.wake_count();
    controller_.drop({{short_song}});
    controller_.tick();
    EXPECT_EQ(shell_.repaints, 2);
    while (shell_.tick_intervals.size() < 4) {
        ASSERT_TRUE(shell_.wait_for_wake(seen + 1));
        seen = shell_.wake_count();
        controller_.run_posted();
    }
    EXPECT_EQ(shell_.tick_intervals, (std::vector<int>{Controller::TICK_MS, 0, Controller::TICK_MS, 0}));
    controller_.window_closed();
}

// The status line says what plays, how long and what is captured, by the
// blocks mixed, not by the clock: 30 blocks are 1.02 s, 48 blocks 1.63 s, past
// the songs' loop point. The window stacks it under the design's places: the
// hint centred on the top row, the no-device line (this stream has no device)
// on the second, "録音モード" at (10, 50) while recording, then the row after
// "保存中..."'s place.
TEST_F(ControllerTest, StatusLineSaysWhatPlaysAndStacksUnderTheDesignsPlaces) {
    using Box = std::tuple<std::string, int, int, int, int, bool>;
    auto boxes = [&](int width, int height, int line) {
        std::vector<Box> out;
        for (const WindowLine& l : controller_.layout(width, height, line)) {
            out.emplace_back(l.text, l.x, l.y, l.width, l.height, l.centred);
        }
        return out;
    };
    const Box hint{"mmlファイルをドラッグ", 0, 0, 224, 16, true}, no_device{text::NO_DEVICE, 0, 16, 224, 16, true};
    EXPECT_EQ(boxes(224, 140, 16), (std::vector<Box>{hint, no_device}));
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
    EXPECT_EQ(boxes(224, 140, 16), (std::vector<Box>{hint, no_device, {"録音モード", 10, 50, 214, 16, false},
                                                     {"再生中 0:00 ループ0 録音0:00", 10, 86, 214, 16, false}}));
    // A tall font pushes the status line under the second row; a short window leaves it out.
    EXPECT_EQ(std::get<2>(boxes(224, 400, 50).back()), 120);
    EXPECT_EQ(boxes(224, 80, 16).size(), 3u);
    EXPECT_TRUE(controller_.scope_picture(240, 100, 16).lines.empty());  // no room for scopes
}

// The check runs off the UI thread and wakes nobody: the next repaint (the
// tick timer's, while the song plays) shows its count.
TEST_F(ControllerTest, CheckerCountsWarningsAndListsThem) {
    controller_.show_warnings();
    EXPECT_EQ(shell_.messages, (std::vector<Message>{{"曲がまだないよ", "警告"}}));

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
    int loops = 0;
    double fade = 0;
    EXPECT_TRUE(parse_song_export("12", "2.5", loops, fade));
    EXPECT_EQ(std::pair(loops, fade), std::pair(12, 2.5));
    EXPECT_TRUE(parse_song_export("1", "0", loops, fade));
    EXPECT_EQ(std::pair(loops, fade), std::pair(1, 0.0));
    const std::pair<const char*, const char*> refused[] = {
        {"0", "0"},    {"-1", "0"}, {"1.5", "0"},   {"", "0"},     {"x", "0"},   {"99999", "0"},
        {"1", "-0.5"}, {"1", ""},   {"1", "nan"},   {"1", "inf"},  {"1", "3s"},
    };
    for (const auto& [l, f] : refused) EXPECT_FALSE(parse_song_export(l, f, loops, fade)) << l << " " << f;
}

#ifdef BLEEPFORGE_RENDER
// The window's export is the renderer's file, byte for byte, with a track
// muted in the window as with --mute.
TEST_F(ControllerTest, SongExportWritesWhatTheRendererWrites) {
    auto rendered = [&](const std::string& options) {
        const fs::path out = dir_ / "cli.wav";
        const std::string command = std::string("\"") + BLEEPFORGE_RENDER + "\" \"" + song_.string() +
                                    "\" --loops 2 --fade 0.5 " + options + "-q -o \"" + out.string() + "\"";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return test::read_file(out);
    };
    controller_.drop({{song_}});
    shell_.export_answer = {"2", "0.5"};
    shell_.answer = [&](const SaveRequest&) { return dir_ / "window"; };
    controller_.export_song();
    ASSERT_EQ(shell_.export_requests.size(), 1u);
    const SongExportRequest& asked = shell_.export_requests[0];
    EXPECT_EQ(std::vector<std::string>({asked.caption, asked.loops_label, asked.fade_label, asked.loops, asked.fade}),
              std::vector<std::string>({"曲を書き出し", "ループ回数", "フェード（秒）", "1", "0"}));
    ASSERT_EQ(shell_.requests.size(), 1u);
    EXPECT_EQ(shell_.requests[0].start_folder, dir_);
    EXPECT_EQ(shell_.requests[0].start_name, "song.wav");
    finish_song_export();
    EXPECT_TRUE(shell_.messages.empty());
    const std::string expected = rendered("");
    EXPECT_EQ(expected.size(), 44u + 4u * 95 * BLOCK_FRAMES);  // two loops of 1.6 s, to the end of the block
    EXPECT_TRUE(test::read_file(dir_ / "window.wav") == expected);

    controller_.toggle_mute(1);
    shell_.answer = [&](const SaveRequest&) { return dir_ / "muted.wav"; };
    controller_.export_song();
    finish_song_export();
    const std::string muted = rendered("--mute 1 ");
    EXPECT_NE(muted, expected);
    EXPECT_TRUE(test::read_file(dir_ / "muted.wav") == muted);
}
#endif

// Refused, cancelled or stopped, a song export writes nothing. One runs at a
// time, showing its progress; a file that cannot be written is named, with the
// reason, once the worker is done.
TEST_F(ControllerTest, SongExportRefusedCancelledOrStoppedWritesNothing) {
    controller_.export_song();  // no song yet
    controller_.drop({{song_}});
    controller_.export_song();  // the dialog cancelled
    shell_.export_answer = {"0", "0"};
    controller_.export_song();
    shell_.export_answer = {"9999", "0"};  // would fill the whole capture
    controller_.export_song();             // the Save dialog cancelled
    shell_.answer = [&](const SaveRequest&) { return song_; };
    controller_.export_song();
    EXPECT_FALSE(controller_.song_exporting());

    shell_.answer = [&](const SaveRequest&) { return dir_ / "long.wav"; };
    controller_.export_song();
    ASSERT_TRUE(controller_.song_exporting());
    const std::string progress = controller_.paint_lines().back().text;
    EXPECT_EQ(progress.rfind("曲を書き出し中 ", 0), 0u) << progress;
    EXPECT_EQ(progress.substr(progress.size() - 5), "/9999");
    controller_.export_song();  // a second one
    EXPECT_EQ(shell_.requests.size(), 3u);
    controller_.stop_song_export();
    finish_song_export();
    EXPECT_EQ(shell_.messages,
              (std::vector<Message>{{"曲がまだないよ", "えらー"},
                                    {"ループ回数は1以上の整数、フェードは0以上の秒数で書いてね", "えらー"},
                                    {"ファイル書けなかったよ\n" + song_.string() + "\nis the song file itself", "えらー"},
                                    {"いま曲を書き出し中だよ。終わるか中止するまで待ってね", "えらー"}}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);  // the song alone
    EXPECT_EQ(test::read_file(song_), SONG);
    EXPECT_EQ(controller_.paint_lines().back().text.rfind("曲を書き出し中", 0), std::string::npos);

    const fs::path nowhere = dir_ / "no-such-folder" / "take.wav";
    shell_.answer = [&](const SaveRequest&) { return nowhere; };
    shell_.export_answer = {"1", "0"};
    controller_.export_song();
    finish_song_export();
    ASSERT_EQ(shell_.messages.size(), 5u);
    EXPECT_EQ(shell_.messages[4].text.rfind("ファイル書けなかったよ\n" + nowhere.string() + "\n", 0), 0u)
        << shell_.messages[4].text;
}

TEST(FormatTime, MinutesSecondsAndOnlyTheDecimalsThatAreThere) {
    const std::pair<double, const char*> cases[] = {
        {0, "0:00"},        {5, "0:05"},     {90, "1:30"},      {90.5, "1:30.5"},
        {90.25, "1:30.25"}, {3600, "60:00"}, {59.9996, "1:00"}, {0.001, "0:00.001"},
    };
    for (const auto& [seconds, shown] : cases) EXPECT_EQ(format_time(seconds), shown) << seconds;
}

// The start point asked for (the last one filled in) is where the song plays
// from, and P starts there too until it is set back to 0; what is no time, or
// a time past the song's end, says so.
TEST_F(ControllerTest, PlayFromStartsAtTheBlockHoldingTheTimeAndRefusesWhatIsNotATime) {
    write_file(song_, LOOPING_SONG);
    controller_.drop({{song_}});
    // Each answer, the whole blocks of 1500 frames before its time, and the
    // line painted last while it is set (none once it is 0: the status line).
    const std::tuple<const char*, std::uint64_t, const char*> cases[] = {
        {"1:30", 2646, "途中から 1:30"},
        {"0:01", 29, "途中から 0:01"},  // 44100 frames: inside block 29
        {"80.5", 2366, "途中から 1:20.5"},
        {"0", 0, nullptr},
    };
    std::string shown = "0:00";
    for (const auto& [answer, block, line] : cases) {
        SCOPED_TRACE(answer);
        const Block expected = heard_block(LOOPING_SONG, block);
        play_from(answer);
        ASSERT_FALSE(shell_.text_requests.empty());
        EXPECT_EQ(shell_.text_requests.back().initial, shown);  // the last value, as shown
        EXPECT_EQ(shell_.text_requests.back().title, text::PLAY_FROM_TITLE);
        EXPECT_EQ(next_block(), expected);
        const Block again = heard_block(LOOPING_SONG, block);
        controller_.key_down(KeyKind::P);
        EXPECT_EQ(next_block(), again);
        wait_for_check();  // every start checks the song again: else the count may join the line between the reads
        EXPECT_EQ(controller_.paint_lines().back().text, line ? std::string(line) : controller_.status_text());
        shown = format_time(controller_.start_seconds());
    }
    EXPECT_TRUE(shell_.messages.empty());

    // What is not a time is refused, saying so, and Cancel changes nothing.
    play_from("1:30");
    controller_.stop();
    for (const char* answer : {"abc", "1:75", "-3"}) {
        shell_.messages.clear();
        play_from(answer);
        EXPECT_EQ(shell_.messages,
                  (std::vector<Message>{{std::string(text::BAD_TIME) + ": " + answer + "\n" + text::TIME_EXAMPLES,
                                         text::ERROR_CAPTION}}));
    }
    shell_.messages.clear();
    shell_.text_answer.reset();
    controller_.play_from();
    EXPECT_EQ(controller_.start_seconds(), 90);
    EXPECT_EQ(active_tracks(), 0);

    // A start past the song's end plays nothing and says so until the next good start.
    write_file(song_, "0t150l8cdx\r\n");
    play_from("0:10");
    EXPECT_EQ(active_tracks(), 0);
    EXPECT_TRUE(painted(text::PAST_THE_END));
    play_from("0");
    EXPECT_EQ(active_tracks(), 1);
    EXPECT_FALSE(painted(text::PAST_THE_END));
    EXPECT_TRUE(shell_.messages.empty());
}

// Mutes silence tracks from the next block on and stay across loads; a start
// point keeps them, and restarts the capture in the same buffer as P does.
TEST_F(ControllerTest, MutesAndTheCaptureStayAcrossLoadsAndStartPoints) {
    controller_.record_on();
    const std::int16_t* buffer = record_buffer();
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
    play_blocks(2);
    play_from("0:01");
    EXPECT_EQ(engine_mutes(), 0b10);
    EXPECT_EQ(recorded(), 0u);
    EXPECT_EQ(record_buffer(), buffer);
    controller_.unmute_all();
    EXPECT_EQ(engine_mutes(), 0);
    EXPECT_FALSE(controller_.muted(1));
    EXPECT_NE(next_block(), Block{});
    EXPECT_EQ(recorded(), std::uint32_t(BLOCK_FRAMES));
}

TEST_F(ControllerTest, PlayOnSaveIsOffAtStartThenReloadsEachSaveFromTheStartPoint) {
    EXPECT_FALSE(controller_.play_on_save());
    controller_.toggle_play_on_save();  // before any drop: watches the file dropped next
    EXPECT_TRUE(controller_.play_on_save());
    controller_.drop({{song_}});
    controller_.stop();
    save_and_report([&] { write_file(song_, "0cde\r\n1cde\r\n2cde\r\n"); });  // in place
    EXPECT_EQ(active_tracks(), 3);

    // A new file renamed over the old one, played from a start point.
    play_from("0:00.1");
    const Block expected = heard_block(LOOPING_SONG, 2);
    save_and_report([&] {
        write_file(dir_ / "song.mml.tmp", LOOPING_SONG);
        fs::rename(dir_ / "song.mml.tmp", song_);
    });
    EXPECT_EQ(next_block(), expected);
    EXPECT_TRUE(shell_.messages.empty());

#if defined(__linux__)
    // A save that cannot be read keeps the song playing and paints a line, no box.
    save_and_report([&] {
        fs::create_symlink("/proc/self/mem", dir_ / "song.mml.tmp");  // its first read fails
        fs::rename(dir_ / "song.mml.tmp", song_);
    });
    EXPECT_EQ(active_tracks(), 3);
    EXPECT_TRUE(painted(std::string(text::READ_FAILED) + ": song.mml (could not be read to its end)"));
    EXPECT_TRUE(shell_.messages.empty());
    const int repaints = shell_.repaints;

    save_and_report([&] {
        fs::remove(song_);
        write_file(song_, "0c\r\n");
    });
    EXPECT_EQ(active_tracks(), 1);
    EXPECT_EQ(controller_.paint_lines().size(), 4u);  // hint, no device, status, start point: the line is gone
    EXPECT_GT(shell_.repaints, repaints);
#endif

    // Switched off, a report already queued is dropped.
    controller_.stop();
    const int wakes = shell_.wake_count();
    write_file(song_, "0cde\r\n");
    ASSERT_TRUE(shell_.wait_for_wake(wakes + 1));
    controller_.toggle_play_on_save();
    controller_.run_posted();
    EXPECT_EQ(active_tracks(), 0);
}

TEST_F(ControllerTest, ASaveWhileExportingReloadsOnceTheExportHasEnded) {
    capture(1);
    controller_.toggle_play_on_save();
    // Saved while the Save dialog is open: the report runs inside the dialog's
    // event loop, and the capture being saved must stay.
    shell_.answer = [&](const SaveRequest&) {
        save_and_report([&] { write_file(song_, "0cde\r\n1cde\r\n2cde\r\n"); });
        EXPECT_EQ(active_tracks(), 0);
        return dir_ / "take.wav";
    };
    const int wakes = shell_.wake_count();
    controller_.write_out();
    EXPECT_EQ(active_tracks(), 0);  // still writing
    ASSERT_TRUE(shell_.wait_for_wake(wakes + 2));  // the report, then the write's end
    controller_.run_posted();
    EXPECT_EQ(fs::file_size(dir_ / "take.wav"), 44u + BLOCK_BYTES);
    EXPECT_EQ(active_tracks(), 3);

    // Cancelled: the reload follows at once.
    play_blocks(1);
    controller_.stop();
    shell_.answer = [&](const SaveRequest&) {
        save_and_report([&] { write_file(song_, "0c\r\n"); });
        return fs::path{};
    };
    controller_.write_out();
    EXPECT_EQ(active_tracks(), 1);
}

}  // namespace
}  // namespace bleepforge
