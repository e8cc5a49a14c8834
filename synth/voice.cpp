#include "synth/voice.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <immintrin.h>
#define BLEEPFORGE_HAVE_SSE2 1
#if defined(__GNUC__)
#define BLEEPFORGE_HAVE_AVX2 1
#endif
#endif

#include "sequencer/interpreter.h"
#include "synth/oscillator.h"

namespace bleepforge {

const std::array<double, 16> VOLUME_TABLE = {
    0.0,      0.007813, 0.011049, 0.015625, 0.022097, 0.03125, 0.044194, 0.0625,
    0.088388, 0.125,    0.176777, 0.25,     0.353553, 0.5,     0.707107, 1.0,
};

double envelope_next(Engine& engine, int track, std::uint8_t restart) {
    TrackState& t = engine.tracks[track];
    if (restart) {
        t.env_level = 0.0;
        t.env_phase = 0;
    }
    if (t.tone / 16 == 3) {  // triangles always play at full level
        t.env_level = 1.0;
        return 1.0;
    }
    if (t.env_phase == 0) {
        t.env_level += t.attack_step;
        if (t.env_level > 1.0) {
            t.env_level = 1.0;
            t.env_phase = 1;
        }
    } else if (t.env_phase == 1) {
        t.env_level -= t.decay_step;
        if (t.env_level < t.sustain_level) {
            t.env_level = t.sustain_level;
            t.env_phase = 2;
        }
    }
    return t.env_level;
}

std::uint8_t vector_synth_best() {
#if defined(BLEEPFORGE_HAVE_AVX2)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return SIMD_AVX2;
#endif
#if defined(BLEEPFORGE_HAVE_SSE2)
    return SIMD_SSE2;
#else
    return SIMD_PLAIN;
#endif
}

std::uint8_t vector_synth_default() {
    static const std::uint8_t level = [] {
        const char* value = std::getenv("BLEEPFORGE_SIMD");
        const std::string_view asked = value ? value : "";
        if (asked == "off") return SIMD_PLAIN;
        return asked == "sse2" ? std::min(SIMD_SSE2, vector_synth_best()) : vector_synth_best();
    }();
    return level;
}

namespace {

// Waveform families by the tone's high nibble; 6 and above are silent.
enum Family { PULSE, SAW = 2, TRIANGLE = 3, NOISE_LONG = 4, NOISE_SHORT = 5, SILENT = 6 };

// The fields a frame changes, held in registers through a run of frames. The
// helpers that take one by reference are always inlined: were its address to
// reach a call, every store to the work areas might change it as far as the
// compiler knows, and the frame loops would keep it in memory (how the
// program is linked decided which way it went, and a third more instructions).
struct Live {
    double phase, freq, sweep_offset, vibrato_offset, vibrato_slope, env_level;
    double event_left, gate_left, noise_phase;
    std::uint32_t vibrato_wait;
    std::int32_t vibrato_flip_left, fetch_budget;
    std::int16_t noise_level;
    std::uint8_t env_phase, env_restart, gate_on;
    std::uint16_t noise_register;
    std::uint8_t noise_mode_last;

    Live(const Engine& engine, const TrackState& t)
        : phase(t.phase), freq(t.freq), sweep_offset(t.sweep_offset), vibrato_offset(t.vibrato_offset),
          vibrato_slope(t.vibrato_slope), env_level(t.env_level), event_left(t.event_left),
          gate_left(t.gate_left), noise_phase(t.noise_phase), vibrato_wait(t.vibrato_wait),
          vibrato_flip_left(t.vibrato_flip_left), fetch_budget(t.fetch_budget), noise_level(t.noise_level), env_phase(t.env_phase),
          env_restart(t.env_restart), gate_on(t.gate_on), noise_register(engine.noise_register),
          noise_mode_last(engine.noise_mode_last) {}

