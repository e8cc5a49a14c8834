// The per-track record of sequencer and synthesis state.
#pragma once

#include <array>
#include <cstdint>

#include "mml/event_code.h"

namespace bleepforge {

constexpr int TRACK_COUNT = 8;
constexpr int REPEAT_SLOTS = 6;  // index 0 never belongs to a repeat; 1..4 open, 5 only on overflow

struct TrackState {
    std::uint8_t tone = 0;            // waveform: high nibble family 0..5, low nibble variant; >95 silent
    std::int8_t transpose = 0;        // semitones added to every note code
    std::int32_t tempo_x100 = 0;      // hundredths of a quarter note per minute (16500 = 165.00)
    double attack_step = 0;           // envelope rise per sample
    double decay_step = 0;            // envelope fall per sample
    double sustain_level = 0;         // envelope level at which the decay stops, 0..1
    std::uint8_t env_restart = 0;     // flag: envelope restarts from 0 at the next sample
    double env_level = 0;             // current envelope level, 0..1
    std::uint8_t env_phase = 0;       // 0 attack, 1 decay, 2 sustain
    std::uint8_t gate_on = 0;         // flag: the oscillator sounds
    std::uint8_t active = 0;          // flag: the track is playing its stream
    std::int32_t note_count = 0;      // notes since reset, plus one per loop-back; only tested for 0
    std::int32_t loop_count = 0;      // loop-backs at EV_END since reset
    std::int32_t fetch_budget = 0;    // events the interpreter may still run, 0..FETCH_BUDGET_MAX
    double event_left = 0;            // samples left in the current note or rest
    std::uint8_t tie = 0;             // flag: the note of the current fetch is tied
    double gate_left = 0;             // samples left until the gate closes
    std::uint8_t gate_q = 0;          // gate length in eighths of the note, 1..9
    std::int8_t detune = 0;           // hundredths of a semitone
    std::int8_t volume = 0;           // volume step 0..15
    std::array<std::uint8_t, EVENT_STREAM_BYTES> events{};  // the track's event stream
    int events_end = -1;              // offset of the EV_END that ends the compiled text; -1: none written
    int cursor = 0;                   // byte offset of the next event to execute
    int loop_point = 0;               // byte offset where EV_END resumes
    std::array<int, REPEAT_SLOTS> repeat_start{};           // offset of each open repeat's EV_REPEAT_START
    std::array<int, REPEAT_SLOTS> repeat_exit{};            // offset of its EV_REPEAT_END once it jumped back
    std::array<std::uint8_t, REPEAT_SLOTS> repeat_count{};  // total passes; 255 until the first jump back
    std::array<std::int32_t, REPEAT_SLOTS> repeat_pass{};   // passes completed
    std::int32_t repeat_depth = 0;    // open repeats, 0..5
    std::uint32_t vibrato_wait = 0;   // samples before the vibrato moves
    std::int32_t vibrato_delay = 0;   // vibrato delay in samples
    double phase = 0;                 // oscillator phase, 0..44100 is one cycle
    double base_freq = 0;             // pitch of the current note in Hz
    double freq = 0;                  // oscillator frequency in Hz, 0..20000
    double sweep_step = 0;            // Hz added to sweep_offset per sample
    double sweep_offset = 0;          // accumulated sweep in Hz
    double vibrato_step = 0;          // vibrato rate in Hz per sample
    double vibrato_slope = 0;         // vibrato_step with its current sign
    double vibrato_offset = 0;        // accumulated vibrato in Hz
    std::int32_t vibrato_flip_left = 0;  // samples until vibrato_slope changes sign
    double noise_phase = 0;           // noise clock; each whole 44100 is one register step
    std::int16_t noise_level = 0;     // current noise output, +6363 or -6363
    double smooth_left = 0;           // left low-pass state, pan gain included
    double smooth_right = 0;          // right low-pass state, pan gain included
    std::uint8_t pan = 0;             // 1 (left) .. 15 (right), 8 = centre
    double smooth_coef = 0;           // low-pass coefficient, 0.01..1.00
    double mix_gain = 1.0;            // gain of the track in the mix
};

}  // namespace bleepforge
