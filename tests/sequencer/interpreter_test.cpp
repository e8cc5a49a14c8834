#include <gtest/gtest.h>

#include "mml/song.h"
#include "sequencer/interpreter.h"
#include "sequencer/transport.h"
#include "support/engine_helpers.h"
#include "synth/voice.h"

namespace bleepforge {
namespace {

using test::loaded;
using test::played_codes;
using Codes = std::vector<int>;

TEST(EventLength, TicksToSamplesAtTheTrackTempo) {
    TrackState t;
    t.tempo_x100 = 12000;
    EXPECT_DOUBLE_EQ(event_length(t, 192), 88200.0);
    EXPECT_EQ(event_length(t, 0), 0.0);
    t.tempo_x100 = 16500;
    EXPECT_EQ(event_length(t, 48), 48 * 1058400000.0 / (16500 * 192));
    EXPECT_NEAR(event_length(t, 24), 8018.18, 0.01);
}

TEST(NoteFrequency, TableInterpolationAndRange) {
    EXPECT_EQ(note_frequency(57, 0), 440.0);
    EXPECT_NEAR(note_frequency(57, 50), 453.081881, 5e-7);
    EXPECT_NEAR(note_frequency(57, -50), 427.652349, 5e-7);
    EXPECT_NEAR(note_frequency(100, 0), 5274.040911, 1e-9);
    EXPECT_EQ(note_frequency(232, 0), note_frequency(100, 0));
    EXPECT_EQ(PITCH_TABLE[0], 16.351598);
    EXPECT_EQ(PITCH_TABLE[109], 8869.844191);
    // Below the table: the lowest entry, never a wrap-around to the top.
    EXPECT_NEAR(note_frequency(-5, 0), PITCH_TABLE[0], 1e-9);
    EXPECT_NEAR(note_frequency(0, -50), PITCH_TABLE[0], 1e-9);
    EXPECT_NEAR(note_frequency(-128, -128), PITCH_TABLE[0], 1e-9);
}

TEST(Fetch, ResetStartsTheFirstNote) {
    auto engine = loaded("0c4d\r\n");
    const TrackState& t = engine->tracks[0];
    const double length = 48 * 1058400000.0 / (16500 * 192);
    EXPECT_EQ(t.event_left, length);
    EXPECT_EQ(t.gate_left, length * 8 * 0.125);
    EXPECT_EQ(t.note_count, 1);
    EXPECT_EQ(t.cursor, 2);
    EXPECT_EQ(t.gate_on, 1);
    EXPECT_EQ(t.env_restart, 1);
    EXPECT_EQ(t.tempo_x100, 16500);
    EXPECT_EQ(t.volume, 13);
    EXPECT_EQ(t.pan, 8);
    EXPECT_EQ(t.smooth_coef, 0.85);
    EXPECT_EQ(t.attack_step, 1.0);
}

TEST(Fetch, LeadingRestKeepsTheGateClosed) {
    auto engine = loaded("0r c\r\n");
    EXPECT_TRUE(engine->tracks[0].active);
    EXPECT_FALSE(engine->tracks[0].gate_on);
}

TEST(Fetch, TiedNoteOutlastsItsLengthAndTheNextIsLegato) {
    auto engine = loaded("0s10 c4&d4 e\r\n");
    TrackState& t = engine->tracks[0];
    EXPECT_EQ(t.tie, 1);
    EXPECT_EQ(t.gate_left, t.event_left + 2.0);
    t.sweep_offset = 7.0;  // as if the sweep had moved during the first note
    fetch_events(*engine, 0);
    EXPECT_EQ(t.tie, 0);
    EXPECT_EQ(t.sweep_offset, 7.0);
    EXPECT_EQ(t.gate_left, t.event_left);
    EXPECT_EQ(t.env_restart, 1);  // still the request from the first note: nothing restarted it
}

TEST(Fetch, GateNineMakesLegatoWhileEightStartsFresh) {
    auto eight = loaded("0q8 m10 c d\r\n");
    eight->tracks[0].gate_on = 0;  // as the renderer leaves it when the gate time ran out
    eight->tracks[0].vibrato_offset = 3.0;
    fetch_events(*eight, 0);
    EXPECT_EQ(eight->tracks[0].vibrato_offset, 0.0);

    auto nine = loaded("0q9 m10 c d\r\n");
    EXPECT_GT(nine->tracks[0].gate_left, nine->tracks[0].event_left);
    nine->tracks[0].vibrato_offset = 3.0;
    fetch_events(*nine, 0);
    EXPECT_EQ(nine->tracks[0].vibrato_offset, 3.0);
}

TEST(Fetch, ParameterEvents) {
    auto engine = loaded("0v15)n10w84j99h0i5 c v0( t120.5 d t.50 w99 e\r\n");
    TrackState& t = engine->tracks[0];
    EXPECT_EQ(t.volume, 15);
    EXPECT_EQ(t.vibrato_delay, 8820);
    EXPECT_DOUBLE_EQ(t.smooth_coef, 0.85);
    EXPECT_DOUBLE_EQ(t.sustain_level, 1.0);
    EXPECT_EQ(t.attack_step, 0.0);
    EXPECT_EQ(t.decay_step, 5 * 0.00001);
    fetch_events(*engine, 0);
    EXPECT_EQ(t.volume, 0);
    EXPECT_EQ(t.tempo_x100, 12050);
    fetch_events(*engine, 0);
    EXPECT_EQ(t.tempo_x100, 16500);  // a bare "t" is the reset tempo; ".50" after it is ignored
    EXPECT_EQ(t.smooth_coef, 1.0);
}

TEST(Fetch, FractionAloneReplacesTheHundredths) {
    auto engine = loaded("0c\r\n");
    TrackState& t = engine->tracks[0];
    t.events[2] = EV_TEMPO_FRACTION;
    t.events[3] = 50;
    t.events[4] = 48;
    fetch_events(*engine, 0);
    EXPECT_EQ(t.tempo_x100, 16550);
}

TEST(Fetch, AttackCurve) {
    auto engine = loaded("0h99 c\r\n");
    EXPECT_NEAR(engine->tracks[0].attack_step, 0.01, 1e-12);
}

TEST(Repeats, BreakLeavesOnTheLastPass) {
    auto engine = loaded("0[c/d]3 e x\r\n");
    EXPECT_EQ(played_codes(*engine, 10), (Codes{48, 50, 48, 50, 48, 52}));
    EXPECT_EQ(played_codes(*loaded("0[c d]e x\r\n"), 10), (Codes{48, 50, 48, 50, 52}));
    EXPECT_EQ(played_codes(*loaded("0[c/d]1 e x\r\n"), 10), (Codes{48, 50, 52}));
    EXPECT_EQ(played_codes(*loaded("0[c/d]0 e x\r\n"), 10), (Codes{48, 50, 52}));
}

TEST(Repeats, NestingUpToFourDeep) {
    EXPECT_EQ(played_codes(*loaded("0[[c]3 d]2 x\r\n"), 20), (Codes{48, 48, 48, 50, 48, 48, 48, 50}));
    auto four = loaded("0[[[[c]]]] x\r\n");
    EXPECT_EQ(played_codes(*four, 40).size(), 16u);
    auto five = loaded("0c [[[[[d]]]]] x\r\n");
    played_codes(*five, 2);
    EXPECT_FALSE(five->tracks[0].active);
    EXPECT_EQ(five->tracks[0].repeat_depth, 5);
}

TEST(Repeats, MalformedSectionsStopOrAreIgnored) {
    auto unopened = loaded("0c ] d\r\n");
    fetch_events(*unopened, 0);
    EXPECT_FALSE(unopened->tracks[0].active);
    EXPECT_FALSE(unopened->tracks[0].gate_on);
    EXPECT_EQ(played_codes(*loaded("0c / d x\r\n"), 5), (Codes{48, 50}));
    // A loop point inside a section: after the loop-back the section's end finds no open repeat.
    EXPECT_EQ(played_codes(*loaded("0[c L d]2\r\n"), 10), (Codes{48, 50, 48, 50, 50}));
}

TEST(EndOfStream, LoopsOnlyAfterANote) {
    auto note = loaded("0c\r\n");
    EXPECT_EQ(played_codes(*note, 4), (Codes{48, 48, 48, 48}));
    EXPECT_TRUE(note->tracks[0].active);
    EXPECT_EQ(note->tracks[0].loop_count, 4);
    auto rest = loaded("0r\r\n");
    EXPECT_EQ(played_codes(*rest, 4), (Codes{0}));
    EXPECT_FALSE(rest->tracks[0].active);
    EXPECT_FALSE(loaded("0v10 t100\r\n")->tracks[0].active);
    EXPECT_EQ(played_codes(*loaded("0c L d e\r\n"), 7), (Codes{48, 50, 52, 50, 52, 50, 52}));
}

TEST(EndOfStream, LoopWithoutNoteOrRestStopsInsteadOfHanging) {
    auto engine = loaded("0c d L v10\r\n");
    EXPECT_EQ(played_codes(*engine, 5), (Codes{48, 50}));
    EXPECT_FALSE(engine->tracks[0].active);
    EXPECT_FALSE(engine->tracks[0].gate_on);
}

TEST(Transport, DetuneDoesNotLeakIntoTheNextSong) {
    auto engine = loaded("0D50 c\r\n");
    EXPECT_EQ(engine->tracks[0].detune, 50);
    load_song(*engine, "0a\r\n");
    EXPECT_EQ(engine->tracks[0].base_freq, 440.0);
}

TEST(Fetch, HighNotesSoundAtNote100) {
    auto engine = loaded("0_99 o9 b\r\n");
    EXPECT_NEAR(engine->tracks[0].base_freq, 5274.040911, 1e-9);
}

}  // namespace
}  // namespace bleepforge

