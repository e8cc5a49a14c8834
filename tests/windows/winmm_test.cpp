// The winmm output through Wine's sound drivers. scripts/test.d/50-windows.sh
// runs WinmmWithoutServer where no sound server exists, and WinmmPlayback
// while a PulseAudio null sink records what is played.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "audio/stream.h"
#include "audio/winmm_device.h"
#include "mml/song.h"

namespace bleepforge {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char TONE_SONG[] = "0t120 @48 o4 l1 a a x\r\n";  // 4 s of a 440 Hz triangle, then the track stops

bool playing(AudioStream& stream) {
    return stream.with_engine([](Engine& e) { return any_track_active(e); });
}

TEST(WinmmWithoutServer, OpenFailsAndTheProgramKeepsWorking) {
    auto device = make_winmm_device();
    std::string reason;
    EXPECT_FALSE(device->open(reason));
    EXPECT_EQ(reason.rfind("waveOutOpen: ", 0), 0u) << reason;
    device->close();
    device->close();

    AudioStream stream(make_default_device());
    EXPECT_EQ(stream.state(), AudioStream::State::NO_DEVICE);
    EXPECT_FALSE(stream.device_error().empty());
    stream.with_engine([](Engine& e) { load_song(e, TONE_SONG); });
    EXPECT_TRUE(playing(stream));  // loaded, though it cannot advance
    stream.halt();
}

// waveOut* calls that succeed, playing each block at once, until `writes_left`
// writes have been made; later writes fail as with an unplugged device.
struct FakeWaveOut {
    static inline int writes_left = 0;
    static inline int writes = 0;
    static inline bool prepare_fails = false;
    static inline HANDLE event = nullptr;

    static MMRESULT WINAPI open(LPHWAVEOUT out, UINT, LPCWAVEFORMATEX, DWORD_PTR callback, DWORD_PTR, DWORD) {
        *out = reinterpret_cast<HWAVEOUT>(1);
        event = reinterpret_cast<HANDLE>(callback);
        return MMSYSERR_NOERROR;
    }
    static MMRESULT WINAPI prepare(HWAVEOUT, LPWAVEHDR h, UINT) {
        if (prepare_fails) return MMSYSERR_NOMEM;
        h->dwFlags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }
    static MMRESULT WINAPI write(HWAVEOUT, LPWAVEHDR h, UINT) {
        ++writes;
        if (writes_left == 0) return MMSYSERR_NODRIVER;  // the header keeps its flags
        --writes_left;
        h->dwFlags |= WHDR_DONE;
        SetEvent(event);
        return MMSYSERR_NOERROR;
    }
    static MMRESULT WINAPI done(HWAVEOUT) { return MMSYSERR_NOERROR; }
    static MMRESULT WINAPI unprepare(HWAVEOUT, LPWAVEHDR h, UINT) {
        h->dwFlags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }
    static WaveOutCalls calls() { return {open, prepare, write, done, unprepare, done}; }
};

// A write that fails ends the stream as stalled at once, instead of the
// render thread mixing as fast as it can on headers that stay done.
TEST(WinmmFailingCalls, FailedWriteStallsTheStream) {
    FakeWaveOut::writes_left = 4;
    FakeWaveOut::writes = 0;
    FakeWaveOut::prepare_fails = false;
    // The four good writes may all be done by the time the constructor returns.
    AudioStream stream(make_winmm_device(FakeWaveOut::calls()));
    const Clock::time_point start = Clock::now();
    while (stream.state() == AudioStream::State::STREAMING && stream.stats().blocks_mixed < 1000 &&
           Clock::now() - start < 30s) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(stream.state(), AudioStream::State::STALLED);
    EXPECT_EQ(FakeWaveOut::writes, 5);
    EXPECT_EQ(stream.stats().blocks_mixed, 4u);
}

TEST(WinmmFailingCalls, HeaderThatCannotBePreparedFailsTheOpen) {
    FakeWaveOut::prepare_fails = true;
    auto device = make_winmm_device(FakeWaveOut::calls());
    std::string reason;
    EXPECT_FALSE(device->open(reason));
    EXPECT_EQ(reason.rfind("waveOutPrepareHeader: ", 0), 0u) << reason;
    device->close();
    FakeWaveOut::prepare_fails = false;
}

// Wine's first stream after the sound server starts underruns for a while:
// play silence once so the measured run below is clean.
TEST(WinmmPlayback, WarmUp) {
    AudioStream stream(make_default_device());
    ASSERT_EQ(stream.state(), AudioStream::State::STREAMING) << stream.device_error();
    std::this_thread::sleep_for(2500ms);
}

TEST(WinmmPlayback, PlaysASongAtTheDevicePace) {
    AudioStream stream(make_default_device());
    ASSERT_EQ(stream.state(), AudioStream::State::STREAMING) << stream.device_error();
    std::this_thread::sleep_for(300ms);

    const std::uint64_t first = stream.stats().blocks_mixed;
    const Clock::time_point start = Clock::now();
    stream.with_engine([](Engine& e) { load_song(e, TONE_SONG); });
    while (playing(stream) && Clock::now() - start < 10s) std::this_thread::sleep_for(5ms);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::uint64_t blocks = stream.stats().blocks_mixed - first;
    std::this_thread::sleep_for(300ms);  // the last blocks play out
    EXPECT_EQ(stream.state(), AudioStream::State::STREAMING);
    stream.halt();

    const double period_ms = 1000.0 * seconds / double(blocks);
    std::printf("played=%.3f s blocks=%llu period_ms=%.2f worst_mix_us=%.0f\n", seconds,
                static_cast<unsigned long long>(blocks), period_ms,
                std::chrono::duration<double, std::micro>(stream.stats().worst_mix).count());
    EXPECT_GT(seconds, 3.9);
    EXPECT_LT(seconds, 4.4);
    EXPECT_GT(period_ms, 32.0);
    EXPECT_LT(period_ms, 36.0);
}

}  // namespace
}  // namespace bleepforge
