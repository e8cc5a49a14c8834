#include "audio/sound_file.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "audio/wav.h"

#ifdef BLEEPFORGE_SNDFILE
#include "audio/sndfile_writer.h"
#endif

namespace bleepforge {

namespace {

#ifdef BLEEPFORGE_SNDFILE
constexpr bool SNDFILE = true;
#else
constexpr bool SNDFILE = false;
#endif

// libsndfile goes back to the start of FLAC and MP3 files to complete them.
const SoundFormatInfo FORMATS[] = {
    {SoundFormat::WAV, "wav", "wav", "WAV", false, true, true},
    {SoundFormat::FLAC, "flac", "flac", "FLAC", false, false, SNDFILE},
    {SoundFormat::VORBIS, "ogg", "ogg", "Ogg Vorbis", true, true, SNDFILE},
    {SoundFormat::OPUS, "opus", "opus", "Opus", true, true, SNDFILE},
    {SoundFormat::MP3, "mp3", "mp3", "MP3", true, false, SNDFILE},
};

bool same_letters(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// Our own WAV writer. The header goes out with the first frames, its sizes
// from expect_frames when told (so a pipe gets a complete file), else put
// right at the end where the file allows, else left at their largest, as WAV
// streams mark an unknown length.
class WavWriter final : public SoundWriter {
public:
    explicit WavWriter(const SoundFormatInfo& info) : SoundWriter(info) {}

    bool write_frames(const std::int16_t* frames, std::uint32_t count, std::string& reason) override {
        if (count > MAX_FRAMES - written_) {
            reason = "is too long for a WAV file (4 GB at most)";
            return false;
        }
        if (!header_written_ && !write_header(reason)) return false;
        written_ += count;
        return file_.write(frames, std::size_t{count} * 4, reason);
    }

    bool finish(std::string& reason) override {
        if (!header_written_ && !write_header(reason)) return false;
        if (announced_ != written_) {
            if (!file_.seekable() && announced_) {
                reason = "got fewer or more frames than its header says";
                return false;
            }
            if (file_.seekable()) {
                const WavHeader header = make_wav_header(written_);
                if (!file_.write_at(0, header.bytes.data(), header.bytes.size(), reason)) return false;
            }
        }
        return file_.commit(reason);
    }

protected:
    bool start(std::string&) override { return true; }

private:
    bool write_header(std::string& reason) {
        announced_ = expected_;
        header_written_ = true;
        WavHeader header = make_wav_header(announced_.value_or(0));
        if (!announced_ && !file_.seekable()) {
            for (int at : {4, 40}) std::memset(header.bytes.data() + at, 0xff, 4);
        }
        return file_.write(header.bytes.data(), header.bytes.size(), reason);
    }

    static constexpr std::uint32_t MAX_FRAMES = (0xffffffffu - (WAV_HEADER_BYTES - 8)) / 4;
    bool header_written_ = false;
    std::optional<std::uint32_t> announced_;  // the frames the header was written with
    std::uint32_t written_ = 0;
};

}  // namespace

std::span<const SoundFormatInfo> sound_formats() { return FORMATS; }

const SoundFormatInfo* sound_format_named(std::string_view name) {
    for (const SoundFormatInfo& info : FORMATS) {
        if (name == info.name) return &info;
    }
    return nullptr;
}

const SoundFormatInfo* sound_format_of(const std::filesystem::path& path) {
    const std::string extension = path.extension().string();
    if (extension.size() < 2) return nullptr;
    for (const SoundFormatInfo& info : FORMATS) {
        if (same_letters(std::string_view(extension).substr(1), info.extension)) return &info;
    }
    return nullptr;
}

bool SoundWriter::open(const std::filesystem::path& target, std::string& reason) {
    return file_.open(target, reason) && begin(reason);
}

bool SoundWriter::open_stdout(std::string& reason) {
    file_.open_stdout();
    return begin(reason);
}

bool SoundWriter::begin(std::string& reason) {
    if (!file_.seekable() && !info_.streams) {
        reason = std::string("cannot be written as ") + info_.description +
                 " to a pipe or device: the format needs a file it can go back into";
        return false;
    }
    return start(reason);
}

std::unique_ptr<SoundWriter> make_sound_writer(const SoundOptions& options) {
    const auto info = std::find_if(std::begin(FORMATS), std::end(FORMATS),
                                   [&](const SoundFormatInfo& f) { return f.format == options.format; });
    if (info == std::end(FORMATS) || !info->built) return nullptr;
    if (info->format == SoundFormat::WAV) return std::make_unique<WavWriter>(*info);
#ifdef BLEEPFORGE_SNDFILE
    return make_sndfile_writer(*info, options);
#else
    return nullptr;
#endif
}

bool write_sound_file(const std::filesystem::path& target, const SoundOptions& options,
                      const std::int16_t* frames, std::uint32_t count, std::string& reason) {
    const std::unique_ptr<SoundWriter> writer = make_sound_writer(options);
    if (!writer) {
        reason = "cannot be written in a format this build lacks";
        return false;
    }
    if (!writer->open(target, reason)) return false;
    writer->expect_frames(count);
    return writer->write_frames(frames, count, reason) && writer->finish(reason);
}

}  // namespace bleepforge
