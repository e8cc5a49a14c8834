// Plays a song through the default sound device and reports how the stream
// kept time, for the end-to-end test on a real sound server.
//   stream_play_probe SONG [SECONDS]
// Prints "blocks=N period_ms=MEAN max_gap_ms=MAX worst_mix_us=W" and exits 0,
// or exits 1 when the device stalls and 3 when it cannot be opened.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "audio/stream.h"
#include "mml/song.h"
#include "sequencer/transport.h"

using namespace bleepforge;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: stream_play_probe SONG [SECONDS]\n");
        return 2;
    }
    std::string bytes, reason;
    if (!read_song_bytes(argv[1], bytes, reason)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reason.c_str());
        return 2;
    }
    const double limit = argc > 2 ? std::atof(argv[2]) : 60.0;

    AudioStream stream(make_default_device());
    if (stream.state() == AudioStream::State::NO_DEVICE) return 3;
    stream.with_engine([&](Engine& e) { load_song(e, bytes); });

    // Block period: the render thread mixes as soon as the device has taken a
    // block, so the pace of the mixed-block count is the device's pace.
    const Clock::time_point start = Clock::now();
    std::uint64_t seen = stream.stats().blocks_mixed;
    std::uint64_t first_block = 0, last_block = 0, tail_until = 0;
    Clock::time_point first_time{}, last_time{}, previous{};
    double max_gap_ms = 0;
    while (stream.state() == AudioStream::State::STREAMING) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const Clock::time_point now = Clock::now();
        const std::uint64_t mixed = stream.stats().blocks_mixed;
        if (mixed != seen) {
            seen = mixed;
            if (mixed >= 8) {  // past the start-up of the device
                if (first_block == 0) {
                    first_block = mixed;
                    first_time = now;
                } else {
                    max_gap_ms = std::max(max_gap_ms, std::chrono::duration<double, std::milli>(now - previous).count());
                }
                last_block = mixed;
                last_time = now;
                previous = now;
            }
        }
        // Once the song has ended, three more blocks let its last one play out.
        if (tail_until == 0 && !stream.with_engine([](Engine& e) { return any_track_active(e); })) {
            tail_until = mixed + 3;
        }
        if (tail_until != 0 && mixed >= tail_until) break;
        if (std::chrono::duration<double>(now - start).count() >= limit) break;
    }
    if (stream.state() != AudioStream::State::STREAMING) return 1;
    const AudioStream::Stats stats = stream.stats();
    const double period_ms = last_block > first_block
        ? std::chrono::duration<double, std::milli>(last_time - first_time).count() / double(last_block - first_block)
        : 0.0;
    std::printf("blocks=%llu period_ms=%.3f max_gap_ms=%.1f worst_mix_us=%.0f\n",
                static_cast<unsigned long long>(stats.blocks_mixed), period_ms, max_gap_ms,
                std::chrono::duration<double, std::micro>(stats.worst_mix).count());
    return 0;
}
