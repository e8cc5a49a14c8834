#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>

#include "audio/mixer.h"
#include "mml/song.h"
#include "sequencer/interpreter.h"
#include "synth/oscillator.h"
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

// The renderer one frame at a time, every step in its plain form: the block
// renderer's runs, skips and batched noise steps must match it bit for bit.
void reference_voice(Engine& engine, int track, std::int16_t* block, int frames) {
    TrackState& t = engine.tracks[track];
    for (int f = 0; f < frames; ++f) {
        std::int16_t pair[2];
        oscillator_frame(engine, track, pair);
        t.sweep_offset += t.sweep_step;
        if (t.vibrato_wait != 0) --t.vibrato_wait;
        if (t.vibrato_wait == 0) {
            t.vibrato_offset += t.vibrato_slope;
            if (--t.vibrato_flip_left <= 0) {
                t.vibrato_flip_left = 3500;
                t.vibrato_slope = -t.vibrato_slope;
            }
        }
        t.freq = std::clamp((t.sweep_offset + t.base_freq) + t.vibrato_offset, 0.0, 20000.0);
        const double e = envelope_next(engine, track, t.env_restart);
        t.env_restart = 0;
        const double gain = VOLUME_TABLE[t.volume];
        block[2 * f] = to_sample(pair[0] * gain * e);
        block[2 * f + 1] = to_sample(pair[1] * gain * e);
        if (t.active) {
            t.fetch_budget = std::min(t.fetch_budget + FETCH_BUDGET_PER_SAMPLE, FETCH_BUDGET_MAX);
            t.event_left -= 1.0;
            t.gate_left -= 1.0;
            if (t.gate_left < 1.0 && t.tie == 0) {
                t.gate_on = t.tone == 56;
                if (t.tone == 56) t.freq = 0.0;
            }
            if (t.event_left < 1.0) fetch_events(engine, track);
        }
    }
}

std::vector<std::int16_t> reference_mix(Engine& engine) {
    std::vector<std::int32_t> sum(BLOCK_SAMPLES);
    std::vector<std::int16_t> samples(BLOCK_SAMPLES);
    for (int k = 0; k < TRACK_COUNT; ++k) {
        reference_voice(engine, k, samples.data(), BLOCK_FRAMES);
        for (int j = 0; j < BLOCK_SAMPLES; ++j) sum[j] += std::int32_t(samples[j] * engine.tracks[k].mix_gain);
    }
    for (int j = 0; j < BLOCK_SAMPLES; ++j) samples[j] = std::int16_t(std::clamp(double(sum[j]), -32768.0, 32767.0));
    return samples;
}

// Every field a frame changes, which a later load may keep, bit for bit (the sign of a zero too).
std::vector<std::uint64_t> frame_state(const Engine& engine) {
    std::vector<std::uint64_t> v = {engine.noise_register, engine.noise_mode_last};
    const auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
    for (const TrackState& t : engine.tracks) {
        v.insert(v.end(), {bits(t.phase), bits(t.freq), bits(t.sweep_offset), bits(t.vibrato_offset),
                           bits(t.vibrato_slope), bits(t.env_level), t.env_phase, t.env_restart, bits(t.event_left),
                           bits(t.gate_left), bits(t.smooth_left), bits(t.smooth_right), bits(t.noise_phase),
                           std::uint64_t(t.noise_level), t.vibrato_wait, std::uint64_t(t.vibrato_flip_left),
                           std::uint64_t(t.fetch_budget), t.gate_on, t.active});
    }
    return v;
}

struct SongPair {
    const char* name;
    const char* first;   // played until every track has been idle a while
    const char* second;  // then loaded over it
};
void PrintTo(const SongPair& p, std::ostream* os) { *os << p.name; }

class BlockRenderer : public ::testing::TestWithParam<SongPair> {};

TEST_P(BlockRenderer, MatchesTheFrameByFrameRendererAcrossIdleTracksAndReloads) {
    for (std::uint8_t level = SIMD_PLAIN; level <= vector_synth_best(); ++level) {
        SCOPED_TRACE("SIMD level " + std::to_string(level));
        auto fast = std::make_unique<Engine>();
        fast->vector_synth = level;
        auto plain = std::make_unique<Engine>();
        // Loaded once only: its idle tracks rest, and must still give the same mix and stems.
        auto once = std::make_unique<Engine>();
        once->vector_synth = level;
        once->loads_no_more = true;
        load_song(*once, GetParam().first);
        std::vector<std::int16_t> tap(std::size_t{TRACK_COUNT} * BLOCK_SAMPLES), once_tap(tap.size(), 1);
        fast->track_tap = tap.data();
        once->track_tap = once_tap.data();
        std::array<std::int16_t, BLOCK_SAMPLES> block, once_block;
        int index = 0;
        for (const char* song : {GetParam().first, GetParam().second}) {
            load_song(*fast, song);
            load_song(*plain, song);
            for (int b = 0; b < 40; ++b, ++index) {
                mix_block(*fast, block.data());
                const std::vector<std::int16_t> expected = reference_mix(*plain);
                ASSERT_TRUE(std::equal(block.begin(), block.end(), expected.begin())) << "block " << index;
                ASSERT_EQ(frame_state(*fast), frame_state(*plain)) << "block " << index;
                if (index >= 40) continue;
                mix_block(*once, once_block.data());
                ASSERT_EQ(once_block, block) << "block " << index;
                ASSERT_EQ(once_tap, tap) << "block " << index;
            }
        }
    }
}

