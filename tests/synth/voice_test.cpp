#include <gtest/gtest.h>

#include "sequencer/interpreter.h"
#include "support/engine_helpers.h"
#include "synth/voice.h"

namespace bleepforge {
namespace {

using test::loaded;

// Renders `frames` frames of track 0 and returns the interleaved samples.
std::vector<std::int16_t> render(Engine& engine, int frames) {
    std::vector<std::int16_t> out(std::size_t(frames) * 2);
    render_voice(engine, 0, out.data(), frames * 4);
    return out;
}

bool silent(const std::vector<std::int16_t>& samples) {
    for (std::int16_t s : samples) {
        if (s != 0) return false;
    }
    return true;
}

TEST(Voice, VolumeAndAttackCanSilenceANote) {
    EXPECT_TRUE(silent(render(*loaded("0v0 @32 c\r\n"), 500)));
    EXPECT_TRUE(silent(render(*loaded("0h0 @32 c\r\n"), 500)));
    EXPECT_FALSE(silent(render(*loaded("0h0 @48 c\r\n"), 500)));  // triangles ignore the envelope
}

TEST(Voice, WritesOnlyWholeFramesBelowTheLength) {
    auto engine = loaded("0@32 c\r\n");
    std::vector<std::int16_t> out(8, 123);
    render_voice(*engine, 0, out.data(), 7);
    EXPECT_NE(out[3], 123);
    EXPECT_EQ(out[4], 123);
    render_voice(*engine, 0, out.data() + 4, 0);
    EXPECT_EQ(out[4], 123);
}

TEST(Envelope, AttackDecaySustain) {
    auto engine = std::make_unique<Engine>();
    TrackState& t = engine->tracks[0];
    t.attack_step = 0.25;
    t.decay_step = 0.125;
    t.sustain_level = 0.5;
    std::vector<double> levels;
    levels.push_back(envelope_next(*engine, 0, 1));
    for (int i = 0; i < 9; ++i) levels.push_back(envelope_next(*engine, 0, 0));
    // A level of exactly 1.0 stays in the attack for one more frame.
    EXPECT_EQ(levels, (std::vector<double>{0.25, 0.5, 0.75, 1.0, 1.0, 0.875, 0.75, 0.625, 0.5, 0.5}));
    EXPECT_EQ(t.env_phase, 2);
}

TEST(Envelope, SustainAtFullLevelAndTriangles) {
    auto engine = std::make_unique<Engine>();
    TrackState& t = engine->tracks[0];
    t.attack_step = 1.0;
    t.decay_step = 0.01;
    t.sustain_level = 1.0;
    EXPECT_EQ(envelope_next(*engine, 0, 1), 1.0);
    EXPECT_EQ(envelope_next(*engine, 0, 0), 1.0);
    EXPECT_EQ(t.env_phase, 1);
    EXPECT_EQ(envelope_next(*engine, 0, 0), 1.0);
    EXPECT_EQ(t.env_phase, 2);

    t.tone = 50;
    t.attack_step = 0;
    EXPECT_EQ(envelope_next(*engine, 0, 1), 1.0);
    EXPECT_EQ(t.env_phase, 0);
    t.tone = 0;  // leaving the triangle mid-note continues from 1.0 in the same phase
    EXPECT_EQ(envelope_next(*engine, 0, 0), 1.0);
}

TEST(Vibrato, WaitsThenSwingsWithA7000FramePeriod) {
    auto engine = loaded("0n1 m20 c1\r\n");  // wait 882 frames, step 0.01 Hz per frame
    TrackState& t = engine->tracks[0];
    render(*engine, 881);
    EXPECT_EQ(t.vibrato_offset, 0.0);
    render(*engine, 1);
    EXPECT_NEAR(t.vibrato_offset, 0.01, 1e-12);
    render(*engine, 1749);
    EXPECT_NEAR(t.vibrato_offset, 17.5, 1e-9);
    EXPECT_LT(t.vibrato_slope, 0);
    render(*engine, 3500);
    EXPECT_NEAR(t.vibrato_offset, -17.5, 1e-9);
    EXPECT_NEAR(t.freq, t.base_freq - 17.5, 1e-9);

    auto no_wait = loaded("0m20 c1\r\n");
    render(*no_wait, 1);
    EXPECT_NEAR(no_wait->tracks[0].vibrato_offset, 0.01, 1e-12);
}

TEST(Pitch, FrequencyIsClampedButTheSweepIsNot) {
    auto up = loaded("0o9 b1\r\n");
    up->tracks[0].base_freq = 30000;
    render(*up, 1);
    EXPECT_EQ(up->tracks[0].freq, 20000);
    auto down = loaded("0s-99 o1 c1\r\n");
    render(*down, 5000);
    EXPECT_EQ(down->tracks[0].freq, 0);
    EXPECT_LT(down->tracks[0].sweep_offset, -190);
}

TEST(Gate, EightSeparatesNotesNineJoinsThem) {
    auto eight = loaded("0q8 c d\r\n");
    const int length = int(eight->tracks[0].event_left);
    render(*eight, length);
    EXPECT_EQ(eight->tracks[0].base_freq, note_frequency(50, 0));
    EXPECT_EQ(eight->tracks[0].env_restart, 1);

    auto nine = loaded("0q9 c d\r\n");
    render(*nine, length);
    EXPECT_EQ(nine->tracks[0].base_freq, note_frequency(50, 0));
    EXPECT_EQ(nine->tracks[0].env_restart, 0);  // legato: no new attack
}

TEST(Gate, ShortGateSilencesTheRestOfTheNote) {
    auto engine = loaded("0q1 @32 c1\r\n");
    const auto out = render(*engine, 20000);
    EXPECT_FALSE(silent({out.begin(), out.begin() + 2000}));
    EXPECT_TRUE(silent({out.begin() + 2 * 11026, out.end()}));
}

TEST(Gate, SteppedTriangleHoldsItsLevelThroughARest) {
    auto held = loaded("0@56 w99 c r1\r\n");
    const int note = int(held->tracks[0].event_left);
    render(*held, note + 10);
    const auto rest = render(*held, 1000);
    EXPECT_NE(rest[0], 0);
    for (std::size_t i = 2; i < rest.size(); i += 2) ASSERT_EQ(rest[i], rest[0]);
    EXPECT_EQ(held->tracks[0].freq, 0.0);

    auto closed = loaded("0@57 w99 c r1\r\n");
    render(*closed, note + 10);
    EXPECT_TRUE(silent(render(*closed, 1000)));
}

TEST(Timing, ZeroLengthNoteLastsOneFrame) {
    auto engine = loaded("0%0 c l8 d\r\n");
    render(*engine, 1);
    EXPECT_EQ(engine->tracks[0].base_freq, note_frequency(50, 0));
}

TEST(Timing, IdleTrackStillRunsItsOscillatorSilently) {
    auto engine = loaded("0c\r\n");
    TrackState& t = engine->tracks[0];
    t.active = 0;
    t.gate_on = 0;
    const double phase = t.phase;
    const double left = t.event_left;
    EXPECT_TRUE(silent(render(*engine, 100)));
    EXPECT_NE(t.phase, phase);
    EXPECT_EQ(t.event_left, left);
}

}  // namespace
}  // namespace bleepforge
