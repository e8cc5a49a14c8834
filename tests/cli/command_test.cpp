// The built bleepforge-render run on real files in a fresh folder per test;
// its WAV files read back with python3's wave module and sox.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
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
    std::string out;
    std::string err;
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

    // Every file and folder in the test's folder with its contents.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> seen;
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir_)) {
            seen[fs::relative(e.path(), dir_).string()] = e.is_directory() ? "<folder>" : test::read_file(e.path());
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

    // The frequency with the most energy in the left channel, per sox's spectrum.
    double loudest_frequency(const std::string& wav) const {
        const Result r = shell("sox " + sh_quote(dir_ / wav) + " -n remix 1 stat -freq", root_);
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<double, double> energy;
        std::istringstream lines(r.err);
        std::string line;
        while (std::getline(lines, line)) {
            double f, m;
            char extra;
            if (std::sscanf(line.c_str(), "%lf %lf %c", &f, &m, &extra) == 2) energy[f] += m;
        }
        double best = -1, loudest = 0;
        for (const auto& [f, m] : energy) {
            if (m > loudest) { loudest = m; best = f; }
        }
        return best;
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

// The renderer's fade of the last `fade` of `count` frames, as --fade documents it.
void apply_fade_like_the_mix(std::vector<std::int16_t>& s, long count, long fade) {
    for (long i = count - fade; i < count; ++i) {
        const double gain = double(count - 1 - i) / double(fade);
        s[2 * i] = std::int16_t(s[2 * i] * gain);
        s[2 * i + 1] = std::int16_t(s[2 * i + 1] * gain);
    }
}

std::string frames_params(long frames) { return "2 2 44100 " + std::to_string(frames) + " NONE\n"; }

TEST_F(RenderCommand, EventsListTheCompiledStreams) {
    put("s.mml", "1cde\r\n");
    const Result r = render({"s.mml", "--events"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "0 0 254 - EV_STOP - -\n"
              "1 0 48 24 note 1:2 c4\n1 2 50 24 note 1:3 d4\n1 4 52 24 note 1:4 e4\n1 6 255 - EV_END - -\n"
              "2 0 254 - EV_STOP - -\n3 0 254 - EV_STOP - -\n4 0 254 - EV_STOP - -\n"
              "5 0 254 - EV_STOP - -\n6 0 254 - EV_STOP - -\n7 0 254 - EV_STOP - -\n");
    EXPECT_EQ(files().size(), 1u) << "--events writes no file";

    // The tied note keeps the place of the command that wrote it; "a-" is named as the g# it plays.
    put("t.mml", "; tied\r\n3t90 o5 c+8&\r\n3 a-4\r\n");
    EXPECT_NE(render({"t.mml", "--events"}).out.find("3 0 253 90 EV_TEMPO 2:2 -\n3 2 247 0 EV_TIE 2:12 -\n"
                                                     "3 4 61 24 note 2:9 c#5\n3 6 68 48 note 3:3 g#5\n"
                                                     "3 8 255 - EV_END - -\n"),
              std::string::npos);
}

TEST_F(RenderCommand, WritesSongDotWavBesideTheSongWithASummary) {
    put("song.mml", "0t120c4x\r\n");
    Result r = render({"song.mml"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "wrote song.wav: 0.51 s, 22,500 frames\n");
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

TEST_F(RenderCommand, ARenderGoesPastFifteenMinutesInWholeBlocks) {
    put("forever.mml", "0c\r\n");
    ASSERT_EQ(render({"forever.mml", "--seconds", "1000", "-q"}).status, 0);
    EXPECT_EQ(wave_params("forever.wav"), frames_params(44'100'000));
    EXPECT_EQ(fs::file_size(dir_ / "forever.wav"), 44u + 176'400'000u);
}

TEST_F(RenderCommand, TheAOfOctaveFourSoundsAt440Hz) {
    // sox's spectrum has bins 10.77 Hz apart; a semitone off would be 25 Hz away.
    for (const char* tone : {"", "@48"}) {
        SCOPED_TRACE(tone);
        put("a.mml", std::string("0t60") + tone + "o4a1x\r\n");
        ASSERT_EQ(render({"a.mml", "-q"}).status, 0);
        EXPECT_NEAR(loudest_frequency("a.wav"), 440.0, 6.0);
    }
}

TEST_F(RenderCommand, FadeLowersOnlyTheLastSecondsToSilence) {
    put("a.mml", "0t60@48o4a1x\r\n");  // a steady triangle
    ASSERT_EQ(render({"a.mml", "--seconds", "2", "-q", "-o", "plain.wav"}).status, 0);
    ASSERT_EQ(render({"a.mml", "--seconds", "2", "--fade", "1", "-q", "-o", "faded.wav"}).status, 0);
    const std::vector<std::int16_t> plain = samples("plain.wav");
    const std::vector<std::int16_t> faded = samples("faded.wav");
    ASSERT_EQ(plain.size(), 88500u * 2);
    ASSERT_EQ(faded.size(), plain.size());
    const std::size_t fade_start = (88500 - 44100) * 2;
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + fade_start, faded.begin()));
    auto peak = [](const std::vector<std::int16_t>& s, std::size_t from) {
        int most = 0;
        for (std::size_t i = from; i < from + 400; ++i) most = std::max(most, std::abs(int(s[i])));
        return most;
    };
    const std::size_t middle = fade_start + 44100;
    EXPECT_NEAR(double(peak(faded, middle)) / peak(plain, middle), 0.5, 0.02);
    EXPECT_LT(peak(faded, faded.size() - 400), peak(plain, plain.size() - 400) / 50);
    EXPECT_EQ(faded[faded.size() - 2], 0);
    EXPECT_EQ(faded[faded.size() - 1], 0);
}

TEST_F(RenderCommand, ErrorsNameTheFileAndLeaveEverythingAsItWas) {
    put("song.mml", "0t120c4x\r\n");
    put("song.wav", "an earlier take");
    put("take.wav", "0c\r\n");
    fs::create_directory(dir_ / "folder.mml");
    fs::create_directory(dir_ / "outdir");
    struct Case {
        std::vector<std::string> args;
        std::string message;
        std::string prefix = "";
    } cases[] = {
        {{"missing.mml"}, "missing.mml: does not exist"},
        {{"folder.mml"}, "folder.mml: is a folder, not a song file"},
        {{"/proc/self/mem"}, "/proc/self/mem: could not be read to its end"},  // its first read fails
        {{"song.mml", "-o", "nodir/x.wav"}, "nodir/x.wav: cannot be written (No such file or directory)"},
        {{"song.mml", "-o", "outdir"}, "outdir: is a folder, not a file"},
        {{"take.wav"}, "take.wav: is the song file itself (name another output with -o)"},
        {{"song.mml", "--loops", "0"}, "--loops needs a whole number of loops, 1 or more, not \"0\""},
        {{"song.mml", "--sconds", "3"}, "unknown option \"--sconds\" (see --help)"},
        // The file size limit stops the write in the middle: the earlier take survives.
        {{"song.mml"}, "song.wav: could not be written to its end (File too large)", "ulimit -f 40 && "},
    };
    const auto before = files();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const Result r = render(c.args, c.prefix);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "bleepforge-render: " + c.message + "\n");
        EXPECT_EQ(files(), before);
    }
}

TEST_F(RenderCommand, AnUnreadableSongIsRefused) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    put("locked.mml", "0c\r\n");
    fs::permissions(dir_ / "locked.mml", fs::perms::none);
    const Result r = render({"locked.mml"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "bleepforge-render: locked.mml: cannot be opened (Permission denied)\n");
    EXPECT_FALSE(fs::exists(dir_ / "locked.wav"));
}

TEST_F(RenderCommand, AListingThatCannotBeWrittenIsAnError) {
    put("s.mml", "0c\r\n");
    const Result r = render({"s.mml", "--events"}, "", "/dev/full");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "bleepforge-render: standard output: cannot be written\n");
}

