// The option parser of bleepforge-render: modes, values, defaults and every refusal.
#include <gtest/gtest.h>

#include "cli/options.h"

namespace bleepforge::cli {
namespace {

Options parsed(const std::vector<std::string>& args) {
    Options o;
    std::string error;
    EXPECT_TRUE(parse_options(args, o, error)) << error;
    return o;
}

std::string refusal(const std::vector<std::string>& args) {
    Options o;
    std::string error;
    EXPECT_FALSE(parse_options(args, o, error));
    return error;
}

TEST(Options, RenderDefaultsToOneLoopAndTheSongsNameAsWav) {
    const Options o = parsed({"songs/tune.mml"});
    EXPECT_EQ(o.mode, Mode::RENDER);
    EXPECT_EQ(o.song, "songs/tune.mml");
    EXPECT_EQ(o.out, "songs/tune.wav");
    EXPECT_FALSE(o.quiet);
    const RenderLimits limits = render_limits(o);
    EXPECT_EQ(limits.loops, 1);
    EXPECT_EQ(limits.max_blocks, 0u);
}

TEST(Options, DefaultOutputReplacesOnlyTheLastExtension) {
    EXPECT_EQ(default_output_path("a.b.mml"), "a.b.wav");
    EXPECT_EQ(default_output_path("noext"), "noext.wav");
    EXPECT_EQ(default_output_path("dir.v2/x"), "dir.v2/x.wav");
}

TEST(Options, ValuesInEitherFormAndInAnyOrder) {
    const Options o = parsed({"-q", "--seconds=2.5", "x.mml", "--loops", "3", "-oout.wav", "--fade", "1"});
    EXPECT_EQ(o.song, "x.mml");
    EXPECT_EQ(o.out, "out.wav");
    EXPECT_DOUBLE_EQ(o.seconds, 2.5);
    EXPECT_EQ(o.loops, 3);
    EXPECT_DOUBLE_EQ(o.fade, 1.0);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(parsed({"-o", "-.wav", "--", "-song.mml"}).song, "-song.mml");
}

TEST(Options, SecondsBecomeWholeBlocksAndLiftTheLoopDefault) {
    EXPECT_EQ(render_limits(parsed({"x", "--seconds", "3"})).max_blocks, 89u);  // 132300 frames -> 89 blocks
    EXPECT_EQ(render_limits(parsed({"x", "--seconds", "0.001"})).max_blocks, 1u);
    EXPECT_EQ(render_limits(parsed({"x", "--seconds", "3"})).loops, 0);
    const RenderLimits both = render_limits(parsed({"x", "--seconds", "1", "--loops", "2"}));
    EXPECT_EQ(both.max_blocks, 30u);
    EXPECT_EQ(both.loops, 2);
    // Past 15 minutes, up to the last whole block a WAV file holds; --play has no such bound.
    EXPECT_EQ(render_limits(parsed({"x", "--seconds", "1200"})).max_blocks, 35280u);
    EXPECT_EQ(render_limits(parsed({"x", "--seconds", "24347.857"})).max_blocks, 715827u);
    EXPECT_EQ(refusal({"x", "--seconds", "24347.858"}),
              "--seconds 24347.8 is longer than a WAV file can hold (24347.8 s, 6 h 45 min, at most)");
    EXPECT_EQ(render_limits(parsed({"x", "--play", "--seconds", "1e300"})).max_blocks, 1ull << 40);
    // Without --seconds, a ceiling of one hour from the song's start.
    EXPECT_EQ(render_limits(parsed({"x", "--loops", "99"})).ceiling_frames, 158'760'000u);
    EXPECT_EQ(render_limits(parsed({"x", "--seconds", "1"})).ceiling_frames, 0u);
}

TEST(Options, FromTakesSecondsOrMinutesAndSeconds) {
    const struct {
        const char* text;
        std::uint64_t frame;
    } times[] = {{"0", 0}, {"1.5", 66150}, {"1:30", 3'969'000}, {"0:00.5", 22050}, {"2:05.25", 5'523'525},
                 {"0.00001", 0}, {"0.00002", 1}};
    for (const auto& t : times) {
        EXPECT_EQ(render_limits(parsed({"x", "--from", t.text})).from_frame, t.frame) << t.text;
    }
    for (const char* bad : {"-1", "1:60", "1:-5", ":30", "1:", "a:10", "1:2:3", "1:+5", "1.5:00", "x"}) {
        EXPECT_EQ(refusal({"x", "--from", bad}),
                  std::string("--from needs a time: seconds, or m:ss.s, up to 24 hours, not \"") + bad + "\"");
    }
    EXPECT_EQ(parsed({"x", "--play", "--from", "3"}).from, 3.0);
    EXPECT_EQ(refusal({"x", "--check", "--from", "3"}), "--from does not apply with --check");
}

TEST(Options, MuteAndSoloGiveTheTracksLeftOut) {
    const struct {
        std::vector<std::string> args;
        std::uint8_t muted;
    } cases[] = {
        {{"x"}, 0x00},
        {{"x", "--mute", "0,3"}, 0x09},
        {{"x", "--mute", "73"}, 0x88},
        {{"x", "--solo", "2"}, 0xFB},
        {{"x", "--solo", "1,2", "--mute", "2,5"}, 0xFD},
        {{"x", "--solo", "2", "--mute", "2"}, 0xFF},
        {{"x", "--play", "--mute=7"}, 0x80},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(muted_tracks(parsed(c.args)), c.muted) << ::testing::PrintToString(c.args);
    }
    for (const char* bad : {"", "8", "0,", ",0", "0,,1", "0 1", "a"}) {
        EXPECT_EQ(refusal({"x", "--mute", bad}),
                  std::string("--mute needs track digits 0-7 (like 0,3), not \"") + bad + "\"");
    }
    EXPECT_TRUE(parsed({"x", "--stems"}).stems);
    EXPECT_EQ(refusal({"x", "--play", "--stems"}), "--stems does not apply with --play");
}

TEST(Options, ModesAndTheirOptions) {
    EXPECT_EQ(parsed({"x", "--events"}).mode, Mode::EVENTS);
    EXPECT_TRUE(parsed({"--check", "-q", "x"}).quiet);
    EXPECT_EQ(parsed({"--check", "x"}).out, "");
    EXPECT_TRUE(parsed({"--watch", "x", "--play"}).watch);
    EXPECT_FALSE(parsed({"x", "--play"}).watch);
}

TEST(Options, HelpAndVersionNeedNoSong) {
    EXPECT_EQ(parsed({"--help"}).mode, Mode::HELP);
    EXPECT_EQ(parsed({"--version", "--seconds", "x"}).mode, Mode::VERSION);
    EXPECT_NE(usage_text().find("usage: bleepforge-render SONG"), std::string::npos);
}

TEST(Options, RefusalsSayWhatIsWrong) {
    EXPECT_EQ(refusal({}), "no song file given (see --help)");
    EXPECT_EQ(refusal({"a.mml", "b.mml"}), "more than one song file given (\"a.mml\" and \"b.mml\")");
    EXPECT_EQ(refusal({"x", "--bogus"}), "unknown option \"--bogus\" (see --help)");
    EXPECT_EQ(refusal({"--bogus", "--help"}), "unknown option \"--bogus\" (see --help)");
    EXPECT_EQ(refusal({"x", "-q1"}), "unknown option \"-q1\" (see --help)");
    EXPECT_EQ(refusal({"x", "--seconds"}), "--seconds needs a number of seconds above 0");
    EXPECT_EQ(refusal({"x", "-o", ""}), "-o needs a file name, not \"\"");
    for (const char* bad : {"0", "-1", "abc", "2s", "nan", "inf", ""}) {
        EXPECT_EQ(refusal({"x", "--seconds", bad}),
                  std::string("--seconds needs a number of seconds above 0, not \"") + bad + "\"");
    }
    for (const char* bad : {"0", "1.5", "-2", "x", "99999999999"}) {
        EXPECT_EQ(refusal({"x", "--loops", bad}),
                  std::string("--loops needs a whole number of loops, 1 or more, not \"") + bad + "\"");
    }
    EXPECT_EQ(refusal({"x", "--fade=-1"}), "--fade needs a number of seconds, 0 or more, not \"-1\"");
    EXPECT_EQ(refusal({"x", "--events", "--check"}), "--events and --check cannot be used together");
    EXPECT_EQ(refusal({"x", "-o", "y.wav", "--events"}), "-o does not apply with --events");
    EXPECT_EQ(refusal({"x", "--check", "--fade", "1"}), "--fade does not apply with --check");
    // An option of one mode names the flag it needs.
    for (const char* mode : {"--check", "--events"}) EXPECT_EQ(refusal({"x", "--watch", mode}), "--watch needs --play");
    EXPECT_EQ(refusal({"x", "--watch"}), "--watch needs --play");
    EXPECT_EQ(refusal({"x", "--watch=1", "--play"}), "unknown option \"--watch=1\" (see --help)");
    // Found by fuzzing: an argument with a line break must not break the one-line message.
    EXPECT_EQ(refusal({"\n", "x"}), "more than one song file given (\"\\x0a\" and \"x\")");
    EXPECT_EQ(refusal({"x", "--loops", "1\t"}), "--loops needs a whole number of loops, 1 or more, not \"1\\x09\"");
}

TEST(Options, HelpListsEveryOptionOnceWithinEightyColumns) {
    const std::string help = usage_text();
    for (const std::string& name : option_names()) {
        const std::string listed = "\n  " + name + " ";
        const std::size_t at = help.find(listed);
        EXPECT_NE(at, std::string::npos) << name << " is missing from --help";
        EXPECT_EQ(help.find(listed, at + 1), std::string::npos) << name << " is listed twice";
    }
    std::size_t start = 0;
    for (std::size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1) {
        EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
    }
}

}  // namespace
}  // namespace bleepforge::cli
