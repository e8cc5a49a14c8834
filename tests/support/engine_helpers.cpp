#include "support/engine_helpers.h"

#include "mml/compiler.h"
#include "mml/song.h"
#include "sequencer/interpreter.h"

namespace bleepforge::test {

std::vector<Event> compile_events(const std::string& text) {
    auto engine = std::make_unique<Engine>();
    compile_track(*engine, 0, text);
    const TrackState& t = engine->tracks[0];
    std::vector<Event> events;
    for (int off = 0; off <= std::max(t.events_end, 0); off += 2) {
        const int code = t.events[off];
        events.emplace_back(code, event_has_operand(code) ? t.events[off + 1] : -1);
    }
    return events;
}

std::unique_ptr<Engine> loaded(const std::string& song) {
    auto engine = std::make_unique<Engine>();
    load_song(*engine, song);
    return engine;
}

std::vector<int> played_codes(Engine& engine, int count, int track) {
    TrackState& t = engine.tracks[track];
    std::vector<int> codes;
    for (int i = 0; i < count && t.active; ++i) {
        codes.push_back(t.events[t.cursor - 2]);
        fetch_events(engine, track);
    }
    return codes;
}

}  // namespace bleepforge::test