TEST_F(RenderCommand, CheckReportsOnStdoutWithItsExitStatus) {
    put("bad.mml", "0c]\r\n");
    fs::copy_file(test::data_dir() / "cli" / "eight_tracks.mml", dir_ / "good.mml");
    Result r = render({"bad.mml", "--check", "-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "bad.mml:1:3: warning: W-unopened: track 0: \"]\" with no open \"[\": the track stops here\n");
    r = render({"good.mml", "--check"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("good.mml: info: track 0: loops forever: intro 1.71 s, loop 6.86 s\n"), std::string::npos);
    EXPECT_EQ(files().size(), 2u);
}

TEST_F(RenderCommand, ASongWithoutTrackLinesIsRefusedAndCheckWarnsOfIt) {
    for (const std::string& bytes : {std::string(), std::string("Just prose.\r\n"), std::string("\x7F" "ELF\x01\x02")}) {
        SCOPED_TRACE(bytes);
        put("none.mml", bytes);
        Result r = render({"none.mml"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "bleepforge-render: none.mml: no line starts with a track digit 0-7: nothing to play\n");
        EXPECT_EQ(files().size(), 1u) << "no output file";
        r = render({"none.mml", "--check", "-q"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("none.mml: warning: W-no-tracks: no line starts with a track digit 0-7"), std::string::npos);
    }
}

TEST_F(RenderCommand, ARenderCountsTheWarningsInOneLineWithoutFailing) {
    put("w.mml", "0t120 c4 v99 #x\r\n");
    Result r = render({"w.mml"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "w.mml: 2 warnings; run with --check to see them\nwrote w.wav: 0.51 s, 22,500 frames\n");
    r = render({"w.mml", "-q"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(RenderCommand, HelpAndVersion) {
    Result r = render({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "bleepforge Version 1.3\n");
    r = render({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: bleepforge-render SONG", 0), 0u);
}

// Paths and targets: what -o names is written the way its kind of file asks.

// The command line that runs a shell command as the unprivileged user, since root may read anything.
const std::string AS_NOBODY = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";

// Each writes `song.mml` to a prepared target; `check` says what must hold after.
TEST_F(RenderCommand, OutputTargetsAreWrittenAsTheirKindAsks) {
    put("song.mml", "0t120c4x\r\n");
    ASSERT_EQ(render({"song.mml", "-q", "-o", "reference.wav"}).status, 0);
    const std::string wav = test::read_file(dir_ / "reference.wav");
    const std::string long_name = std::string(246, 'n') + ".wav";
    struct Case {
        std::string name;
        std::string setup;  // shell commands run in the folder first
        std::vector<std::string> args;
        std::string prefix;
        std::string stdout_to;
        std::string err;
        std::function<void()> check;
    };
    const Case cases[] = {
        {"a link is followed and stays a link", "mkdir real && ln -s real/take.wav link.wav",
         {"-o", "link.wav"}, "", "", "", [&] {
             EXPECT_TRUE(fs::is_symlink(dir_ / "link.wav"));
             EXPECT_TRUE(test::read_file(dir_ / "real/take.wav") == wav);
         }},
        {"a FIFO is written in place", "mkfifo out.fifo && (cat out.fifo >copy.wav &)", {"-o", "out.fifo"}, "", "",
         "", [&] {
             EXPECT_EQ(fs::status(dir_ / "out.fifo").type(), fs::file_type::fifo);
             for (int i = 0; i < 500 && test::read_file(dir_ / "copy.wav").size() < wav.size(); ++i) usleep(10000);
             EXPECT_TRUE(test::read_file(dir_ / "copy.wav") == wav);
         }},
        {"- is standard output", "", {"-o", "-"}, "", "piped.wav", "", [&] {
             EXPECT_TRUE(test::read_file(dir_ / "piped.wav") == wav);
         }},
        {"/dev/stdout is the pipe behind it", "", {"-o", "/dev/stdout"}, "", "| cat >piped2.wav", "", [&] {
             EXPECT_TRUE(test::read_file(dir_ / "piped2.wav") == wav);
         }},
        {"a link to a file not yet made", "ln -s new.wav dangling.wav", {"-o", "dangling.wav"}, "", "", "", [&] {
             EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.wav"));
             EXPECT_TRUE(test::read_file(dir_ / "new.wav") == wav);
         }},
        {"- streams to sox", "", {"-o", "-"}, "", "| sox -t wav - piped.flac && sox piped.flac unpacked.wav", "", [&] {
             EXPECT_EQ(wave_params("unpacked.wav"), frames_params(22500));
         }},
        {"the mode of the old file is kept", "echo old >kept.wav && chmod 640 kept.wav", {"-o", "kept.wav"}, "", "",
         "", [&] {
             EXPECT_EQ(fs::status(dir_ / "kept.wav").permissions(),
                       fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
             EXPECT_TRUE(test::read_file(dir_ / "kept.wav") == wav);
         }},
        {"a read-only file is refused", "echo old >ro.wav && chmod 444 ro.wav", {"-o", "ro.wav"}, "", "",
         "bleepforge-render: ro.wav: is read-only\n", [&] { EXPECT_EQ(test::read_file(dir_ / "ro.wav"), "old\n"); }},
        {"a 250-byte name", "", {"-o", long_name}, "", "", "", [&] {
             EXPECT_TRUE(test::read_file(dir_ / long_name) == wav);
         }},
        {"a link loop", "ln -s b.wav a.wav && ln -s a.wav b.wav", {"-o", "a.wav"}, "", "",
         "bleepforge-render: a.wav: cannot be written (Too many levels of symbolic links)\n", [] {}},
        {"a folder the user cannot write", "mkdir shut && chmod 555 shut", {"-o", "shut/x.wav"}, AS_NOBODY, "",
         "bleepforge-render: shut/x.wav: cannot be written (Permission denied)\n", [] {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(shell("cd " + sh_quote(dir_) + " && " + (c.setup.empty() ? std::string("true") : c.setup), root_).status, 0);
        std::vector<std::string> args = {"song.mml", "-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = render(args, c.prefix, c.stdout_to);
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 2);
        EXPECT_EQ(r.err, c.err);
        c.check();
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir_)) {
            EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
        }
    }
}

TEST_F(RenderCommand, EverySignalAnEndingTerminalSendsRemovesThePartialFile) {
    put("forever.mml", "0L c\r\n");
    put("forever.wav", "an earlier take");
    for (const char* sig : {"HUP", "QUIT", "INT", "TERM"}) {
        SCOPED_TRACE(sig);
        // The temporary file exists from the start of the render, which takes many seconds.
        const Result r = shell("cd " + sh_quote(dir_) + " && { " + sh_quote(BLEEPFORGE_RENDER) +
                                   " forever.mml -q --seconds 20000 & pid=$!; "
                                   "for i in $(seq 500); do ls *.tmp >/dev/null 2>&1 && break; sleep 0.01; done; "
                                   "kill -" + sig + " $pid; wait $pid; echo $?; }",
                               root_);
        EXPECT_GT(std::atoi(r.out.c_str()), 128) << "ended by the signal";
        EXPECT_EQ(files(), (std::map<std::string, std::string>{{"forever.mml", "0L c\r\n"},
                                                               {"forever.wav", "an earlier take"}}));
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
    const Result r = shell("cd " + sh_quote(dir_) + " && script -qec " + sh_quote(command) + " /dev/null", root_);
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

// Song input: only regular files of a song's size are read, and failures say why.
TEST_F(RenderCommand, SongInputIsRefusedWithItsCause) {
    struct Case {
        std::string setup;
        std::string song;
        std::string message;  // empty: read
        std::string prefix = "timeout 10 ";
    } cases[] = {
        {"mkfifo pipe.mml", "pipe.mml", "pipe.mml: is a FIFO, not a song file"},
        {"", "/dev/zero", "/dev/zero: is a device, not a song file"},
        {"truncate -s 16777217 big.mml", "big.mml", "big.mml: is too large for a song (over 16 MiB)"},
        {"printf '0c\\r\\n' >limit.mml && truncate -s 16777216 limit.mml", "limit.mml", ""},
        {"ln -s b.mml a.mml && ln -s a.mml b.mml", "a.mml", "a.mml: cannot be opened (Too many levels of symbolic links)"},
        {"echo 0c >f.mml", "f.mml/x.mml", "f.mml/x.mml: cannot be opened (Not a directory)"},
        {"echo 0c >locked.mml && chmod 0 locked.mml", "locked.mml", "locked.mml: cannot be opened (Permission denied)",
         AS_NOBODY},
        {"mkdir shut && echo 0c >shut/s.mml && chmod 0 shut", "shut/s.mml",
         "shut/s.mml: cannot be opened (Permission denied)", AS_NOBODY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.song);
        ASSERT_EQ(shell("cd " + sh_quote(dir_) + " && " + (c.setup.empty() ? std::string("true") : c.setup), root_).status, 0);
        const Result r = render({c.song, "--events"}, c.prefix);
        EXPECT_EQ(r.status, c.message.empty() ? 0 : 2);
        EXPECT_EQ(r.err, c.message.empty() ? "" : "bleepforge-render: " + c.message + "\n");
    }
}

TEST_F(RenderCommand, PlayMessagesCarryTheProgramsName) {
    put("s.mml", "0t120c4x\r\n");
    const Result r = render({"s.mml", "--play", "-q"}, "AUDIODEV=none ALSA_CONFIG_PATH=/nonexistent ");
    if (r.status == 0) GTEST_SKIP() << "a sound device answered";
    EXPECT_EQ(r.err.rfind("bleepforge-render: no sound: ", 0), 0u) << r.err;
}

// The golden renders: listing and PCM equal to what was computed independently of this engine.
using Golden = test::GoldenRender;

class ConformanceSongs : public RenderCommand, public ::testing::WithParamInterface<Golden> {};

std::string first_four_columns(const std::string& listing) {
    std::istringstream in(listing);
    std::string out, line;
    while (std::getline(in, line)) {
        std::size_t end = 0;
        for (int column = 0; column < 4 && end != std::string::npos; ++column) end = line.find(' ', end + (column > 0));
        out += line.substr(0, end) + "\n";
    }
    return out;
}

TEST_P(ConformanceSongs, ListingAndPcmMatchTheGoldenOnes) {
    const Golden& g = GetParam();
    const fs::path conformance = test::data_dir() / "conformance";
    const std::string stem = g.song.substr(0, g.song.size() - 4);
    fs::copy_file(conformance / "songs" / g.song, dir_ / g.song);

    const Result events = render({g.song, "--events"});
    EXPECT_EQ(events.status, 0);
    EXPECT_EQ(first_four_columns(events.out), test::read_file(conformance / "events" / (stem + ".txt")));

    ASSERT_EQ(render({g.song, "-o", "X.wav", "--seconds", g.seconds, "-q"}).status, 0);
    const std::string wav = test::read_file(dir_ / "X.wav");
    ASSERT_EQ(wav.size(), 44u + 4u * g.frames);
    EXPECT_EQ(test::sha256_hex(wav.data() + 44, wav.size() - 44), g.sha256);
}

INSTANTIATE_TEST_SUITE_P(Golden, ConformanceSongs, ::testing::ValuesIn(test::golden_renders()),
                         [](const auto& info) {
                             return info.param.song.substr(0, info.param.song.size() - 4);
                         });


// --from, --mute, --solo and --stems: cuts and parts of the render the same options give without them.
class RenderParts : public RenderCommand {
protected:
    void SetUp() override {
        RenderCommand::SetUp();
        for (const Golden& g : test::golden_renders()) {
            fs::copy_file(test::data_dir() / "conformance" / "songs" / g.song, dir_ / g.song);
        }
    }
};

TEST_F(RenderParts, FromIsTheTailOfTheFullRender) {
    struct Case {
        std::vector<std::string> cut;   // the options besides the song and -o
        std::vector<std::string> full;  // the uncut render that holds the same frames
        long first;                     // the frame TIME names
        long count;                     // the frames to compare; 0: to the end of both
    } cases[] = {
        {{"p03_noise_drums.mml", "--from", "0.5"}, {"p03_noise_drums.mml"}, 22050, 0},  // not on a block
        {{"p03_noise_drums.mml", "--from", "0.0340136"}, {"p03_noise_drums.mml"}, 1500, 0},  // on one
        {{"p08_repeats_loop.mml", "--loops", "3", "--from", "0:02.5"}, {"p08_repeats_loop.mml", "--loops", "3"},
         110250, 0},  // in a later loop
        // --seconds counts from TIME: 2 s are 59 blocks.
        {{"p12_full_stream.mml", "--seconds", "2", "--from", "1"}, {"p12_full_stream.mml", "--seconds", "3.1"},
         44100, 88500},
        {{"r01_random.mml", "--seconds", "3", "--from", "0:00"}, {"r01_random.mml", "--seconds", "3"}, 0, 133500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.cut));
        std::vector<std::string> cut = c.cut, full = c.full;
        cut.insert(cut.end(), {"-q", "-o", "cut.wav"});
        full.insert(full.end(), {"-q", "-o", "full.wav"});
        ASSERT_EQ(render(full).status, 0);
        ASSERT_EQ(render(cut).status, 0);
        const std::vector<std::int16_t> whole = samples("full.wav");
        const std::size_t end = c.count > 0 ? std::size_t(c.first + c.count) * 2 : whole.size();
        ASSERT_LE(end, whole.size());
        EXPECT_EQ(samples("cut.wav"), std::vector<std::int16_t>(whole.begin() + c.first * 2, whole.begin() + end));
    }
}

TEST_F(RenderParts, FromAfterTheEndWritesNothingAndFails) {
    put("cut.wav", "an earlier take");
    const auto before = files();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"p03_noise_drums.mml", "--from", "1.64"},                     // ends at 72000 frames, 1.63 s
             {"p03_noise_drums.mml", "--from", "1:00", "--fade", "1"},      // found by the first pass
             {"p08_repeats_loop.mml", "--from", "9:59.9"},                  // after its first loop
             {"p03_noise_drums.mml", "--from", "5", "-o", "-"},              // not even a header
             {"p03_noise_drums.mml", "--from", "5", "--play"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::vector<std::string> all = args;
        all.insert(all.end(), {"-q"});
        if (args.back() != "--play" && args.back() != "-") all.insert(all.end(), {"-o", "cut.wav"});
        const Result r = render(all);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("bleepforge-render: " + args[0] + ": ends at "), std::string::npos) << r.err;
        EXPECT_EQ(files(), before);
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

TEST_F(RenderParts, StemsFadeAsTheMixAndFollowTheCut) {
    ASSERT_EQ(render({"r01_random.mml", "--seconds", "3", "-q", "--stems", "-o", "plain.wav"}).status, 0);
    ASSERT_EQ(render({"r01_random.mml", "--seconds", "2", "-q", "--stems", "-o", "faded.wav", "--fade", "0.5",
                      "--from", "0.1"}).status, 0);
    const long from = 4410, count = 88500, fade = 22050;
    for (const std::string part : {"", "-0", "-2", "-3"}) {
        SCOPED_TRACE("part " + part);
        const std::vector<std::int16_t> plain = samples("plain" + part + ".wav");
        std::vector<std::int16_t> expected(plain.begin() + from * 2, plain.begin() + (from + count) * 2);
        apply_fade_like_the_mix(expected, count, fade);
        EXPECT_EQ(samples("faded" + part + ".wav"), expected);
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

TEST_F(RenderParts, AFailingStemLeavesEveryFileAsItWas) {
    put("take.wav", "an earlier take");
    put("take-0.wav", "an earlier stem");
    fs::create_directory(dir_ / "take-3.wav");  // cannot be replaced by a file
    const auto before = files();
    const Result r = render({"r01_random.mml", "-q", "--seconds", "1", "--stems", "-o", "take.wav"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "bleepforge-render: take-3.wav: is a folder, not a file\n");
    EXPECT_EQ(files(), before);
    // Also when the disk fills up halfway through: the file size limit stops the write of a stem.
    const Result full = render({"r01_random.mml", "--seconds", "1", "--stems", "-o", "take.wav", "--mute", "0"},
                               "rmdir take-3.wav && ulimit -f 200 && ");
    EXPECT_EQ(full.status, 2);
    EXPECT_NE(full.err.find("could not be written to its end (File too large)"), std::string::npos) << full.err;
    fs::create_directory(dir_ / "take-3.wav");
    EXPECT_EQ(files(), before);
}

}  // namespace
}  // namespace bleepforge
