// The built bleepforge-render run on real files in a fresh folder per test;
// its WAV files read back with python3's wave module and sox.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "audio/test_device.h"
#include "audio/wav.h"
#include "cli/play.h"
#include "mml/song.h"
#include "support/sha256.h"
#include "support/test_data.h"

namespace bleepforge {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out, err;
};

std::string sh_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs `command` in a shell, its output captured; -1 if it did not exit normally.
Result shell(const std::string& command, const fs::path& scratch) {
    const fs::path out = scratch / "stdout";
    const fs::path err = scratch / "stderr";
    const int raw = std::system((command + " >" + sh_quote(out) + " 2>" + sh_quote(err)).c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, test::read_file(out), test::read_file(err)};
}

class RenderCommand : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name) if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        root_ = fs::temp_directory_path() / ("bleepforge-cli-" + name + "-" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "work");
        dir_ = root_ / "work";
    }
    void TearDown() override { fs::remove_all(root_); }

    void put(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }

    // bleepforge-render with `args`, run in the test's folder; `prefix` goes
    // in front of the command in the shell, `stdout_to` redirects its output.
    Result render(const std::vector<std::string>& args, const std::string& prefix = "",
                  const std::string& stdout_to = "") const {
        std::string command = "cd " + sh_quote(dir_) + " && " + prefix + sh_quote(BLEEPFORGE_RENDER);
        for (const std::string& a : args) command.append(" ").append(sh_quote(a));
        // "| COMMAND" pipes the output into COMMAND instead.
        if (!stdout_to.empty()) {
            command = "(" + command + (stdout_to[0] == '|' ? " " : " >") + stdout_to + ")";
        }
        return shell(command, root_);
    }

    // Shell commands run in the test's folder.
    Result in_folder(const std::string& commands) const {
        return shell("cd " + sh_quote(dir_) + " && " + (commands.empty() ? std::string("true") : commands), root_);
    }

    // Every file, folder and link in the test's folder with its contents, its mode
    // and where a link points. FIFOs and the like are named but not opened.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> seen;
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir_)) {
            const fs::file_status s = e.symlink_status();
            std::string& seen_as = seen[e.path().lexically_relative(dir_).string()];
            seen_as = std::to_string(int(s.permissions())) + " ";
            if (fs::is_symlink(s)) seen_as += "-> " + fs::read_symlink(e.path()).string();
            else if (fs::is_regular_file(s)) seen_as += test::read_file(e.path());
            else seen_as += fs::is_directory(s) ? "<folder>" : "<other>";
        }
        return seen;
    }

    // "channels width rate frames compression" as python3's wave module reads the file.
    std::string wave_params(const std::string& wav) const {
        const Result r = shell("python3 -c " +
                                   sh_quote("import sys, wave\n"
                                            "w = wave.open(sys.argv[1])\n"
                                            "print(w.getnchannels(), w.getsampwidth(), w.getframerate(),"
                                            " w.getnframes(), w.getcomptype())") +
                                   " " + sh_quote(dir_ / wav),
                               root_);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

    std::vector<std::int16_t> samples(const std::string& wav) const {
        const std::string bytes = test::read_file(dir_ / wav);
        std::vector<std::int16_t> s((bytes.size() - WAV_HEADER_BYTES) / 2);
        std::memcpy(s.data(), bytes.data() + WAV_HEADER_BYTES, s.size() * 2);
        return s;
    }

    fs::path root_;
    fs::path dir_;
};

std::string frames_params(long frames) { return "2 2 44100 " + std::to_string(frames) + " NONE\n"; }

