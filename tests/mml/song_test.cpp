#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "audio/mixer.h"
#include "mml/song.h"
#include "support/engine_helpers.h"

namespace bleepforge {
namespace {

std::string text_of(std::string_view bytes, int track) { return split_song(bytes).texts[track]; }

TEST(SplitSong, JoinsTrackLinesAndSkipsTheRest) {
    const SplitSong song = split_song("0cde\r\n0fga\r\n8c\r\n9d\r\n e\r\n\tf\r\nxg\r\n\r\n1ab\r\n7\r\n7r");
    EXPECT_EQ(song.texts[0], "cdefga");
    EXPECT_EQ(song.texts[1], "ab");
    EXPECT_EQ(song.texts[7], "r");
    for (int k = 2; k < 7; ++k) EXPECT_EQ(song.texts[k], "") << k;
}

TEST(SplitSong, EveryCommonLineEndEndsALine) {
    EXPECT_EQ(text_of("0c\n1d\n0e", 0), "ce");
    EXPECT_EQ(text_of("0c\r1d\r0e", 0), "ce");
    EXPECT_EQ(text_of("0c\r\r\n0d\r\n", 0), "cd");
    EXPECT_EQ(text_of("0c\n\n\r\n0d\r", 0), "cd");
    EXPECT_EQ(text_of("0c\r1d\n0e", 1), "d");
}

TEST(SplitSong, ByteOrderMarkAndNulBytes) {
    EXPECT_EQ(text_of("\xEF\xBB\xBF" "0cde\r\n", 0), "cde");
    EXPECT_EQ(text_of("0\xEF\xBB\xBF" "c\r\n", 0), "\xEF\xBB\xBF" "c");
    EXPECT_EQ(text_of(std::string_view("0c\0de\r\n", 7), 0), "cde");
}

TEST(SplitSong, LongLinesArriveWhole) {
    const std::string line(300, 'c');
    EXPECT_EQ(text_of("3" + line + "\r\n", 3), line);
}

TEST(SplitSong, OriginsGiveLineAndColumn) {
    const SplitSong song = split_song("; title\r\n0cd\r\n\r\n0ef\n");
    ASSERT_EQ(song.origins[0].size(), 2u);
    EXPECT_EQ(song.origins[0][0].line, 2);
    EXPECT_EQ(song.origins[0][0].file_offset, 10u);
    EXPECT_EQ(song.origins[0][1].line, 4);
    EXPECT_EQ(song.origins[0][1].text_offset, 2u);
    EXPECT_EQ(song.origins[0][1].column, 2);
}

TEST(LoadSong, ReplacesThePlayingSong) {
    auto engine = test::loaded("0cde\r\n1c\r\n");
    ASSERT_TRUE(engine->tracks[1].active);
    load_song(*engine, "0g\r\n");
    EXPECT_TRUE(engine->tracks[0].active);
    EXPECT_EQ(engine->tracks[0].events[0], 55);
    EXPECT_FALSE(engine->tracks[1].active);
    EXPECT_EQ(engine->tracks[1].events[0], EV_STOP);
}

TEST(LoadSong, EmptyFileStopsEverything) {
    auto engine = test::loaded("0cde\r\n");
    load_song(*engine, "");
    for (const TrackState& t : engine->tracks) {
        EXPECT_FALSE(t.active);
        EXPECT_EQ(t.events[0], EV_STOP);
    }
}

TEST(LoadSong, RestartsTheCaptureOnlyWhileRecording) {
    auto engine = test::loaded("0c\r\n");
    engine->recorded_frames = 1234;  // without recording mode the count is left alone
    load_song(*engine, "0c\r\n");
    EXPECT_EQ(engine->recorded_frames, 1234u);

    ASSERT_TRUE(recording_on(*engine));
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    mix_block(*engine, block.data());
    ASSERT_EQ(engine->recorded_frames, 1500u);
    load_song(*engine, "0d\r\n");
    EXPECT_EQ(engine->recorded_frames, 0u);
}

TEST(ReadSongBytes, ReadsFilesAndExplainsFailures) {
    const auto dir = std::filesystem::temp_directory_path() / ("bleepforge-song-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "song.mml", std::ios::binary) << "0c\r\n";
    std::string bytes, reason;
    EXPECT_TRUE(read_song_bytes(dir / "song.mml", bytes, reason));
    EXPECT_EQ(bytes, "0c\r\n");
    EXPECT_FALSE(read_song_bytes(dir / "missing.mml", bytes, reason));
    EXPECT_EQ(reason, "does not exist");
    EXPECT_FALSE(read_song_bytes(dir, bytes, reason));
    EXPECT_EQ(reason, "is a folder, not a song file");
    std::filesystem::remove_all(dir);
}

TEST(ReadSongBytes, WindowsDeviceNamesAreReadAsTheSystemMeansThem) {
#ifdef _WIN32
    const bool windows = true;
#else
    const bool windows = false;
#endif
    const struct {
        const char* path;
        bool device;
    } cases[] = {{"NUL", true}, {"con.wav", true}, {"songs/Com1.mml", true}, {"LPT9", true},
                 {"CONSOLE", false}, {"COM0", false}, {"null.mml", false}};
    for (const auto& c : cases) EXPECT_EQ(names_a_device(c.path), windows && c.device) << c.path;
    std::string bytes = "left over", reason;
    if (!windows) GTEST_SKIP() << "only Windows names devices so";
    EXPECT_TRUE(read_song_bytes("nul", bytes, reason));
    EXPECT_EQ(bytes, "");
    EXPECT_FALSE(read_song_bytes("COM3.mml", bytes, reason));
    EXPECT_EQ(reason, "is a device, not a song file");
}

}  // namespace
}  // namespace bleepforge
