// The Windows sound output: the default wave-out device (WAVE_MAPPER) fed with
// two prepared blocks in turn, completion signalled through an event.
#pragma once

#include <memory>

#include "audio/device.h"

namespace bleepforge {

// A closed winmm device; open() asks WAVE_MAPPER for 44100 Hz, 16-bit stereo PCM.
std::unique_ptr<AudioDevice> make_winmm_device();

}  // namespace bleepforge