// --events, --check, --help and --version print on stdout only and write no file.
TEST_F(RenderCommand, ListingCheckHelpAndVersionPrintOnStdoutOnly) {
    const std::string no_tracks = "s.mml: warning: W-no-tracks: no line starts with a track digit 0-7";
    struct Case {
        std::string song;  // the bytes of s.mml
        std::vector<std::string> args;
        int status;
        std::string out;
        bool whole;  // the whole output, or a part of it
    } cases[] = {
        {"1cde\r\n", {"s.mml", "--events"}, 0,
         "0 0 254 - EV_STOP - -\n"
         "1 0 48 24 note 1:2 c4\n1 2 50 24 note 1:3 d4\n1 4 52 24 note 1:4 e4\n1 6 255 - EV_END - -\n"
         "2 0 254 - EV_STOP - -\n3 0 254 - EV_STOP - -\n4 0 254 - EV_STOP - -\n"
         "5 0 254 - EV_STOP - -\n6 0 254 - EV_STOP - -\n7 0 254 - EV_STOP - -\n", true},
        // The tied note keeps the place of the command that wrote it; "a-" is named as the g# it plays.
        {"; tied\r\n3t90 o5 c+8&\r\n3 a-4\r\n", {"s.mml", "--events"}, 0,
         "3 0 253 90 EV_TEMPO 2:2 -\n3 2 247 0 EV_TIE 2:12 -\n3 4 61 24 note 2:9 c#5\n3 6 68 48 note 3:3 g#5\n"
         "3 8 255 - EV_END - -\n", false},
        {"0c]\r\n", {"s.mml", "--check", "-q"}, 1,
         "s.mml:1:3: warning: W-unopened: track 0: \"]\" with no open \"[\": the track stops here\n", true},
        {test::read_file(test::data_dir() / "cli" / "eight_tracks.mml"), {"s.mml", "--check"}, 0,
         "s.mml: info: track 0: loops forever: intro 1.71 s, loop 6.86 s\n", false},
        {"", {"s.mml", "--check", "-q"}, 1, no_tracks, false},
        {"Just prose.\r\n", {"s.mml", "--check", "-q"}, 1, no_tracks, false},
        {"\x7F" "ELF\x01\x02", {"s.mml", "--check", "-q"}, 1, no_tracks, false},
        {"", {"--version"}, 0, "bleepforge Version 1.3\n", true},
        {"", {"--help"}, 0, "usage: bleepforge-render SONG", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args) + " on " + ::testing::PrintToString(c.song));
        put("s.mml", c.song);
        const Result r = render(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "");
        if (c.whole) {
            EXPECT_EQ(r.out, c.out);
        } else {
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        }
        EXPECT_EQ(files().size(), 1u) << "no file beside the song";
    }
}

