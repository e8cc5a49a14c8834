#include "mml/listing.h"

#include <array>
#include <memory>

#include "mml/compiler.h"
#include "mml/event_code.h"
#include "mml/song.h"

namespace bleepforge {
namespace {

void list_track(const TrackState& t, int k, bool names, std::string& out,
                const std::array<std::string, EVENT_STREAM_BYTES / 2>* places) {
    const int end = t.events_end < 0 ? 0 : t.events_end;
    for (int off = 0; off <= end; off += 2) {
        const std::uint8_t code = t.events[off];
        out += std::to_string(k) + ' ' + std::to_string(off) + ' ' + std::to_string(code) + ' ';
        out += event_has_operand(code) ? std::to_string(t.events[off + 1]) : "-";
        if (names) out += std::string(" ") + event_code_name(code);
        if (places) {
            const std::string& place = (*places)[std::size_t(off) / 2];
            out += ' ' + (place.empty() || code == EV_END || t.events_end < 0 ? std::string("-") : place);
            out += ' ' + (code >= 1 && code <= EV_LAST_NOTE ? note_name(code) : std::string("-"));
        }
        out += '\n';
    }
}

// Collects "line:column" of the command behind each event slot.
struct Places : CompileListener {
    const std::vector<TextOrigin>& origins;
    std::array<std::string, EVENT_STREAM_BYTES / 2> at{};
    explicit Places(const std::vector<TextOrigin>& o) : origins(o) {}
    void event(int offset, std::size_t position) override {
        const SourcePlace p = source_place(origins, position);
        at[std::size_t(offset) / 2] = std::to_string(p.line) + ':' + std::to_string(p.column);
    }
};

}  // namespace

std::string event_listing(const Engine& engine, bool names) {
    std::string out;
    for (int k = 0; k < TRACK_COUNT; ++k) list_track(engine.tracks[k], k, names, out, nullptr);
    return out;
}

std::string song_event_listing(std::string_view song_bytes) {
    auto engine = std::make_unique<Engine>();
    load_song(*engine, song_bytes);
    const SplitSong song = split_song(song_bytes);
    auto scratch = std::make_unique<Engine>();
    std::string out;
    for (int k = 0; k < TRACK_COUNT; ++k) {
        Places places(song.origins[k]);
        compile_track(*scratch, 0, song.texts[k], places);
        list_track(engine->tracks[k], k, true, out, &places.at);
    }
    return out;
}

std::string note_name(std::uint8_t code) {
    static const char* const NAMES[12] = {"c", "c#", "d", "d#", "e", "f", "f#", "g", "g#", "a", "a#", "b"};
    return NAMES[code % 12] + std::to_string(code / 12);
}

}  // namespace bleepforge
