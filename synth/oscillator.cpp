#include "synth/oscillator.h"

namespace bleepforge {

const std::array<double, 16> NOISE_RATE_TABLE = {
    447443.125,  223721.5625, 111860.78125, 55930.390625, 27965.195313, 18643.463542,
    13982.597656, 11186.078125, 8860.259901,  7046.348425,  4709.927632,  3523.174213,
    2348.782808,  1761.587106,  879.927483,   439.963741,
};

// Index 0 is never used: pan runs 1..15.
const std::array<double, 16> PAN_TABLE = {
    1.0,      1.0,      0.993712, 0.974928, 0.943883, 0.900969, 0.846724, 0.781831,
    0.707107, 0.62349,  0.532032, 0.433884, 0.330279, 0.222521, 0.111964, 0.0,
};

namespace {

constexpr NoiseCycle noise_cycle(std::uint8_t mode) {
    NoiseCycle cycle{};
    cycle.place.fill(-1);
    std::uint16_t r = 0x4000;
    int i = 0;
    do {
        cycle.states[std::size_t(i)] = r;
        cycle.place[r] = std::int16_t(i++);
        noise_shift(r, mode);
    } while (r != 0x4000);
    cycle.length = i;
    return cycle;
}

}  // namespace

constexpr std::array<NoiseCycle, 2> NOISE_CYCLES = {noise_cycle(0), noise_cycle(1)};

namespace {

// The plain one-frame path below is the reference the block renderer in voice.cpp
// is tested against.

int pulse(double phase, int threshold) { return phase <= threshold ? -AMPLITUDE : AMPLITUDE; }

int triangle(double phase, std::uint8_t tone) {
    // Shifted a quarter cycle so the wave starts at 0 and falls first; tones
    // from 56 hold each of 32 steps of 1378 phase units.
    double x = tone < 56 ? phase + 11025 : double(std::int64_t(phase) / 1378 * 1378 + 11025);
    if (x > CYCLE) x -= CYCLE;
    const double y = x < 22050 ? AMPLITUDE - x * 0.5771428571428572
                               : -(AMPLITUDE - (x - 22050) * 0.5771428571428572);
    return int(y * 1.41);
}

int noise(Engine& engine, TrackState& t, int k, std::uint8_t mode) {
    t.noise_phase += NOISE_RATE_TABLE[k];
    while (t.noise_phase > CYCLE) {
        t.noise_phase -= CYCLE;
        t.noise_level = noise_step(engine, mode) ? -AMPLITUDE : AMPLITUDE;
    }
    return t.noise_level;
}

}  // namespace

int noise_step(Engine& engine, std::uint8_t mode) {
    if (mode != engine.noise_mode_last) engine.noise_register = 0x4000;
    engine.noise_mode_last = mode;
    return noise_shift(engine.noise_register, mode);
}

void oscillator_frame(Engine& engine, int track, std::int16_t out[2]) {
    TrackState& t = engine.tracks[track];
    t.phase += t.freq;
    if (t.phase >= CYCLE) t.phase -= CYCLE;
    if (!t.gate_on) {
        out[0] = out[1] = 0;
        return;
    }
    const int k = t.tone % 16;
    int value = 0;
    switch (t.tone / 16) {
    case 0: value = pulse(t.phase, 44100 / (k + 2)); break;
    case 1: value = pulse(t.phase, (k + 1) * 44100 / 16); break;
    case 2: value = int(2 * (AMPLITUDE - t.phase * 0.2885714285714286)); break;
    case 3: value = triangle(t.phase, t.tone); break;
    case 4: value = noise(engine, t, k, 0); break;
    case 5: value = noise(engine, t, k, 1); break;
    default: break;  // silent, but the filter below still runs and decays
    }
    out[0] = out[1] = std::int16_t(value);
    t.smooth_left = (out[0] - t.smooth_left) * t.smooth_coef + t.smooth_left;
    t.smooth_right = (out[1] - t.smooth_right) * t.smooth_coef + t.smooth_right;
    // The pan gain lands in the filter state, so it acts inside the feedback path.
    t.smooth_left = PAN_TABLE[t.pan] * t.smooth_left;
    t.smooth_right = PAN_TABLE[16 - t.pan] * t.smooth_right;
    out[0] = to_sample(t.smooth_left);
    out[1] = to_sample(t.smooth_right);
}

}  // namespace bleepforge
