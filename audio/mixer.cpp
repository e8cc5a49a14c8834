#include "audio/mixer.h"

#include <algorithm>
#include <new>
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The integer sum of `rows` for every sample from `first`, clamped into `block`.
[[gnu::always_inline]] inline void sum_unit(const std::int16_t* const* rows, std::int16_t* block, int first,
                                            int samples) {
    for (int j = first; j < samples; ++j) {
        std::int32_t s = 0;
        for (int k = 0; k < TRACK_COUNT; ++k) s += rows[k][j];
        block[j] = std::int16_t(std::clamp(s, -32768, 32767));
    }
}

#if defined(__GNUC__) && defined(__x86_64__)
// sum_unit sixteen samples at a time with AVX2: two tracks' samples side by
// side, each pair multiplied by 1 and added (vpmaddwd), are their sums in 32
// bits, and packing the sums with signed saturation is the clamp.
__attribute__((target("avx2"))) void sum_unit_avx2(const std::int16_t* const* rows, std::int16_t* block,
                                                   int samples) {
    static_assert(TRACK_COUNT % 2 == 0);
    const __m256i ones = _mm256_set1_epi16(1);
    int j = 0;
    for (; j + 16 <= samples; j += 16) {
        __m256i low = _mm256_setzero_si256(), high = _mm256_setzero_si256();
        for (int k = 0; k < TRACK_COUNT; k += 2) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + j));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k + 1] + j));
            low = _mm256_add_epi32(low, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), ones));
            high = _mm256_add_epi32(high, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), ones));
        }
        // per 128-bit half: samples 0-3 from `low`, 4-7 from `high`
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + j), _mm256_packs_epi32(low, high));
    }
    sum_unit(rows, block, j, samples);
}
#endif

// Adds the tracks not in `skip` into the mix and clamps it into `block`. Kept
// inline so that each caller below compiles it for its own instruction set;
// `unit_sum` adds tracks whose gains are all 1.0.
template <void (*unit_sum)(const std::int16_t* const*, std::int16_t*, int)>
[[gnu::always_inline]] inline void sum_tracks(Engine& engine, std::int16_t* block, int samples, unsigned skip) {
    static constexpr std::array<std::int16_t, BLOCK_SAMPLES> SILENCE{};
    const std::int16_t* rows[TRACK_COUNT];
    bool unit = true;
    for (int k = 0; k < TRACK_COUNT; ++k) {
        const bool skipped = skip >> k & 1;
        rows[k] = skipped ? SILENCE.data() : engine.track_blocks[k].data();
        unit = unit && (skipped || engine.tracks[k].mix_gain == 1.0);
    }
    if (unit && master_gain == 1.0) {
        // Every gain is 1.0: integer sums, each sample in one pass over the tracks.
        unit_sum(rows, block, samples);
        return;
    }
    std::int32_t* sum = engine.mix_sum.data();
    std::fill_n(sum, samples, 0);
    for (int k = 0; k < TRACK_COUNT; ++k) {
        if (skip >> k & 1) continue;
        const std::int16_t* track = engine.track_blocks[k].data();
        const double gain = engine.tracks[k].mix_gain;
        if (gain == 1.0) {  // a sample times 1.0 is the sample: add in integers
            for (int j = 0; j < samples; ++j) sum[j] += track[j];
        } else {
            for (int j = 0; j < samples; ++j) sum[j] += std::int32_t(track[j] * gain);
        }
    }
    for (int j = 0; j < samples; ++j) {
        if constexpr (master_gain == 1.0) {
            block[j] = std::int16_t(std::clamp(sum[j], -32768, 32767));
        } else {
            const double scaled = double(std::int32_t(sum[j] * master_gain));
            block[j] = std::int16_t(std::clamp(scaled, -32768.0, 32767.0));
        }
    }
}

void sum_unit_plain(const std::int16_t* const* rows, std::int16_t* block, int samples) {
    sum_unit(rows, block, 0, samples);
}

void sum_tracks_plain(Engine& engine, std::int16_t* block, int samples, unsigned skip) {
    sum_tracks<sum_unit_plain>(engine, block, samples, skip);
}

#if defined(__GNUC__) && defined(__x86_64__)
// The same additions in wider registers, where the processor has AVX2.
__attribute__((target("avx2"))) void sum_tracks_avx2(Engine& engine, std::int16_t* block, int samples,
                                                     unsigned skip) {
    sum_tracks<sum_unit_avx2>(engine, block, samples, skip);
}
#endif

}  // namespace

void mix_block(Engine& engine, std::int16_t* block, int length_bytes) {
    length_bytes = std::clamp(length_bytes, 0, BLOCK_BYTES) / 4 * 4;
    const int samples = length_bytes / 2;
    const bool was_active = any_track_active(engine);

    // An idle track stays idle through the block and renders zeros, which add nothing.
    unsigned skip = engine.muted;
    for (int k = 0; k < TRACK_COUNT; ++k) skip |= unsigned(!engine.tracks[k].active && !engine.tracks[k].gate_on) << k;
    render_voices(engine, length_bytes);
    if (engine.track_tap) {
        for (int k = 0; k < TRACK_COUNT; ++k) {
            std::copy_n(engine.track_blocks[k].data(), samples, engine.track_tap + k * BLOCK_SAMPLES);
        }
    }
#if defined(__GNUC__) && defined(__x86_64__)
    if (engine.vector_synth >= SIMD_AVX2 && vector_synth_best() >= SIMD_AVX2) {
        sum_tracks_avx2(engine, block, samples, skip);
    } else {
        sum_tracks_plain(engine, block, samples, skip);
    }
#else
    sum_tracks_plain(engine, block, samples, skip);
#endif

    if (was_active || any_track_active(engine)) {
        engine.played_frames += std::uint64_t(samples / 2);
        if (engine.recording_mode && engine.RecordBuffer) capture_block(engine, block, samples / 2);
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
