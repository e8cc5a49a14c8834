// The offline renderer's sink: the capture's frames, streamed, cut and bounded.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/mixer.h"
#include "audio/offline.h"
#include "mml/song.h"
#include "support/sha256.h"
#include "support/test_data.h"

namespace bleepforge {
namespace {

using Samples = std::vector<std::int16_t>;

std::string song_bytes(const std::string& song) {
    return test::read_file(test::data_dir() / "conformance" / "songs" / song);
}

// What the sink receives for `song` under `limits`, with the capture off.
Samples streamed(const std::string& bytes, const RenderLimits& limits, RenderResult* result = nullptr) {
    auto engine = std::make_unique<Engine>();
    load_song(*engine, bytes);
    Samples got;
    const RenderResult r = render_song(*engine, limits, {}, [&](const KeptBlock& b) {
        EXPECT_LT(b.begin, b.end);
        got.insert(got.end(), b.mix + 2 * b.begin, b.mix + 2 * b.end);
        return true;
    });
    EXPECT_EQ(engine->RecordBuffer, nullptr) << "the stream never allocates the capture";
    EXPECT_EQ(r.frames_delivered * 2, got.size());
    if (result) *result = r;
    return got;
}

// The capture of the same render: what the sink must reproduce.
Samples captured(const std::string& bytes, RenderLimits limits) {
    auto engine = std::make_unique<Engine>();
    EXPECT_TRUE(recording_on(*engine));
    load_song(*engine, bytes);
    render_song(*engine, limits);
    return Samples(engine->RecordBuffer.get(), engine->RecordBuffer.get() + std::size_t{engine->recorded_frames} * 2);
}

TEST(OfflineRender, TheSinkGetsTheGoldenFramesWithoutACapture) {
    for (const test::GoldenRender& g : test::golden_renders()) {
        SCOPED_TRACE(g.song);
        RenderLimits limits;
        limits.max_blocks = std::uint64_t(std::ceil(std::stod(g.seconds) * SAMPLE_RATE / BLOCK_FRAMES));
        const Samples got = streamed(song_bytes(g.song), limits);
        ASSERT_EQ(got.size(), std::size_t{g.frames} * 2);
        EXPECT_EQ(test::sha256_hex(got.data(), got.size() * 2), g.sha256);
    }
}

TEST(OfflineRender, FromIsAPureCutOfTheSameRender) {
    struct Case {
        const char* song;
        std::uint64_t max_blocks;
        int loops;
        std::uint64_t from;
    } cases[] = {
        {"p03_noise_drums.mml", 0, 1, 0},
        {"p03_noise_drums.mml", 0, 1, 1500},       // a block boundary
        {"p03_noise_drums.mml", 0, 1, 1501},       // just past one
        {"p08_repeats_loop.mml", 0, 3, 100'000},   // in a later loop
        {"p03_noise_drums.mml", 4, 3, 70'001},     // --seconds counts from the cut
        {"p12_full_stream.mml", 0, 2, 44'100},
        {"r01_random.mml", 60, 0, 12'345},
        {"p01_scale_pulse.mml", 0, 1, 29'999},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.song << " from " << c.from << " blocks " << c.max_blocks);
        const std::string bytes = song_bytes(c.song);
        // The uncut render that ends where the cut one must: its blocks counted from the cut.
        RenderLimits whole{.max_blocks = 0, .loops = c.loops};
        if (c.max_blocks > 0) whole.max_blocks = (c.from + c.max_blocks * BLOCK_FRAMES + BLOCK_FRAMES - 1) / BLOCK_FRAMES;
        Samples tail = captured(bytes, whole);
        if (c.max_blocks > 0) tail.resize(std::min(tail.size(), (c.from + c.max_blocks * BLOCK_FRAMES) * 2));
        tail.erase(tail.begin(), tail.begin() + std::min<std::size_t>(tail.size(), c.from * 2));
        ASSERT_FALSE(tail.empty());
        RenderResult r{};
        EXPECT_EQ(streamed(bytes, {.max_blocks = c.max_blocks, .loops = c.loops, .from_frame = c.from}, &r), tail);
        if (c.max_blocks > 0 && tail.size() == c.max_blocks * BLOCK_SAMPLES) {
            EXPECT_EQ(r.end, RenderEnd::BLOCKS);
        }
    }
}

TEST(OfflineRender, AfterTheEndNothingIsDeliveredAndTheCeilingStops) {
    const std::string bytes = "0t120c4x\r\n";  // 15 blocks, then it ends
    RenderResult r{};
    EXPECT_TRUE(streamed(bytes, {.from_frame = 15 * BLOCK_FRAMES}, &r).empty());
    EXPECT_EQ(r.end, RenderEnd::SONG_ENDED);
    EXPECT_EQ(r.frames_kept, 15u * BLOCK_FRAMES);

    // A song that never ends stops at the ceiling, counted from the start, cut or not.
    for (const std::uint64_t from : {0, 1000}) {
        EXPECT_EQ(streamed("0c\r\n", {.from_frame = from, .ceiling_frames = 7 * BLOCK_FRAMES}, &r).size(),
                  (7 * BLOCK_FRAMES - from) * 2);
        EXPECT_EQ(r.end, RenderEnd::CEILING);
    }
}

TEST(OfflineRender, ASinkThatRefusesStopsTheRender) {
    auto engine = std::make_unique<Engine>();
    load_song(*engine, "0c\r\n");
    int calls = 0;
    const RenderResult r = render_song(*engine, {}, {}, [&](const KeptBlock&) { return ++calls < 3; });
    EXPECT_EQ(r.end, RenderEnd::STOPPED);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(r.blocks_mixed, 3u);
}

}  // namespace
}  // namespace bleepforge
