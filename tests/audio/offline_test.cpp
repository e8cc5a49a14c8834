// The offline renderer: start points, and the sink that gets the capture's frames
// without the capture (cuts with --from are tested through the command).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/mixer.h"
#include "audio/offline.h"
#include "mml/song.h"
#include "sequencer/transport.h"
#include "support/sha256.h"
#include "support/test_data.h"

namespace bleepforge {
namespace {

using Block = std::array<std::int16_t, BLOCK_SAMPLES>;

TEST(ParseTime, SecondsOrMinutesAndSeconds) {
    struct Case {
        const char* text;
        double seconds;  // -1: refused
    };
    const Case cases[] = {
        {"0", 0},          {"90", 90},       {"90.5", 90.5},   {"1:30", 90},        {"1:30.5", 90.5},
        {"0:05", 5},       {"12:00", 720},   {" 1:30 ", 90},   {"2.", 2},           {".5", 0.5},
        {"1:5", 65},       {"86400", 86400}, {"", -1},         {"  ", -1},          {"-1", -1},
        {"1:60", -1},      {"1.5:30", -1},   {":30", -1},      {"1:", -1},          {"1:30:00", -1},
        {"1e3", -1},       {"inf", -1},      {"nan", -1},      {"+5", -1},          {"1..5", -1},
        {"86400.1", -1},   {"1 30", -1},     {"１:30", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<double> seconds = parse_time(c.text);
        if (c.seconds < 0) {
            EXPECT_FALSE(seconds.has_value());
        } else {
            ASSERT_TRUE(seconds.has_value());
            EXPECT_DOUBLE_EQ(*seconds, c.seconds);
        }
    }
    EXPECT_EQ(time_frames(*parse_time("90.1")), 3973410u);  // 90.1 x 44100, not one frame short
    EXPECT_EQ(time_frames(*parse_time("1:30")), 2646u * BLOCK_FRAMES);
}

// Two tracks step the shared noise register, so a start point reached on a copy
// only sounds right when the copy carried the live register in and out.
constexpr char NOISY_SONG[] = "0t150@64l16cccc@3o5l8cdef\r\n1@70l8c.c.cr\r\n2o3l4cg\r\n";

TEST(FastForward, ACopyBroughtToAStartPointSoundsAsTheSongHeardUpToIt) {
    for (const std::uint64_t skipped : {0u, 1u, 29u, 400u}) {
        SCOPED_TRACE(skipped);
        // Heard from the start in one engine, whose noise register has moved before the load.
        auto heard = std::make_unique<Engine>();
        heard->noise_register = 0x1234;
        load_song(*heard, NOISY_SONG);
        Block expected, actual;
        for (std::uint64_t i = 0; i <= skipped; ++i) mix_block(*heard, expected.data());

        auto live = std::make_unique<Engine>();
        live->noise_register = 0x1234;
        auto copy = std::make_unique<Engine>();
        copy_sound_state(*copy, *live);
        load_song(*copy, NOISY_SONG);
        EXPECT_TRUE(fast_forward(*copy, skipped));
        copy_sound_state(*live, *copy);
        mix_block(*live, actual.data());
        EXPECT_EQ(actual, expected);
    }
}

TEST(FastForward, StopsOnceTheSongHasEnded) {
    auto engine = std::make_unique<Engine>();
    load_song(*engine, "0l8cdx\r\n");
    EXPECT_FALSE(fast_forward(*engine, 1'000'000'000));  // returns at once, not after a billion blocks
    EXPECT_FALSE(any_track_active(*engine));
}

TEST(CopySoundState, LeavesTheCaptureAndTheModeAlone) {
    auto live = std::make_unique<Engine>();
    ASSERT_TRUE(recording_on(*live));
    live->recorded_frames = 77;
    auto other = std::make_unique<Engine>();
    load_song(*other, "0cde\r\n");
    other->noise_register = 0x0042;
    const std::int16_t* capture = live->RecordBuffer.get();
    copy_sound_state(*live, *other);
    EXPECT_TRUE(live->recording_mode);
    EXPECT_EQ(live->RecordBuffer.get(), capture);
    EXPECT_EQ(live->recorded_frames, 77u);
    EXPECT_EQ(live->noise_register, 0x0042);
    EXPECT_TRUE(live->tracks[0].active);
    EXPECT_EQ(live->tracks[0].events, other->tracks[0].events);
}


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