// `blocks` blocks of the block renderer against the frame-by-frame one.
void expect_same_blocks(Engine& fast, Engine& plain, int blocks) {
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    for (int b = 0; b < blocks; ++b) {
        mix_block(fast, block.data());
        const std::vector<std::int16_t> expected = reference_mix(plain);
        ASSERT_TRUE(std::equal(block.begin(), block.end(), expected.begin())) << "block " << b;
        ASSERT_EQ(frame_state(fast), frame_state(plain)) << "block " << b;
    }
}

// At every SIMD level, `blocks` blocks of `song` with `change` made to the
// loaded state against the frame-by-frame renderer with the same change.
void expect_same_at_every_level(const char* song, const std::function<void(Engine&)>& change, int blocks) {
    for (std::uint8_t level = SIMD_PLAIN; level <= vector_synth_best(); ++level) {
        SCOPED_TRACE("SIMD level " + std::to_string(level));
        auto fast = std::make_unique<Engine>();
        fast->vector_synth = level;
        auto plain = std::make_unique<Engine>();
        for (Engine* e : {fast.get(), plain.get()}) {
            load_song(*e, song);
            change(*e);
        }
        expect_same_blocks(*fast, *plain, blocks);
    }
}

// Filter states beyond what the widest lanes take exactly: those tracks, and
// the tracks filtered beside them, fall back to narrower lanes or the plain
// path, and every level still gives the frame-by-frame samples.
TEST(BlockRenderer, FilterStatesOutsideTheLanesBoundsFallBack) {
    const char* song = "0@2 l4 c\r\n1@17 l8 c\r\n2@32 l4 c\r\n3@48 l2 c\r\n4@64 l4 c\r\n";
    for (const double state : {32767.5, -40000.25, 1.5e9, -3.0e12}) {
        SCOPED_TRACE("state " + std::to_string(state));
        expect_same_at_every_level(song, [state](Engine& e) {
            e.tracks[1].smooth_left = state;
            e.tracks[3].smooth_right = -state;
        }, 3);
    }
}

// Phases and noise clocks outside one cycle (no song leads there, as every
// frequency is clamped and every clock wraps): the waveforms leave 16 bits and
// wrap, and the noise steps more than once a cycle, every level as frame by frame.
TEST(BlockRenderer, PhasesOutsideTheCycleMatch) {
    const char* song = "0@32 l4 c\r\n1@48 l8 c\r\n2@56 l4 c\r\n3@2 l2 c\r\n4@66 l4 c\r\n5@84 l8 c\r\n";
    for (const double phase : {-5000.25, 50000.5, 1.0e6 + 0.5}) {
        SCOPED_TRACE("phase " + std::to_string(phase));
        expect_same_at_every_level(song, [phase](Engine& e) {
            for (int k = 0; k < 4; ++k) e.tracks[k].phase = phase;
            for (TrackState& t : {std::ref(e.tracks[4]), std::ref(e.tracks[5])}) {
                t.noise_phase = phase;
                t.env_restart = 0;  // steady from the first frame, where the clock is as set
                t.env_phase = 2;
                t.env_level = 1.0;
            }
        }, 2);
    }
}

// A register off its mode's cycle (no song leads there) is stepped one step
// at a time, still as the frame-by-frame renderer steps it.
TEST(BlockRenderer, ARegisterOffTheNoiseCycleStillMatches) {
    std::uint16_t off = 1;
    while (NOISE_CYCLES[1].place[off] != -1) ++off;
    auto fast = std::make_unique<Engine>();
    auto plain = std::make_unique<Engine>();
    for (Engine* e : {fast.get(), plain.get()}) {
        load_song(*e, "0@84 l4 c\r\n1@88 l8 c\r\n");
        e->noise_register = off;
        e->noise_mode_last = 1;
    }
    expect_same_blocks(*fast, *plain, 3);
}

