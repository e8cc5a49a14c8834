// Byte layout of a track's event stream: 2-byte events (code, operand).
#pragma once

#include <cstddef>
#include <cstdint>

namespace bleepforge {

constexpr std::size_t EVENT_STREAM_BYTES = 2048;  // one track's stream buffer
constexpr int LAST_EVENT_OFFSET = 2040;           // the compiler never writes an event past this slot
constexpr int TICKS_PER_WHOLE = 192;              // a quarter note is 48 ticks

// Codes 0 (rest) and 1..232 (note numbers) are not named; 233..255 are control codes.
enum EventCode : std::uint8_t {
    EV_REST = 0,
    EV_LAST_NOTE = 232,
    EV_TRANSPOSE = 233,       // signed semitones
    EV_VOLUME_STEP = 234,     // 1 up, anything else down
    EV_SMOOTH = 235,          // smooth_coef = (operand + 1) / 100
    EV_TEMPO_FRACTION = 236,  // replaces the hundredths of the tempo
    EV_PAN = 237,             // 1..15, 8 = centre
    EV_VIBRATO_DELAY = 238,   // fiftieths of a second
    EV_REPEAT_BREAK = 239,    // no operand
    EV_REPEAT_END = 240,      // total passes
    EV_REPEAT_START = 241,    // no operand
    EV_VIBRATO_DEPTH = 242,
    EV_SWEEP = 243,           // signed
    EV_TONE = 244,
    EV_DETUNE = 245,          // signed hundredths of a semitone
    EV_LOOP_POINT = 246,
    EV_TIE = 247,
    EV_GATE = 248,            // eighths of the note length, 1..9
    EV_SUSTAIN = 249,
    EV_DECAY = 250,
    EV_ATTACK = 251,
    EV_VOLUME = 252,          // 0..15
    EV_TEMPO = 253,           // quarter notes per minute
    EV_STOP = 254,            // no operand
    EV_END = 255,             // no operand
};

// "rest", "note" or the EV_ name of a control code.
const char* event_code_name(std::uint8_t code);

// False for the codes whose operand byte the compiler never writes.
constexpr bool event_has_operand(std::uint8_t code) {
    return code != EV_REPEAT_START && code != EV_REPEAT_BREAK && code != EV_STOP && code != EV_END;
}

}  // namespace bleepforge
