#include "audio/test_device.h"

#include <algorithm>
#include <thread>

#include "sequencer/engine.h"

namespace bleepforge {

std::uint64_t TestDevice::Log::blocks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_;
}

std::vector<std::int16_t> TestDevice::Log::samples(std::uint64_t first, std::uint64_t count) const {
    std::lock_guard<std::mutex> lock(mutex_);
    // Block b lives in slot b % keep of the ring; only the latest `keep` blocks remain.
    const std::uint64_t keep = samples_.size() / BLOCK_SAMPLES;
    const std::uint64_t oldest = blocks_ > keep ? blocks_ - keep : 0;
    std::vector<std::int16_t> out;
    if (first < oldest) return out;
    for (std::uint64_t b = first; b < std::min(first + count, blocks_); ++b) {
        const auto slot = samples_.begin() + (b % keep) * BLOCK_SAMPLES;
        out.insert(out.end(), slot, slot + BLOCK_SAMPLES);
    }
    return out;
}

int TestDevice::Log::opens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
}

int TestDevice::Log::closes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closes_;
}

int TestDevice::Log::last_timeout_ms() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_timeout_ms_;
}

std::chrono::microseconds TestDevice::Log::longest_late() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return longest_late_;
}

bool TestDevice::Log::wait_for_blocks(std::uint64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return blocks_ >= count; });
}

void TestDevice::Log::stop_answering() {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = true;
}

TestDevice::TestDevice() : TestDevice(Options{}) {}

TestDevice::TestDevice(Options options) : options_(options), log_(std::make_shared<Log>()) {}

bool TestDevice::open(std::string& reason) {
    if (options_.fail_open) {
        reason = "the test device was told to fail";
        return false;
    }
    std::lock_guard<std::mutex> lock(log_->mutex_);
    ++log_->opens_;
    return true;
}

AudioDevice::Wait TestDevice::write_block(const std::int16_t* block, int timeout_ms) {
    bool silent;
    {
        std::lock_guard<std::mutex> lock(log_->mutex_);
        if (options_.keep_blocks > 0) {
            std::vector<std::int16_t>& ring = log_->samples_;
            const std::uint64_t slot = log_->blocks_ % options_.keep_blocks;
            if (ring.size() < (slot + 1) * BLOCK_SAMPLES) ring.resize((slot + 1) * BLOCK_SAMPLES);
            std::copy(block, block + BLOCK_SAMPLES, ring.begin() + slot * BLOCK_SAMPLES);
        }
        ++log_->blocks_;
        log_->last_timeout_ms_ = timeout_ms;
        silent = log_->silent_ || log_->blocks_ > options_.answer_limit;
        log_->changed_.notify_all();
    }
    if (silent) {
        int wait_ms = timeout_ms;
        if (options_.max_wait_ms >= 0) wait_ms = std::min(wait_ms, options_.max_wait_ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
        return Wait::TIMED_OUT;
    }
    if (options_.block_period.count() == 0) return Wait::PLAYED;

    // The block queued before this one ends at queue_end_; this one plays after it.
    const Clock::time_point now = Clock::now();
    const Clock::time_point previous_end = playing_ ? queue_end_ : now;
    if (playing_ && now > queue_end_) {
        std::lock_guard<std::mutex> lock(log_->mutex_);
        log_->longest_late_ =
            std::max(log_->longest_late_, std::chrono::duration_cast<std::chrono::microseconds>(now - queue_end_));
    }
    queue_end_ = std::max(now, previous_end) + options_.block_period;
    playing_ = true;
    // Some platforms' sleeps return a little early; the block must have played.
    while (Clock::now() < previous_end) std::this_thread::sleep_until(previous_end);
    return Wait::PLAYED;
}

void TestDevice::close() {
    playing_ = false;
    std::lock_guard<std::mutex> lock(log_->mutex_);
    ++log_->closes_;
}

}  // namespace bleepforge
