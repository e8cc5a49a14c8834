// The Windows sound output: the default wave-out device (WAVE_MAPPER) fed with
// two prepared blocks in turn, completion signalled through an event.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <memory>

#include "audio/device.h"

namespace bleepforge {

// The waveOut* calls the device makes, so a test can make them fail.
struct WaveOutCalls {
    decltype(&waveOutOpen) open = waveOutOpen;
    decltype(&waveOutPrepareHeader) prepare_header = waveOutPrepareHeader;
    decltype(&waveOutWrite) write = waveOutWrite;
    decltype(&waveOutReset) reset = waveOutReset;
    decltype(&waveOutUnprepareHeader) unprepare_header = waveOutUnprepareHeader;
    decltype(&waveOutClose) close = waveOutClose;
};

// A closed winmm device; open() asks WAVE_MAPPER for 44100 Hz, 16-bit stereo
// PCM. A header that cannot be prepared fails the open; a block that cannot
// be written ends the stream as a device that stopped answering.
std::unique_ptr<AudioDevice> make_winmm_device(const WaveOutCalls& calls = {});

}  // namespace bleepforge
