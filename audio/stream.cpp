#include "audio/stream.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <thread>

#include "audio/mixer.h"
#include "audio/track_scope.h"
#include "sequencer/transport.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#endif

#if defined(BLEEPFORGE_ALSA)
#include "audio/alsa_device.h"
#endif
#if defined(BLEEPFORGE_WINMM)
#include "audio/winmm_device.h"  // declares make_winmm_device()
#endif

namespace bleepforge {

namespace {

const char* program_name = "bleepforge";

// Asks for real-time scheduling for the calling thread; stays as it is when not permitted.
void raise_priority() {
#if defined(_WIN32)
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
#else
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
#endif
}

// Stands in where the build has no sound backend: every open fails, so the
// program still runs and says why it is silent.
class NoDevice final : public AudioDevice {
public:
    bool open(std::string& reason) override {
        reason = "this build has no sound output";
        return false;
    }
    Wait write_block(const std::int16_t*, int) override { return Wait::TIMED_OUT; }
    void close() override {}
};

}  // namespace

void set_program_name(const char* name) { program_name = name; }

struct AudioStream::Impl {
    std::unique_ptr<AudioDevice> device;
    std::string device_error;  // written before the render thread starts, then only read
    std::atomic<bool> stop_requested{false};
    std::atomic<State> state{State::STREAMING};
    std::atomic<std::uint64_t> blocks_mixed{0};    // raised under the engine lock with each mix
    std::atomic<std::int64_t> worst_mix_ns{0};     // written by the render thread only
    std::array<std::array<std::int16_t, BLOCK_SAMPLES>, 2> output_blocks{};  // the first is silence
    std::mutex halt_mutex;  // one halt at a time
    std::mutex listener_mutex;  // held while the listener is called or replaced
    std::function<void()> state_listener;
    // Set once under the engine lock by the scope's one thread, never freed before the render thread ends.
    std::unique_ptr<TrackScopeBuffer> scope;
    std::thread thread;

    void render_thread(std::mutex& engine_lock, Engine& engine);
    void tell_listener();
};

AudioStream::AudioStream(std::unique_ptr<AudioDevice> device)
    : engine_(std::make_unique<Engine>()), impl_(std::make_unique<Impl>()) {
    impl_->device = device ? std::move(device) : std::make_unique<NoDevice>();
    std::string reason;
    if (!impl_->device->open(reason)) {
        impl_->device_error = reason.empty() ? "the sound device could not be opened" : reason;
        impl_->state = State::NO_DEVICE;
        std::fprintf(stderr, "%s: no sound: %s\n", program_name, impl_->device_error.c_str());
        return;
    }
    impl_->thread = std::thread([this] { impl_->render_thread(mutex_, *engine_); });
}

AudioStream::~AudioStream() {
    halt();
    impl_->device->close();
}

void AudioStream::Impl::tell_listener() {
    std::lock_guard<std::mutex> lock(listener_mutex);
    if (state_listener) state_listener();
}

void AudioStream::Impl::render_thread(std::mutex& engine_lock, Engine& engine) {
    raise_priority();
    int i = 0;
    std::uint64_t handed = 0;               // blocks handed to the device so far
    TrackScopeBuffer* tapped = nullptr;     // the scope the block in hand was tapped into, if any
    bool was_playing = false;
    while (!stop_requested.load(std::memory_order_acquire)) {
        // One block plays while the other is mixed; the block mixed after a
        // stop request is never written.
        if (device->write_block(output_blocks[i].data(), DEVICE_WAIT_MS) == AudioDevice::Wait::TIMED_OUT) {
            std::fprintf(stderr, "%s: the sound device stopped answering; playback stopped\n", program_name);
            State streaming = State::STREAMING;
            if (state.compare_exchange_strong(streaming, State::STALLED)) tell_listener();
            return;
        }
        // The scope shows the block just handed over, one block ahead of the
        // one mixed next: what the device plays about now. A sound server adds
        // its own latency on top, which no test here can see.
        if (tapped) tapped->publish(handed);
        ++handed;
        i = 1 - i;
        std::chrono::nanoseconds took;
        bool playing;
        {
            std::lock_guard<std::mutex> lock(engine_lock);
            const auto start = std::chrono::steady_clock::now();
            mix_block(engine, output_blocks[i].data());
            took = std::chrono::steady_clock::now() - start;
            blocks_mixed.fetch_add(1, std::memory_order_relaxed);
            tapped = scope && engine.track_tap == scope->tap() ? scope.get() : nullptr;
            playing = any_track_active(engine);
        }
        if (was_playing && !playing) tell_listener();
        was_playing = playing;
        if (took.count() > worst_mix_ns.load(std::memory_order_relaxed)) {
            worst_mix_ns.store(took.count(), std::memory_order_relaxed);
        }
    }
}

void AudioStream::halt() {
    Impl& s = *impl_;
    std::lock_guard<std::mutex> halting(s.halt_mutex);
    s.stop_requested.store(true, std::memory_order_release);
    // Once joined, the render thread cannot be inside the capture pass.
    if (s.thread.joinable()) s.thread.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        recording_off(*engine_);
    }
    State streaming = State::STREAMING;
    s.state.compare_exchange_strong(streaming, State::HALTED);
}

void AudioStream::set_state_listener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(impl_->listener_mutex);
    impl_->state_listener = std::move(listener);
}

void AudioStream::set_scope_enabled(bool on) {
    std::unique_ptr<TrackScopeBuffer> made;
    if (on && !impl_->scope) made = std::make_unique<TrackScopeBuffer>();  // outside the lock: it is large
    std::lock_guard<std::mutex> lock(mutex_);
    if (made) impl_->scope = std::move(made);
    engine_->track_tap = on ? impl_->scope->tap() : nullptr;
}

const TrackScope* AudioStream::latest_scope() {
    return impl_->scope ? &impl_->scope->latest() : nullptr;
}

AudioStream::State AudioStream::state() const { return impl_->state.load(); }

std::string AudioStream::device_error() const { return impl_->device_error; }

AudioStream::Stats AudioStream::stats() const {
    return {impl_->blocks_mixed.load(std::memory_order_relaxed),
            std::chrono::nanoseconds(impl_->worst_mix_ns.load(std::memory_order_relaxed))};
}

std::unique_ptr<AudioDevice> make_default_device() {
#if defined(BLEEPFORGE_WINMM)
    return make_winmm_device();
#elif defined(BLEEPFORGE_ALSA)
    return make_alsa_device();
#else
    return std::make_unique<NoDevice>();
#endif
}

}  // namespace bleepforge
