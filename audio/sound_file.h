// Writing a render as a sound file, block by block, in one of several formats:
// WAV everywhere, FLAC, Ogg Vorbis, Opus and MP3 where libsndfile is built in.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "audio/wav_file.h"

namespace bleepforge {

enum class SoundFormat { WAV, FLAC, VORBIS, OPUS, MP3 };

struct SoundFormatInfo {
    SoundFormat format;
    const char* name;         // as --format takes it: "wav", "flac", "ogg", "opus", "mp3"
    const char* extension;    // the file name's, without the dot
    const char* description;  // for people: "WAV", "Ogg Vorbis", ...
    bool lossy;               // takes a quality
    bool streams;             // can be written where bytes cannot be rewritten (a pipe)
    bool built;               // this build writes it (without libsndfile: WAV only)
};

// Every format, WAV first, those this build cannot write included.
std::span<const SoundFormatInfo> sound_formats();
// The format called `name` as --format takes it, or nullptr.
const SoundFormatInfo* sound_format_named(std::string_view name);
// The format `path`'s extension names (case-insensitive), or nullptr.
const SoundFormatInfo* sound_format_of(const std::filesystem::path& path);

struct SoundOptions {
    SoundFormat format = SoundFormat::WAV;
    int quality = -1;                     // lossy formats: 0..10, 10 best; -1: the encoder's default
    std::string title;                    // a tag where the format has tags (not WAV); empty: none
    std::string artist;                   // likewise
};

// One sound file on its way out: open, blocks of frames, finish. Destroying an
// unfinished writer abandons it: the target stays as it was. Reasons are short
// phrases for a message that already names the target.
class SoundWriter {
public:
    virtual ~SoundWriter() = default;

    // Opens `target` as PendingFile::open does and starts the file; false with
    // a reason, also when the format cannot go where `target` leads (a pipe).
    bool open(const std::filesystem::path& target, std::string& reason);
    // The same onto standard output (binary on Windows); false for a format that cannot stream.
    bool open_stdout(std::string& reason);
    // Says, before the first block, how many frames will come in all: a WAV
    // header then gets its sizes at once, as a pipe needs; elsewhere they are
    // put right at the end.
    void expect_frames(std::uint32_t count) { expected_ = count; }
    // Appends `count` interleaved 16-bit stereo frames of 44100 Hz.
    virtual bool write_frames(const std::int16_t* frames, std::uint32_t count, std::string& reason) = 0;
    // Completes the file and puts it in place of the target. Once, after open.
    virtual bool finish(std::string& reason) = 0;
    // The file being written, e.g. to remove its temporary name on a signal.
    const PendingFile& file() const { return file_; }
    PendingFile& file() { return file_; }

protected:
    explicit SoundWriter(const SoundFormatInfo& info) : info_(info) {}
    // Writes what comes before the first frame.
    virtual bool start(std::string& reason) = 0;

    const SoundFormatInfo& info_;
    PendingFile file_;

private:
    bool begin(std::string& reason);  // after the file is open: refuses a stream the format cannot take

protected:
    std::optional<std::uint32_t> expected_;  // from expect_frames
};

// A writer for `options.format`; nullptr where this build does not write it.
std::unique_ptr<SoundWriter> make_sound_writer(const SoundOptions& options);

// Writes `count` frames to `target` in one go: open, one block, finish.
bool write_sound_file(const std::filesystem::path& target, const SoundOptions& options,
                      const std::int16_t* frames, std::uint32_t count, std::string& reason);

}  // namespace bleepforge