TEST_F(RenderCommand, WritesSongDotWavBesideTheSongWithASummary) {
    put("song.mml", "0t120 c4 v99 #x\r\n");  // two warnings, counted but not listed
    Result r = render({"song.mml"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "song.mml: 2 warnings; run with --check to see them\nwrote song.wav: 0.51 s, 22,500 frames\n");
    EXPECT_EQ(wave_params("song.wav"), frames_params(22500));
    EXPECT_EQ(fs::file_size(dir_ / "song.wav"), 44u + 22500 * 4);
    EXPECT_EQ(test::read_file(dir_ / "song.wav").substr(0, 44),
              std::string(reinterpret_cast<const char*>(make_wav_header(22500).bytes.data()), 44));

    r = render({"song.mml", "-q", "-o", "again.wav"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(test::read_file(dir_ / "again.wav"), test::read_file(dir_ / "song.wav"));
    EXPECT_EQ(files().size(), 3u) << "no temporary file is left";
}

TEST_F(RenderCommand, EachEndConditionGivesItsLength) {
    put("ends.mml", "0t120c4x\r\n");           // half a second, then stops
    put("loops.mml", "0t120c4\r\n");           // loops back every half second
    put("two.mml", "0t120c4\r\n1t120c2\r\n");  // loops every half and every whole second
    put("silent.mml", "0\r\n; a track line without notes\r\n");
    put("forever.mml", "0c\r\n");
    struct Case {
        std::vector<std::string> args;
        long frames;  // whole blocks of 1500
    } cases[] = {
        {{"ends.mml"}, 22500},                       // 22050 samples
        {{"ends.mml", "--seconds", "10"}, 22500},    // the song ends first
        {{"ends.mml", "--loops", "3"}, 22500},
        {{"loops.mml"}, 22500},                      // --loops 1 by default
        {{"loops.mml", "--loops", "2"}, 45000},
        {{"two.mml", "--loops", "1"}, 45000},        // every active track must have looped
        {{"loops.mml", "--seconds", "2.5"}, 111000},  // no loop limit with only --seconds
        {{"loops.mml", "--seconds", "0.001"}, 1500},
        {{"loops.mml", "--seconds", "10", "--loops", "2"}, 45000},
        {{"loops.mml", "--seconds", "0.5", "--loops", "2"}, 22500},
        {{"silent.mml"}, 0},
        {{"forever.mml", "--seconds", "1000"}, 44'100'000},  // past the fifteen minutes a capture holds
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-q", "-o", "out.wav"});
        SCOPED_TRACE(::testing::PrintToString(args));
        ASSERT_EQ(render(args).status, 0);
        EXPECT_EQ(wave_params("out.wav"), frames_params(c.frames));
        EXPECT_EQ(fs::file_size(dir_ / "out.wav"), 44u + 4u * c.frames);
    }
}

// Counted in zero crossings of the left channel over a second: 880, where a
// semitone off would give 52 more or fewer.
TEST_F(RenderCommand, TheAOfOctaveFourSoundsAt440Hz) {
    for (const char* tone : {"", "@48"}) {
        SCOPED_TRACE(tone);
        put("a.mml", std::string("0t60") + tone + "o4a1x\r\n");
        ASSERT_EQ(render({"a.mml", "-q"}).status, 0);
        const std::vector<std::int16_t> s = samples("a.wav");
        int crossings = 0;
        for (std::size_t i = 44100; i < 3 * 44100; i += 2) crossings += (s[i] < 0) != (s[i + 2] < 0);
        EXPECT_NEAR(crossings, 880, 4);
    }
}

// The command line that runs a shell command as the unprivileged user, since root may read anything.
const std::string AS_NOBODY = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";

// Each refusal exits with 2 and one line naming its cause, and leaves the folder
// as the row's setup made it: no output, no temporary file, earlier takes kept.
TEST_F(RenderCommand, RefusalsNameTheirCauseAndLeaveEveryFileAsItWas) {
    const std::string ends_at = "p03_noise_drums.mml: ends at 1.6 s, before --from ";
    const std::string no_tracks = "none.mml: no line starts with a track digit 0-7: nothing to play";
    struct Case {
        std::string setup;  // shell commands run first in a folder of its own
        std::vector<std::string> args;
        std::string message;  // after the program's name; empty: no refusal
        std::string prefix = "";
        std::string stdout_to = "";
    } cases[] = {
        // The song.
        {"", {"missing.mml"}, "missing.mml: does not exist"},
        {"mkdir folder.mml", {"folder.mml"}, "folder.mml: is a folder, not a song file"},
        {"", {"/proc/self/mem"}, "/proc/self/mem: could not be read to its end"},  // its first read fails
        {"mkfifo pipe.mml", {"pipe.mml"}, "pipe.mml: is a FIFO, not a song file"},
        {"", {"/dev/zero"}, "/dev/zero: is a device, not a song file"},
        {"truncate -s 16777217 big.mml", {"big.mml"}, "big.mml: is too large for a song (over 16 MiB)"},
        {"printf '0c\\r\\n' >limit.mml && truncate -s 16M limit.mml", {"limit.mml", "--events"}, "", "", "/dev/null"},
        {"ln -s b.mml a.mml && ln -s a.mml b.mml", {"a.mml"},
         "a.mml: cannot be opened (Too many levels of symbolic links)"},
        {"echo 0c >f.mml", {"f.mml/x.mml"}, "f.mml/x.mml: cannot be opened (Not a directory)"},
        {"chmod 0 song.mml", {"song.mml"}, "song.mml: cannot be opened (Permission denied)", AS_NOBODY},
        {"mkdir shut && cp song.mml shut && chmod 0 shut", {"shut/song.mml"},
         "shut/song.mml: cannot be opened (Permission denied)", AS_NOBODY},
        {": >none.mml", {"none.mml"}, no_tracks},
        {"printf 'Just prose.\\r\\n' >none.mml", {"none.mml"}, no_tracks},
        {"printf '\\177ELF\\001\\002' >none.mml", {"none.mml"}, no_tracks},
        // The options.
        {"", {"song.mml", "--loops", "0"}, "--loops needs a whole number of loops, 1 or more, not \"0\""},
        {"", {"song.mml", "--sconds", "3"}, "unknown option \"--sconds\" (see --help)"},
        {"", {"p03_noise_drums.mml", "--from", "1.64", "-o", "song.wav"}, ends_at + "1.6 s: nothing to write"},
        {"", {"p03_noise_drums.mml", "--from", "1:00", "--fade", "1", "-o", "song.wav"},  // found by the first pass
         ends_at + "60.0 s: nothing to write"},
        {"", {"p08_repeats_loop.mml", "--from", "9:59.9", "-o", "song.wav"},  // after its first loop
         "p08_repeats_loop.mml: ends at 2.4 s, before --from 599.9 s: nothing to write"},
        {"", {"p03_noise_drums.mml", "--from", "5", "-o", "-"}, ends_at + "5.0 s: nothing to write"},  // no header
        {"", {"p03_noise_drums.mml", "--from", "5", "--play"}, ends_at + "5.0 s: nothing to play"},
        // The output.
        {"", {"song.mml", "-o", "nodir/x.wav"}, "nodir/x.wav: cannot be written (No such file or directory)"},
        {"mkdir outdir", {"song.mml", "-o", "outdir"}, "outdir: is a folder, not a file"},
        {"cp song.mml take.wav", {"take.wav"}, "take.wav: is the song file itself (name another output with -o)"},
        {"echo old >ro.wav && chmod 444 ro.wav", {"song.mml", "-o", "ro.wav"}, "ro.wav: is read-only"},
        {"ln -s b.wav a.wav && ln -s a.wav b.wav", {"song.mml", "-o", "a.wav"},
         "a.wav: cannot be written (Too many levels of symbolic links)"},
        {"mkdir shut && chmod 555 shut", {"song.mml", "-o", "shut/x.wav"},
         "shut/x.wav: cannot be written (Permission denied)", AS_NOBODY},
        {"", {"song.mml", "--events"}, "standard output: cannot be written", "", "/dev/full"},
        // The file size limit stops the write in the middle: the earlier take survives.
        {"", {"song.mml"}, "song.wav: could not be written to its end (File too large)", "ulimit -f 40 && "},
        // A stem that cannot be written, from the start or halfway through, stops them all.
        {"echo stem >song-0.wav && mkdir song-3.wav",
         {"r01_random.mml", "-q", "--stems", "--seconds=1", "-o", "song.wav"}, "song-3.wav: is a folder, not a file"},
        {"echo stem >song-0.wav", {"r01_random.mml", "-q", "--stems", "--seconds=1", "-o", "song.wav", "--mute", "0"},
         "song.wav: could not be written to its end (File too large)", "ulimit -f 200 && "},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args) + " after " + c.setup);
        dir_ = root_ / std::to_string(++row);
        fs::create_directory(dir_);
        put("song.mml", "0t120c4x\r\n");
        put("song.wav", "an earlier take");
        for (const char* song : {"p03_noise_drums.mml", "p08_repeats_loop.mml", "r01_random.mml"}) {
            fs::copy_file(test::data_dir() / "conformance" / "songs" / song, dir_ / song);
        }
        ASSERT_EQ(in_folder(c.setup).status, 0);
        const auto before = files();
        const Result r = render(c.args, c.prefix + "timeout 20 ", c.stdout_to);
        EXPECT_EQ(r.status, c.message.empty() ? 0 : 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.message.empty() ? "" : "bleepforge-render: " + c.message + "\n");
        EXPECT_EQ(files(), before);
    }
}

// What -o names is written the way its kind of file asks: the render lands in
// `holds`, and a target that existed keeps its kind and mode.
TEST_F(RenderCommand, OutputTargetsAreWrittenAsTheirKindAsks) {
    put("song.mml", "0t120c4x\r\n");
    ASSERT_EQ(render({"song.mml", "-q", "-o", "reference.wav"}).status, 0);
    const std::string wav = test::read_file(dir_ / "reference.wav");
    const std::string long_name = std::string(246, 'n') + ".wav";  // 250 bytes
    struct Case {
        std::string setup;
        std::string target;
        std::string stdout_to;
        std::string holds;  // empty: sox reads the pipe back into unpacked.wav
    } cases[] = {
        {"mkdir real && ln -s real/take.wav link.wav", "link.wav", "", "real/take.wav"},
        {"ln -s new.wav dangling.wav", "dangling.wav", "", "new.wav"},
        {"mkfifo out.fifo && (cat out.fifo >copy.wav &)", "out.fifo", "", "copy.wav"},
        {"", "-", "piped.wav", "piped.wav"},
        {"", "/dev/stdout", "| cat >piped2.wav", "piped2.wav"},  // the pipe behind it
        {"", "-", "| sox -t wav - piped.flac && sox piped.flac unpacked.wav", ""},
        {"echo old >kept.wav && chmod 640 kept.wav", "kept.wav", "", "kept.wav"},
        {"", long_name, "", long_name},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target + " after " + c.setup);
        ASSERT_EQ(in_folder(c.setup).status, 0);
        const fs::file_status was = fs::symlink_status(dir_ / c.target);
        const Result r = render({"song.mml", "-q", "-o", c.target}, "", c.stdout_to);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        if (c.holds.empty()) {
            EXPECT_EQ(wave_params("unpacked.wav"), frames_params(22500));
            continue;
        }
        for (int i = 0; i < 500 && test::read_file(dir_ / c.holds).size() < wav.size(); ++i) usleep(10000);
        EXPECT_TRUE(test::read_file(dir_ / c.holds) == wav);
        const fs::file_status is = fs::symlink_status(dir_ / c.target);
        if (fs::exists(was)) {
            EXPECT_TRUE(is.type() == was.type() && is.permissions() == was.permissions());
        }
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir_)) {
            EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
        }
    }
}

