#include <cmath>

#include <gtest/gtest.h>

#include "synth/oscillator.h"

namespace bleepforge {
namespace {

// A track whose filter passes its input and whose pan sends it all left, so
// the left sample is the raw waveform value.
struct RawTrack {
    std::unique_ptr<Engine> engine = std::make_unique<Engine>();
    TrackState& t = engine->tracks[0];
    RawTrack(std::uint8_t tone) {
        t.tone = tone;
        t.gate_on = 1;
        t.smooth_coef = 1.0;
        t.pan = 1;
    }
    std::int16_t at(double phase) {
        t.phase = phase;
        t.freq = 0;
        std::int16_t out[2];
        oscillator_frame(*engine, 0, out);
        EXPECT_EQ(out[1], 0);  // pan 1: nothing on the right
        return out[0];
    }
};

TEST(Waveforms, Pulses) {
    RawTrack square(23);
    EXPECT_EQ(square.at(0), -6363);
    EXPECT_EQ(square.at(22050), -6363);
    EXPECT_EQ(square.at(22050.5), 6363);
    RawTrack narrow(0 + 15);  // threshold 44100 / 17 = 2594
    EXPECT_EQ(narrow.at(2594), -6363);
    EXPECT_EQ(narrow.at(2595), 6363);
    RawTrack wide(16);  // threshold 2756
    EXPECT_EQ(wide.at(2756), -6363);
    EXPECT_EQ(wide.at(2757), 6363);
    RawTrack constant(31);
    EXPECT_EQ(constant.at(44099.9), -6363);
}

TEST(Waveforms, SawtoothHasTwiceTheSwing) {
    RawTrack saw(32);
    EXPECT_EQ(saw.at(0), 12726);
    EXPECT_EQ(saw.at(44099.99), -12725);
    EXPECT_EQ(saw.at(22050), 0);
}

TEST(Waveforms, TrianglesStartAtZeroAndFallFirst) {
    RawTrack smooth(48);
    EXPECT_EQ(smooth.at(0), 0);
    EXPECT_EQ(smooth.at(11025), -8971);
    EXPECT_EQ(smooth.at(22050), 0);
    EXPECT_EQ(smooth.at(33075), 8971);
    RawTrack stepped(56);
    // 33 steps of 1378 phase units, each holding one level.
    for (int step = 0; step <= 32; ++step) {
        const int first = step * 1378, last = step == 32 ? 44099 : first + 1377;
        EXPECT_EQ(stepped.at(last + 0.9), stepped.at(first)) << step;
    }
    EXPECT_NE(stepped.at(1378), stepped.at(1377.9));
    // The vector path takes the step by the reciprocal: the same for every
    // whole phase it is given (below 2^20).
    const double per_step = 1.0 / 1378;
    for (int whole = 0; whole < 1 << 20; ++whole) {
        ASSERT_EQ(std::trunc(whole * per_step), std::trunc(whole / 1378.0)) << whole;
    }
}

TEST(Waveforms, SilentTonesDecayThroughTheFilter) {
    RawTrack silent(96);
    silent.t.smooth_coef = 0.5;
    silent.t.smooth_left = 1000;
    EXPECT_EQ(silent.at(0), 500);
    EXPECT_EQ(silent.at(0), 250);
}

TEST(Oscillator, PhaseRunsWithTheGateClosed) {
    RawTrack track(23);
    track.t.gate_on = 0;
    track.t.freq = 30000;
    track.t.phase = 20000;
    track.t.smooth_left = 77;
    std::int16_t out[2] = {1, 1};
    oscillator_frame(*track.engine, 0, out);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(track.t.phase, 5900);
    EXPECT_EQ(track.t.smooth_left, 77);
}

TEST(Oscillator, PanGainLivesInsideTheFilter) {
    RawTrack track(31);  // constant -6363
    track.t.pan = 8;
    std::int16_t out[2];
    oscillator_frame(*track.engine, 0, out);
    EXPECT_EQ(out[0], std::int16_t(-6363 * 0.707107));
    EXPECT_EQ(out[0], out[1]);
    // With a slow filter the panned state settles well below g * x.
    track.t.smooth_coef = 0.01;
    for (int i = 0; i < 5000; ++i) oscillator_frame(*track.engine, 0, out);
    const double g = 0.707107, a = 0.01;
    EXPECT_NEAR(out[0], g * a * -6363 / (1 - g * (1 - a)), 1.0);
}

TEST(Noise, LongAndShortPeriods) {
    auto engine = std::make_unique<Engine>();
    auto period = [&](std::uint8_t mode) {
        noise_step(*engine, mode);
        const std::uint16_t start = engine->noise_register;
        for (int n = 1; n < 40000; ++n) {
            noise_step(*engine, mode);
            if (engine->noise_register == start) return n;
        }
        return -1;
    };
    EXPECT_EQ(period(0), 32767);
    EXPECT_EQ(period(1), 93);
}

TEST(Noise, ModeChangeResetsTheSharedRegister) {
    auto engine = std::make_unique<Engine>();
    for (int i = 0; i < 10; ++i) noise_step(*engine, 0);
    ASSERT_NE(engine->noise_register, 0x4000);
    noise_step(*engine, 1);
    auto fresh = std::make_unique<Engine>();
    fresh->noise_mode_last = 1;
    noise_step(*fresh, 1);
    EXPECT_EQ(engine->noise_register, fresh->noise_register);
}

TEST(Noise, RateSetsStepsPerFrameAndLevelHoldsBetween) {
    RawTrack fast(64);
    fast.at(0);
    EXPECT_GE(fast.t.noise_phase, 0);
    const std::uint16_t before = fast.engine->noise_register;
    fast.at(0);
    EXPECT_NE(fast.engine->noise_register, before);  // 10 or 11 steps per frame at rate 0

    RawTrack slow(79);  // rate 15: one step about every 100 frames
    slow.t.noise_level = 6363;
    int steps = 0;
    std::uint16_t reg = slow.engine->noise_register;
    for (int i = 0; i < 1000; ++i) {
        std::int16_t v = slow.at(0);
        EXPECT_TRUE(v == 6363 || v == -6363);
        if (slow.engine->noise_register != reg) ++steps, reg = slow.engine->noise_register;
    }
    EXPECT_EQ(steps, 9);
}

// The clock's count and remainder are those of subtracting 44100 step by step,
// whatever the first guess (the renderer guesses once per run).
TEST(Noise, ClockCountDoesNotDependOnTheGuess) {
    for (const double rate : NOISE_RATE_TABLE) {
        double phase = 0, reference = 0;
        for (int frame = 0; frame < 3000; ++frame) {
            reference += rate;
            int steps = 0;
            for (; reference > CYCLE; ++steps) reference -= CYCLE;
            const int exact = int(rate / CYCLE);
            for (const int guess : {0, exact, exact + 1, exact + 7}) {
                double guessed = phase;
                ASSERT_EQ(noise_clock(guessed, rate, guess), steps) << rate << " " << frame << " " << guess;
                ASSERT_EQ(guessed, reference) << rate << " " << frame << " " << guess;
            }
            noise_clock(phase, rate);
            ASSERT_EQ(phase, reference);
        }
    }
}

}  // namespace
}  // namespace bleepforge
