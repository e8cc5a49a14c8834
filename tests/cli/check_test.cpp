// The song checks: where the compiler skipped or lost something, repeat
// structures the sequencer stops at, and each track's length.
#include <gtest/gtest.h>

#include "cli/check.h"

namespace bleepforge::cli {
namespace {

struct Seen {
    int track, line, column;
    std::string message;
    bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& s, std::ostream* os) {
    *os << s.track << " " << s.line << ":" << s.column << " " << s.message;
}

std::vector<Seen> warnings(std::string_view song) {
    std::vector<Seen> out;
    for (const Finding& f : check_song(song)) {
        if (f.severity == Finding::WARNING) out.push_back({f.track, f.line, f.column, f.message});
    }
    return out;
}

std::vector<std::string> infos(std::string_view song) {
    std::vector<std::string> out;
    for (const Finding& f : check_song(song)) {
        if (f.severity == Finding::INFO) out.push_back(std::to_string(f.track) + ": " + f.message);
    }
    return out;
}

TEST(Check, IgnoredCharactersAsRunsPerLineWithTheirPlace) {
    EXPECT_EQ(warnings("; a comment line is skipped whole\r\n"
                       "0c # d$$e\r\n"
                       "0#\r\n"
                       "1c\x01\xE9\r\n"),
              (std::vector<Seen>{{0, 2, 4, "ignored character \"#\""},
                                 {0, 2, 7, "ignored characters \"$$\""},
                                 {0, 3, 2, "ignored character \"#\""},
                                 {1, 4, 3, "ignored characters \"\\x01\xE9\""}}));
}

TEST(Check, FullStreamCountsTheLostEventsFromTheFirstOne) {
    // 1100 notes: 1021 fit, each of the other 79 overwrites the last slot.
    EXPECT_EQ(warnings("2" + std::string(1100, 'c')),
              (std::vector<Seen>{{2, 1, 1023, "stream full: 79 events from here on did not fit (a track holds 1,021)"}}));
    EXPECT_TRUE(warnings("2" + std::string(1021, 'c')).empty());
}

TEST(Check, RepeatStructuresTheSequencerStopsAt) {
    EXPECT_EQ(warnings("0c[[[[[d]]]]]\r\n"
                       "1c]d\r\n"
                       "2c[dLe]\r\n"
                       "3o[c]\r\n"      // "o" takes the "[" as its octave
                       "4[[[[c]]]]x]\r\n"),  // behind "x" nothing is reached
              (std::vector<Seen>{{0, 1, 7, "fifth nested \"[\": the track stops here (four nested repeats at most)"},
                                 {1, 2, 3, "\"]\" with no open \"[\": the track stops here"},
                                 {2, 3, 5, "\"L\" inside a repeat: the track will stop after its first loop"},
                                 {3, 4, 5, "\"]\" with no open \"[\": the track stops here"}}));
}

TEST(Check, PlacesFollowTheLinesATrackIsJoinedFrom) {
    EXPECT_EQ(warnings("0c[d\r\n5e\r\n0\r\n0e]]\r\n"),
              (std::vector<Seen>{{0, 4, 4, "\"]\" with no open \"[\": the track stops here"}}));
}

TEST(Check, LengthsOfIntroAndLoopAsTheSequencerPlaysThem) {
    EXPECT_EQ(infos("0t120c4x\r\n"
                    "1t120 c4 L c4 t60\r\n"  // the loop runs at the tempo its first pass left
                    "2t120 c4 d4\r\n"
                    "3 #\r\n"
                    "5t120 c [d L e]2\r\n"),  // back at L, the "]" finds no open repeat
              (std::vector<std::string>{"0: ends after 0.50 s", "1: loops forever: intro 0.50 s, loop 1.00 s",
                                        "2: loops forever: intro 0.00 s, loop 1.00 s", "3: plays nothing",
                                        "5: ends after 1.50 s"}));
    EXPECT_EQ(infos("7%0[[[[c]99]99]99]99\r\n"),
              (std::vector<std::string>{"7: plays longer than a render can hold (15 minutes)"}));
}

TEST(Check, PrintedReportAndStatus) {
    const std::vector<Finding> findings = check_song("0c#\r\n1t120c4x\r\n");
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(print_findings("s.mml", findings, false, out), 1);
    EXPECT_EQ(print_findings("s.mml", findings, true, out), 1);
    EXPECT_EQ(print_findings("s.mml", check_song("1t120c4x\r\n"), false, out), 0);
    std::rewind(out);
    std::string text(4096, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    EXPECT_EQ(text,
              "s.mml:1:3: warning: track 0: ignored character \"#\"\n"
              "s.mml: info: track 0: loops forever: intro 0.00 s, loop 0.18 s\n"
              "s.mml: info: track 1: ends after 0.50 s\n"
              "s.mml: 1 warning\n"
              "s.mml:1:3: warning: track 0: ignored character \"#\"\n"
              "s.mml: info: track 1: ends after 0.50 s\n"
              "s.mml: 0 warnings\n");
}

}  // namespace
}  // namespace bleepforge::cli