TEST_F(RenderCommand, EverySignalAnEndingTerminalSendsRemovesThePartialFile) {
    // The last row is nohup's: a hangup the caller ignores stays ignored.
    struct Row {
        const char* sig;
        bool ignored;
    };
    for (const Row& row : {Row{"HUP", false}, {"QUIT", false}, {"INT", false}, {"TERM", false}, {"HUP", true}}) {
        SCOPED_TRACE(std::string(row.sig) + (row.ignored ? " ignored" : ""));
        dir_ = root_ / (std::string(row.sig) + (row.ignored ? "-ignored" : ""));  // one folder each
        fs::create_directory(dir_);
        put("forever.mml", "0L c\r\n");
        put("forever.wav", "an earlier take");
        const auto before = files();
        // The temporary file exists from the start of the render, which takes many seconds. A shell
        // starts background jobs with INT and QUIT ignored; a terminal's job has them as they were.
        const Result r = in_folder(
            std::string("{ ") + (row.ignored ? "trap '' HUP; " : "") + "env --default-signal=INT,QUIT " +
            sh_quote(BLEEPFORGE_RENDER) + " forever.mml -q --seconds 20000 & pid=$!; " +
            "for i in $(seq 500); do ls *.tmp >/dev/null 2>&1 && break; sleep 0.01; done; kill -" + row.sig +
            " $pid; " + (row.ignored ? "sleep 0.3; kill -0 $pid && echo running; kill -TERM $pid; " : "") +
            "wait $pid; echo $?; }");
        EXPECT_EQ(r.out.find("running") != std::string::npos, row.ignored) << r.out;
        EXPECT_GT(std::atoi(r.out.substr(r.out.find_last_of('\n', r.out.size() - 2) + 1).c_str()), 128)
            << "ended by a signal: " << r.out;
        EXPECT_EQ(files(), before);
    }
}

