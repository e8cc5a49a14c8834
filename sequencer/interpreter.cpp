#include "sequencer/interpreter.h"

#include <algorithm>

#include "sequencer/transport.h"

namespace bleepforge {

const std::array<double, 110> PITCH_TABLE = {
    16.351598, 17.323914, 18.354048, 19.445436, 20.601722,
    21.826764, 23.124651, 24.499715, 25.956544, 27.5,
    29.135235, 30.867706, 32.703196, 34.647829, 36.708096,
    38.890873, 41.203445, 43.653529, 46.249303, 48.999429,
    51.913087, 55.0, 58.27047, 61.735413, 65.406391,
    69.295658, 73.416192, 77.781746, 82.406889, 87.307058,
    92.498606, 97.998859, 103.826174, 110.0, 116.54094,
    123.470825, 130.812783, 138.591315, 146.832384, 155.563492,
    164.813778, 174.614116, 184.997211, 195.997718, 207.652349,
    220.0, 233.081881, 246.941651, 261.625565, 277.182631,
    293.664768, 311.126984, 329.627557, 349.228231, 369.994423,
    391.995436, 415.304698, 440.0, 466.163762, 493.883301,
    523.251131, 554.365262, 587.329536, 622.253967, 659.255114,
    698.456463, 739.988845, 783.990872, 830.609395, 880.0,
    932.327523, 987.766603, 1046.502261, 1108.730524, 1174.659072,
    1244.507935, 1318.510228, 1396.912926, 1479.977691, 1567.981744,
    1661.21879, 1760.0, 1864.655046, 1975.533205, 2093.004522,
    2217.461048, 2349.318143, 2489.01587, 2637.020455, 2793.825851,
    2959.955382, 3135.963488, 3322.437581, 3520.0, 3729.310092,
    3951.06641, 4186.009045, 4434.922096, 4698.636287, 4978.03174,
    5274.040911, 5587.651703, 5919.910763, 6271.926976, 6644.875161,
    7040.0, 7458.620184, 7902.13282, 8372.01809, 8869.844191,
};

namespace {

void stop_playing(TrackState& t) {
    t.gate_on = 0;
    t.active = 0;
}

void start_note(TrackState& t, int code, std::uint8_t ticks) {
    t.base_freq = note_frequency(code + t.transpose, t.detune);
    if (t.gate_on == 0) {
        // A fresh note; a note arriving while the gate is open is legato and
        // carries the envelope, sweep and vibrato on.
        t.gate_on = 1;
        t.env_restart = 1;
        t.sweep_offset = 0;
        t.vibrato_offset = 0;
        t.vibrato_slope = t.vibrato_step;
        t.vibrato_flip_left = 1750;
        t.vibrato_wait = std::uint32_t(t.vibrato_delay);
    }
    const double length = event_length(t, ticks);
    t.event_left = length;
    t.gate_left = t.tie ? length + 2.0 : length * t.gate_q * 0.125;
    ++t.note_count;
}

}  // namespace

double event_length(const TrackState& state, std::uint8_t ticks) {
    return ticks * 1058400000.0 / double(state.tempo_x100 * TICKS_PER_WHOLE);
}

double note_frequency(int n, int d) {
    n = std::clamp(n, 0, 100);
    const int m = std::max((n + 100) * 100 + d, 10000);
    const int i = m / 100 - 100;
    const int r = m % 100;
    return PITCH_TABLE[i + 1] - (PITCH_TABLE[i + 1] - PITCH_TABLE[i]) * (100 - r) * 0.01;
}

void fetch_events(Engine& engine, int track) {
    TrackState& t = engine.tracks[track];
    if (!t.active) return;
    t.tie = 0;
    int loop_backs = 0;
    for (;;) {
        if (--t.fetch_budget < 0) {
            t.fetch_budget = 0;
            stop_playing(t);
            return;
        }
        const int position = t.cursor;
        const std::uint8_t code = t.events[position];
        const std::uint8_t operand = t.events[position + 1];
        t.cursor = position + 2;
        int& d = t.repeat_depth;
        switch (code) {
        case EV_REST:
            t.gate_on = 0;
            t.event_left = event_length(t, operand);
            return;
        case EV_TRANSPOSE: t.transpose = std::int8_t(operand); break;
        case EV_VOLUME_STEP:
            t.volume = operand == 1 ? std::min(t.volume + 1, 15) : std::max(t.volume - 1, 0);
            break;
        case EV_SMOOTH: t.smooth_coef = (operand + 1) * 0.01; break;
        case EV_TEMPO_FRACTION: t.tempo_x100 = t.tempo_x100 - t.tempo_x100 % 100 + operand; break;
        case EV_PAN: t.pan = operand; break;
        case EV_VIBRATO_DELAY: t.vibrato_delay = operand * 882; break;
        case EV_REPEAT_BREAK:
            if (t.repeat_pass[d] == t.repeat_count[d] - 1) {
                t.cursor = t.repeat_exit[d] + 2;
                d = std::max(d - 1, 0);
            }
            break;
        case EV_REPEAT_END:
            if (d == 0) {
                stop_playing(t);
                return;
            }
            if (++t.repeat_pass[d] < operand) {
                t.repeat_count[d] = operand;
                t.repeat_exit[d] = position;
                t.cursor = t.repeat_start[d] + 2;
            } else {
                --d;
            }
            break;
        case EV_REPEAT_START: {
            // At most four open repeats; opening a fifth stops the track.
            const bool overflow = ++d >= 5;
            if (overflow) d = 5;
            t.repeat_start[d] = position;
            t.repeat_pass[d] = 0;
            t.repeat_count[d] = 255;
            if (overflow) {
                stop_playing(t);
                return;
            }
            break;
        }
        case EV_VIBRATO_DEPTH:
            t.vibrato_step = operand * 0.0005;
            if (operand == 0) t.vibrato_offset = 0;
            break;
        case EV_SWEEP:
            t.sweep_step = std::int8_t(operand) * 0.0004;
            if (operand == 0) t.sweep_offset = 0;
            break;
        case EV_TONE: t.tone = operand; break;
        case EV_DETUNE: t.detune = std::int8_t(operand); break;
        case EV_LOOP_POINT: t.loop_point = position; break;
        case EV_TIE: t.tie = 1; break;
        case EV_GATE: t.gate_q = operand; break;
        case EV_SUSTAIN: {
            const double half = operand * 0.5;
            t.sustain_level = half * half * 0.00040812162024283236;
            break;
        }
        case EV_DECAY: t.decay_step = operand * 0.00001; break;
        case EV_ATTACK: t.attack_step = double(operand * operand * operand) * 1.0306101521283646e-8; break;
        case EV_VOLUME: t.volume = std::int8_t(operand); break;
        case EV_TEMPO: t.tempo_x100 = operand * 100; break;
        case EV_STOP:
            stop_playing(t);
            return;
        case EV_END:
            t.gate_on = 0;
            d = 0;
            // A second loop-back within one fetch means the loop holds no note
            // or rest and would never give the time back.
            if (t.note_count == 0 || ++loop_backs > 1) {
                t.active = 0;
                return;
            }
            ++t.note_count;
            ++t.loop_count;
            t.cursor = t.loop_point;
            break;
        default:  // 1..232: a note
            start_note(t, code, operand);
            return;
        }
    }
}

}  // namespace bleepforge
