#include <gtest/gtest.h>

#include "audio/mixer.h"
#include "mml/song.h"
#include "support/engine_helpers.h"

namespace bleepforge {
namespace {

using Block = std::array<std::int16_t, BLOCK_SAMPLES>;

// Makes track k hold a constant raw level: a sawtooth frozen at phase 0 (+12726)
// or the always-low pulse of tone 31 (-6363), unfiltered, centred at full volume.
void hold_level(Engine& engine, int k, std::uint8_t tone) {
    TrackState& t = engine.tracks[k];
    t.tone = tone;
    t.gate_on = 1;
    t.smooth_coef = 1.0;
    t.pan = 1;
    t.volume = 15;
    t.attack_step = 1.0;
    t.env_restart = 1;
}

// On every SIMD level the processor has (the sums take wider registers with AVX2).
TEST(Mixer, SumSaturatesInsteadOfWrapping) {
    for (const std::uint8_t level : {SIMD_PLAIN, SIMD_SSE2, SIMD_AVX2}) {
        SCOPED_TRACE(int(level));
        auto engine = std::make_unique<Engine>();
        engine->vector_synth = std::min(level, engine->vector_synth);
        hold_level(*engine, 0, 32);
        hold_level(*engine, 5, 32);
        hold_level(*engine, 6, 32);
        Block block;
        mix_block(*engine, block.data());
        EXPECT_EQ(block[0], 32767);  // 3 x 12726 = 38178
        EXPECT_EQ(block[1], 0);
        EXPECT_EQ(block[BLOCK_SAMPLES - 2], 32767);
        engine->muted = 1 << 6;  // synthesized, left out of the sum
        mix_block(*engine, block.data());
        EXPECT_EQ(block[0], 2 * 12726);

        auto low = std::make_unique<Engine>();
        low->vector_synth = engine->vector_synth;
        for (int k = 0; k < TRACK_COUNT; ++k) hold_level(*low, k, 31);
        mix_block(*low, block.data());
        EXPECT_EQ(block[0], -32768);  // 8 x -6363 = -50904
        EXPECT_EQ(block[BLOCK_SAMPLES - 2], -32768);
    }
}

TEST(Mixer, TrackGainTruncatesTowardZero) {
    auto engine = std::make_unique<Engine>();
    hold_level(*engine, 2, 31);
    engine->tracks[2].mix_gain = 0.5;
    hold_level(*engine, 3, 32);
    Block block;
    mix_block(*engine, block.data());
    EXPECT_EQ(block[0], -3181 + 12726);  // -3181.5 truncates to -3181
}

TEST(Capture, OnlyWhileRecordingAndPlaying) {
    auto engine = test::loaded("0c\r\n");
    Block block;
    mix_block(*engine, block.data());
    EXPECT_EQ(engine->recorded_frames, 0u);

    ASSERT_TRUE(recording_on(*engine));
    std::int16_t* buffer = engine->RecordBuffer.get();
    ASSERT_TRUE(recording_on(*engine));
    EXPECT_EQ(engine->RecordBuffer.get(), buffer);  // a second switch-on allocates nothing

    mix_block(*engine, block.data());
    ASSERT_EQ(engine->recorded_frames, 1500u);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), buffer));

    load_song(*engine, "");
    mix_block(*engine, block.data());
    EXPECT_EQ(engine->recorded_frames, 0u);
}

// The capture and the window's clock both keep the block in which the song
// ends and nothing after it; the clock counts with recording on or off.
TEST(Capture, KeepsTheBlockInWhichTheSongEnds) {
    for (const bool recording : {true, false}) {
        SCOPED_TRACE(recording ? "recording" : "not recording");
        auto engine = test::loaded("7l64 c\r\n7x\r\n");
        if (recording) {
            ASSERT_TRUE(recording_on(*engine));
        }
        Block block;
        mix_block(*engine, block.data());
        EXPECT_FALSE(engine->tracks[7].active);
        mix_block(*engine, block.data());
        EXPECT_EQ(engine->recorded_frames, recording ? 1500u : 0u);
        EXPECT_EQ(engine->played_frames, 1500u);
    }
}

TEST(Capture, StopsGrowingAtItsCapacity) {
    auto engine = test::loaded("0c\r\n");
    ASSERT_TRUE(recording_on(*engine));
    engine->recorded_frames = RECORD_CAPACITY - 1000;
    Block block;
    mix_block(*engine, block.data());
    EXPECT_EQ(engine->recorded_frames, RECORD_CAPACITY - 1);
    const std::int16_t* first = engine->RecordBuffer.get() + std::uint64_t{RECORD_CAPACITY - 1000} * 2;
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + 999 * 2, first));
    mix_block(*engine, block.data());
    EXPECT_EQ(engine->recorded_frames, RECORD_CAPACITY - 1);
    // The slot past the count holds the latest frame.
    EXPECT_TRUE(std::equal(block.end() - 2, block.end(), first + 999 * 2));
    recording_off(*engine);
    EXPECT_FALSE(engine->recording_mode);
    EXPECT_EQ(engine->RecordBuffer, nullptr);
}

}  // namespace
}  // namespace bleepforge