// A path of 4,000 bytes: sixteen folders of 249 bytes.
fs::path long_folder() {
    fs::path p;
    for (int i = 0; i < 16; ++i) p /= std::string(249, char('a' + i));
    return p;
}

TEST_F(RenderCommand, AProgressLineOfAFourThousandBytePathOnATerminal) {
    const fs::path folder = long_folder();
    fs::create_directories(dir_ / folder);
    put((folder / "s.mml").string(), "0t120c4\r\n");
    const std::string song = (folder / "s.mml").string();
    ASSERT_GT(song.size(), 4000u);
    // script gives the command a pseudo-terminal, so the progress line is drawn.
    const std::string command = sh_quote(BLEEPFORGE_RENDER) + " " + sh_quote(song) + " --seconds 3 -o out.wav";
    const Result r = in_folder("script -qec " + sh_quote(command) + " /dev/null");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("rendering " + song + ": "), std::string::npos);
    EXPECT_EQ(wave_params("out.wav"), frames_params(133500));
}

TEST(PlayOnATerminal, AProgressLineOfAFourThousandBytePath) {
    // stderr becomes a pseudo-terminal, drained by a thread so that writes never wait.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    std::string shown;
    std::thread drain([&] {
        char buffer[4096];
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) shown.append(buffer, std::size_t(n));
    });
    std::fflush(stderr);
    const int saved = dup(2);
    dup2(terminal, 2);

    cli::Options options;
    options.mode = cli::Mode::PLAY;
    options.song = long_folder().string() + "/s.mml";
    options.seconds = 0.5;
    TestDevice::Options device;
    device.block_period = std::chrono::milliseconds(10);
    const int status = cli::play_command(options, "0t120c4\r\n", std::make_unique<TestDevice>(device));

    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(terminal);  // the reader then sees the end
    drain.join();
    close(master);
    EXPECT_EQ(status, 0);
    EXPECT_NE(shown.find("playing " + options.song + ": "), std::string::npos);
}