    void store(Engine& engine, TrackState& t) const {
        t.phase = phase;
        t.freq = freq;
        t.sweep_offset = sweep_offset;
        t.vibrato_offset = vibrato_offset;
        t.vibrato_slope = vibrato_slope;
        t.env_level = env_level;
        t.event_left = event_left;
        t.gate_left = gate_left;
        t.noise_phase = noise_phase;
        t.vibrato_wait = vibrato_wait;
        t.vibrato_flip_left = vibrato_flip_left;
        t.fetch_budget = fetch_budget;
        t.noise_level = noise_level;
        t.env_phase = env_phase;
        t.env_restart = env_restart;
        t.gate_on = gate_on;
        engine.noise_register = noise_register;
        engine.noise_mode_last = noise_mode_last;
    }
};

// Frames until a value that falls by 1.0 per frame is below 1 (at least one).
int frames_below_one(double left) { return left >= 1.0 ? int(std::min(std::floor(left), 1e9)) : 1; }

// Frames, up to `most`, through which a value that moves by `step` (> 0) a
// frame, rounding each time, surely stays `distance` or less away from where
// it started, short of a bound that far: each rounding is at most half a unit
// in the last place of `scale`, which bounds every value on the way. Leaves
// a frame to spare for the rounding of this sum itself.
int frames_short_of(double distance, double step, double scale, int most) {
    const double err = (most + 3) * scale * 0x1p-52;
    if (!(step > 0) || !(distance - err > 0)) return 0;  // NaN included
    const double frames = std::floor((distance - err) / step) - 1;
    return frames >= most ? most : frames > 0 ? int(frames) : 0;
}

// Advances the vibrato's wait and flip counters (and the slope's sign) over
// `frames` frames of a run whose vibrato offset stays as it is, as the frames
// would one at a time.
[[gnu::always_inline]] inline void count_vibrato(Live& s, int frames) {
    int moving = frames;  // frames in which the vibrato part runs
    if (s.vibrato_wait != 0) {
        if (s.vibrato_wait > std::uint32_t(frames)) {
            s.vibrato_wait -= std::uint32_t(frames);
            return;
        }
        moving = frames - int(s.vibrato_wait) + 1;
        s.vibrato_wait = 0;
    }
    const int first_flip = std::max(s.vibrato_flip_left, 1);  // moving frames up to the first flip
    if (moving < first_flip) {
        s.vibrato_flip_left -= moving;
        return;
    }
    const int after = moving - first_flip;
    s.vibrato_flip_left = 3500 - after % 3500;
    if ((1 + after / 3500) % 2) s.vibrato_slope = -s.vibrato_slope;
}

// True when the envelope (not restarting) keeps its level: sustaining, or
// adding or subtracting a zero step without reaching a turn.
[[gnu::always_inline]] inline bool envelope_rests(const Live& s, double attack_step, double decay_step,
                                                  double sustain_level) {
    switch (s.env_phase) {
    case 0:
        return attack_step == 0 && (std::signbit(attack_step) || !std::signbit(s.env_level)) && !(s.env_level > 1.0);
    case 1: return decay_step == 0 && !std::signbit(decay_step) && !(s.env_level < sustain_level);
    default: return true;
    }
}

// Appends frames up to `end` to the track's runs, joining the last run where
// gate, filter, pan, volume and whether the levels are 1.0 stay the same.
void add_run(Engine& engine, int track, const VoiceRun& run) {
    int& count = engine.voice_run_count[track];
    VoiceRun* runs = engine.voice_runs[track].data();
    if (count > 0) {
        VoiceRun& last = runs[count - 1];
        if (last.gate == run.gate &&
            (!run.gate || (last.coef == run.coef && last.pan_left == run.pan_left &&
                           last.pan_right == run.pan_right && last.gain == run.gain &&
                           last.unit_level == run.unit_level))) {
            last.end = run.end;
            return;
        }
    }
    runs[count++] = run;
}

#ifdef BLEEPFORGE_HAVE_SSE2
// The waveform values of frames [first, end) from the phases in `raw`, two
// frames at a time, with the scalar waveforms' operations on each lane (every
// intermediate integer is exact in a double); the levels `e`. Returns the
// first frame left to the scalar loop. Without LEVEL the levels are in place.
template <int F, bool LEVEL>
int waves_from_phases(double* raw, double* levels, int first, int end, int threshold, bool stepped, double e) {
    const __m128d edge = _mm_set1_pd(threshold), amplitude = _mm_set1_pd(AMPLITUDE), cycle = _mm_set1_pd(CYCLE);
    const __m128d quarter = _mm_set1_pd(11025), half = _mm_set1_pd(22050), step = _mm_set1_pd(1378);
    const __m128d sign = _mm_set1_pd(-0.0), level = _mm_set1_pd(e);
    int f = first;
    for (; f + 2 <= end; f += 2) {
        const __m128d phase = _mm_loadu_pd(raw + f);
        __m128d wave;
        if constexpr (F == PULSE) {
            const __m128d low = _mm_cmple_pd(phase, edge);
            wave = _mm_xor_pd(amplitude, _mm_and_pd(low, sign));
        } else if constexpr (F == SAW) {
            wave = _mm_mul_pd(_mm_set1_pd(2), _mm_sub_pd(amplitude, _mm_mul_pd(phase, _mm_set1_pd(0.2885714285714286))));
        } else {
            __m128d x;
            if (stepped) {
                const __m128d whole = _mm_cvtepi32_pd(_mm_cvttpd_epi32(phase));
                const __m128d steps = _mm_cvtepi32_pd(_mm_cvttpd_epi32(_mm_div_pd(whole, step)));
                x = _mm_add_pd(_mm_mul_pd(steps, step), quarter);
            } else {
                x = _mm_add_pd(phase, quarter);
            }
            const __m128d over = _mm_cmpgt_pd(x, cycle);
            x = _mm_or_pd(_mm_and_pd(over, _mm_sub_pd(x, cycle)), _mm_andnot_pd(over, x));
            const __m128d k = _mm_set1_pd(0.5771428571428572);
            const __m128d falling = _mm_sub_pd(amplitude, _mm_mul_pd(x, k));
            const __m128d rising = _mm_xor_pd(sign, _mm_sub_pd(amplitude, _mm_mul_pd(_mm_sub_pd(x, half), k)));
            const __m128d low = _mm_cmplt_pd(x, half);
            wave = _mm_mul_pd(_mm_or_pd(_mm_and_pd(low, falling), _mm_andnot_pd(low, rising)), _mm_set1_pd(1.41));
        }
        if constexpr (F == PULSE) {
            _mm_storeu_pd(raw + f, wave);  // whole and within 16 bits already
        } else {
            // int(wave), then its low 16 bits as a signed value
            const __m128i value = _mm_srai_epi32(_mm_slli_epi32(_mm_cvttpd_epi32(wave), 16), 16);
            _mm_storeu_pd(raw + f, _mm_cvtepi32_pd(value));
        }
        if constexpr (LEVEL) _mm_storeu_pd(levels + f, level);
    }
    return f;
}
#endif

#ifdef BLEEPFORGE_HAVE_AVX2
// waves_from_phases four frames at a time, for processors with AVX2 (chosen
// at run time); the scalar loop finishes any frames left. With IN_CYCLE every
// phase lies in [0, CYCLE): then a waveform never leaves 16 bits, and the
// stepped triangle's whole phase times the reciprocal of 1378 truncates to
// the same step as the quotient (as the tests check for every whole number
// below 2^20).
template <int F, bool LEVEL, bool IN_CYCLE>
__attribute__((target("avx2"))) int waves_from_phases_avx2(double* raw, double* levels, int first, int end,
                                                           int threshold, bool stepped, double e) {
    const __m256d edge = _mm256_set1_pd(threshold), amplitude = _mm256_set1_pd(AMPLITUDE);
    const __m256d cycle = _mm256_set1_pd(CYCLE), quarter = _mm256_set1_pd(11025), half = _mm256_set1_pd(22050);
    const __m256d step = _mm256_set1_pd(1378), sign = _mm256_set1_pd(-0.0), level = _mm256_set1_pd(e);
    const __m256d per_step = _mm256_set1_pd(1.0 / 1378);
    int f = first;
    for (; f + 4 <= end; f += 4) {
        const __m256d phase = _mm256_loadu_pd(raw + f);
        __m256d wave;
        if constexpr (F == PULSE) {
            wave = _mm256_xor_pd(amplitude, _mm256_and_pd(_mm256_cmp_pd(phase, edge, _CMP_LE_OQ), sign));
        } else if constexpr (F == SAW) {
            wave = _mm256_mul_pd(_mm256_set1_pd(2),
                                 _mm256_sub_pd(amplitude, _mm256_mul_pd(phase, _mm256_set1_pd(0.2885714285714286))));
        } else {
            __m256d x;
            if (stepped) {
                const __m256d whole = _mm256_round_pd(phase, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
                const __m256d ratio = IN_CYCLE ? _mm256_mul_pd(whole, per_step) : _mm256_div_pd(whole, step);
                const __m256d steps = _mm256_round_pd(ratio, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
                x = _mm256_add_pd(_mm256_mul_pd(steps, step), quarter);
            } else {
                x = _mm256_add_pd(phase, quarter);
            }
            x = _mm256_blendv_pd(x, _mm256_sub_pd(x, cycle), _mm256_cmp_pd(x, cycle, _CMP_GT_OQ));
            const __m256d k = _mm256_set1_pd(0.5771428571428572);
            const __m256d falling = _mm256_sub_pd(amplitude, _mm256_mul_pd(x, k));
            const __m256d rising =
                _mm256_xor_pd(sign, _mm256_sub_pd(amplitude, _mm256_mul_pd(_mm256_sub_pd(x, half), k)));
            wave = _mm256_mul_pd(_mm256_blendv_pd(rising, falling, _mm256_cmp_pd(x, half, _CMP_LT_OQ)),
                                 _mm256_set1_pd(1.41));
        }
        if constexpr (F == PULSE) {
            _mm256_storeu_pd(raw + f, wave);  // whole and within 16 bits already
        } else if constexpr (IN_CYCLE) {
            _mm256_storeu_pd(raw + f, _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(wave)));
        } else {
            const __m128i whole = _mm256_cvttpd_epi32(wave);
            const __m128i value = _mm_srai_epi32(_mm_slli_epi32(whole, 16), 16);
            _mm256_storeu_pd(raw + f, _mm256_cvtepi32_pd(value));
        }
        if constexpr (LEVEL) _mm256_storeu_pd(levels + f, level);
    }
    return f;
}
#endif

// The first stage of frames [first, end) of one track while its tone family
// and gate stay as they were at `first`: the same operations in the same order
// as oscillator_frame and the frame steps of render_voice, with the family's
// choices made once, up to the filter. With the gate open it keeps each frame's
// raw waveform value and envelope level for the second stage (filter_runs);
// with it closed it writes the frame's zeros into `block`. Returns the frame
// after the last one rendered: it stops early after a frame that fetched events
// or opened or closed the gate.
//
// With `plan` set it only looks: it returns the end of the run when the run is
// steady (see below) and the family steps no noise, else -1, changing nothing,
// and sets plan->counts_gate when such a run counts a closed gate down frame
// by frame. With `prefilled` frames (of a steady run, as planned), raw_values
// already holds the phase after each of them, and for a gate counted down the
// level slot of the last one holds gate_left after them (see phase_chains).
struct Plan {
    bool counts_gate;
};
template <int F, bool GATE>
int render_run(Engine& engine, int track, std::int16_t* block, int first, int end, Plan* plan = nullptr,
               int prefilled = 0) {
    TrackState& t = engine.tracks[track];
    Live s(engine, t);
    const double base_freq = t.base_freq, sweep_step = t.sweep_step;
    const double attack_step = t.attack_step, decay_step = t.decay_step, sustain_level = t.sustain_level;
    double* const raw_values = engine.voice_values[track].raw.data();
    double* const levels = engine.voice_values[track].level.data();
    const bool active = t.active, tie = t.tie, holds_level = t.tone == 56;
    const int threshold = F == PULSE ? pulse_threshold(t.tone) : 0;
    // Frequencies from 0 to 20000 (as every frame leaves them) keep a phase
    // within one cycle there.
    const bool in_cycle = s.phase >= 0 && s.phase < CYCLE && s.freq >= 0 && s.freq <= 20000;
    const double noise_rate = NOISE_RATE_TABLE[t.tone % 16];
    const int noise_guess = int(noise_rate / CYCLE);
    const double noise_guess_cycles = noise_guess * CYCLE;
    [[maybe_unused]] const std::uint8_t noise_mode = F == NOISE_SHORT;
    // The register's place on its mode's cycle as the run steps it, from where
    // its first step finds it (after the reset a change of mode makes then);
    // -1 off the cycle, where it is stepped in place. The state is written
    // back at the end, and only if the run stepped it.
    [[maybe_unused]] const NoiseCycle& noise_cycle = NOISE_CYCLES[noise_mode];
    const int first_place = F == NOISE_LONG || F == NOISE_SHORT
                                ? noise_cycle.place[noise_mode != s.noise_mode_last ? 0x4000 : s.noise_register]
                                : -1;
    int noise_place = first_place;
    bool noise_stepped = false;
    // Adding a zero sweep step or vibrato slope leaves an offset as it is (only
    // -0 + +0 would change, to +0): then the frequency is the same every frame.
    const auto adds_nothing = [](double offset, double step) {
        return step == 0 && (std::signbit(step) || !std::signbit(offset));
    };
    // A vibrato that adds nothing only needs its counters advanced, at the end;
    // so does one still waiting, for the frames before the one that ends the wait.
    const bool vibrato_waits = !adds_nothing(s.vibrato_offset, s.vibrato_slope) && s.vibrato_wait > 1;
    if (vibrato_waits && s.vibrato_wait - 1 < std::uint32_t(end - first)) end = first + int(s.vibrato_wait - 1);
    const bool steady_vibrato = vibrato_waits || adds_nothing(s.vibrato_offset, s.vibrato_slope);
    const bool steady_pitch = adds_nothing(s.sweep_offset, sweep_step) && steady_vibrato;
    const double steady_freq = std::clamp((s.sweep_offset + base_freq) + s.vibrato_offset, 0.0, 20000.0);
    // A resting envelope gives one level; a moving one ends the run when it
    // turns, so that the rest of the note can take the steady loop.
    const bool steady_env =
        !s.env_restart && (F == TRIANGLE || envelope_rests(s, attack_step, decay_step, sustain_level));
    const double steady_e = F == TRIANGLE ? 1.0 : s.env_level;
    bool env_turned = false;
    bool fetch = false;

    // Where the frames until the next fetch or gate change can be counted ahead,
    // the run takes exactly those and settles the timing once at its end: while
    // event_left and gate_left are at least 1 each frame subtracts exactly 1.0.
    // The stepped triangle with its gate held shut changes its frequency every frame.
    // With the gate closed, gate_left may already be below 1, where subtracting 1.0
    // can round: it then keeps falling one frame at a time.
    const bool counted = active && !(holds_level && !tie && (!GATE || s.gate_left < 1.0));
    if (counted) {
        end = std::min(end, first + frames_below_one(s.event_left));
        if (GATE) end = std::min(end, first + frames_below_one(s.gate_left));
    }
    // A steady run (pitch, level and timing all settled ahead) takes the loop
    // without their per-frame steps.
    const bool steady = steady_pitch && steady_env && (counted || !active);
    // Runs of an idle track that are only zeros, their counters settled at the
    // end: where nothing will load the song again, or where a zero frequency
    // added to a phase within its cycle leaves it as it is (an unused track).
    const auto zero = [](double value) { return value == 0 && !std::signbit(value); };
    const bool rests = !GATE && !active &&
                       (engine.loads_no_more || (steady && zero(s.freq) && zero(steady_freq) &&
                                                 !std::signbit(s.phase) && s.phase < CYCLE));
    if (plan) {
        plan->counts_gate = !GATE && counted;
        return steady && !rests && !(GATE && (F == NOISE_LONG || F == NOISE_SHORT)) ? end : -1;
    }
    // The pulse, sawtooth and triangle loops keep each frame's phase in the
    // raw values; these are turned into waveform values afterwards, several
    // frames at a time, with LEVEL also writing the level `steady_e`.
    constexpr bool WAVES = GATE && (F == PULSE || F == SAW || F == TRIANGLE);
    const auto phases_to_waves = [&]<bool LEVEL>(int from, int to) {
#ifdef BLEEPFORGE_HAVE_SSE2
#ifdef BLEEPFORGE_HAVE_AVX2
        if (engine.vector_synth >= SIMD_AVX2 && vector_synth_best() >= SIMD_AVX2) {
            from = in_cycle
                       ? waves_from_phases_avx2<F, LEVEL, true>(raw_values, levels, from, to, threshold, holds_level,
                                                                steady_e)
                       : waves_from_phases_avx2<F, LEVEL, false>(raw_values, levels, from, to, threshold, holds_level,
                                                                 steady_e);
        }
#endif
        if (engine.vector_synth >= SIMD_SSE2) {
            from = waves_from_phases<F, LEVEL>(raw_values, levels, from, to, threshold, holds_level, steady_e);
        }
#endif
        for (; from < to; ++from) {
            const double phase = raw_values[from];
            int value = 0;
            if constexpr (F == PULSE) value = pulse_wave(phase, threshold);
            if constexpr (F == SAW) value = saw_wave(phase);
            if constexpr (F == TRIANGLE) value = triangle_wave(phase, holds_level);
            raw_values[from] = std::int16_t(value);
            if constexpr (LEVEL) levels[from] = steady_e;
        }
    };
    // The noise level as the raw value it gives, kept as noise_level at the end.
    [[maybe_unused]] static constexpr double NOISE_VALUES[2] = {AMPLITUDE, -AMPLITUDE};
    [[maybe_unused]] double noise_value = s.noise_level;
    int f = first;
    if (prefilled > 0) {
        // The phases are in place: the rest of each frame, as the steady loop does it.
        s.phase = raw_values[first + prefilled - 1];
        s.freq = steady_freq;
        if constexpr (!GATE) {
            if (counted) s.gate_left = levels[first + prefilled - 1];
        }
        if constexpr (WAVES) {
            phases_to_waves.template operator()<true>(f, first + prefilled);
            f = first + prefilled;
        }
        for (; f < first + prefilled; ++f) {
            if constexpr (GATE) {
                raw_values[f] = 0;  // a silent tone
                levels[f] = steady_e;
            } else {
                block[2 * f] = block[2 * f + 1] = 0;
            }
        }
    }
    // A steady noise run whose clock is within a cycle, with a rate above the
    // guess's whole cycles and below one more, and whose register is on its
    // mode's cycle: then noise_clock takes the guess, or one more where the
    // rest is still above a cycle, as even the highest clock leaves it below
    // two. Where the guess is 0, a frame steps once or not at all.
    [[maybe_unused]] const bool clocked =
        (F == NOISE_LONG || F == NOISE_SHORT) && GATE && steady && noise_guess + 1 < noise_cycle.length &&
        s.noise_phase >= 0 && s.noise_phase <= CYCLE && noise_rate > noise_guess_cycles &&
        (CYCLE + noise_rate) - noise_guess_cycles <= 2 * CYCLE && first_place >= 0;
    // `steps` (at least one) steps of the register; the level they leave.
    // ON_CYCLE where the register is known to be on its cycle. Always
    // inlined, as it changes the frame's fields (see Live).
    [[maybe_unused]] const auto step_noise = [&]<bool ON_CYCLE = false>(int steps) __attribute__((always_inline)) {
        noise_stepped = true;
        int bit;
        if (ON_CYCLE || noise_place >= 0) {
            noise_place += steps;
            while (noise_place >= noise_cycle.length) noise_place -= noise_cycle.length;
            bit = noise_cycle.states[std::size_t(noise_place)] >> 14 & 1;
        } else {
            bit = noise_steps(s.noise_register, s.noise_mode_last, noise_mode, steps);
        }
        // bit is 0 or 1: the level without a branch on random bits
        noise_value = NOISE_VALUES[bit];
    };
    // COUNTED: the timing is counted ahead, only pitch and envelope may move.
    // STILL: the pitch holds (only the envelope moves).
    // ENV: the envelope's phase through the run when known on entry (no
    // restart pending: a turn ends the run), else -1.
    // UNTURNED: frames up to `unturned` in which the envelope surely does not turn.
    int unturned = f;
    const auto frames_loop = [&]<bool STEADY, bool COUNTED, bool STILL, int ENV = -1, bool CLOCKED = false,
                                 bool UNTURNED = false>() {
        // Unrolled, as in the loops below: the loop's own steps are a fair
        // share of so short a body.
#pragma GCC unroll 4
        while (f < (UNTURNED ? unturned : end)) {
            s.phase += s.freq;
            if (s.phase >= CYCLE) s.phase -= CYCLE;
            if constexpr (WAVES) {
                raw_values[f] = s.phase;
            } else if constexpr (GATE) {
                double value = 0.0;  // a silent tone
                if constexpr ((F == NOISE_LONG || F == NOISE_SHORT) && CLOCKED) {
                    // noise_clock as it goes here: the guess, or one more (see clocked)
                    double rest = (s.noise_phase + noise_rate) - noise_guess_cycles;
                    int steps = noise_guess;
                    if (rest > CYCLE) {
                        rest -= CYCLE;
                        ++steps;
                    }
                    s.noise_phase = rest;
                    if (steps) step_noise.template operator()<true>(steps);  // every frame where the guess is 1 or more
                    value = noise_value;
                } else if constexpr (F == NOISE_LONG || F == NOISE_SHORT) {
                    if (const int steps = noise_clock(s.noise_phase, noise_rate, noise_guess, noise_guess_cycles)) {
                        step_noise(steps);
                    }
                    value = noise_value;
                }
                raw_values[f] = value;
            }

            if (STEADY || STILL || steady_pitch) {
                s.freq = steady_freq;  // the counters advance at the end of the run
            } else {
                s.sweep_offset += sweep_step;
                if (!steady_vibrato) {  // else its counters advance at the end of the run
                    if (s.vibrato_wait != 0) --s.vibrato_wait;
                    if (s.vibrato_wait == 0) {
                        s.vibrato_offset += s.vibrato_slope;
                        if (--s.vibrato_flip_left <= 0) {
                            s.vibrato_flip_left = 3500;
                            s.vibrato_slope = -s.vibrato_slope;
                        }
                    }
                }
                s.freq = (s.sweep_offset + base_freq) + s.vibrato_offset;
                if (s.freq < 0) s.freq = 0;
                if (s.freq > 20000) s.freq = 20000;
            }

            // envelope_next, then its restart flag cleared
            double e = steady_e;
            if (!STEADY && !steady_env) {
                if (ENV < 0 && s.env_restart) {
                    s.env_level = 0.0;
                    s.env_phase = 0;
                    s.env_restart = 0;
                    env_turned = true;
                }
                if constexpr (F == TRIANGLE) {
                    s.env_level = 1.0;
                    e = 1.0;
                } else {
                    if (ENV == 0 || (ENV < 0 && s.env_phase == 0)) {
                        s.env_level += attack_step;
                        if (!UNTURNED && s.env_level > 1.0) {
                            s.env_level = 1.0;
                            s.env_phase = 1;
                            env_turned = true;
                        }
                    } else if (ENV == 1 || (ENV < 0 && s.env_phase == 1)) {
                        s.env_level -= decay_step;
                        if (!UNTURNED && s.env_level < sustain_level) {
                            s.env_level = sustain_level;
                            s.env_phase = 2;
                            env_turned = true;
                        }
                    }
                    e = s.env_level;
                }
            }
            if constexpr (GATE) {
                levels[f] = e;
            } else {
                // A closed gate gives 0, and 0 times finite gains truncates to 0.
                block[2 * f] = block[2 * f + 1] = 0;
            }
            ++f;
            if constexpr (!GATE) {
                if (COUNTED || counted) s.gate_left -= 1.0;
            }

            if (!STEADY && !COUNTED && active && !counted) {
                s.fetch_budget = std::min(s.fetch_budget + FETCH_BUDGET_PER_SAMPLE, FETCH_BUDGET_MAX);
                s.event_left -= 1.0;
                s.gate_left -= 1.0;
                if (s.gate_left < 1.0 && !tie) {
                    s.gate_on = 0;
                    if (holds_level) {
                        // The stepped triangle holds its current level at a frozen phase.
                        s.freq = 0.0;
                        s.gate_on = 1;
                    }
                }
                if (s.event_left < 1.0) {
                    fetch = true;
                    break;
                }
                if (s.gate_on != GATE) break;
            }
            if (!STEADY && env_turned) break;
        }
    };
    // A sweep under a level that holds, over frames counted ahead: its
    // frequencies only move one way (each sum and the additions after it are
    // monotonic), so where the first is on the right side of the bound they
    // move away from, that bound is never reached, and only the other one is
    // tested. The waveforms write the levels. With UNCLAMPED the frames up to
    // `until` surely stay short of the other bound too, and go untested.
    const auto sweep_loop = [&]<bool FALLING, bool UNCLAMPED>(int until) {
        const double vibrato = s.vibrato_offset;
#pragma GCC unroll 4
        for (; f < until; ++f) {
            s.phase += s.freq;
            if (s.phase >= CYCLE) s.phase -= CYCLE;
            raw_values[f] = s.phase;
            s.sweep_offset += sweep_step;
            s.freq = (s.sweep_offset + base_freq) + vibrato;
            if (!UNCLAMPED && (FALLING ? s.freq < 0 : s.freq > 20000)) s.freq = FALLING ? 0 : 20000;
        }
    };
    // Every value a sweep passes on its way to a bound within the run is at
    // most this large.
    const auto sweep_scale = [&] {
        return std::abs(s.sweep_offset) + (end - f + 1) * std::abs(sweep_step) + std::abs(base_freq) +
               std::abs(s.vibrato_offset) + 20000;
    };
    const double first_swept = ((s.sweep_offset + sweep_step) + base_freq) + s.vibrato_offset;
    const bool sweeps = WAVES && counted && steady_env && steady_vibrato && !steady_pitch;
    const int env = s.env_restart || F == TRIANGLE ? -1 : s.env_phase;
    const int loop_first = f;
    bool levels_left = false;  // the waveforms write the levels
    if (rests) {
        std::fill(block + 2 * f, block + 2 * end, std::int16_t{0});
        f = end;
    } else if (clocked) {
        frames_loop.template operator()<true, false, true, -1, true>();
    } else if (steady) {
        frames_loop.template operator()<true, false, true>();
    } else if (counted && steady_pitch) {
        // A moving level runs unchecked while it surely does not turn (the
        // level stays between where it starts and where it would turn).
        if (env == 0) {
            const double scale = std::abs(s.env_level) + 1.0 + attack_step;
            unturned = f + frames_short_of(1.0 - s.env_level, attack_step, scale, end - f);
            frames_loop.template operator()<false, true, true, 0, false, true>();
            frames_loop.template operator()<false, true, true, 0>();
        } else if (env == 1) {
            const double scale = std::abs(s.env_level) + std::abs(sustain_level) + decay_step;
            unturned = f + frames_short_of(s.env_level - sustain_level, decay_step, scale, end - f);
            frames_loop.template operator()<false, true, true, 1, false, true>();
            frames_loop.template operator()<false, true, true, 1>();
        } else {
            frames_loop.template operator()<false, true, true>();
        }
    } else if (sweeps && sweep_step < 0 && first_swept <= 20000) {
        sweep_loop.template operator()<true, true>(
            f + frames_short_of(first_swept, -sweep_step, sweep_scale(), end - f));
        sweep_loop.template operator()<true, false>(end);
        levels_left = true;
    } else if (sweeps && sweep_step > 0 && first_swept >= 0) {
        sweep_loop.template operator()<false, true>(
            f + frames_short_of(20000 - first_swept, sweep_step, sweep_scale(), end - f));
        sweep_loop.template operator()<false, false>(end);
        levels_left = true;
    } else if (counted) {
        if (env == 0) frames_loop.template operator()<false, true, false, 0>();
        else if (env == 1) frames_loop.template operator()<false, true, false, 1>();
        else frames_loop.template operator()<false, true, false>();
    } else {
        frames_loop.template operator()<false, false, false>();
    }
    if constexpr (WAVES) {
        if (levels_left) {
            phases_to_waves.template operator()<true>(loop_first, f);
        } else {
            phases_to_waves.template operator()<false>(loop_first, f);
        }
    }
    const int frames = f - first;
    if (steady_vibrato) count_vibrato(s, frames);
    if (steady_env && F == TRIANGLE && frames > 0) s.env_level = 1.0;
    if (counted) {
        s.fetch_budget = std::min(s.fetch_budget + frames * FETCH_BUDGET_PER_SAMPLE, FETCH_BUDGET_MAX);
        s.event_left -= frames;
        if constexpr (GATE) s.gate_left -= frames;
        if (s.gate_left < 1.0 && !tie) {
            s.gate_on = 0;
            if (holds_level) {
                s.freq = 0.0;
                s.gate_on = 1;
            }
        }
        fetch = s.event_left < 1.0;
    }
    if constexpr (GATE) {
        // Every level written above: the triangle's are 1.0, a resting envelope's steady_e.
        const bool unit_level = F == TRIANGLE || (steady_env && steady_e == 1.0);
        add_run(engine, track, {f, true, t.smooth_coef, PAN_TABLE[t.pan], PAN_TABLE[16 - t.pan],
                                VOLUME_TABLE[t.volume], unit_level});
    } else {
        add_run(engine, track, {f, false, 0.0, 0.0, 0.0, 0.0, false});  // no filter runs: an idle track's pan may be unset
    }
    if (noise_stepped && noise_place >= 0) {
        s.noise_register = noise_cycle.states[std::size_t(noise_place)];
        s.noise_mode_last = noise_mode;
    }
    if constexpr (F == NOISE_LONG || F == NOISE_SHORT) s.noise_level = std::int16_t(noise_value);
    s.store(engine, t);
    if (fetch) fetch_events(engine, track);
    return f;
}

using RunFunction = int (*)(Engine&, int, std::int16_t*, int, int, Plan*, int);

RunFunction run_for(const TrackState& t) {
    // With the gate closed only the triangle family differs (its envelope).
    if (!t.gate_on) return t.tone / 16 == 3 ? render_run<TRIANGLE, false> : render_run<SILENT, false>;
    switch (t.tone / 16) {
    case 0:
    case 1: return render_run<PULSE, true>;
    case 2: return render_run<SAW, true>;
    case 3: return render_run<TRIANGLE, true>;
    case 4: return render_run<NOISE_LONG, true>;
    case 5: return render_run<NOISE_SHORT, true>;
    default: return render_run<SILENT, true>;
    }
}

// The first stage of a whole block of one track, in runs.
void render_stage_one(Engine& engine, int track, std::int16_t* block, int frames) {
    engine.voice_run_count[track] = 0;
    for (int f = 0; f < frames;) f = run_for(engine.tracks[track])(engine, track, block, f, frames, nullptr, 0);
}

// The phase chains of N steady runs of `frames` frames side by side: each
// chain adds and wraps in its own order (the current frequency first, then
// the steady one), but the chains are independent, and taking them together
// lets the processor overlap their additions. The first N - CLOSED tracks have
// their gates open and keep the phase after each frame in their raw values.
// The last CLOSED have them closed and only keep the phase after the last
// frame there (their runs read no other); the gate falls beside the phase by
// gate_step (1.0 where it is counted down, 0.0 leaves it as it is), one frame
// at a time as it may round, and gate_left after the frames goes into the
// level slot of the last frame.
template <int N, int CLOSED>
void phase_chains(Engine& engine, const int* tracks, const int* firsts, const double* steady_freqs,
                  const double* gate_steps, int frames) {
    constexpr int OPEN = N - CLOSED;
    double phase[N], freq[N], gate[N], gate_step[N];
    double* out[N];
    for (int k = 0; k < N; ++k) {
        const TrackState& t = engine.tracks[tracks[k]];
        phase[k] = t.phase;
        freq[k] = t.freq;
        gate[k] = t.gate_left;
        gate_step[k] = gate_steps[k];
        out[k] = engine.voice_values[tracks[k]].raw.data() + firsts[k];
    }
    const auto frame = [&](int i) {
        for (int k = 0; k < N; ++k) {
            phase[k] += freq[k];
            if (phase[k] >= CYCLE) phase[k] -= CYCLE;
            if (k < OPEN) {
                out[k][i] = phase[k];
            } else {
                gate[k] -= gate_step[k];
            }
        }
    };
    if (frames <= 0) return;
    frame(0);
    for (int k = 0; k < N; ++k) freq[k] = steady_freqs[k];
    int i = 1;
    for (; i + 4 <= frames; i += 4) {  // four frames a turn: fewer loop steps a frame
        frame(i);
        frame(i + 1);
        frame(i + 2);
        frame(i + 3);
    }
    for (; i < frames; ++i) frame(i);
    for (int k = OPEN; k < N; ++k) {
        out[k][frames - 1] = phase[k];
        engine.voice_values[tracks[k]].level[firsts[k] + frames - 1] = gate[k];
    }
}

#ifdef BLEEPFORGE_HAVE_AVX2
// Four rows (four frames of a track each) into four columns (one frame of
// the four tracks each), or back.
__attribute__((target("avx2"), always_inline)) inline void transpose_frames(__m256d& a, __m256d& b, __m256d& c,
                                                                            __m256d& d) {
    const __m256d ab_even = _mm256_unpacklo_pd(a, b), ab_odd = _mm256_unpackhi_pd(a, b);
    const __m256d cd_even = _mm256_unpacklo_pd(c, d), cd_odd = _mm256_unpackhi_pd(c, d);
    a = _mm256_permute2f128_pd(ab_even, cd_even, 0x20);
    b = _mm256_permute2f128_pd(ab_odd, cd_odd, 0x20);
    c = _mm256_permute2f128_pd(ab_even, cd_even, 0x31);
    d = _mm256_permute2f128_pd(ab_odd, cd_odd, 0x31);
}

// One frame of the chains in R registers: each lane adds and wraps as its
// chain does (a lane that does not wrap keeps its sum), and with COUNTS the
// gates fall by their steps (a step of 0.0 leaves a gate as it is). A wrap is
// rare, so the subtraction is only taken in frames where some lane wraps, off
// the chains' path while the branch is foreseen.
template <int R, bool COUNTS>
__attribute__((target("avx2"), always_inline)) inline void advance_chains(__m256d (&phase)[R],
                                                                          const __m256d (&freq)[R],
                                                                          __m256d (&gate)[R],
                                                                          const __m256d (&step)[R]) {
    const __m256d cycle = _mm256_set1_pd(CYCLE);
    __m256d wrap[R];
    int wraps = 0;
    for (int r = 0; r < R; ++r) {
        phase[r] = _mm256_add_pd(phase[r], freq[r]);
        wrap[r] = _mm256_cmp_pd(phase[r], cycle, _CMP_GE_OQ);
        wraps |= _mm256_movemask_pd(wrap[r]);
    }
    if (wraps) {
        for (int r = 0; r < R; ++r) phase[r] = _mm256_blendv_pd(phase[r], _mm256_sub_pd(phase[r], cycle), wrap[r]);
    }
    if constexpr (COUNTS) {
        for (int r = 0; r < R; ++r) gate[r] = _mm256_sub_pd(gate[r], step[r]);
    }
}

// One frame's phases into the first `open` lanes' values (`phases` is room
// for all lanes).
template <int R>
__attribute__((target("avx2"), always_inline)) inline void store_open_lanes(const __m256d (&phase)[R],
                                                                            double* phases, double* const* out,
                                                                            int open, int i) {
    for (int r = 0; r < R; ++r) _mm256_store_pd(phases + 4 * r, phase[r]);
    for (int k = 0; k < open; ++k) out[k][i] = phases[k];
}

// phase_chains for processors with AVX2 (chosen at run time): the `count`
// chains four to a register in R registers, so that one addition serves four
// tracks and all of them run side by side. The first `open` have their gates
// open, in the first S registers; the others closed, their gates counted
// down where COUNTS. Spare lanes add nothing and are thrown away.
template <int R, int S, bool COUNTS>
__attribute__((target("avx2"))) void phase_chains_avx2(Engine& engine, const int* tracks, const int* firsts,
                                                       const double* steady_freqs, const double* gate_steps,
                                                       int count, int open, int frames) {
    constexpr int LANES = 4 * R;
    alignas(32) double phases[LANES] = {}, freqs[LANES] = {}, steadies[LANES] = {}, gates[LANES] = {};
    alignas(32) double steps[LANES] = {};
    double* out[LANES];
    double sink[BLOCK_FRAMES];  // where the lanes without open gates store their phases
    for (int k = 0; k < LANES; ++k) {
        out[k] = sink;
        if (k >= count) continue;
        const TrackState& t = engine.tracks[tracks[k]];
        phases[k] = t.phase;
        freqs[k] = t.freq;
        steadies[k] = steady_freqs[k];
        gates[k] = t.gate_left;
        steps[k] = gate_steps[k];
        if (k < open) out[k] = engine.voice_values[tracks[k]].raw.data() + firsts[k];
    }
    __m256d phase[R], freq[R], gate[R], step[R];
    for (int r = 0; r < R; ++r) {
        phase[r] = _mm256_load_pd(phases + 4 * r);
        freq[r] = _mm256_load_pd(freqs + 4 * r);
        gate[r] = _mm256_load_pd(gates + 4 * r);
        step[r] = _mm256_load_pd(steps + 4 * r);
    }
    if (frames <= 0) return;
    advance_chains<R, COUNTS>(phase, freq, gate, step);
    store_open_lanes<R>(phase, phases, out, open, 0);
    for (int r = 0; r < R; ++r) freq[r] = _mm256_load_pd(steadies + 4 * r);
    int i = 1;
    for (; i + 4 <= frames; i += 4) {  // four frames, then each lane's four stored at once
        __m256d rows[R][4];
        for (int j = 0; j < 4; ++j) {
            advance_chains<R, COUNTS>(phase, freq, gate, step);
            for (int r = 0; r < S; ++r) rows[r][j] = phase[r];
        }
        for (int r = 0; r < S; ++r) {
            transpose_frames(rows[r][0], rows[r][1], rows[r][2], rows[r][3]);
            for (int k = 0; k < 4; ++k) _mm256_storeu_pd(out[4 * r + k] + i, rows[r][k]);
        }
    }
    for (; i < frames; ++i) {
        advance_chains<R, COUNTS>(phase, freq, gate, step);
        store_open_lanes<R>(phase, phases, out, open, i);
    }
    for (int r = 0; r < R; ++r) {
        _mm256_store_pd(phases + 4 * r, phase[r]);
        _mm256_store_pd(gates + 4 * r, gate[r]);
    }
    for (int k = open; k < count; ++k) {
        engine.voice_values[tracks[k]].raw[firsts[k] + frames - 1] = phases[k];
        engine.voice_values[tracks[k]].level[firsts[k] + frames - 1] = gates[k];
    }
}

using WideChainFunction = void (*)(Engine&, const int*, const int*, const double*, const double*, int, int, int);
// By the number of registers less one, of those holding open gates, and whether gates are counted.
constexpr WideChainFunction PHASE_CHAINS_AVX2[2][3][2] = {
    {{phase_chains_avx2<1, 0, false>, phase_chains_avx2<1, 0, true>},
     {phase_chains_avx2<1, 1, false>, phase_chains_avx2<1, 1, true>}},
    {{phase_chains_avx2<2, 0, false>, phase_chains_avx2<2, 0, true>},
     {phase_chains_avx2<2, 1, false>, phase_chains_avx2<2, 1, true>},
     {phase_chains_avx2<2, 2, false>, phase_chains_avx2<2, 2, true>}},
};
#endif

using ChainFunction = void (*)(Engine&, const int*, const int*, const double*, const double*, int);
// By the number of tracks, then of those with their gates closed.
constexpr ChainFunction PHASE_CHAINS[5][5] = {
    {},
    {},
    {phase_chains<2, 0>, phase_chains<2, 1>, phase_chains<2, 2>},
    {phase_chains<3, 0>, phase_chains<3, 1>, phase_chains<3, 2>, phase_chains<3, 3>},
    {phase_chains<4, 0>, phase_chains<4, 1>, phase_chains<4, 2>, phase_chains<4, 3>, phase_chains<4, 4>},
};

// The frequency a steady run of the track holds after its first frame.
double steady_freq_of(const TrackState& t) {
    return std::clamp((t.sweep_offset + t.base_freq) + t.vibrato_offset, 0.0, 20000.0);
}

// The first stage of all tracks for a block. Tracks only share the noise
// register, so a track steps it only once every track before it is done;
// other runs may go in any order. Steady runs of several tracks take their
// phase chains side by side.
void render_stage_one_all(Engine& engine, std::int16_t* const* blocks, int frames) {
    int at[TRACK_COUNT];
    int plan[TRACK_COUNT];  // the planned steady run's end, -1 for none, -2 not yet planned
    Plan plans[TRACK_COUNT];
    for (int k = 0; k < TRACK_COUNT; ++k) {
        engine.voice_run_count[k] = 0;
        at[k] = 0;
        plan[k] = -2;
    }
    int lowest = 0;  // the first track not done
    for (;;) {
        while (lowest < TRACK_COUNT && at[lowest] >= frames) ++lowest;
        if (lowest == TRACK_COUNT) return;
        int steady[TRACK_COUNT];
        int count = 0;
        int span = frames;
        for (int k = lowest; k < TRACK_COUNT; ++k) {
            if (at[k] >= frames) continue;
            if (plan[k] == -2) {
                plan[k] = run_for(engine.tracks[k])(engine, k, blocks[k], at[k], frames, &plans[k], 0);
            }
            if (plan[k] > at[k]) {
                steady[count++] = k;
                span = std::min(span, plan[k] - at[k]);
            }
        }
        if (count < 2) {
            at[lowest] = run_for(engine.tracks[lowest])(engine, lowest, blocks[lowest], at[lowest], frames, nullptr, 0);
            plan[lowest] = -2;
            continue;
        }
        // With AVX2 all of them in one call, else in groups of at most four, as even as they come.
        const bool wide = engine.vector_synth >= SIMD_AVX2 && vector_synth_best() >= SIMD_AVX2;
        const int groups = wide ? 1 : (count + 3) / 4;
        for (int g = 0, done = 0; g < groups; ++g) {
            const int size = (count - done) / (groups - g);
            const int* group = steady + done;
            done += size;
            if (size >= 2) {
                // Open gates first, closed ones from the back.
                int chained[TRACK_COUNT], firsts[TRACK_COUNT];
                double freqs[TRACK_COUNT], gate_steps[TRACK_COUNT];
                int closed = 0;
                for (int j = 0, front = 0; j < size; ++j) {
                    const int k = group[j];
                    const int slot = engine.tracks[k].gate_on ? front++ : size - ++closed;
                    chained[slot] = k;
                    firsts[slot] = at[k];
                    freqs[slot] = steady_freq_of(engine.tracks[k]);
                    gate_steps[slot] = plans[k].counts_gate ? 1.0 : 0.0;
                }
#ifdef BLEEPFORGE_HAVE_AVX2
                if (wide) {
                    const int open = size - closed;
                    const bool counts =
                        std::any_of(gate_steps + open, gate_steps + size, [](double step) { return step != 0; });
                    PHASE_CHAINS_AVX2[size > 4][(open + 3) / 4][counts](engine, chained, firsts, freqs, gate_steps,
                                                                        size, open, span);
                } else
#endif
                {
                    PHASE_CHAINS[size][closed](engine, chained, firsts, freqs, gate_steps, span);
                }
            }
            for (int j = 0; j < size; ++j) {
                const int k = group[j];
                at[k] = run_for(engine.tracks[k])(engine, k, blocks[k], at[k], at[k] + span, nullptr,
                                                   size >= 2 ? span : 0);
                plan[k] = -2;
            }
        }
    }
}

// One track's part in the second stage: its filter state, stage-one values,
// output and current run.
struct Lane {
    TrackState* t;
    const VoiceValues* values;
    std::int16_t* out;
    const VoiceRun* run;
};

// The second stage of frames [first, end) of N tracks with their gates open
// and one run each: the filter, pan and scaling of oscillator_frame and
// render_voice, each track's operations in their own order. The tracks'
// chains of dependent operations are independent of each other, and taking
// them side by side lets the processor overlap them.
template <int N>
void filter_plain(Lane* const* lanes, int first, int end) {
    double left[N], right[N], coef[N], pan_left[N], pan_right[N], gain[N];
    const double* raw[N];
    const double* level[N];
    std::int16_t* out[N];
    for (int k = 0; k < N; ++k) {
        const Lane& lane = *lanes[k];
        left[k] = lane.t->smooth_left;
        right[k] = lane.t->smooth_right;
        coef[k] = lane.run->coef;
        pan_left[k] = lane.run->pan_left;
        pan_right[k] = lane.run->pan_right;
        gain[k] = lane.run->gain;
        raw[k] = lane.values->raw.data();
        level[k] = lane.values->level.data();
        out[k] = lane.out;
    }
    for (int f = first; f < end; ++f) {
        for (int k = 0; k < N; ++k) {
            const double value = raw[k][f];
            left[k] = (value - left[k]) * coef[k] + left[k];
            right[k] = (value - right[k]) * coef[k] + right[k];
            left[k] = pan_left[k] * left[k];
            right[k] = pan_right[k] * right[k];
            const std::int16_t l = to_sample(left[k]), r = to_sample(right[k]);
            const double e = level[k][f];
            out[k][2 * f] = to_sample(l * gain[k] * e);
            out[k][2 * f + 1] = to_sample(r * gain[k] * e);
        }
    }
    for (int k = 0; k < N; ++k) {
        lanes[k]->t->smooth_left = left[k];
        lanes[k]->t->smooth_right = right[k];
    }
}

#ifdef BLEEPFORGE_HAVE_SSE2
// filter_plain with each track's left and right in the two lanes of one SSE2
// register: the same operations on each, so the same samples. Truncating
// through 32 bits is exact only while no value reaches 2^31 (see vector_safe).
template <int N>
void filter_vector(Lane* const* lanes, int first, int end) {
    __m128d smooth[N], coef[N], pan[N], gain[N];
    const double* raw[N];
    const double* level[N];
    std::int16_t* out[N];
    for (int k = 0; k < N; ++k) {
        const Lane& lane = *lanes[k];
        smooth[k] = _mm_set_pd(lane.t->smooth_right, lane.t->smooth_left);  // lane 0 left, lane 1 right
        coef[k] = _mm_set1_pd(lane.run->coef);
        pan[k] = _mm_set_pd(lane.run->pan_right, lane.run->pan_left);
        gain[k] = _mm_set1_pd(lane.run->gain);
        raw[k] = lane.values->raw.data();
        level[k] = lane.values->level.data();
        out[k] = lane.out;
    }
    for (int f = first; f < end; ++f) {
        for (int k = 0; k < N; ++k) {
            const __m128d value = _mm_load1_pd(raw[k] + f);
            smooth[k] = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(value, smooth[k]), coef[k]), smooth[k]);
            smooth[k] = _mm_mul_pd(pan[k], smooth[k]);
            // to_sample: truncate, keep the low 16 bits
            const __m128i whole = _mm_cvttpd_epi32(smooth[k]);
            const __m128d sample = _mm_cvtepi32_pd(_mm_srai_epi32(_mm_slli_epi32(whole, 16), 16));
            const __m128i scaled = _mm_cvttpd_epi32(_mm_mul_pd(_mm_mul_pd(sample, gain[k]), _mm_set1_pd(level[k][f])));
            const std::int32_t pair = _mm_cvtsi128_si32(_mm_shufflelo_epi16(scaled, _MM_SHUFFLE(3, 3, 2, 0)));
            std::memcpy(out[k] + 2 * f, &pair, sizeof pair);
        }
    }
    for (int k = 0; k < N; ++k) {
        _mm_storel_pd(&lanes[k]->t->smooth_left, smooth[k]);
        _mm_storeh_pd(&lanes[k]->t->smooth_right, smooth[k]);
    }
}

// The lanes truncate through 32 bits: only where no value can reach 2^31, as
// with a coefficient up to 1 (each filter output lies between its input and
// the previous output, and the pan gain is at most 1).
bool vector_safe(const Lane& lane) {
    constexpr double BOUND = 1u << 30;
    return lane.run->coef >= 0 && lane.run->coef <= 1.0 && std::abs(lane.t->smooth_left) < BOUND &&
           std::abs(lane.t->smooth_right) < BOUND;
}
#endif

#ifdef BLEEPFORGE_HAVE_AVX2
// With a coefficient up to 1, a pan gain up to 1 and raw values of 16 bits,
// a state within +-32767 stays within +-32767 (give or take rounding, far
// below a whole unit) for a block.
bool avx2_safe(const Lane& lane) {
    return lane.run->coef >= 0 && lane.run->coef <= 1.0 && std::abs(lane.t->smooth_left) <= 32767 &&
           std::abs(lane.t->smooth_right) <= 32767;
}

// A track panned to the centre whose two filter states are the same bits:
// its right channel repeats the left one operation for operation.
bool centred(const Lane& lane) {
    return std::bit_cast<std::uint64_t>(lane.run->pan_left) == std::bit_cast<std::uint64_t>(lane.run->pan_right) &&
           std::bit_cast<std::uint64_t>(lane.t->smooth_left) == std::bit_cast<std::uint64_t>(lane.t->smooth_right);
}

// One frame of four lanes: the filter, pan and scaling, the scaled samples
// truncated to 32 bits. With UNIT every level is 1.0, which leaves a product
// as it is: `level` goes unused.
template <bool UNIT = false>
__attribute__((target("avx2"), always_inline)) inline __m128i filter_lanes(__m256d& smooth, __m256d value,
                                                                           __m256d level, __m256d coef,
                                                                           __m256d pan, __m256d gain) {
    smooth = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(value, smooth), coef), smooth);
    smooth = _mm256_mul_pd(pan, smooth);
    const __m256d sample = _mm256_round_pd(smooth, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256d scaled = _mm256_mul_pd(sample, gain);
    return _mm256_cvttpd_epi32(UNIT ? scaled : _mm256_mul_pd(scaled, level));
}

