// --play with --from, --mute and --solo on the test device: what it hears is
// the offline render with the same options, from the block holding TIME.
#include <gtest/gtest.h>

#include <chrono>

#include "audio/mixer.h"
#include "audio/offline.h"
#include "audio/test_device.h"
#include "cli/play.h"
#include "mml/song.h"
#include "support/test_data.h"

namespace bleepforge::cli {
namespace {

using Samples = std::vector<std::int16_t>;

// `blocks` blocks of the render of `bytes` from block `from_block` on, tracks `muted` left out.
Samples offline(const std::string& bytes, std::uint64_t from_block, std::uint8_t muted, std::uint64_t blocks) {
    auto engine = std::make_unique<Engine>();
    engine->muted = muted;
    load_song(*engine, bytes);
    Samples got;
    render_song(*engine, {.max_blocks = blocks, .from_frame = from_block * BLOCK_FRAMES}, {},
                [&](const KeptBlock& b) {
                    got.insert(got.end(), b.mix + 2 * b.begin, b.mix + 2 * b.end);
                    return true;
                });
    return got;
}

TEST(PlayCommand, StartsAtTheBlockHoldingFromWithTheTracksHeard) {
    const std::string bytes = test::read_file(test::data_dir() / "conformance" / "songs" / "r01_random.mml");
    const struct {
        std::vector<std::string> args;
        std::uint64_t from_block;
        std::uint8_t muted;
    } cases[] = {
        {{"--from", "1.5"}, 44, 0x00},                  // frame 66150 lies in block 44
        {{"--mute", "0,3"}, 0, 0x09},
        {{"--from", "0:00.7", "--solo", "2,4", "--mute", "4"}, 20, 0xFB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> args = {"x.mml", "--play", "-q", "--seconds", "0.3"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Options options;
        std::string error;
        ASSERT_TRUE(parse_options(args, options, error)) << error;
        TestDevice::Options paced;
        paced.block_period = std::chrono::milliseconds(1);
        auto device = std::make_unique<TestDevice>(paced);
        const auto log = device->log();
        ASSERT_EQ(play_command(options, bytes, std::move(device)), 0);

        // The song starts after some idle blocks: find its first block in what was played.
        constexpr std::uint64_t N = 9;  // 0.3 s
        const Samples expected = offline(bytes, c.from_block, c.muted, N);
        ASSERT_EQ(expected.size(), N * BLOCK_SAMPLES);
        bool found = false;
        for (std::uint64_t first = 0; first + N <= log->blocks() && !found; ++first) {
            found = log->samples(first, N) == expected;
        }
        EXPECT_TRUE(found) << "the device never played the expected blocks";
    }
}

}  // namespace
}  // namespace bleepforge::cli
