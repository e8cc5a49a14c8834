#include "synth/voice.h"

#include <algorithm>

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

void render_voice(Engine& engine, int track, std::int16_t* block, int length_bytes) {
    TrackState& t = engine.tracks[track];
    for (int offset = 0; offset < length_bytes; offset += 4) {
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
        t.freq = (t.sweep_offset + t.base_freq) + t.vibrato_offset;
        if (t.freq < 0) t.freq = 0;
        if (t.freq > 20000) t.freq = 20000;

        const double e = envelope_next(engine, track, t.env_restart);
        if (t.env_restart) t.env_restart = 0;
        const double gain = VOLUME_TABLE[t.volume];
        block[offset / 2] = to_sample(pair[0] * gain * e);
        block[offset / 2 + 1] = to_sample(pair[1] * gain * e);

        if (t.active) {
            t.fetch_budget = std::min(t.fetch_budget + FETCH_BUDGET_PER_SAMPLE, FETCH_BUDGET_MAX);
            t.event_left -= 1.0;
            t.gate_left -= 1.0;
            if (t.gate_left < 1.0 && t.tie == 0) {
                t.gate_on = 0;
                if (t.tone == 56) {
                    // The stepped triangle holds its current level at a frozen phase.
                    t.freq = 0.0;
                    t.gate_on = 1;
                }
            }
            if (t.event_left < 1.0) fetch_events(engine, track);
        }
    }
}

}  // namespace bleepforge