// Four frames of tracks a and b (one register each) as four registers of one
// frame each, a's value in the low two lanes and b's in the high two.
__attribute__((target("avx2"), always_inline)) inline void spread_pair(__m256d a, __m256d b, __m256d frame[4]) {
    const __m256d a_even = _mm256_movedup_pd(a), a_odd = _mm256_permute_pd(a, 0xF);
    const __m256d b_even = _mm256_movedup_pd(b), b_odd = _mm256_permute_pd(b, 0xF);
    frame[0] = _mm256_permute2f128_pd(a_even, b_even, 0x20);
    frame[1] = _mm256_permute2f128_pd(a_odd, b_odd, 0x20);
    frame[2] = _mm256_permute2f128_pd(a_even, b_even, 0x31);
    frame[3] = _mm256_permute2f128_pd(a_odd, b_odd, 0x31);
}

// True when every level of the lane's current run is 1.0 (see VoiceRun).
bool unit_lane(const Lane* lane) { return lane->run->unit_level; }

// True when every level of every lane is 1.0.
bool unit_levels(const Lane* const* lanes, int count) { return std::all_of(lanes, lanes + count, unit_lane); }

// Four frames from `f` of a centred four (see filter_avx2): the values and
// levels of four frames loaded at once and turned into frames, the samples
// turned back into tracks and stored four frames at once, their low 16 bits
// picked by `both_halves`. With UNIT every level is 1.0, and none is loaded.
template <bool UNIT>
__attribute__((target("avx2"), always_inline)) inline void filter_centred_frames(
    const VoiceValues* const* v, std::int16_t* const* out, int f, __m256d& smooth, __m256d coef, __m256d pan,
    __m256d gain, __m128i both_halves) {
    __m256d value[4], level[4];
    for (int k = 0; k < 4; ++k) value[k] = _mm256_loadu_pd(&v[k]->raw[f]);
    transpose_frames(value[0], value[1], value[2], value[3]);
    if (!UNIT) {
        for (int k = 0; k < 4; ++k) level[k] = _mm256_loadu_pd(&v[k]->level[f]);
        transpose_frames(level[0], level[1], level[2], level[3]);
    }
    __m128i pairs[4];  // by frame: a track's two samples in each 32 bits
    for (int j = 0; j < 4; ++j) {
        const __m128i scaled = filter_lanes<UNIT>(smooth, value[j], UNIT ? value[j] : level[j], coef, pan, gain);
        pairs[j] = _mm_shuffle_epi8(scaled, both_halves);
    }
    // Tracks 0 and 1 of frames 0 and 1, then of frames 2 and 3; tracks 2 and 3 alike.
    const __m128i low01 = _mm_unpacklo_epi32(pairs[0], pairs[1]);
    const __m128i low23 = _mm_unpacklo_epi32(pairs[2], pairs[3]);
    const __m128i high01 = _mm_unpackhi_epi32(pairs[0], pairs[1]);
    const __m128i high23 = _mm_unpackhi_epi32(pairs[2], pairs[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out[0] + 2 * f), _mm_unpacklo_epi64(low01, low23));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out[1] + 2 * f), _mm_unpackhi_epi64(low01, low23));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out[2] + 2 * f), _mm_unpacklo_epi64(high01, high23));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out[3] + 2 * f), _mm_unpackhi_epi64(high01, high23));
}

