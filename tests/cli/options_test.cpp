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
    // Far past the 15-minute capture the count stays in range; the full capture ends the render.
    EXPECT_EQ(render_limits(parsed({"x", "--seconds", "1e300"})).max_blocks, 26461u);
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
