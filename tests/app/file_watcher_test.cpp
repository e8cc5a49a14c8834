// The watcher on real files in a temporary folder: each way an editor saves,
// with the folder's notices and with polling. Time bounds are generous for a
// loaded machine; the count of reports is exact unless the writer itself was
// held up between two steps for longer than the watcher lets a file settle.
#include "app/file_watcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <ostream>
#include <cctype>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace bleepforge {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Backend = FileWatcher::Backend;
using namespace std::chrono_literals;

constexpr auto REPORT_BOUND = 2s;  // a save is reported by then, however loaded the machine
constexpr auto QUIET = 400ms;      // and nothing more follows it within this

const std::string OLD_TEXT = "t120 cde\n";
const std::string NEW_TEXT = [] {
    std::string text;
    for (int bar = 0; bar < 40; ++bar) text += "t120 o4 l8 cdefgab>c<\n";
    return text;
}();

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Does to files in `dir` what editors do, noting when: a step more than SETTLE
// after the one before lets the watcher report in between, legitimately.
struct Editor {
    fs::path dir;
    Clock::time_point last{};
    int long_pauses = 0;

    void mark() {
        Clock::time_point now = Clock::now();
        if (last != Clock::time_point{} && now - last >= FileWatcher::SETTLE) ++long_pauses;
        last = now;
    }
    void write(const char* name) { write_file(dir / name, NEW_TEXT); mark(); }
    void rename(const char* from, const char* to) { fs::rename(dir / from, dir / to); mark(); }
    void remove(const char* name) { fs::remove(dir / name); mark(); }
    // NEW_TEXT in chunks into song.mml held open, `pause` apart.
    void write_slowly(size_t chunks, std::chrono::milliseconds pause) {
        std::ofstream out(dir / "song.mml", std::ios::binary);
        size_t chunk = NEW_TEXT.size() / chunks + 1;
        for (size_t at = 0; at < NEW_TEXT.size(); at += chunk) {
            if (at > 0) std::this_thread::sleep_for(pause);
            out << NEW_TEXT.substr(at, chunk) << std::flush;
            mark();
        }
    }
};

struct Save {
    const char* name;
    bool file_before;  // song.mml exists when the watch starts
    int reports;       // 1: a save of song.mml; 0: only other files change
    void (*run)(Editor& editor);
};

void PrintTo(const Save& save, std::ostream* out) { *out << save.name; }

const Save SAVES[] = {
    {"InPlace", true, 1, [](Editor& e) { e.write("song.mml"); }},
    {"RenameOver", true, 1, [](Editor& e) { e.write(".song.mml.swp"); e.rename(".song.mml.swp", "song.mml"); }},
    {"BackupThenNewFile", true, 1, [](Editor& e) {
         e.rename("song.mml", "song.mml~"); e.write("song.mml"); e.remove("song.mml~");
     }},
    {"DeleteAndRecreate", true, 1, [](Editor& e) { e.remove("song.mml"); e.write("song.mml"); }},
    {"CreatedAfterTheWatchStarts", false, 1, [](Editor& e) { e.write("song.mml"); }},
    {"BurstOfWrites", true, 1, [](Editor& e) { e.write_slowly(20, 10ms); }},
    {"HalfWritten", true, 1, [](Editor& e) { e.write_slowly(2, 30ms); }},
    {"OnlyOtherFilesInTheFolder", true, 0, [](Editor& e) {
         e.write("song.mml.bak"); e.write("other.tmp"); e.rename("other.tmp", "other.mml"); e.remove("other.mml");
     }},
};

// A fresh folder per test, for song.mml and the files an editor makes beside it.
class WatchedFolder : public testing::Test {
protected:
    void SetUp() override {
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        folder_ = fs::temp_directory_path() /
                  ("bleepforge-watch-" + std::to_string(Clock::now().time_since_epoch().count()) + "-" + name);
        fs::create_directories(folder_);
        file_ = folder_ / "song.mml";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    fs::path folder_, file_;
};

// What the watcher reported: when, and what the file held at that moment.
// `got` is read once the watcher has stopped, when no report can come.
struct Reports {
    struct Report {
        Clock::time_point when;
        std::string text;
    };
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Report> got;

    void add(const fs::path& file) {
        std::string text = read_file(file);
        std::lock_guard lock(mutex);
        got.push_back({Clock::now(), std::move(text)});
        arrived.notify_all();
    }
    void wait_for_first(Clock::duration timeout) {
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, timeout, [&] { return !got.empty(); });
    }
};

const char* name_of(Backend backend) { return backend == Backend::NATIVE ? "Native" : "Polling"; }
}  // namespace

