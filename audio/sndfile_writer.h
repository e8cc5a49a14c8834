// FLAC, Ogg Vorbis, Opus and MP3 files through libsndfile (Linux builds).
#pragma once

#include <memory>

#include "audio/sound_file.h"

namespace bleepforge {

// A writer of `info`'s format, one of the libsndfile formats of sound_formats().
std::unique_ptr<SoundWriter> make_sndfile_writer(const SoundFormatInfo& info, const SoundOptions& options);

}  // namespace bleepforge
