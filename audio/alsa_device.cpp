#include "audio/alsa_device.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "sequencer/engine.h"

namespace bleepforge {

namespace {

// ALSA reports every step of a failed open on stderr; the stream says it in one line.
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

constexpr snd_pcm_uframes_t WANTED_BUFFER = 2 * BLOCK_FRAMES;  // one block plays, one waits
constexpr snd_pcm_uframes_t WANTED_PERIOD = BLOCK_FRAMES / 2;  // the PulseAudio plugin wants >= 3 periods

class AlsaDevice final : public AudioDevice {
public:
    explicit AlsaDevice(std::string pcm_name) : name_(std::move(pcm_name)) {}
    ~AlsaDevice() override { close(); }

    bool open(std::string& reason) override {
        snd_lib_error_set_handler(quiet_alsa);
        int err = snd_pcm_open(&pcm_, name_.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
        if (err >= 0) err = configure();
        if (err < 0) {
            if (pcm_) snd_pcm_close(pcm_);
            pcm_ = nullptr;
            reason = "cannot open sound device \"" + name_ + "\": " + snd_strerror(err);
            return false;
        }
        return true;
    }

    // Queues the block as room appears: it returns once the whole block is
    // queued, which is when the blocks before it have played far enough.
    Wait write_block(const std::int16_t* block, int timeout_ms) override {
        if (!pcm_) return Wait::TIMED_OUT;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        snd_pcm_uframes_t done = 0;
        while (done < BLOCK_FRAMES) {
            snd_pcm_sframes_t n = snd_pcm_avail_update(pcm_);
            if (n > 0) {
                // Never more than there is room for, so the write does not block past the deadline.
                n = snd_pcm_writei(pcm_, block + 2 * done, std::min<snd_pcm_uframes_t>(n, BLOCK_FRAMES - done));
                if (n > 0) done += snd_pcm_uframes_t(n);
            } else if (n == 0) {
                const int left = ms_until(deadline);
                if (left <= 0) return Wait::TIMED_OUT;
                n = snd_pcm_wait(pcm_, left);
            }
            if (n < 0 && !recover(int(n), deadline)) return Wait::TIMED_OUT;
        }
        return Wait::PLAYED;
    }

    void close() override {
        if (!pcm_) return;
        snd_pcm_drop(pcm_);  // stop at once: no queued tail, no underrun
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }

private:
    int configure() {
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        int err = snd_pcm_hw_params_any(pcm_, hw);
        if (err >= 0) err = snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
        if (err >= 0) err = snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S16_LE);
        if (err >= 0) err = snd_pcm_hw_params_set_channels(pcm_, hw, 2);
        if (err >= 0) err = snd_pcm_hw_params_set_rate(pcm_, hw, SAMPLE_RATE, 0);
        if (err < 0) return err;

        snd_pcm_uframes_t period = WANTED_PERIOD;
        int dir = 0;
        snd_pcm_hw_params_set_period_size_near(pcm_, hw, &period, &dir);
        // Two blocks where allowed, else the smallest buffer above that, else the largest.
        snd_pcm_hw_params_t* trial;
        snd_pcm_hw_params_alloca(&trial);
        snd_pcm_hw_params_copy(trial, hw);
        snd_pcm_uframes_t buffer = WANTED_BUFFER;
        if (snd_pcm_hw_params_set_buffer_size_min(pcm_, trial, &buffer) >= 0 &&
            snd_pcm_hw_params_set_buffer_size_first(pcm_, trial, &buffer) >= 0) {
            snd_pcm_hw_params_copy(hw, trial);
        } else {
            snd_pcm_hw_params_set_buffer_size_last(pcm_, hw, &buffer);
        }
        if ((err = snd_pcm_hw_params(pcm_, hw)) < 0) return err;
        snd_pcm_hw_params_get_buffer_size(hw, &buffer);

        // Playback starts once both blocks are queued.
        snd_pcm_sw_params_t* sw;
        snd_pcm_sw_params_alloca(&sw);
        if ((err = snd_pcm_sw_params_current(pcm_, sw)) < 0) return err;
        snd_pcm_sw_params_set_start_threshold(pcm_, sw, std::min(WANTED_BUFFER, buffer));
        return snd_pcm_sw_params(pcm_, sw);
    }

    // Recovers from an underrun or a suspend, silently. A device that keeps
    // failing is retried until the deadline; false then.
    bool recover(int err, std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            const int result = err == -ESTRPIPE
                                   ? resume_suspended([this] { return snd_pcm_resume(pcm_); },
                                                      [this] { return snd_pcm_prepare(pcm_); }, deadline)
                                   : snd_pcm_recover(pcm_, err, 1);
            if (result >= 0) return true;
            if (ms_until(deadline) <= 0) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(RESUME_RETRY_MS));
        }
    }

    static int ms_until(std::chrono::steady_clock::time_point deadline) {
        using namespace std::chrono;
        return int(duration_cast<milliseconds>(deadline - steady_clock::now()).count());
    }

    std::string name_;
    snd_pcm_t* pcm_ = nullptr;
};

}  // namespace

int resume_suspended(const std::function<int()>& resume, const std::function<int()>& prepare,
                     std::chrono::steady_clock::time_point deadline) {
    int err;
    while ((err = resume()) == -EAGAIN && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(RESUME_RETRY_MS));
    }
    return err < 0 ? prepare() : err;
}

std::unique_ptr<AudioDevice> make_alsa_device(const std::string& pcm_name) {
    return std::make_unique<AlsaDevice>(pcm_name);
}

}  // namespace bleepforge