void PrintTo(Backend backend, std::ostream* out) { *out << name_of(backend); }

namespace {

long long ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

class EachSave : public WatchedFolder, public testing::WithParamInterface<std::tuple<Backend, Save>> {};

TEST_P(EachSave, IsReportedOnceAndComplete) {
    auto [backend, save] = GetParam();
    if (save.file_before) write_file(file_, OLD_TEXT);
    // Coarse file times: the save must not share a tick with the first write.
    std::this_thread::sleep_for(20ms);

    Reports reports;
    FileWatcher watcher(file_, backend);
#if defined(__linux__) || defined(_WIN32)  // the systems with folder notices
    if (backend == Backend::NATIVE) {
        ASSERT_EQ(watcher.backend(), Backend::NATIVE);
    }
#endif
    watcher.start([&] { reports.add(file_); });
    Editor editor{folder_};
    save.run(editor);
    if (save.reports > 0) reports.wait_for_first(REPORT_BOUND);
    std::this_thread::sleep_for(QUIET);
    Clock::time_point stopping = Clock::now();
    watcher.stop();
    EXPECT_LT(Clock::now() - stopping, 500ms) << "stop() must wake the watching thread";

    const std::vector<Reports::Report>& got = reports.got;
    if (save.reports == 0) {
        EXPECT_TRUE(got.empty()) << got.size() << " reports for changes of other files";
        return;
    }
    ASSERT_FALSE(got.empty()) << "no report within " << ms(REPORT_BOUND) << " ms";
    EXPECT_EQ(got.back().text, NEW_TEXT) << "the last report came before the save was complete";
    if (editor.long_pauses > 0) {
        EXPECT_LE(got.size(), size_t(1 + editor.long_pauses)) << "the writer paused " << editor.long_pauses << " times";
        return;
    }
    EXPECT_EQ(got.size(), 1u) << "one save, one report";
    long long delay = ms(got.front().when - editor.last);
    RecordProperty("delay_ms", int(delay));
    std::printf("[ delay    ] %s %s: reported %lld ms after the last write\n", name_of(backend), save.name, delay);
}

INSTANTIATE_TEST_SUITE_P(Saves, EachSave,
                         testing::Combine(testing::Values(Backend::NATIVE, Backend::POLLING),
                                          testing::ValuesIn(SAVES)),
                         [](const testing::TestParamInfo<EachSave::ParamType>& info) {
                             return std::string(name_of(std::get<0>(info.param))) + "_" +
                                    std::get<1>(info.param).name;
                         });

class EachBackend : public WatchedFolder, public testing::WithParamInterface<Backend> {};

// The renderer's way: wait() on its own thread, cancel() from a handler.
TEST_P(EachBackend, WaitReturnsOnASaveAndOnCancel) {
    write_file(file_, OLD_TEXT);
    std::this_thread::sleep_for(20ms);
    FileWatcher watcher(file_, GetParam());

    EXPECT_FALSE(watcher.wait(30ms)) << "nothing was saved";
    write_file(file_, NEW_TEXT);
    EXPECT_TRUE(watcher.wait(REPORT_BOUND));
    EXPECT_FALSE(watcher.wait(300ms)) << "one save, one report";

    std::thread handler([&] {
        std::this_thread::sleep_for(50ms);
        watcher.cancel();
    });
    Clock::time_point waiting = Clock::now();
    EXPECT_FALSE(watcher.wait(10s));
    EXPECT_LT(Clock::now() - waiting, 1s) << "cancel() must end a wait at once";
    handler.join();
    write_file(file_, OLD_TEXT);
    waiting = Clock::now();
    EXPECT_FALSE(watcher.wait(10s)) << "a cancelled watcher stays cancelled";
    EXPECT_LT(Clock::now() - waiting, 1s);
}

#ifdef __linux__
// inotify ends with the watched folder; the watcher polls from then on.
// (Windows keeps a folder with an open handle until the handle closes.)
TEST_F(WatchedFolder, FindsTheFileInAFolderMadeAnew) {
    write_file(file_, OLD_TEXT);
    FileWatcher watcher(file_);
    fs::remove_all(folder_);
    EXPECT_FALSE(watcher.wait(300ms));
    fs::create_directories(folder_);
    write_file(file_, NEW_TEXT);
    EXPECT_TRUE(watcher.wait(REPORT_BOUND));
    EXPECT_EQ(watcher.backend(), Backend::POLLING);
}
#endif

INSTANTIATE_TEST_SUITE_P(Backends, EachBackend, testing::Values(Backend::NATIVE, Backend::POLLING),
                         [](const testing::TestParamInfo<Backend>& info) { return name_of(info.param); });

}  // namespace
}  // namespace bleepforge
