// The audio stream engine: owns one Engine, a sound device and the render
// thread that mixes blocks into the device while the UI side loads, stops and
// records through `with_engine`.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "audio/device.h"
#include "sequencer/engine.h"

namespace bleepforge {

class TrackScopeBuffer;
struct TrackScope;

class AudioStream {
public:
    enum class State {
        STREAMING,  // blocks flow to the device
        NO_DEVICE,  // the device could not be opened; songs load but do not advance
        STALLED,    // the device stopped answering for DEVICE_WAIT_MS; the render thread ended
        HALTED,     // halt() was called; the render thread ended
    };

    // Opens `device` and starts the render thread (real-time priority where
    // permitted). The first block the device receives is silence. A device that
    // cannot be opened, or later stops answering, is reported in one line on stderr.
    explicit AudioStream(std::unique_ptr<AudioDevice> device);
    // Halts, joins the render thread and closes the device.
    ~AudioStream();
    AudioStream(const AudioStream&) = delete;
    AudioStream& operator=(const AudioStream&) = delete;

    // Runs f(engine) under the lock the render thread holds around each
    // mix_block, so a transport operation never overlaps the mixing of a block.
    // Keep f short: the render thread waits for it.
    template <class F>
    decltype(auto) with_engine(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(*engine_);
    }

    // Ends the render loop after the block in hand, switches recording off and
    // releases the capture (never while it may be appended to). Idempotent.
    // Waits for the render thread to end, so never call it inside with_engine.
    void halt();

    State state() const;
    // Called on the render thread right after the state changed there (a
    // device that stopped answering), and after a block that left every track
    // inactive when one was active before it (a song that ended or was
    // stopped), so a window can repaint without user action. Empty: none.
    // Setting waits for a call in progress to end, so once set to empty the
    // previous function is never called again.
    void set_state_listener(std::function<void()> listener);
    std::string device_error() const;  // why the device failed to open, else empty

    struct Stats {
        std::uint64_t blocks_mixed;
        std::chrono::nanoseconds worst_mix;  // longest single mix_block so far
    };
    Stats stats() const;

    // On: from the next block mixed on, each block handed to the device is
    // also handed, per track, to latest_scope() (for a window that draws the
    // tracks). Off: the render thread copies nothing. The first `true`
    // allocates the buffers on the calling thread. This and latest_scope()
    // are called from one thread only (the UI thread).
    void set_scope_enabled(bool on);
    // The tracks' newest output handed to the device, unchanged until the
    // next call; nullptr before the first set_scope_enabled(true).
    const TrackScope* latest_scope();

private:
    struct Impl;
    std::mutex mutex_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<Impl> impl_;
};

// The name the stream's messages on stderr start with ("bleepforge" unless set);
// `name` must outlive every stream. Set it before the first stream starts.
void set_program_name(const char* name);

// The platform's default output: ALSA "default" on Linux, winmm on Windows.
std::unique_ptr<AudioDevice> make_default_device();

}  // namespace bleepforge