// Four frames from `f` of a pair (see filter_avx2), as filter_centred_frames.
template <bool UNIT>
__attribute__((target("avx2"), always_inline)) inline void filter_pair_frames(
    const VoiceValues& a, const VoiceValues& b, std::int16_t* out_a, std::int16_t* out_b, int f, __m256d& smooth,
    __m256d coef, __m256d pan, __m256d gain, __m128i low_halves) {
    __m256d value[4], level[4];
    spread_pair(_mm256_loadu_pd(&a.raw[f]), _mm256_loadu_pd(&b.raw[f]), value);
    if (!UNIT) spread_pair(_mm256_loadu_pd(&a.level[f]), _mm256_loadu_pd(&b.level[f]), level);
    __m128i pairs[4];  // by frame: a's two samples, then b's
    for (int j = 0; j < 4; ++j) {
        const __m128i scaled = filter_lanes<UNIT>(smooth, value[j], UNIT ? value[j] : level[j], coef, pan, gain);
        pairs[j] = _mm_shuffle_epi8(scaled, low_halves);
    }
    const __m128i frames01 = _mm_unpacklo_epi32(pairs[0], pairs[1]);
    const __m128i frames23 = _mm_unpacklo_epi32(pairs[2], pairs[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out_a + 2 * f), _mm_unpacklo_epi64(frames01, frames23));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out_b + 2 * f), _mm_unpackhi_epi64(frames01, frames23));
}