TEST_F(RenderCommand, PlayMessagesCarryTheProgramsName) {
    put("s.mml", "0t120c4x\r\n");
    const Result r = render({"s.mml", "--play", "-q"}, "AUDIODEV=none ALSA_CONFIG_PATH=/nonexistent ");
    if (r.status == 0) GTEST_SKIP() << "a sound device answered";
    EXPECT_EQ(r.err.rfind("bleepforge-render: no sound: ", 0), 0u) << r.err;
}

// --from, --mute, --solo and --stems: cuts and parts of the render the same options give without them.
class RenderParts : public RenderCommand {
protected:
    void SetUp() override {
        RenderCommand::SetUp();
        for (const test::GoldenRender& g : test::golden_renders()) {
            fs::copy_file(test::data_dir() / "conformance" / "songs" / g.song, dir_ / g.song);
        }
    }
};

// A cut is the frames of the full render from TIME on, faded over the end of
// it as --fade documents, in the mix as in each stem.
TEST_F(RenderParts, CutsAndFadesAreTheFramesOfTheFullRender) {
    struct Case {
        std::vector<std::string> full, cut;  // the song and its options
        long first, count;                   // the frames of the full render; count 0: to the end
        long fade;                           // the frames the cut fades out over
        std::vector<std::string> parts = {""};  // the mix and the stems compared
    } cases[] = {
        {{"p03_noise_drums.mml"}, {"p03_noise_drums.mml", "--from", "0.5"}, 22050, 0, 0},  // not on a block
        {{"p03_noise_drums.mml"}, {"p03_noise_drums.mml", "--from", "0.0340136"}, 1500, 0, 0},  // on one
        {{"p08_repeats_loop.mml", "--loops", "3"}, {"p08_repeats_loop.mml", "--loops", "3", "--from", "0:02.5"},
         110250, 0, 0},  // in a later loop
        // --seconds counts from TIME: 2 s are 59 blocks.
        {{"p12_full_stream.mml", "--seconds", "3.1"}, {"p12_full_stream.mml", "--seconds", "2", "--from", "1"},
         44100, 88500, 0},
        {{"r01_random.mml", "--seconds", "3"}, {"r01_random.mml", "--seconds", "3", "--from", "0:00"}, 0, 133500, 0},
        {{"r01_random.mml", "--seconds", "2"}, {"r01_random.mml", "--seconds", "2", "--fade", "1"}, 0, 88500, 44100},
        {{"r01_random.mml", "--seconds", "3", "--stems"},
         {"r01_random.mml", "--seconds", "2", "--stems", "--fade", "0.5", "--from", "0.1"}, 4410, 88500, 22050,
         {"", "-0", "-2", "-3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.cut));
        std::vector<std::string> full = c.full, cut = c.cut;
        full.insert(full.end(), {"-q", "-o", "full.wav"});
        cut.insert(cut.end(), {"-q", "-o", "cut.wav"});
        ASSERT_EQ(render(full).status, 0);
        ASSERT_EQ(render(cut).status, 0);
        for (const std::string& part : c.parts) {
            SCOPED_TRACE("part " + part);
            const std::vector<std::int16_t> whole = samples("full" + part + ".wav");
            const std::size_t end = c.count > 0 ? std::size_t(c.first + c.count) * 2 : whole.size();
            ASSERT_LE(end, whole.size());
            std::vector<std::int16_t> expected(whole.begin() + c.first * 2, whole.begin() + end);
            const std::vector<std::int16_t> unfaded = expected;
            for (long i = c.count - c.fade; i < c.count; ++i) {
                const double gain = double(c.count - 1 - i) / double(c.fade);
                for (long at : {2 * i, 2 * i + 1}) expected[at] = std::int16_t(expected[at] * gain);
            }
            EXPECT_TRUE(c.fade == 0 || expected != unfaded) << "the fade must have something to lower";
            EXPECT_EQ(samples("cut" + part + ".wav"), expected);
        }
    }
}

// Sums interleaved tracks as the mixer does, saturating to 16 bits.
std::vector<std::int16_t> saturated_sum(const std::vector<std::vector<std::int16_t>>& tracks) {
    std::vector<std::int16_t> sum(tracks.at(0).size());
    for (std::size_t j = 0; j < sum.size(); ++j) {
        int total = 0;
        for (const auto& t : tracks) total += t.at(j);
        sum[j] = std::int16_t(std::clamp(total, -32768, 32767));
    }
    return sum;
}

TEST_F(RenderParts, StemsAndMutesMatchTheGoldenOnes) {
    for (const test::GoldenStems& g : test::golden_stems()) {
        SCOPED_TRACE(g.song + " muted " + g.muted);
        fs::remove_all(dir_ / "out");
        fs::create_directory(dir_ / "out");
        std::vector<std::string> args = {g.song, "-q", "--stems", "-o", "out/take.wav", "--seconds", g.seconds};
        if (g.muted != "-") args.insert(args.end(), {"--mute", g.muted});
        const Result r = render(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const SplitSong split = split_song(test::read_file(dir_ / g.song));
        std::vector<std::vector<std::int16_t>> heard;
        for (const auto& [output, sha256] : g.outputs) {
            SCOPED_TRACE("output " + output);
            const std::string name = output == "mix" ? "out/take.wav" : "out/take-" + output + ".wav";
            if (output != "mix" && split.texts[std::stoi(output)].empty()) {
                EXPECT_FALSE(fs::exists(dir_ / name)) << "a track without text has no stem";
                continue;
            }
            const std::string wav = test::read_file(dir_ / name);
            ASSERT_EQ(wav.size(), 44u + 4u * g.frames);
            EXPECT_EQ(test::sha256_hex(wav.data() + 44, wav.size() - 44), sha256);
            if (output != "mix" && g.muted.find(output) == std::string::npos) heard.push_back(samples(name));
        }
        // The stems of the tracks heard, summed and saturated, are the mix.
        EXPECT_EQ(saturated_sum(heard), samples("out/take.wav"));
    }
}

TEST_F(RenderParts, SoloLessMuteIsTheTracksHeard) {
    // Track 0 alone three ways; tracks 1 and 3 of r01 summed.
    ASSERT_EQ(render({"r01_random.mml", "--seconds", "1", "-q", "--stems", "-o", "all.wav"}).status, 0);
    for (const auto& [args, heard] : std::vector<std::pair<std::vector<std::string>, std::vector<int>>>{
             {{"--solo", "0"}, {0}},
             {{"--solo", "0,2", "--mute", "2"}, {0}},
             {{"--mute", "2,3,4,6"}, {0}},
             {{"--solo", "2,3,6", "--mute", "2"}, {3, 6}},
         }) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::vector<std::string> all = {"r01_random.mml", "--seconds", "1", "-q", "-o", "part.wav"};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_EQ(render(all).status, 0);
        std::vector<std::vector<std::int16_t>> stems;
        for (int k : heard) stems.push_back(samples("all-" + std::to_string(k) + ".wav"));
        EXPECT_EQ(samples("part.wav"), saturated_sum(stems));
    }
}

TEST_F(RenderParts, StandardOutputGetsTheFileOfAFadedCutWithItsLengths) {
    std::vector<std::string> args = {"r01_random.mml", "-q", "--seconds", "1", "--from", "0:01.5", "--fade", "0.5"};
    args.insert(args.end(), {"-o", "file.wav"});
    ASSERT_EQ(render(args).status, 0);
    args.back() = "-";
    const Result r = render(args);
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == test::read_file(dir_ / "file.wav"));
    EXPECT_EQ(wave_params("file.wav"), frames_params(45000));
}

}  // namespace
}  // namespace bleepforge
