// The one streaming song render behind bleepforge-render and the window's
// song export: stopping from either pass leaves no file, and a stem holds
// exactly the track's part of the mix.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "audio/song_file.h"

namespace bleepforge {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view SONG = "0t150l8cdefgab>c\n";  // one track, 1.6 s a loop

struct SongFileTest : ::testing::Test {
    const fs::path dir =
        fs::temp_directory_path() / ("bleepforge-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
    std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

TEST_F(SongFileTest, StoppedInEitherPassLeavesNoFile) {
    const struct {
        double fade;
        bool stop_measuring;  // stop in the silent pass, else in the writing one
    } cases[] = {{0, false}, {0.5, true}, {0.5, false}};
    for (const auto& c : cases) {
        const fs::path target = dir / "take.wav";
        auto writer = make_sound_writer({});
        std::string reason;
        ASSERT_TRUE(writer->open(target, reason)) << reason;
        SongFileRender how;
        how.limits.loops = 1;
        how.fade_seconds = c.fade;
        int measured = 0, written = 0;
        const SongFileResult result = render_song_file(SONG, how, {{writer.get()}}, [&](const SongFileProgress& at) {
            ++(at.measuring ? measured : written);
            return (at.measuring ? measured : written) < 3 || at.measuring != c.stop_measuring;
        });
        EXPECT_TRUE(result.stopped) << c.fade;
        EXPECT_FALSE(result.written);
        // The whole silent pass unless stopped in it; none without a fade.
        EXPECT_EQ(measured == 0, c.fade == 0) << measured;
        EXPECT_EQ(measured == 3, c.stop_measuring) << measured;
        EXPECT_EQ(written, c.stop_measuring ? 0 : 3);
        EXPECT_EQ(result.frames, c.stop_measuring ? 0u : 3u * BLOCK_FRAMES);  // the block in hand is the last
        EXPECT_FALSE(fs::exists(target));
        writer.reset();  // abandons the partial file
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 0);
    }
}

// A stem of the only track is the mix, frame for frame; both see the fade.
TEST_F(SongFileTest, AStemOfTheOnlyTrackIsTheMix) {
    const auto mix = make_sound_writer({});
    const auto stem = make_sound_writer({});
    std::string reason;
    ASSERT_TRUE(mix->open(dir / "mix.wav", reason) && stem->open(dir / "stem.wav", reason)) << reason;
    SongFileRender how;
    how.limits.loops = 1;
    how.fade_seconds = 0.25;
    const SongFileResult result = render_song_file(SONG, how, {{mix.get()}, {stem.get(), 0}});
    ASSERT_TRUE(result.written) << result.reason;
    EXPECT_EQ(result.frames % BLOCK_FRAMES, 0u);
    const std::string bytes = read(dir / "mix.wav");
    EXPECT_EQ(bytes.size(), 44 + 4 * result.frames);
    EXPECT_TRUE(bytes == read(dir / "stem.wav"));
    EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string(4, '\0'));  // faded to silence
}

}  // namespace
}  // namespace bleepforge