// filter_vector for processors with AVX2 (chosen at run time): `lanes` holds
// 4 * Q centred tracks (see centred), four to a 256-bit register with one
// channel each, then 2 * P others, two to a register (left and right of track
// a, then of track b), so that each operation serves four channels. The raw
// values and levels of a pair are loaded into their lanes without shuffles,
// and to_sample of the filter state is a truncation in place. That is exact
// while the state stays within +-32767 (see avx2_safe), where keeping the low
// 16 bits changes nothing; a truncation to -0 differs from 0 only until it is
// scaled and truncated again.
template <int Q, int P>
__attribute__((target("avx2"))) void filter_avx2(Lane* const* lanes, int first, int end) {
    constexpr int QN = Q > 0 ? Q : 1, PN = P > 0 ? P : 1;  // no arrays of size 0
    // Centred tracks: the left channel's operations, whose results both channels take.
    __m256d smooth_c[QN], coef_c[QN], pan_c[QN], gain_c[QN];
    const VoiceValues* values_c[QN][4];
    std::int16_t* out_c[QN][4];
    bool unit_c[QN];
    for (int q = 0; q < Q; ++q) {
        const Lane* const* four = lanes + 4 * q;
        unit_c[q] = unit_levels(four, 4);
        double smooths[4], coefs[4], pans[4], gains[4];
        for (int k = 0; k < 4; ++k) {
            smooths[k] = four[k]->t->smooth_left;
            coefs[k] = four[k]->run->coef;
            pans[k] = four[k]->run->pan_left;
            gains[k] = four[k]->run->gain;
        }
        smooth_c[q] = _mm256_loadu_pd(smooths);
        coef_c[q] = _mm256_loadu_pd(coefs);
        pan_c[q] = _mm256_loadu_pd(pans);
        gain_c[q] = _mm256_loadu_pd(gains);
        for (int k = 0; k < 4; ++k) {
            values_c[q][k] = four[k]->values;
            out_c[q][k] = four[k]->out;
        }
    }
    // The other tracks two to a register, left and right each.
    __m256d smooth[PN], coef[PN], pan[PN], gain[PN];
    const VoiceValues *values_a[PN], *values_b[PN];
    std::int16_t *out_a[PN], *out_b[PN];
    bool unit_p[PN];
    for (int p = 0; p < P; ++p) {
        const Lane& a = *lanes[4 * Q + 2 * p];
        const Lane& b = *lanes[4 * Q + 2 * p + 1];
        unit_p[p] = unit_levels(lanes + 4 * Q + 2 * p, 2);
        smooth[p] = _mm256_set_pd(b.t->smooth_right, b.t->smooth_left, a.t->smooth_right, a.t->smooth_left);
        coef[p] = _mm256_set_pd(b.run->coef, b.run->coef, a.run->coef, a.run->coef);
        pan[p] = _mm256_set_pd(b.run->pan_right, b.run->pan_left, a.run->pan_right, a.run->pan_left);
        gain[p] = _mm256_set_pd(b.run->gain, b.run->gain, a.run->gain, a.run->gain);
        values_a[p] = a.values;
        values_b[p] = b.values;
        out_a[p] = a.out;
        out_b[p] = b.out;
    }
    // The low 16 bits of each 32-bit value: each twice for centred tracks,
    // else once, in order, in the low 8 bytes.
    const __m128i both_halves = _mm_setr_epi8(0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13);
    const __m128i low_halves = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
    // Both kinds in one loop, so that the processor overlaps their chains:
    // four frames at a time, then frame by frame.
    int f = first;
    for (; f + 4 <= end; f += 4) {
        for (int q = 0; q < Q; ++q) {
            if (unit_c[q]) {
                filter_centred_frames<true>(values_c[q], out_c[q], f, smooth_c[q], coef_c[q], pan_c[q], gain_c[q],
                                            both_halves);
            } else {
                filter_centred_frames<false>(values_c[q], out_c[q], f, smooth_c[q], coef_c[q], pan_c[q], gain_c[q],
                                             both_halves);
            }
        }
        for (int p = 0; p < P; ++p) {
            if (unit_p[p]) {
                filter_pair_frames<true>(*values_a[p], *values_b[p], out_a[p], out_b[p], f, smooth[p], coef[p], pan[p],
                                         gain[p], low_halves);
            } else {
                filter_pair_frames<false>(*values_a[p], *values_b[p], out_a[p], out_b[p], f, smooth[p], coef[p],
                                          pan[p], gain[p], low_halves);
            }
        }
    }
    for (; f < end; ++f) {
        for (int q = 0; q < Q; ++q) {
            const VoiceValues* const* v = values_c[q];
            const __m256d value = _mm256_set_pd(v[3]->raw[f], v[2]->raw[f], v[1]->raw[f], v[0]->raw[f]);
            const __m256d level = _mm256_set_pd(v[3]->level[f], v[2]->level[f], v[1]->level[f], v[0]->level[f]);
            const __m128i scaled = filter_lanes(smooth_c[q], value, level, coef_c[q], pan_c[q], gain_c[q]);
            const __m128i pairs = _mm_shuffle_epi8(scaled, both_halves);
            const std::int32_t pair0 = _mm_cvtsi128_si32(pairs), pair1 = _mm_extract_epi32(pairs, 1);
            const std::int32_t pair2 = _mm_extract_epi32(pairs, 2), pair3 = _mm_extract_epi32(pairs, 3);
            std::memcpy(out_c[q][0] + 2 * f, &pair0, sizeof pair0);
            std::memcpy(out_c[q][1] + 2 * f, &pair1, sizeof pair1);
            std::memcpy(out_c[q][2] + 2 * f, &pair2, sizeof pair2);
            std::memcpy(out_c[q][3] + 2 * f, &pair3, sizeof pair3);
        }
        for (int p = 0; p < P; ++p) {
            const VoiceValues &a = *values_a[p], &b = *values_b[p];
            const __m256d value =
                _mm256_blend_pd(_mm256_broadcast_sd(&a.raw[f]), _mm256_broadcast_sd(&b.raw[f]), 0b1100);
            const __m256d level =
                _mm256_blend_pd(_mm256_broadcast_sd(&a.level[f]), _mm256_broadcast_sd(&b.level[f]), 0b1100);
            const __m128i scaled = filter_lanes(smooth[p], value, level, coef[p], pan[p], gain[p]);
            const __m128i pairs = _mm_shuffle_epi8(scaled, low_halves);
            const std::int32_t pair_a = _mm_cvtsi128_si32(pairs), pair_b = _mm_extract_epi32(pairs, 1);
            std::memcpy(out_a[p] + 2 * f, &pair_a, sizeof pair_a);
            std::memcpy(out_b[p] + 2 * f, &pair_b, sizeof pair_b);
        }
    }
    for (int q = 0; q < Q; ++q) {
        alignas(32) double state[4];
        _mm256_store_pd(state, smooth_c[q]);
        for (int k = 0; k < 4; ++k) lanes[4 * q + k]->t->smooth_left = lanes[4 * q + k]->t->smooth_right = state[k];
    }
    for (int p = 0; p < P; ++p) {
        alignas(32) double state[4];
        _mm256_store_pd(state, smooth[p]);
        lanes[4 * Q + 2 * p]->t->smooth_left = state[0];
        lanes[4 * Q + 2 * p]->t->smooth_right = state[1];
        lanes[4 * Q + 2 * p + 1]->t->smooth_left = state[2];
        lanes[4 * Q + 2 * p + 1]->t->smooth_right = state[3];
    }
}
#endif

