#include "fuzz/invariants.h"

#include <cstdio>
#include <cstdlib>

#include "sequencer/interpreter.h"

namespace bleepforge::fuzz {

namespace {

// The last offset an event may start at: a tempo with its fraction at 2040
// puts the closing EV_END at 2044.
constexpr int LAST_POSITION = LAST_EVENT_OFFSET + 4;

void require(bool ok, int track, const char* rule) {
    if (ok) return;
    std::fprintf(stderr, "invariant broken on track %d: %s\n", track, rule);
    std::abort();
}

bool on_event(int position) { return position >= 0 && position <= LAST_POSITION && position % 2 == 0; }

bool stream_ends(const TrackState& t) {
    for (int off = 0; off <= LAST_POSITION; off += 2) {
        if (t.events[off] == EV_END || t.events[off] == EV_STOP) return true;
    }
    return false;
}

}  // namespace

void check_engine(const Engine& engine) {
    for (int k = 0; k < TRACK_COUNT; ++k) {
        const TrackState& t = engine.tracks[k];
        require(stream_ends(t), k, "stream ends within its buffer");
        require(t.events_end <= LAST_POSITION, k, "compiled text ends within the stream");
        require(on_event(t.cursor), k, "cursor on an event");
        require(on_event(t.loop_point), k, "loop point on an event");
        require(t.repeat_depth >= 0 && t.repeat_depth <= 5, k, "repeat depth 0..5");
        for (int d = 1; d <= t.repeat_depth; ++d) {
            require(on_event(t.repeat_start[d]), k, "repeat start on an event");
            require(on_event(t.repeat_exit[d]), k, "repeat exit on an event");
        }
        require(t.volume >= 0 && t.volume <= 15, k, "volume 0..15");
        require(!t.active || (t.pan >= 1 && t.pan <= 15), k, "pan 1..15 while playing");
        require(t.freq >= 0 && t.freq <= 20000, k, "frequency 0..20000 Hz");
        require(t.active || !t.gate_on, k, "an idle track's gate is closed");
        require(t.fetch_budget >= 0 && t.fetch_budget <= FETCH_BUDGET_MAX, k, "fetch allowance in range");
    }
    require(engine.recorded_frames < RECORD_CAPACITY, -1, "capture count below capacity");
}

}  // namespace bleepforge::fuzz
