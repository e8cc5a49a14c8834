// How long one block of the mix takes (a block plays for 34 ms; the heaviest
// must stay under 1% of that, 340 us), and how fast a song renders offline.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "audio/mixer.h"
#include "audio/offline.h"
#include "mml/song.h"
#if defined(BLEEPFORGE_SCOPE_BENCH)
#include "audio/track_scope.h"
#endif

namespace bleepforge {
namespace {

// Noise at the fastest clock on every track: 10 or 11 register steps per sample each.
std::string heaviest_song() {
    std::string song;
    for (int k = 0; k < TRACK_COUNT; ++k) song += std::to_string(k) + "@64 l1 c\r\n";
    return song;
}

// Eight busy tracks of the kind songs are made of.
const char* const TYPICAL_SONG =
    "0t150 @2 v12 h90 i5 j60 m8 n10 o5 l16 L [cdefgab>c<]4 [e8g8>c8<g8]4\r\n"
    "1@17 v11 p4 o4 l8 L [c e g e]8\r\n"
    "2@32 v10 p12 w30 o3 l4 L [c g a f]4\r\n"
    "3@48 v14 o2 l8 L [c c g g a a g4]4\r\n"
    "4@56 v12 o3 l16 L [c>c<]16\r\n"
    "5@66 v9 q2 l16 L [c c c c]8\r\n"
    "6@84 v8 q1 l8 L [r c r c]8\r\n"
    "7@23 v9 s-20 D15 o6 l2 L [c d]4\r\n";

// The typical song's first `tracks` lines: a track without text idles.
std::string typical_tracks(int tracks) {
    std::string song = TYPICAL_SONG;
    std::size_t end = 0;
    for (int k = 0; k < tracks; ++k) end = song.find('\n', end) + 1;
    return song.substr(0, end);
}

// Mixes blocks of `song` for as long as the benchmark runs; `level` caps the
// SIMD level below the processor's best.
void mix_blocks(benchmark::State& state, const std::string& song, std::int16_t* tap = nullptr,
                std::uint8_t level = SIMD_AVX2) {
    auto engine = std::make_unique<Engine>();
    engine->track_tap = tap;
    engine->vector_synth = std::min(level, engine->vector_synth);
    load_song(*engine, song);
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    for (auto _ : state) {
        mix_block(*engine, block.data());
        benchmark::DoNotOptimize(block.data());
    }
    state.counters["real_time_x"] = benchmark::Counter(
        double(state.iterations()) * BLOCK_FRAMES / SAMPLE_RATE, benchmark::Counter::kIsRate);
    int active = 0;
    for (const TrackState& t : engine->tracks) active += t.active;
    state.counters["tracks_playing"] = active;
}

// The most a song file can make the interpreter do for long: every track plays
// notes one sample long, each followed by as many control events as a track's
// allowance refills per sample (more and the track is soon stopped).
std::string control_flood_song() {
    std::string song;
    for (int k = 0; k < TRACK_COUNT; ++k) song += std::to_string(k) + "%0 L c [v]14\r\n";
    return song;
}

void BM_MixBlockHeaviest(benchmark::State& state) { mix_blocks(state, heaviest_song()); }
void BM_MixBlockControlFlood(benchmark::State& state) { mix_blocks(state, control_flood_song()); }
void BM_MixBlockTypical(benchmark::State& state) { mix_blocks(state, TYPICAL_SONG); }
// The same at a lower SIMD level than the processor's best: 0 plain (as
// BLEEPFORGE_SIMD=off), 1 SSE2 (as BLEEPFORGE_SIMD=sse2).
void BM_MixBlockTypicalPlain(benchmark::State& state) { mix_blocks(state, TYPICAL_SONG, nullptr, SIMD_PLAIN); }
void BM_MixBlockTypicalSse2(benchmark::State& state) { mix_blocks(state, TYPICAL_SONG, nullptr, SIMD_SSE2); }
// Idle tracks should cost next to nothing: five busy tracks against eight.
void BM_MixBlockTypicalTracks(benchmark::State& state) { mix_blocks(state, typical_tracks(int(state.range(0)))); }
// The per-track tap (stems, scopes) against the same song without it.
void BM_MixBlockTypicalTapped(benchmark::State& state) {
    std::vector<std::int16_t> tap(TRACK_COUNT * BLOCK_SAMPLES);
    mix_blocks(state, TYPICAL_SONG, tap.data());
}

// The typical song with the host's pauses left out. On a shared host the other
// figures carry the pauses of whatever else runs there, often a third or more;
// here a minute of the song is mixed REPEATS times from fresh engines, each
// block timed on its own, and each block's fastest time counts. A host that is
// slower throughout still shows, so compare only runs made one after another.
// What a whole process takes is bench/peers.sh's to say.
void BM_MixTypicalUndisturbed(benchmark::State& state) {
    constexpr int BLOCKS = 60 * SAMPLE_RATE / BLOCK_FRAMES, REPEATS = 15;
    std::vector<double> fastest(BLOCKS);
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    double seconds = 0;
    for (auto _ : state) {
        std::ranges::fill(fastest, std::numeric_limits<double>::infinity());
        for (int r = 0; r < REPEATS; ++r) {
            auto engine = std::make_unique<Engine>();
            load_song(*engine, TYPICAL_SONG);
            for (double& best : fastest) {
                const auto start = std::chrono::steady_clock::now();
                mix_block(*engine, block.data());
                benchmark::DoNotOptimize(block.data());
                best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            }
        }
        const double minute = std::accumulate(fastest.begin(), fastest.end(), 0.0);
        state.SetIterationTime(minute);
        seconds += minute;
    }
    state.counters["real_time_x"] = double(state.iterations()) * 60 / seconds;
}

// A minute of the typical song through the offline renderer with the capture on.
void BM_RenderMinute(benchmark::State& state) {
    for (auto _ : state) {
        auto engine = std::make_unique<Engine>();
        recording_on(*engine);
        load_song(*engine, TYPICAL_SONG);
        render_song(*engine, {.max_blocks = 60 * SAMPLE_RATE / BLOCK_FRAMES, .loops = 0});
        benchmark::DoNotOptimize(engine->recorded_frames);
    }
    state.counters["real_time_x"] =
        benchmark::Counter(double(state.iterations()) * 60, benchmark::Counter::kIsRate);
}

#if defined(BLEEPFORGE_SCOPE_BENCH)
// What a window's scopes add to each block on the render thread: the tapped
// mix above plus handing the tap over.
void BM_ScopePublish(benchmark::State& state) {
    TrackScopeBuffer scope;
    std::uint64_t block = 0;
    for (auto _ : state) {
        scope.publish(++block);
        benchmark::DoNotOptimize(scope.tap());
    }
}
BENCHMARK(BM_ScopePublish)->Unit(benchmark::kMicrosecond);
#endif

BENCHMARK(BM_MixBlockHeaviest)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MixBlockControlFlood)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MixBlockTypical)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MixBlockTypicalPlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MixBlockTypicalSse2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MixBlockTypicalTracks)->Arg(5)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MixBlockTypicalTapped)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RenderMinute)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MixTypicalUndisturbed)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bleepforge
