#include <gtest/gtest.h>

#include <map>

#include "mml/compiler.h"
#include "sequencer/transport.h"
#include "support/engine_helpers.h"

namespace bleepforge {
namespace {

using test::compile_events;
using test::Event;
using Events = std::vector<Event>;

constexpr int NONE = -1;

TEST(Compiler, WorkedExampleByteForByte) {
    EXPECT_EQ(compile_events("t150 o5 l8 [c/e]3 g4.&a16 > c2 x"),
              (Events{{EV_TEMPO, 150}, {EV_REPEAT_START, NONE}, {60, 24}, {EV_REPEAT_BREAK, NONE},
                      {64, 24}, {EV_REPEAT_END, 3}, {EV_TIE, 0}, {67, 72}, {69, 12}, {72, 96},
                      {EV_STOP, NONE}, {EV_END, NONE}}));
}

struct Case {
    const char* text;
    Events events;
};

class CompilesTo : public ::testing::TestWithParam<Case> {};

TEST_P(CompilesTo, Events) { EXPECT_EQ(compile_events(GetParam().text), GetParam().events) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(NotesAndLengths, CompilesTo, ::testing::Values(
    Case{"a", {{57, 24}, {EV_END, NONE}}},
    Case{"c4.", {{48, 72}, {EV_END, NONE}}},
    Case{"c8..", {{48, 42}, {EV_END, NONE}}},
    Case{"c4..", {{48, 84}, {EV_END, NONE}}},
    Case{"c4...", {{48, 84}, {EV_END, NONE}}},
    Case{"l4c.", {{48, 72}, {EV_END, NONE}}},
    Case{"c3c5c7c64c99c0", {{48, 64}, {48, 38}, {48, 27}, {48, 3}, {48, 1}, {48, 192}, {EV_END, NONE}}},
    Case{"c128", {{48, 16}, {EV_END, NONE}}},
    Case{"r2", {{0, 96}, {EV_END, NONE}}},
    // Dotted whole notes do not fit a byte: clamped rather than wrapped.
    Case{"c1.c1..", {{48, 255}, {48, 255}, {EV_END, NONE}}},
    Case{"l0c", {{48, 192}, {EV_END, NONE}}},
    Case{"l3c", {{48, 64}, {EV_END, NONE}}},
    Case{"l100c", {{48, 19}, {EV_END, NONE}}},
    Case{"l8l c", {{48, 24}, {EV_END, NONE}}},
    Case{"%0c%50c%c", {{48, 0}, {48, 50}, {48, 24}, {EV_END, NONE}}}));

INSTANTIATE_TEST_SUITE_P(Accidentals, CompilesTo, ::testing::Values(
    Case{"c++", {{49, 24}, {EV_END, NONE}}},
    Case{"c+-", {{48, 24}, {EV_END, NONE}}},
    Case{"c-+", {{47, 24}, {EV_END, NONE}}},
    Case{"e+f", {{53, 24}, {53, 24}, {EV_END, NONE}}},
    Case{"b+", {{60, 24}, {EV_END, NONE}}},
    // A rest stays a rest, and nothing below c of octave 0 becomes a control code.
    Case{"r+r-r+-4", {{0, 24}, {0, 24}, {0, 48}, {EV_END, NONE}}},
    Case{"o0c-c", {{0, 24}, {0, 24}, {EV_END, NONE}}},
    Case{"o0c+", {{1, 24}, {EV_END, NONE}}}));

INSTANTIATE_TEST_SUITE_P(Octaves, CompilesTo, ::testing::Values(
    Case{"occ", {{108, 24}, {EV_END, NONE}}},
    Case{"o9>c", {{84, 24}, {EV_END, NONE}}},
    Case{"o0<c", {{0, 24}, {EV_END, NONE}}},
    Case{"o9b+", {{120, 24}, {EV_END, NONE}}},
    Case{"o\xff" "c o c", {{0, 24}, {0, 24}, {EV_END, NONE}}},
    Case{"o1>>>>>>>>c", {{84, 24}, {EV_END, NONE}}}));

INSTANTIATE_TEST_SUITE_P(Parameters, CompilesTo, ::testing::Values(
    Case{"v v20 v7", {{EV_VOLUME, 13}, {EV_VOLUME, 15}, {EV_VOLUME, 7}, {EV_END, NONE}}},
    Case{"p0p99p", {{EV_PAN, 1}, {EV_PAN, 15}, {EV_PAN, 8}, {EV_END, NONE}}},
    Case{"q0q12q", {{EV_GATE, 8}, {EV_GATE, 1}, {EV_GATE, 8}, {EV_END, NONE}}},
    Case{"@h i j m n w ]", {{EV_TONE, 0}, {EV_ATTACK, 99}, {EV_DECAY, 0}, {EV_SUSTAIN, 0},
                            {EV_VIBRATO_DEPTH, 0}, {EV_VIBRATO_DELAY, 0}, {EV_SMOOTH, 84},
                            {EV_REPEAT_END, 2}, {EV_END, NONE}}},
    Case{"@123", {{EV_TONE, 12}, {EV_END, NONE}}},
    Case{"D-5D-+5D-D+-5", {{EV_DETUNE, 251}, {EV_DETUNE, 5}, {EV_DETUNE, 0}, {EV_DETUNE, 0}, {EV_END, NONE}}},
    Case{"s-99_12", {{EV_SWEEP, 157}, {EV_TRANSPOSE, 12}, {EV_END, NONE}}},
    Case{"L()[/:x", {{EV_LOOP_POINT, 0}, {EV_VOLUME_STEP, 0}, {EV_VOLUME_STEP, 1}, {EV_REPEAT_START, NONE},
                     {EV_REPEAT_BREAK, NONE}, {EV_REPEAT_BREAK, NONE}, {EV_STOP, NONE}, {EV_END, NONE}}}));

INSTANTIATE_TEST_SUITE_P(Tempo, CompilesTo, ::testing::Values(
    Case{"t9", {{EV_TEMPO, 15}, {EV_END, NONE}}},
    Case{"t200", {{EV_TEMPO, 200}, {EV_END, NONE}}},
    Case{"t300t256t2555", {{EV_TEMPO, 255}, {EV_TEMPO, 255}, {EV_TEMPO, 255}, {EV_END, NONE}}},
    Case{"t120.5", {{EV_TEMPO, 120}, {EV_TEMPO_FRACTION, 50}, {EV_END, NONE}}},
    Case{"t120.05", {{EV_TEMPO, 120}, {EV_TEMPO_FRACTION, 5}, {EV_END, NONE}}},
    Case{"t120.c", {{EV_TEMPO, 120}, {48, 24}, {EV_END, NONE}}},
    // A bare "t" means the reset tempo.
    Case{"t c", {{EV_TEMPO, 165}, {48, 24}, {EV_END, NONE}}},
    Case{"t.5", {{EV_TEMPO, 165}, {EV_END, NONE}}}));

INSTANTIATE_TEST_SUITE_P(Ties, CompilesTo, ::testing::Values(
    Case{"&c", {{48, 24}, {EV_END, NONE}}},
    Case{"c4&d4", {{EV_TIE, 0}, {48, 48}, {50, 48}, {EV_END, NONE}}},
    Case{"c4&8", {{EV_TIE, 0}, {48, 48}, {EV_END, NONE}}},
    Case{"c v10& d", {{48, 24}, {EV_TIE, 0}, {EV_VOLUME, 10}, {50, 24}, {EV_END, NONE}}},
    Case{"[&c", {{EV_TIE, 0}, {EV_REPEAT_START, NONE}, {48, 24}, {EV_END, NONE}}}));

INSTANTIATE_TEST_SUITE_P(Structure, CompilesTo, ::testing::Values(
    Case{"", {{EV_STOP, NONE}}},
    Case{"  o5 <>  l4 % 123 +-.#kuyzABCZ\x80\xfe", {{EV_STOP, NONE}}},
    Case{"c x d", {{48, 24}, {EV_STOP, NONE}, {50, 24}, {EV_END, NONE}}}));

Events notes(int count, int code = 48) { return Events(count, Event{code, 24}); }

TEST(Compiler, FullStreamKeepsTheFirst1020EventsAndTheLast) {
    std::string text;
    for (int i = 0; i < 1099; ++i) text += "c";
    text += "d";
    Events expected = notes(1020);
    expected.push_back({50, 24});
    expected.push_back({EV_END, NONE});
    EXPECT_EQ(compile_events(text), expected);

    std::vector<CompileNote> lost;
    auto engine = std::make_unique<Engine>();
    compile_track(*engine, 0, text, &lost);
    ASSERT_EQ(lost.size(), 1100u - 1021u);
    EXPECT_EQ(lost.front().kind, CompileNote::STREAM_FULL);
    EXPECT_EQ(lost.front().position, 1021u);
    EXPECT_EQ(engine->tracks[0].events_end, 2042);
}

TEST(Compiler, TieAndTempoFractionOnAFullStream) {
    std::string full(1021, 'c');
    Events tied = notes(1019);
    tied.push_back({EV_TIE, 0});
    tied.push_back({48, 24});
    tied.push_back({EV_END, NONE});
    EXPECT_EQ(compile_events(full + "&"), tied);

    Events fraction = notes(1020);
    fraction.push_back({EV_TEMPO, 99});
    fraction.push_back({EV_TEMPO_FRACTION, 50});
    fraction.push_back({EV_END, NONE});
    EXPECT_EQ(compile_events(full + "t99.5"), fraction);

    Events overwritten = notes(1020);
    overwritten.push_back({50, 24});
    overwritten.push_back({EV_END, NONE});
    const Events got = compile_events(full + "t99.5d");
    EXPECT_EQ(got, overwritten);
}

TEST(Compiler, ShorterSongEndsRightAfterItsLastEvent) {
    auto engine = std::make_unique<Engine>();
    compile_track(*engine, 0, "cdefgab");
    compile_track(*engine, 0, "c");
    EXPECT_EQ(engine->tracks[0].events[2], EV_END);
    EXPECT_EQ(engine->tracks[0].events_end, 2);
}

TEST(Compiler, LeavesActiveTracksAndBadIndicesAlone) {
    auto engine = std::make_unique<Engine>();
    engine->tracks[3].active = 1;
    compile_track(*engine, 3, "cde");
    compile_track(*engine, 8, "cde");
    compile_track(*engine, -1, "cde");
    EXPECT_EQ(engine->tracks[3].events[0], EV_STOP);
    EXPECT_EQ(engine->tracks[3].events_end, -1);
}

TEST(Compiler, ReportsIgnoredCharactersByPosition) {
    std::vector<CompileNote> found;
    auto engine = std::make_unique<Engine>();
    compile_track(*engine, 0, "c Kd ?e 4", &found);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].kind, CompileNote::IGNORED_CHARACTER);
    EXPECT_EQ(found[0].position, 2u);
    EXPECT_EQ(found[1].position, 5u);
    EXPECT_EQ(found[2].kind, CompileNote::STRAY_DIGIT);
    EXPECT_EQ(found[2].position, 8u);
}

// Each command that reads differently from how it looks gives one note with the value used.
TEST(Compiler, ReportsSqueezedCommandsOncePerCommand) {
    struct Case {
        const char* text;
        CompileNote::Kind kind;
        std::size_t position, read_end, looks_end;
        int value;
    };
    const Case cases[] = {
        {"cv99999", CompileNote::CLAMPED, 1, 4, 7, 15},
        {"o12c", CompileNote::MISREAD, 0, 2, 3, 1},
        {"o 4c", CompileNote::MISREAD, 0, 2, 3, 0},
        {"c1.", CompileNote::LENGTH_CLAMPED, 0, 3, 3, 255},
        {"t300", CompileNote::CLAMPED, 0, 4, 4, 255},
        {"q0", CompileNote::MISREAD, 0, 1, 2, 8},
        {"l0c", CompileNote::CLAMPED, 0, 2, 2, 1},
        {"c123", CompileNote::MISREAD, 0, 3, 4, 0},
        {"o0c-", CompileNote::NOTE_TOO_LOW, 2, 4, 4, 0},
    };
    for (const Case& c : cases) {
        std::vector<CompileNote> found;
        auto engine = std::make_unique<Engine>();
        compile_track(*engine, 0, c.text, &found);
        ASSERT_EQ(found.size(), 1u) << c.text;
        EXPECT_EQ(found[0].kind, c.kind) << c.text;
        EXPECT_EQ(found[0].position, c.position) << c.text;
        EXPECT_EQ(found[0].read_end, c.read_end) << c.text;
        EXPECT_EQ(found[0].looks_end, c.looks_end) << c.text;
        if (c.kind != CompileNote::MISREAD || c.text[0] == 'o' || c.text[0] == 'q') {
            EXPECT_EQ(found[0].value, c.value) << c.text;
        }
    }
}

TEST(Compiler, NamesTheCommandBehindEveryEventAndTheStreamIsTheSame) {
    struct Places : CompileListener {
        std::map<int, std::size_t> at;
        void event(int offset, std::size_t position) override { at[offset] = position; }
    } places;
    const std::string text = "t120 c4& d [e]2";
    auto engine = std::make_unique<Engine>();
    compile_track(*engine, 0, text, places);
    const auto listened = engine->tracks[0].events;
    EXPECT_EQ(places.at, (std::map<int, std::size_t>{{0, 0}, {2, 7}, {4, 5}, {6, 9}, {8, 11}, {10, 12}, {12, 13}}));
    compile_track(*engine, 0, text);
    EXPECT_EQ(engine->tracks[0].events, listened);
}

}  // namespace
}  // namespace bleepforge
