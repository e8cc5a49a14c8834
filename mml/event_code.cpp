#include "mml/event_code.h"

namespace bleepforge {

const char* event_code_name(std::uint8_t code) {
    static const char* const control_names[] = {
        "EV_TRANSPOSE",    "EV_VOLUME_STEP",  "EV_SMOOTH",   "EV_TEMPO_FRACTION", "EV_PAN",
        "EV_VIBRATO_DELAY", "EV_REPEAT_BREAK", "EV_REPEAT_END", "EV_REPEAT_START", "EV_VIBRATO_DEPTH",
        "EV_SWEEP",        "EV_TONE",         "EV_DETUNE",   "EV_LOOP_POINT",     "EV_TIE",
        "EV_GATE",         "EV_SUSTAIN",      "EV_DECAY",    "EV_ATTACK",         "EV_VOLUME",
        "EV_TEMPO",        "EV_STOP",         "EV_END",
    };
    if (code == EV_REST) return "rest";
    if (code <= EV_LAST_NOTE) return "note";
    return control_names[code - EV_TRANSPOSE];
}

}  // namespace bleepforge
