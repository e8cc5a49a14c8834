// One independent instance of the whole sound engine: eight tracks, the shared
// noise generator and the recording capture. Not thread-safe by itself: whoever
// shares an engine between threads serialises every call on it with one lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "sequencer/track_state.h"

namespace bleepforge {

constexpr int SAMPLE_RATE = 44100;
constexpr int BLOCK_FRAMES = 1500;
constexpr int BLOCK_SAMPLES = BLOCK_FRAMES * 2;
constexpr int BLOCK_BYTES = BLOCK_FRAMES * 4;
constexpr std::uint32_t RECORD_CAPACITY = 39'690'000;  // frames: 15 minutes
constexpr std::uint64_t RECORD_BUFFER_BYTES = std::uint64_t{RECORD_CAPACITY} * 4;

// Levels of SIMD in the synthesis; every level gives the same samples.
constexpr std::uint8_t SIMD_PLAIN = 0, SIMD_SSE2 = 1, SIMD_AVX2 = 2;
// The highest level both the build and this processor have.
std::uint8_t vector_synth_best();
// vector_synth_best(), lowered by BLEEPFORGE_SIMD=off (plain) or =sse2 (read once).
std::uint8_t vector_synth_default();

// Frames of one track up to `end` (exclusive) that share one gate, filter
// coefficient, pan and volume: the synthesis's second stage takes them as one.
// With `unit_level` every frame's envelope level is exactly 1.0, and the
// second stage can leave the scaling by it out. No member has a default: an
// engine's runs are then left untouched until written, not a half megabyte
// of memory filled at its construction.
struct VoiceRun {
    int end;
    bool gate;
    double coef, pan_left, pan_right, gain;
    bool unit_level;
};

// A track's raw waveform values and envelope levels for a block, together,
// so that the filter reaches both through one pointer per track.
struct VoiceValues {
    std::array<double, BLOCK_FRAMES> raw;
    std::array<double, BLOCK_FRAMES> level;
};

struct Engine {
    Engine();  // every track idle with its start values, noise register 0x4000 in long mode
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    std::array<TrackState, TRACK_COUNT> tracks;

    std::uint16_t noise_register = 0x4000;  // 15-bit shift register shared by all tracks
    std::uint8_t noise_mode_last = 0;       // mode of the latest step: 0 long, 1 short

    // Capture: interleaved 16-bit stereo frames, the layout of WAV PCM data.
    bool recording_mode = false;
    std::unique_ptr<std::int16_t[]> RecordBuffer;  // RECORD_CAPACITY frames once recording is on
    std::uint32_t recorded_frames = 0;             // at most RECORD_CAPACITY - 1

    // Frames mixed while a track was active, as the capture counts them; the
    // window's clock of the time played. Nothing reads it while mixing.
    std::uint64_t played_frames = 0;

    // Mix controls, read by every mix_block.
    std::uint8_t muted = 0;  // bit k set: track k is sequenced and synthesized but adds nothing to the mix
    // Null, or TRACK_COUNT rows of BLOCK_SAMPLES samples owned by the caller: mix_block
    // writes track k's samples into row k exactly as they enter the mix.
    std::int16_t* track_tap = nullptr;

    // Set where the song is loaded once and never again (a render to a file):
    // an idle track then never sounds again, and its oscillator may rest
    // instead of running on for a later load.
    bool loads_no_more = false;

    // The SIMD level of the synthesis's filter stage (SIMD_PLAIN ..), at most
    // vector_synth_best(): SSE2 filters both channels of a frame in one
    // operation, AVX2 also loads and truncates with fewer shuffles.
    std::uint8_t vector_synth = vector_synth_default();

    // Mixer work areas; they hold nothing between blocks.
    std::array<std::array<std::int16_t, BLOCK_SAMPLES>, TRACK_COUNT> track_blocks;
    std::array<std::int32_t, BLOCK_SAMPLES> mix_sum{};
    // Synthesis work areas, per track: a block's raw waveform values and
    // envelope levels, and the runs between changes of gate, filter, pan or volume.
    std::array<VoiceValues, TRACK_COUNT> voice_values;
    std::array<std::array<VoiceRun, BLOCK_FRAMES>, TRACK_COUNT> voice_runs;
    std::array<int, TRACK_COUNT> voice_run_count{};
};

}  // namespace bleepforge
