// Golden renders and event listings of songs computed independently of this engine.
#include <gtest/gtest.h>

#include <cmath>
#include <cctype>
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
    // The plain path, and every SIMD level the build and processor have.
    for (std::uint8_t level = SIMD_PLAIN; level <= vector_synth_best(); ++level) {
        SCOPED_TRACE("SIMD level " + std::to_string(level));
        auto engine = std::make_unique<Engine>();
        engine->vector_synth = level;
        ASSERT_TRUE(recording_on(*engine));
        load_song(*engine, test::read_file(test::data_dir() / "conformance" / "songs" / g.song));
        RenderLimits limits;
        limits.max_blocks = std::uint64_t(std::ceil(std::stod(g.seconds) * SAMPLE_RATE / BLOCK_FRAMES));
        render_song(*engine, limits);
        EXPECT_EQ(engine->recorded_frames, g.frames);
        EXPECT_EQ(test::sha256_hex(engine->RecordBuffer.get(), std::size_t{engine->recorded_frames} * 4), g.sha256);
    }
}

INSTANTIATE_TEST_SUITE_P(Songs, Conformance, ::testing::ValuesIn(test::golden_renders()),
                         [](const auto& info) {
                             return info.param.song.substr(0, info.param.song.size() - 4);
                         });

// Per-track outputs through the mixer's tap, and mixes with tracks muted.
class Stems : public ::testing::TestWithParam<test::GoldenStems> {};

TEST_P(Stems, TapAndMuteMatchGoldenPcm) {
    const test::GoldenStems& g = GetParam();
    auto engine = std::make_unique<Engine>();
    ASSERT_TRUE(recording_on(*engine));
    for (char c : g.muted) {
        if (c >= '0' && c <= '7') engine->muted |= std::uint8_t(1 << (c - '0'));
    }
    std::vector<std::int16_t> tap(TRACK_COUNT * BLOCK_SAMPLES);
    engine->track_tap = tap.data();
    load_song(*engine, test::read_file(test::data_dir() / "conformance" / "songs" / g.song));

    // Each track's samples over exactly the blocks the capture kept.
    std::array<std::vector<std::int16_t>, TRACK_COUNT> tracks;
    std::uint32_t kept = 0;
    RenderLimits limits;
    limits.max_blocks = std::uint64_t(std::ceil(std::stod(g.seconds) * SAMPLE_RATE / BLOCK_FRAMES));
    render_song(*engine, limits, [&](const Engine& e) {
        if (e.recorded_frames == kept) return;
        kept = e.recorded_frames;
        for (int k = 0; k < TRACK_COUNT; ++k) {
            tracks[k].insert(tracks[k].end(), tap.begin() + k * BLOCK_SAMPLES, tap.begin() + (k + 1) * BLOCK_SAMPLES);
        }
    });
    ASSERT_EQ(engine->recorded_frames, g.frames);

    for (const auto& [output, sha256] : g.outputs) {
        SCOPED_TRACE("output " + output);
        if (output == "mix") {
            EXPECT_EQ(test::sha256_hex(engine->RecordBuffer.get(), std::size_t{g.frames} * 4), sha256);
        } else {
            const auto& samples = tracks[std::stoi(output)];
            ASSERT_EQ(samples.size(), std::size_t{g.frames} * 2);
            EXPECT_EQ(test::sha256_hex(samples.data(), samples.size() * 2), sha256);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Songs, Stems, ::testing::ValuesIn(test::golden_stems()), [](const auto& info) {
    std::string name = info.param.song.substr(0, info.param.song.size() - 4) + "_muted_";
    if (info.param.muted == "-") return name + "none";
    for (char c : info.param.muted) name += std::isdigit(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

}  // namespace
}  // namespace bleepforge
