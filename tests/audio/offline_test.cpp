// The offline renderer's sink: the capture's frames, streamed without the capture, and bounded.
// (Cuts with --from are tested through the command, against full renders.)
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

}  // namespace
}  // namespace bleepforge