namespace bleepforge {
namespace {

TEST(FetchBudget, NoteLessRepeatsStopTheTrackWithinOneFetch) {
    auto engine = test::loaded("0c [[[[v]99]99]99]99 d\r\n");
    TrackState& t = engine->tracks[0];
    fetch_events(*engine, 0);
    EXPECT_FALSE(t.active);
    EXPECT_FALSE(t.gate_on);
    EXPECT_EQ(t.fetch_budget, 0);
}

TEST(FetchBudget, AWholeStreamOfControlEventsStillLoops) {
    std::string text = "0c L";
    for (int i = 0; i < 1019; ++i) text += "v";
    text += " d\r\n";  // d overwrites the last slot: note, loop point, 1018 volumes, note
    auto engine = test::loaded(text);
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    for (int i = 0; i < 40; ++i) render_voice(*engine, 0, block.data(), BLOCK_BYTES);
    EXPECT_TRUE(engine->tracks[0].active);
    EXPECT_GE(engine->tracks[0].loop_count, 5);
}

TEST(FetchBudget, RefillsEverySampleSoOnlyFloodsStop) {
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    auto sustainable = test::loaded("0%0 L c [v]14\r\n");
    for (int i = 0; i < 20; ++i) render_voice(*sustainable, 0, block.data(), BLOCK_BYTES);
    EXPECT_TRUE(sustainable->tracks[0].active);
    auto flood = test::loaded("0%0 L c [v]16\r\n");
    for (int i = 0; i < 20; ++i) render_voice(*flood, 0, block.data(), BLOCK_BYTES);
    EXPECT_FALSE(flood->tracks[0].active);
}

}  // namespace
}  // namespace bleepforge