using FilterFunction = void (*)(Lane* const*, int, int);
constexpr FilterFunction FILTER_PLAIN[] = {nullptr, filter_plain<1>, filter_plain<2>, filter_plain<3>,
                                           filter_plain<4>};
#ifdef BLEEPFORGE_HAVE_SSE2
constexpr FilterFunction FILTER_VECTOR[] = {nullptr, filter_vector<1>, filter_vector<2>, filter_vector<3>,
                                            filter_vector<4>};
#endif
#ifdef BLEEPFORGE_HAVE_AVX2
// By the number of centred fours and of other pairs (eight tracks and a spare at most).
constexpr FilterFunction FILTER_AVX2[3][5] = {
    {nullptr, filter_avx2<0, 1>, filter_avx2<0, 2>, filter_avx2<0, 3>, filter_avx2<0, 4>},
    {filter_avx2<1, 0>, filter_avx2<1, 1>, filter_avx2<1, 2>, nullptr, nullptr},
    {filter_avx2<2, 0>, nullptr, nullptr, nullptr, nullptr},
};

// A lane that fills a pair: zeros in, its samples and state thrown away.
struct SpareLane {
    static constexpr VoiceValues ZEROS{};
    static constexpr VoiceRun RUN{BLOCK_FRAMES, true, 0.0, 0.0, 0.0, 0.0, true};
    TrackState state;
    std::array<std::int16_t, BLOCK_SAMPLES> out;
    Lane lane{&state, &ZEROS, out.data(), &RUN};
};
#endif

