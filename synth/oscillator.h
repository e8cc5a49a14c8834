// Waveforms, the shared noise generator, the output low-pass and the pan.
#pragma once

#include <array>
#include <cstdint>

#include "sequencer/engine.h"

namespace bleepforge {

extern const std::array<double, 16> NOISE_RATE_TABLE;  // register steps per second, by variant
extern const std::array<double, 16> PAN_TABLE;         // entry k (1..15): cos((k - 1) * pi / 28)

constexpr double CYCLE = 44100.0;  // phase units of one waveform cycle
constexpr int AMPLITUDE = 6363;    // level of the pulse and noise waves

// Truncates toward zero and keeps the low 16 bits, as every sample is stored.
inline std::int16_t to_sample(double value) {
    return std::int16_t(std::uint16_t(std::int64_t(value)));
}

// The waveforms at a phase of 0..44100.
inline int pulse_wave(double phase, int threshold) { return phase <= threshold ? -AMPLITUDE : AMPLITUDE; }
inline int pulse_threshold(std::uint8_t tone) {  // tones 0..31
    const int k = tone % 16;
    return tone < 16 ? 44100 / (k + 2) : (k + 1) * 44100 / 16;
}
inline int saw_wave(double phase) { return int(2 * (AMPLITUDE - phase * 0.2885714285714286)); }
inline int triangle_wave(double phase, bool stepped) {
    // Shifted a quarter cycle so the wave starts at 0 and falls first; tones
    // from 56 hold each of 32 steps of 1378 phase units.
    double x = stepped ? double(std::int64_t(phase) / 1378 * 1378 + 11025) : phase + 11025;
    if (x > CYCLE) x -= CYCLE;
    const double y = x < 22050 ? AMPLITUDE - x * 0.5771428571428572
                               : -(AMPLITUDE - (x - 22050) * 0.5771428571428572);
    return int(y * 1.41);
}

// Adds `rate` to the noise clock `phase` and takes every whole cycle above 44100
// out of it; returns how many were taken (register steps due). Equal, bit for
// bit, to subtracting 44100 once per step: every such difference is exact.
// The count is the one n with 0 < x - n * 44100 <= 44100 (or 0), whatever the
// first guess: a guess of int(rate / 44100), made once per run, is off by at
// most one and keeps the division off the clock's chain of dependent steps.
// Always inlined, as the frame loops pass their own fields (see Live in voice.cpp).
// `guess_cycles` is guess * 44100, which a run works out once.
[[gnu::always_inline]] inline int noise_clock(double& phase, double rate, int guess, double guess_cycles) {
    const double x = phase + rate;
    if (!(x > CYCLE)) {
        phase = x;
        return 0;
    }
    int n = guess;
    double rest = x - guess_cycles;
    while (n > 0 && !(rest > 0)) rest = x - --n * CYCLE;
    // Taking one more cycle from a rest between 0 and x is exact, as x minus
    // any whole number of cycles up to x is: no need to multiply again.
    while (rest > CYCLE) {
        ++n;
        rest -= CYCLE;
    }
    phase = rest;
    return n;
}
[[gnu::always_inline]] inline int noise_clock(double& phase, double rate, int guess) {
    return noise_clock(phase, rate, guess, guess * CYCLE);
}
inline int noise_clock(double& phase, double rate) {
    const double x = phase + rate;
    return noise_clock(phase, rate, x > CYCLE ? int(x / CYCLE) : 0);
}

// One step of the shared 15-bit register `r` in `mode` (0 long, 1 short):
// shifts it right, feeding back the bit it returns at the top. Always
// inlined, as noise_clock: noise_steps passes it a frame loop's field.
[[gnu::always_inline]] constexpr int noise_shift(std::uint16_t& r, std::uint8_t mode) {
    const int f = (r ^ (r >> (mode ? 6 : 1))) & 1;
    r = std::uint16_t((r >> 1) | (f ? 0x4000 : 0));
    return f;
}

// `count` (>= 1) steps of the shared 15-bit register kept in `reg` and `last`
// (as Engine::noise_register and noise_mode_last); returns the last feedback
// bit. Equal to `count` calls of noise_step, several steps at once: the bits a
// step shifts in only depend on bits still in the register for up to 14 (long)
// or 9 (short) steps.
// Always inlined, as noise_clock.
[[gnu::always_inline]] inline int noise_steps(std::uint16_t& reg, std::uint8_t& last, std::uint8_t mode, int count) {
    if (mode != last) reg = 0x4000;
    last = mode;
    const int tap = mode ? 6 : 1;
    unsigned f = unsigned(noise_shift(reg, mode));
    unsigned r = reg;  // from here on r has 15 bits
    const int most = mode ? 9 : 14;
    for (int left = count - 1; left > 0;) {
        const int k = left < most ? left : most;
        const unsigned bits = (r ^ (r >> tap)) & ((1u << k) - 1);
        r = (r >> k) | (bits << (15 - k));
        f = (bits >> (k - 1)) & 1;
        left -= k;
    }
    reg = std::uint16_t(r);
    return int(f);
}

// The states the shared register passes through in one mode from 0x4000,
// where a change of mode puts it: a cycle, as a step can be undone (32767
// states long, 93 short). `states[i]` is the state i steps on, `place[state]`
// its index, or -1 for a state off the cycle. The feedback bit of a step is
// bit 14 of the state it makes, so the last bit of any number of steps is read
// off the state they end in.
struct NoiseCycle {
    int length;
    std::array<std::uint16_t, 32768> states;
    std::array<std::int16_t, 32768> place;
};
extern const std::array<NoiseCycle, 2> NOISE_CYCLES;  // by mode: 0 long, 1 short

// One stereo frame of `track`'s raw sound into out[0] (left) and out[1] (right):
// advances the phase, and with the gate open draws the waveform, filters and pans.
void oscillator_frame(Engine& engine, int track, std::int16_t out[2]);

// One step of the shared 15-bit register; mode 0 long, any other short. Returns the feedback bit.
int noise_step(Engine& engine, std::uint8_t mode);

}  // namespace bleepforge