// Sweeps that reach the top and the bottom of the pitch range in the middle
// of a run (as a long enough tied note does), and ones that start beyond
// them, stop there or come back in as frame by frame.
TEST(BlockRenderer, SweepsAtTheirBoundsMatch) {
    auto fast = std::make_unique<Engine>();
    auto plain = std::make_unique<Engine>();
    const double hz[] = {19980.0, 2.0, 20010.0, -10.0};  // each track's pitch to sweep from
    for (Engine* e : {fast.get(), plain.get()}) {
        load_song(*e, "0@2 s99 o8 l1 e&e&e\r\n1@17 s-99 l1 c&c&c\r\n2@32 s-99 l1 c&c&c\r\n3@48 s99 l1 c&c&c\r\n");
        std::array<std::int16_t, BLOCK_SAMPLES> block;
        mix_block(*e, block.data());
        for (int k = 0; k < 4; ++k) e->tracks[k].sweep_offset = hz[k] - e->tracks[k].base_freq;
    }
    expect_same_blocks(*fast, *plain, 3);
    EXPECT_EQ(fast->tracks[0].freq, 20000.0);
    EXPECT_EQ(fast->tracks[1].freq, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Songs, BlockRenderer,
    ::testing::Values(
        // Sweeps and vibrato left running on idle tracks, then rests before the first notes.
        SongPair{"SweepThenRest", "0@2 s-40 l4 c\r\n1@17 m20 n30 l4 c\r\n2@32 s25 l8 c\r\n",
                 "0@2 l4 r c\r\n1@17 r c\r\n2@32 l2 r c\r\n"},
        // Both noise modes on several tracks, stopping at different times.
        SongPair{"NoiseModes", "0@64 l4 c\r\n1@80 l2 c\r\n2@70 l8 c r c\r\n3@95 l16 c\r\n",
                 "1@64 r c\r\n2@84 c c\r\n"},
        // The slowest noise of the other mode starting 87 frames before a block
        // ends, too few for a step; then the first mode's track goes on alone.
        SongPair{"NoiseTooShortToStep", "0@64 l1 c&c\r\n1t117 @95 l64 r c c\r\n", "0@64 l2 c\r\n1@95 l64 r c\r\n"},
        // Every family, stepped triangle, short gates, ties and loops.
        SongPair{"Families",
                 "0@2 h90 i5 j60 l16 [cdef]3\r\n1@17 p4 l8 c&c e\r\n2@32 p12 w30 l4 c g\r\n3@48 l8 c g4\r\n"
                 "4@56 l16 c>c<c\r\n5@66 q2 l16 c c c\r\n6@84 q1 l8 r c\r\n7@100 l8 c\r\n",
                 "0L @56 l8 c g\r\n4@23 s-20 D15 l4 c d\r\n"},
        // Levels and pitches that hold still: zero attack, zero decay, a vibrato of depth 0
        // (its counters still run, with and without a delay), and envelopes that turn mid-note.
        SongPair{"SteadyAndTurning",
                 "0@2 h0 l2 c\r\n1@17 h99 i0 m0 n3 l1 c\r\n2@32 m0 l1 c&c\r\n3@48 m0 n9 l2 c c\r\n"
                 "4@20 h40 i9 j30 l1 c\r\n5@64 h9 i99 j80 l2 c\r\n6@2 m3 n2 l1 c\r\n",
                 "0@2 l1 r c\r\n1@17 m5 l2 c\r\n3@56 q4 l2 c r c\r\n"},
        // Panned tracks beside centred ones, then tracks panned back to the centre.
        SongPair{"PannedAndCentred",
                 "0@2 p3 l8 c e\r\n1@17 p5 l8 c\r\n2@32 l4 c\r\n3@48 p13 l8 c g\r\n4@2 p14 l4 c\r\n5@17 l8 c\r\n",
                 "0@2 p8 l4 c\r\n1@17 l8 c c\r\n3@48 p8 l8 c\r\n6@32 l4 c\r\n7@2 l8 c\r\n"},
        // Envelopes resting at levels of their own, centred and panned, beside full levels
        // and a slow envelope that rests only later.
        SongPair{"RestingLevels",
                 "0@2 h99 i99 j20 l1 c\r\n1@17 h99 i99 j40 l1 c\r\n2@32 h99 i99 j60 l1 c\r\n3@2 h99 i99 j80 l1 c\r\n"
                 "4@17 p3 h99 i99 j30 l1 c\r\n5@32 p13 h99 i99 j70 l1 c\r\n6@48 p5 l2 c c\r\n7@2 h20 i3 j50 l1 c\r\n",
                 "0@2 l4 c\r\n4@17 h99 i99 j30 l2 c\r\n5@2 p4 h99 i99 j90 l2 c\r\n"},
        // Sweeps under a vibrato of depth 0 whose counters run through them, and under a moving one.
        SongPair{"SweepOverStillVibrato",
                 "0@2 s-30 m0 n5 l1 c\r\n1@17 s25 m0 l2 c c\r\n2@32 s-10 m3 n2 l1 c\r\n3@20 s5 m0 n40 l1 c\r\n",
                 "0@2 s10 m0 n1 l2 c\r\n2@48 s-5 m0 l1 c\r\n"},
        // Vibratos waiting through whole notes and into them (alone, under a sweep and a
        // moving envelope), with noise tracks between tracks whose steady runs go side by side.
        SongPair{"WaitingVibratoAndSharedNoise",
                 "0@2 h90 i5 j60 m8 n10 l16 [cdef]4\r\n1@17 m30 n1 l4 c d\r\n2@64 l8 c c\r\n"
                 "3@32 m5 n40 s-3 l2 c\r\n4@80 q3 l16 c c c\r\n5@48 l8 c g\r\n6@66 l4 c\r\n7@2 l8 c r c\r\n",
                 "1@64 l8 c c\r\n5@84 m9 n2 l4 c\r\n6@56 l16 c>c<c\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bleepforge
