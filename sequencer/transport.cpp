#include "sequencer/transport.h"

#include "mml/compiler.h"
#include "sequencer/interpreter.h"

namespace bleepforge {

void init_tracks(Engine& engine) {
    for (TrackState& t : engine.tracks) {
        t = TrackState{};
        t.events[0] = EV_STOP;
    }
}

void reset_envelope(Engine& engine, int track) {
    TrackState& t = engine.tracks[track];
    t.attack_step = 1.0;
    t.decay_step = 0;
    t.sustain_level = 0;
    t.env_restart = 1;
    t.env_level = 0;
    t.env_phase = 0;
}

void reset_track(Engine& engine, int track) {
    TrackState& t = engine.tracks[track];
    t.tempo_x100 = 16500;
    t.tone = 0;
    t.note_count = 0;
    t.loop_count = 0;
    t.event_left = event_length(t, 24);
    t.gate_left = t.event_left;
    t.tie = 0;
    t.active = 1;
    t.volume = 13;
    t.gate_q = 8;
    t.sweep_step = 0;
    t.vibrato_step = 0;
    t.vibrato_slope = 0;
    t.vibrato_offset = 0;
    t.vibrato_flip_left = 0;
    t.vibrato_wait = 0;
    t.vibrato_delay = 0;
    reset_envelope(engine, track);
    t.pan = 8;
    t.transpose = 0;
    t.detune = 0;  // one song's detune must not leak into the next
    t.cursor = 0;
    t.loop_point = 0;
    t.repeat_start.fill(0);
    t.repeat_pass.fill(0);
    t.repeat_depth = 0;
    t.smooth_coef = 0.85;
    t.fetch_budget = FETCH_BUDGET_MAX;
    fetch_events(engine, track);
}

void reset_all_tracks(Engine& engine) {
    for (int k = 0; k < TRACK_COUNT; ++k) reset_track(engine, k);
}

void stop_track(Engine& engine, int track) {
    TrackState& t = engine.tracks[track];
    t.gate_on = 0;
    t.active = 0;
    t.events[0] = EV_END;
    t.cursor = 0;
    t.loop_point = 0;
}

void stop_all_tracks(Engine& engine) {
    for (int k = 0; k < TRACK_COUNT; ++k) stop_track(engine, k);
}

void clear_stream(Engine& engine, int track) { engine.tracks[track].events[0] = EV_STOP; }

void clear_all_streams(Engine& engine) {
    for (int k = 0; k < TRACK_COUNT; ++k) clear_stream(engine, k);
}

bool any_track_active(const Engine& engine) {
    for (const TrackState& t : engine.tracks) {
        if (t.active) return true;
    }
    return false;
}

void start_all_if_idle(Engine& engine, const TrackTexts& texts) {
    if (any_track_active(engine)) return;
    clear_all_streams(engine);
    for (int k = 0; k < TRACK_COUNT; ++k) compile_track(engine, k, texts[k]);
    reset_all_tracks(engine);
}

void copy_sound_state(Engine& to, const Engine& from) {
    to.tracks = from.tracks;
    to.noise_register = from.noise_register;
    to.noise_mode_last = from.noise_mode_last;
}

Engine::Engine() {
    init_tracks(*this);
    reset_envelope(*this, 0);
}

}  // namespace bleepforge
