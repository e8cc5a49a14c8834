#include "mml/listing.h"

#include "mml/event_code.h"

namespace bleepforge {

std::string event_listing(const Engine& engine, bool names) {
    std::string out;
    for (int k = 0; k < TRACK_COUNT; ++k) {
        const TrackState& t = engine.tracks[k];
        const int end = t.events_end < 0 ? 0 : t.events_end;
        for (int off = 0; off <= end; off += 2) {
            const std::uint8_t code = t.events[off];
            out += std::to_string(k) + ' ' + std::to_string(off) + ' ' + std::to_string(code) + ' ';
            out += event_has_operand(code) ? std::to_string(t.events[off + 1]) : "-";
            if (names) out += std::string(" ") + event_code_name(code);
            out += '\n';
        }
    }
    return out;
}

}  // namespace bleepforge