// The second stage of a block of `count` tracks whose first stage is done:
// splits the block where any track's run ends and filters the tracks with
// their gates open side by side, up to four at a time.
void filter_runs(Engine& engine, const int* tracks, std::int16_t* const* blocks, int count, int frames) {
    Lane lanes[TRACK_COUNT];
    for (int k = 0; k < count; ++k) {
        const int track = tracks[k];
        lanes[k] = {&engine.tracks[track], &engine.voice_values[track], blocks[k], engine.voice_runs[track].data()};
    }
#ifdef BLEEPFORGE_HAVE_AVX2
    SpareLane spare;
#endif
    for (int f = 0; f < frames;) {
        int end = frames;
        Lane* open[TRACK_COUNT + 1];
        int opened = 0;
        for (int k = 0; k < count; ++k) {
            Lane& lane = lanes[k];
            while (lane.run->end <= f) ++lane.run;
            end = std::min(end, lane.run->end);
            if (lane.run->gate) open[opened++] = &lane;
        }
#ifdef BLEEPFORGE_HAVE_AVX2
        // All open tracks at once: centred ones four to a register, the
        // others (and centred ones short of a four) two.
        if (opened > 0 && engine.vector_synth >= SIMD_AVX2 && vector_synth_best() >= SIMD_AVX2 &&
            std::all_of(open, open + opened, [](Lane* lane) { return avx2_safe(*lane); })) {
            // Centred tracks from the front, the others from the back.
            Lane* sorted[TRACK_COUNT + 1];
            int centred_count = 0;
            for (int k = 0, back = opened; k < opened; ++k) {
                if (centred(*open[k])) {
                    sorted[centred_count++] = open[k];
                } else {
                    sorted[--back] = open[k];
                }
            }
            const int fours = centred_count / 4;
            const int paired = opened - 4 * fours;
            // Tracks whose levels are all 1.0 side by side, so that whole
            // registers leave the levels out.
            std::partition(sorted, sorted + centred_count, unit_lane);
            std::partition(sorted + 4 * fours, sorted + opened, unit_lane);
            if (paired % 2) sorted[opened] = &spare.lane;
            FILTER_AVX2[fours][(paired + 1) / 2](sorted, f, end);
            f = end;
            continue;
        }
#endif
        // Groups of at most four, as even as they come (five: three and two).
        const int groups = (opened + 3) / 4;
        for (int g = 0, done = 0; g < groups; ++g) {
            const int size = (opened - done) / (groups - g);
            Lane* const* group = open + done;
            done += size;
#ifdef BLEEPFORGE_HAVE_SSE2
            if (engine.vector_synth >= SIMD_SSE2 &&
                std::all_of(group, group + size, [](Lane* lane) { return vector_safe(*lane); })) {
                FILTER_VECTOR[size](group, f, end);
                continue;
            }
#endif
            FILTER_PLAIN[size](group, f, end);
        }
        f = end;
    }
}

}  // namespace

void render_voice(Engine& engine, int track, std::int16_t* block, int length_bytes) {
    const int frames = (std::max(length_bytes, 0) + 3) / 4;  // byte offsets 0, 4, ... below the length
    // The work areas hold a block: longer lengths go a block at a time (a run
    // may end anywhere without changing a sample).
    for (int first = 0; first < frames; first += BLOCK_FRAMES) {
        std::int16_t* part = block + 2 * first;
        const int length = std::min(frames - first, BLOCK_FRAMES);
        render_stage_one(engine, track, part, length);
        filter_runs(engine, &track, &part, 1, length);
    }
}

void render_voices(Engine& engine, int length_bytes) {
    const int frames = std::min((std::max(length_bytes, 0) + 3) / 4, BLOCK_FRAMES);
    int tracks[TRACK_COUNT];
    std::int16_t* blocks[TRACK_COUNT];
    for (int k = 0; k < TRACK_COUNT; ++k) {
        tracks[k] = k;
        blocks[k] = engine.track_blocks[k].data();
    }
    render_stage_one_all(engine, blocks, frames);
    filter_runs(engine, tracks, blocks, TRACK_COUNT, frames);
}

}  // namespace bleepforge
