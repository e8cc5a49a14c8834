// A sound device for tests: it records every block it is given, answers at
// once or at the pace of a clock, and can fail to open or stop answering on
// demand, so every path of the stream engine runs without sound hardware.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/device.h"

namespace bleepforge {

class TestDevice final : public AudioDevice {
public:
    struct Options {
        bool fail_open = false;                     // open() fails with a reason
        std::chrono::microseconds block_period{0};  // play time of one block; 0: answers at once
        std::uint64_t answer_limit = std::numeric_limits<std::uint64_t>::max();  // blocks answered, then silent
        int max_wait_ms = -1;          // caps a silent device's wait (tests need not wait 5 s); -1: none
        std::uint64_t keep_blocks = 4096;  // the latest blocks whose samples are kept; older ones only counted
    };

    // What the device has seen, shared with the test that handed the device to
    // a stream. Every member may be called from any thread.
    class Log {
    public:
        std::uint64_t blocks() const;      // blocks written so far, the first one 0
        // Samples (interleaved) of blocks [first, first + count): fewer when not all
        // written yet, none when `first` is older than the blocks kept.
        std::vector<std::int16_t> samples(std::uint64_t first, std::uint64_t count) const;
        int opens() const;                 // successful opens
        int closes() const;                // close() calls
        int last_timeout_ms() const;       // timeout of the latest write_block; -1 before any
        // Paced: the most any write came after the queue ran dry; 0 when none did.
        std::chrono::microseconds longest_late() const;
        // Waits until at least `count` blocks were written; false on timeout.
        bool wait_for_blocks(std::uint64_t count, std::chrono::milliseconds timeout) const;
        void stop_answering();             // every later write_block times out

    private:
        friend class TestDevice;
        mutable std::mutex mutex_;
        mutable std::condition_variable changed_;
        std::vector<std::int16_t> samples_;
        std::uint64_t blocks_ = 0;
        int opens_ = 0;
        int closes_ = 0;
        int last_timeout_ms_ = -1;
        std::chrono::microseconds longest_late_{0};
        bool silent_ = false;
    };

    TestDevice();  // answers at once, never fails
    explicit TestDevice(Options options);
    std::shared_ptr<Log> log() const { return log_; }

    bool open(std::string& reason) override;
    Wait write_block(const std::int16_t* block, int timeout_ms) override;
    void close() override;

private:
    using Clock = std::chrono::steady_clock;
    Options options_;
    std::shared_ptr<Log> log_;
    bool playing_ = false;
    Clock::time_point queue_end_{};  // when the last queued block finishes playing
};

}  // namespace bleepforge
