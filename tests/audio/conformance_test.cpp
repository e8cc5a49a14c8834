// Golden renders and event listings of songs computed independently of this engine.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "audio/mixer.h"
#include "audio/offline.h"
#include "mml/listing.h"
#include "mml/song.h"
#include "support/sha256.h"
#include "support/test_data.h"

namespace bleepforge {
namespace {

using Golden = test::GoldenRender;

class Conformance : public ::testing::TestWithParam<Golden> {};

TEST_P(Conformance, EventListingMatches) {
    const Golden& g = GetParam();
    auto engine = std::make_unique<Engine>();
    load_song(*engine, test::read_file(test::data_dir() / "conformance" / "songs" / g.song));
    const std::string stem = g.song.substr(0, g.song.size() - 4);
    EXPECT_EQ(event_listing(*engine, false),
              test::read_file(test::data_dir() / "conformance" / "events" / (stem + ".txt")));
}

TEST_P(Conformance, RenderMatchesGoldenPcm) {
    const Golden& g = GetParam();
    auto engine = std::make_unique<Engine>();
    ASSERT_TRUE(recording_on(*engine));
    load_song(*engine, test::read_file(test::data_dir() / "conformance" / "songs" / g.song));
    RenderLimits limits;
    limits.max_blocks = std::uint64_t(std::ceil(std::stod(g.seconds) * SAMPLE_RATE / BLOCK_FRAMES));
    render_song(*engine, limits);
    EXPECT_EQ(engine->recorded_frames, g.frames);
    EXPECT_EQ(test::sha256_hex(engine->RecordBuffer.get(), std::size_t{engine->recorded_frames} * 4), g.sha256);
}

INSTANTIATE_TEST_SUITE_P(Songs, Conformance, ::testing::ValuesIn(test::golden_renders()),
                         [](const auto& info) {
                             return info.param.song.substr(0, info.param.song.size() - 4);
                         });

}  // namespace
}  // namespace bleepforge
