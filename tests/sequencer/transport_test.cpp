#include <gtest/gtest.h>

#include "audio/mixer.h"
#include "mml/song.h"
#include "sequencer/transport.h"
#include "support/engine_helpers.h"

namespace bleepforge {
namespace {

TEST(Transport, FreshEngineIsIdleAndSilent) {
    auto engine = std::make_unique<Engine>();
    EXPECT_FALSE(any_track_active(*engine));
    for (const TrackState& t : engine->tracks) {
        EXPECT_EQ(t.events[0], EV_STOP);
        EXPECT_EQ(t.mix_gain, 1.0);
    }
    EXPECT_EQ(engine->noise_register, 0x4000);
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    block.fill(99);
    mix_block(*engine, block.data());
    for (std::int16_t s : block) ASSERT_EQ(s, 0);
}

TEST(Transport, EmptyTextsLeaveTracksIdle) {
    auto engine = test::loaded("0c\r\n");
    EXPECT_TRUE(engine->tracks[0].active);
    for (int k = 1; k < TRACK_COUNT; ++k) EXPECT_FALSE(engine->tracks[k].active);
    load_song(*engine, "; nothing here\r\n");
    EXPECT_FALSE(any_track_active(*engine));
}

TEST(Transport, StartAllIfIdleDoesNothingWhileATrackPlays) {
    auto engine = test::loaded("5cde\r\n");
    TrackTexts texts;
    texts[0].push_back('g');  // (an assignment from a literal trips a GCC 12 -O3 false warning)
    start_all_if_idle(*engine, texts);
    EXPECT_EQ(engine->tracks[0].events[0], EV_STOP);
    EXPECT_EQ(engine->tracks[5].cursor, 2);
}

TEST(Transport, StopKeepsParametersAndBlocksTheStream) {
    auto engine = test::loaded("2t120 v9 @5 cde\r\n");
    stop_all_tracks(*engine);
    const TrackState& t = engine->tracks[2];
    EXPECT_FALSE(t.active);
    EXPECT_FALSE(t.gate_on);
    EXPECT_EQ(t.events[0], EV_END);
    EXPECT_EQ(t.cursor, 0);
    EXPECT_EQ(t.tempo_x100, 12000);
    EXPECT_EQ(t.volume, 9);
    EXPECT_EQ(t.tone, 5);
}

}  // namespace
}  // namespace bleepforge
