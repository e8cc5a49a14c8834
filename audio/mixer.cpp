#include "audio/mixer.h"

#include <algorithm>
#include <new>

#include "sequencer/transport.h"
#include "synth/voice.h"

namespace bleepforge {

namespace {

void capture_block(Engine& engine, const std::int16_t* block, int frames) {
    std::int16_t* buffer = engine.RecordBuffer.get();
    const int fit = int(std::min<std::uint32_t>(std::uint32_t(frames), RECORD_CAPACITY - 1 - engine.recorded_frames));
    std::copy_n(block, fit * 2, buffer + std::uint64_t{engine.recorded_frames} * 2);
    engine.recorded_frames += std::uint32_t(fit);
    if (fit < frames) {
        // Once full, every further frame lands in the last slot, which the count never covers.
        std::copy_n(block + (frames - 1) * 2, 2, buffer + std::uint64_t{RECORD_CAPACITY - 1} * 2);
    }
}

}  // namespace

void mix_block(Engine& engine, std::int16_t* block, int length_bytes) {
    length_bytes = std::clamp(length_bytes, 0, BLOCK_BYTES) / 4 * 4;
    const int samples = length_bytes / 2;
    const bool was_active = any_track_active(engine);

    std::fill_n(engine.mix_sum.begin(), samples, 0);
    // An idle track stays idle through the block and renders zeros, which add nothing.
    std::uint8_t idle = 0;
    for (int k = 0; k < TRACK_COUNT; ++k) idle |= std::uint8_t(!engine.tracks[k].active && !engine.tracks[k].gate_on) << k;
    render_voices(engine, length_bytes);
    for (int k = 0; k < TRACK_COUNT; ++k) {
        const std::int16_t* samples_of_track = engine.track_blocks[k].data();
        if (engine.track_tap) std::copy_n(samples_of_track, samples, engine.track_tap + k * BLOCK_SAMPLES);
        if ((idle | engine.muted) >> k & 1) continue;
        const double gain = engine.tracks[k].mix_gain;
        if (gain == 1.0) {  // a sample times 1.0 is the sample: add in integers
            for (int j = 0; j < samples; ++j) engine.mix_sum[j] += samples_of_track[j];
        } else {
            for (int j = 0; j < samples; ++j) engine.mix_sum[j] += std::int32_t(samples_of_track[j] * gain);
        }
    }
    for (int j = 0; j < samples; ++j) {
        if constexpr (master_gain == 1.0) {
            block[j] = std::int16_t(std::clamp(engine.mix_sum[j], -32768, 32767));
        } else {
            const double scaled = double(std::int32_t(engine.mix_sum[j] * master_gain));
            block[j] = std::int16_t(std::clamp(scaled, -32768.0, 32767.0));
        }
    }

    if (engine.recording_mode && engine.RecordBuffer && (was_active || any_track_active(engine))) {
        capture_block(engine, block, samples / 2);
    }
}

bool recording_on(Engine& engine) {
    if (engine.recording_mode) return true;
    // Left uninitialised on purpose: pages are only touched as the capture grows.
    engine.RecordBuffer.reset(new (std::nothrow) std::int16_t[std::uint64_t{RECORD_CAPACITY} * 2]);
    if (!engine.RecordBuffer) return false;
    engine.recorded_frames = 0;
    engine.recording_mode = true;
    return true;
}

void recording_off(Engine& engine) {
    engine.recording_mode = false;
    engine.RecordBuffer.reset();
}

}  // namespace bleepforge
