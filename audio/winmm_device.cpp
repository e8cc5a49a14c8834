#include "audio/winmm_device.h"

#include <array>
#include <cstring>

#include "sequencer/engine.h"

namespace bleepforge {

namespace {

// The device answers through one auto-reset event for every finished block
// (and for open and close); the block's WHDR_DONE flag tells which it was.
class WinmmDevice final : public AudioDevice {
public:
    explicit WinmmDevice(const WaveOutCalls& calls) : wave_(calls) {}
    ~WinmmDevice() override { close(); }

    bool open(std::string& reason) override {
        done_event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!done_event_) {
            reason = "cannot create the wave-out event";
            return false;
        }
        WAVEFORMATEX format{};
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = 2;
        format.nSamplesPerSec = SAMPLE_RATE;
        format.nAvgBytesPerSec = SAMPLE_RATE * 4;
        format.nBlockAlign = 4;
        format.wBitsPerSample = 16;
        const MMRESULT result = wave_.open(&wave_out_, WAVE_MAPPER, &format,
                                            reinterpret_cast<DWORD_PTR>(done_event_), 0, CALLBACK_EVENT);
        if (result != MMSYSERR_NOERROR) {
            reason = "waveOutOpen: " + error_text(result);
            CloseHandle(done_event_);
            done_event_ = nullptr;
            wave_out_ = nullptr;
            return false;
        }
        for (int j = 0; j < 2; ++j) {
            WAVEHDR& h = headers_[j];
            h = WAVEHDR{};
            h.lpData = reinterpret_cast<LPSTR>(blocks_[j].data());
            h.dwBufferLength = BLOCK_BYTES;
            h.dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
            h.dwLoops = 1;
            written_[j] = false;
            const MMRESULT prepared = wave_.prepare_header(wave_out_, &h, sizeof h);
            if (prepared != MMSYSERR_NOERROR) {
                reason = "waveOutPrepareHeader: " + error_text(prepared);
                close();
                return false;
            }
        }
        next_ = 0;
        return true;
    }

    Wait write_block(const std::int16_t* block, int timeout_ms) override {
        const int i = next_;
        next_ = 1 - i;
        std::memcpy(blocks_[i].data(), block, BLOCK_BYTES);
        // A header that was not queued keeps its old WHDR_DONE: waiting on it
        // would return at once, and the render thread would spin.
        if (wave_out_ == nullptr || wave_.write(wave_out_, &headers_[i], sizeof headers_[i]) != MMSYSERR_NOERROR) {
            return Wait::TIMED_OUT;
        }
        written_[i] = true;

        // Return once the block queued before this one has played.
        const int older = 1 - i;
        if (!written_[older]) return Wait::PLAYED;
        const ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeout_ms);
        while (!finished(headers_[older])) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline || WaitForSingleObject(done_event_, DWORD(deadline - now)) == WAIT_TIMEOUT) {
                if (!finished(headers_[older])) return Wait::TIMED_OUT;
            }
        }
        return Wait::PLAYED;
    }

    void close() override {
        if (wave_out_) {
            wave_.reset(wave_out_);
            for (WAVEHDR& h : headers_) {
                if (h.dwFlags & WHDR_PREPARED) wave_.unprepare_header(wave_out_, &h, sizeof h);
            }
            wave_.close(wave_out_);
            wave_out_ = nullptr;
        }
        if (done_event_) {
            CloseHandle(done_event_);
            done_event_ = nullptr;
        }
    }

private:
    // The device sets WHDR_DONE from its own thread.
    static bool finished(const WAVEHDR& h) {
        return (reinterpret_cast<const volatile DWORD&>(h.dwFlags) & WHDR_DONE) != 0;
    }

    static std::string error_text(MMRESULT result) {
        wchar_t wide[MAXERRORLENGTH] = {};
        waveOutGetErrorTextW(result, wide, MAXERRORLENGTH);
        char utf8[4 * MAXERRORLENGTH] = {};
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
        return std::string(utf8) + " (error " + std::to_string(result) + ")";
    }

    WaveOutCalls wave_;
    HWAVEOUT wave_out_ = nullptr;
    HANDLE done_event_ = nullptr;
    std::array<std::array<std::int16_t, BLOCK_SAMPLES>, 2> blocks_{};
    std::array<WAVEHDR, 2> headers_{};
    std::array<bool, 2> written_{};  // a header has been queued since open
    int next_ = 0;                   // the block the next write uses
};

}  // namespace

std::unique_ptr<AudioDevice> make_winmm_device(const WaveOutCalls& calls) {
    return std::make_unique<WinmmDevice>(calls);
}

}  // namespace bleepforge
