// The stream engine at full speed while another thread loads, stops, reloads,
// records and reads the capture at random moments. Every capture must equal an
// offline render of the same song from the same engine state, and the heap must
// stay flat. BLEEPFORGE_SOAK_AUDIO_SECONDS sets how much audio to cover
// (default one hour); BLEEPFORGE_SOAK_CORPUS adds a folder of songs;
// BLEEPFORGE_SOAK_BLOCK_US paces the device (default 250 microseconds a block);
// BLEEPFORGE_SOAK_VERIFY_BLOCKS is how much of each capture is compared (default 300 blocks).
#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "audio/mixer.h"
#include "audio/offline.h"
#include "audio/stream.h"
#include "audio/test_device.h"
#include "mml/song.h"
#include "support/test_data.h"

namespace bleepforge {
namespace {

std::vector<std::string> soak_songs() {
    std::vector<std::filesystem::path> folders = {test::data_dir() / "conformance" / "songs",
                                                  test::data_dir() / ".." / ".." / "examples"};
    if (const char* extra = std::getenv("BLEEPFORGE_SOAK_CORPUS")) folders.emplace_back(extra);
    std::vector<std::string> songs;
    for (const auto& folder : folders) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (entry.is_regular_file() && entry.file_size() < 65536) songs.push_back(test::read_file(entry.path()));
        }
    }
    return songs;
}

// The engine state a song starts from: every track and the shared noise generator.
struct Start {
    std::array<TrackState, TRACK_COUNT> tracks;
    std::uint16_t noise_register;
    std::uint8_t noise_mode_last;
};

Start snapshot(const Engine& e) { return {e.tracks, e.noise_register, e.noise_mode_last}; }

// What the capture must hold after `frames` frames of a song started from `start`.
std::vector<std::int16_t> offline_capture(const Start& start, std::uint32_t frames) {
    auto engine = std::make_unique<Engine>();
    engine->tracks = start.tracks;
    engine->noise_register = start.noise_register;
    engine->noise_mode_last = start.noise_mode_last;
    EXPECT_TRUE(recording_on(*engine));
    render_song(*engine, {.max_blocks = frames / BLOCK_FRAMES, .loops = 0});
    return {engine->RecordBuffer.get(), engine->RecordBuffer.get() + std::size_t{engine->recorded_frames} * 2};
}

std::size_t heap_in_use() { return mallinfo2().uordblks; }

TEST(Soak, CapturesMatchOfflineRendersWhileTheUiSideInterferes) {
    const char* env = std::getenv("BLEEPFORGE_SOAK_AUDIO_SECONDS");
    const double audio_seconds = env ? std::atof(env) : 3600;
    const std::vector<std::string> songs = soak_songs();
    ASSERT_GE(songs.size(), 10u);

    // Paced (by default about 130 times real time) so the UI side gets the lock
    // between blocks, as it does when a real device makes the render thread wait.
    const char* pace = std::getenv("BLEEPFORGE_SOAK_BLOCK_US");
    auto device = std::make_unique<TestDevice>(TestDevice::Options{
        .block_period = std::chrono::microseconds(pace ? std::atoi(pace) : 250), .keep_blocks = 0});
    auto log = device->log();
    AudioStream stream(std::move(device));
    ASSERT_EQ(stream.state(), AudioStream::State::STREAMING);

    std::mt19937 rng(20261207);
    std::optional<Start> start;   // where the current capture began, when it began with a load
    std::size_t song = 0;
    std::uint64_t operations = 0, verified = 0;
    std::size_t heap_after_warmup = 0;

    // Compares what has been captured so far with the offline render.
    const char* verify_env = std::getenv("BLEEPFORGE_SOAK_VERIFY_BLOCKS");
    const std::uint32_t verify_frames = std::uint32_t(verify_env ? std::atoi(verify_env) : 300) * BLOCK_FRAMES;
    auto verify = [&] {
        std::vector<std::int16_t> captured;
        stream.with_engine([&](Engine& e) {
            if (e.recording_mode) captured.assign(e.RecordBuffer.get(), e.RecordBuffer.get() + std::size_t{std::min(e.recorded_frames, verify_frames)} * 2);
        });
        if (!start || captured.empty()) return;
        const auto frames = std::uint32_t(captured.size() / 2);
        ASSERT_EQ(frames % BLOCK_FRAMES, 0u);
        const std::vector<std::int16_t> expected = offline_capture(*start, frames);
        ASSERT_EQ(captured.size(), expected.size()) << "song " << song;
        ASSERT_TRUE(captured == expected) << "song " << song;
        ++verified;
    };

    while (double(log->blocks()) * BLOCK_FRAMES / SAMPLE_RATE < audio_seconds) {
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
        ++operations;
        switch (rng() % 8) {
        case 0: case 1: case 2:  // a new song dropped
        case 3: {                // the same song reloaded
            verify();
            if (rng() % 8 != 3) song = rng() % songs.size();
            stream.with_engine([&](Engine& e) {
                load_song(e, songs[song]);
                start = e.recording_mode ? std::optional<Start>(snapshot(e)) : std::nullopt;
            });
            // load_song restarted the capture from this state, so the snapshot
            // must be the state before any block of the song was mixed.
            break;
        }
        case 4:
            stream.with_engine([](Engine& e) { stop_all_tracks(e); });
            verify();
            break;
        case 5:
            stream.with_engine([&](Engine& e) {
                if (!e.recording_mode) {
                    ASSERT_TRUE(recording_on(e));
                    start.reset();  // switched on mid-song: nothing to compare until the next load
                }
            });
            break;
        default:  // the export reads the capture
            verify();
            break;
        }
        if (operations == 50) heap_after_warmup = heap_in_use();
    }
    stream.halt();
    const std::size_t heap_growth = heap_in_use() > heap_after_warmup ? heap_in_use() - heap_after_warmup : 0;
    EXPECT_LT(heap_growth, std::size_t{1} << 20);
    EXPECT_GT(verified, 0u);
    std::printf("soak: %.2f hours of audio, %llu transport operations, %llu captures verified\n",
                double(log->blocks()) * BLOCK_FRAMES / SAMPLE_RATE / 3600, (unsigned long long)operations,
                (unsigned long long)verified);
}

}  // namespace
}  // namespace bleepforge
