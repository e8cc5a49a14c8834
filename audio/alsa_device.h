// The ALSA sound output (Linux).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "audio/device.h"

namespace bleepforge {

// A device on the ALSA PCM `pcm_name` ("default" reaches PipeWire or
// PulseAudio through their ALSA plugins). ALSA's own messages are kept off
// stderr: an open failure comes back as the reason only.
std::unique_ptr<AudioDevice> make_alsa_device(const std::string& pcm_name = "default");

// Wakes a suspended stream (-ESTRPIPE) within `deadline`: `resume` is
// retried while it answers -EAGAIN (the hardware still waking up), every
// RESUME_RETRY_MS, until the deadline; when it fails or the deadline passes,
// `prepare` restarts the stream instead. Returns 0 or the last negative error.
// alsa-lib's own recovery retries the resume without any limit.
constexpr int RESUME_RETRY_MS = 10;
int resume_suspended(const std::function<int()>& resume, const std::function<int()>& prepare,
                     std::chrono::steady_clock::time_point deadline);

}  // namespace bleepforge
