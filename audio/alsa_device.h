// The ALSA sound output (Linux).
#pragma once

#include <memory>
#include <string>

#include "audio/device.h"

namespace bleepforge {

// A device on the ALSA PCM `pcm_name` ("default" reaches PipeWire or
// PulseAudio through their ALSA plugins). ALSA's own messages are kept off
// stderr: an open failure comes back as the reason only.
std::unique_ptr<AudioDevice> make_alsa_device(const std::string& pcm_name = "default");

}  // namespace bleepforge
