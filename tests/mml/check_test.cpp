// The song checker: where the compiler skipped, squeezed or lost something,
// repeat structures the sequencer stops at, lines it skips, files that are
// not text, loops that drift apart, and each track's length.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "mml/check.h"
#include "mml/compiler.h"
#include "mml/song.h"
#include "support/test_data.h"

namespace bleepforge {
namespace {

constexpr auto WARNING = CheckFinding::WARNING;
constexpr auto INFO = CheckFinding::INFO;

struct Seen {
    int track, line, column;
    std::string message;
    bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& s, std::ostream* os) {
    *os << s.track << " " << s.line << ":" << s.column << " " << s.message;
}

std::vector<Seen> findings(std::string_view song, CheckFinding::Severity severity) {
    std::vector<Seen> out;
    for (const CheckFinding& f : check_song(song).findings) {
        if (f.severity == severity) out.push_back({f.track, f.line, f.column, f.message});
    }
    return out;
}

// Each song gives exactly these warnings, or exactly this information, in this order.
TEST(Check, FindingsWithTheirPlaces) {
    const std::string stopped = "\"]\" with no open \"[\": the track stops here";
    const std::string skipped = "line skipped: ";
    const std::string drifting = "0t130 l4 c\r\n1t130 l8 c\r\n";
    const struct {
        std::string song;
        CheckFinding::Severity severity;
        std::vector<Seen> seen;
    } cases[] = {
        // Ignored characters as runs per line; a comment line is skipped whole.
        {"; a comment # line\r\n0c # d$$e\r\n0#\r\n1c\x01\xE9\r\n", WARNING,
         {{0, 2, 4, "ignored character \"#\""}, {0, 2, 7, "ignored characters \"$$\""},
          {0, 3, 2, "ignored character \"#\""}, {1, 4, 3, "ignored characters \"\\x01\xE9\""}}},
        // 1100 notes: 1021 fit, each of the other 79 overwrites the last slot.
        {std::string("2").append(1100, 'c'), WARNING,
         {{2, 1, 1023, "stream full: 79 events from here on did not fit (a track holds 1,021)"}}},
        {std::string("2").append(1021, 'c'), WARNING, {}},
        // Repeat structures the sequencer stops at.
        {"0c[[[[[d]]]]]\r\n1c]d\r\n2c[dLe]\r\n"
         "3o[c]\r\n"          // "o" takes the "[" as its octave
         "4[[[[c]]]]x]\r\n",  // behind "x" nothing is reached
         WARNING,
         {{0, 1, 7, "fifth nested \"[\": the track stops here (four nested repeats at most)"},
          {1, 2, 3, stopped},
          {2, 3, 5, "\"L\" inside a repeat: the track will stop after its first loop"},
          {3, 4, 2, "\"o[\" read as o9 (\"o\" takes exactly the next character as its octave 0-9)"},
          {3, 4, 5, stopped}}},
        // Places follow the lines a track is joined from.
        {"0c[d\r\n5e\r\n0\r\n0e]]\r\n", WARNING, {{0, 4, 4, stopped}}},
        // What a clamp or a misread says it used, one warning per command.
        {"0c 5 d v 10\r\n", WARNING, {{0, 1, 4, "ignored character \"5\""}, {0, 1, 10, "ignored characters \"10\""}}},
        {"0o 4c c1. t999 p0 q0 c0 c123\r\n", WARNING,
         {{0, 1, 2, "\"o 4\" read as o0 (\"o\" takes exactly the next character as its octave 0-9)"},
          {0, 1, 7, "\"c1.\" is 288 ticks long: played as 255 ticks, the longest an event holds"},
          {0, 1, 11, "\"t999\" read as t255 (a tempo has at most three digits, and two after its point)"},
          {0, 1, 16, "\"p0\" read as p1 (a pan is 1-15)"},
          {0, 1, 19, "\"q0\" read as q8 (\"q\" takes one digit 1-9)"},
          {0, 1, 22, "\"c0\" read as c1 (a length of 0 means a whole note)"},
          {0, 1, 25, "\"c123\" read as \"c12\" (a number has at most two digits)"}}},
        // Lines that look like tracks but are skipped; comments and prose are not warned of.
        {"; a comment: c d e\r\nthe end\r\n0c\r\n\tt120 c4 d\r\n8cde\r\n  2cde\r\n", WARNING,
         {{-1, 4, 1, skipped + "it looks like MML but does not start with a track digit 0-7"},
          {-1, 5, 1, skipped + "8 is not a track; track lines start with a digit 0-7"},
          {-1, 6, 1, skipped + "it starts with a space or tab, and a track line must start with its digit 0-7"}}},
        {"\xEF\xBB\xBF" "0cde\r\n; \xE3\x81\x82 comment in UTF-8\r\n", WARNING, {}},
        // Lengths of intro and loop as the sequencer plays them.
        {"0t120c4x\r\n"
         "1t120 c4 L c4 t60\r\n"  // the loop runs at the tempo its first pass left
         "2t120 c4 d4\r\n"
         "3 #\r\n"
         "5t120 c [d L e]2\r\n",  // back at L, the "]" finds no open repeat
         INFO,
         {{0, 0, 0, "ends after 0.50 s"}, {1, 0, 0, "loops forever: intro 0.50 s, loop 1.00 s"},
          {2, 0, 0, "loops forever: intro 0.00 s, loop 1.00 s"}, {3, 0, 0, "plays nothing"},
          {5, 0, 0, "ends after 1.50 s"}}},
        {"7%0[[[[c]99]99]99]99\r\n", INFO, {{7, 0, 0, "plays longer than a render can hold (15 minutes)"}}},
        // Loops equal in ticks that drift by samples are information, not a warning.
        {drifting, WARNING, {}},
        {drifting, INFO,
         {{0, 0, 0, "loops forever: intro 0.00 s, loop 0.46 s"}, {1, 0, 0, "loops forever: intro 0.00 s, loop 0.23 s"},
          {1, 0, 0, "loops in step with track 0 in ticks but drifts 1 sample per loop of track 0 (note lengths are not "
                    "whole samples at this tempo); at tempo 126 or 135 every length is whole samples and the drift "
                    "vanishes"}}},
        {"0t120 l4 c\r\n1t120 l8 c\r\n", INFO,  // whole samples at 120: no drift
         {{0, 0, 0, "loops forever: intro 0.00 s, loop 0.50 s"},
          {1, 0, 0, "loops forever: intro 0.00 s, loop 0.25 s"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.song.substr(0, 60));
        EXPECT_EQ(findings(c.song, c.severity), c.seen);
    }
}

// One song per warning code in tests/data/check, named after it: each gives
// exactly its warning, at its place.
TEST(Check, EachCodeHasASongGivingExactlyThatWarning) {
    const struct {
        const char* code;
        int track, line, column;
        const char* message_start;
    } table[] = {
        {"W-ignored", 0, 2, 14, "ignored character \"#\""},
        {"W-clamp", 0, 1, 14, "\"v99999\" read as v15"},
        {"W-misread", 0, 1, 10, "\"o12\" read as o1"},
        {"W-unclosed", 0, 1, 12, "\"[\" never closed"},
        {"W-unopened", 0, 1, 15, "\"]\" with no open \"[\""},
        {"W-deep-repeat", 0, 1, 14, "fifth nested \"[\""},
        {"W-loop-in-repeat", 0, 1, 15, "\"L\" inside a repeat"},
        {"W-loop-empty", 0, 1, 16, "\"L\" with no note or rest after it"},
        {"W-stream-full", 0, 1, 1031, "stream full: 10 events"},
        {"W-skipped-line", -1, 2, 1, "line skipped: it starts with a space"},
        {"W-loop-mismatch", 1, 2, 2, "loops every 144 ticks, track 0 every 192 ticks"},
        {"W-not-text", -1, 1, 13, "the file holds NUL bytes"},
        {"W-no-tracks", -1, 0, 0, "no line starts with a track digit 0-7"},
    };
    const auto songs = std::filesystem::directory_iterator(test::data_dir() / "check");
    EXPECT_EQ(std::size_t(std::distance(begin(songs), end(songs))), std::size(table))
        << "a song in tests/data/check without a row here";
    for (const auto& e : table) {
        SCOPED_TRACE(e.code);
        const CheckResult r = check_song(test::read_file(test::data_dir() / "check" / (std::string(e.code) + ".mml")));
        ASSERT_EQ(r.warning_count(), 1);
        const CheckFinding& f = *std::find_if(r.findings.begin(), r.findings.end(),
                                              [](const CheckFinding& f) { return f.severity == WARNING; });
        EXPECT_EQ(Seen({f.track, f.line, f.column, f.code}), Seen({e.track, e.line, e.column, e.code}));
        EXPECT_EQ(f.message.rfind(e.message_start, 0), 0u) << f.message;
    }
}

TEST(Check, FilesThatAreNotText) {
    std::string utf16;
    for (char c : std::string("0t120 cde\r\n1cde\r\n")) utf16 += std::string{c, '\0'};
    const std::string wav = std::string("RIFF\x24\x00\x00\x00WAVEfmt ", 16).append(28, '\x01');
    const struct {
        std::string bytes;
        const char* says;  // how the first warning starts
    } cases[] = {
        {std::string("\xFF\xFE").append(utf16), "the file is UTF-16 text (it starts with a UTF-16 byte-order mark)"},
        {utf16, "the file looks like UTF-16 text (little-endian, without a byte-order mark)"},
        {wav, "the file is a WAV sound file"},
        {std::string("RIFF\x10", 5), "the file looks like binary data"},  // too short to say WAVE
        {std::string("\x7F" "ELF\x02\x01\x01").append(100, '\0'), "the file is a program (ELF)"},
        {std::string("0c\x01\x02\x03\x04\x05\x06\x07\x08\x0e\x0f\x10\x11\x12", 15), "the file looks like binary data"},
    };
    for (const auto& c : cases) {
        const CheckResult r = check_song(c.bytes);
        ASSERT_FALSE(r.findings.empty());
        EXPECT_EQ(r.findings[0].code, "W-not-text") << c.says;
        EXPECT_EQ(r.findings[0].message.rfind(c.says, 0), 0u) << r.findings[0].message;
    }
}

// At most 100 warnings of one code are listed; memory does not grow with the junk.
TEST(Check, CapsEachCodeAndCountsTheRest) {
    std::string junk = "0";
    for (int i = 0; i < 300; ++i) junk += "#c";
    junk += "\r\n";
    const CheckResult r = check_song(junk);
    EXPECT_EQ(r.warning_count(), 300);
    ASSERT_EQ(r.more.size(), 1u);
    EXPECT_EQ(r.more[0], (std::pair<std::string, long>{"W-ignored", 200}));

    std::string big_song = "0";
    big_song.append(4 << 20, '#').append("\r\n").append(4 << 20, '\x01');
    const CheckResult big = check_song(big_song);
    EXPECT_LE(big.findings.size(), std::size_t(20));
    EXPECT_GE(big.warning_count(), 1);
}

// The conformance songs are written to play, not to provoke: none warns, save
// the full-stream song and the random command soups. And the checker compiles
// with a listener, which must leave the stream as a load makes it.
TEST(Check, ConformanceSongsGiveNoFalseWarningsAndListeningChangesNoStream) {
    for (const test::GoldenRender& g : test::golden_renders()) {
        SCOPED_TRACE(g.song);
        const std::string bytes = test::read_file(test::data_dir() / "conformance" / "songs" / g.song);
        std::vector<std::string> seen;
        for (const CheckFinding& f : check_song(bytes).findings) {
            if (f.severity == WARNING) seen.push_back(f.code);
        }
        if (g.song == "p12_full_stream.mml") {
            EXPECT_EQ(seen, std::vector<std::string>{"W-stream-full"});
        } else if (g.song.rfind("r", 0) != 0) {  // in a random command soup, warnings are its point
            EXPECT_EQ(seen, std::vector<std::string>{});
        }
        const SplitSong song = split_song(bytes);
        for (int k = 0; k < TRACK_COUNT; ++k) {
            auto plain = std::make_unique<Engine>();
            auto heard = std::make_unique<Engine>();
            CompileListener listener;
            compile_track(*plain, 0, song.texts[k]);
            compile_track(*heard, 0, song.texts[k], listener);
            EXPECT_EQ(plain->tracks[0].events, heard->tracks[0].events) << "track " << k;
            EXPECT_EQ(plain->tracks[0].events_end, heard->tracks[0].events_end);
        }
    }
}

}  // namespace
}  // namespace bleepforge
