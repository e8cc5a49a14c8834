#include "audio/sndfile_writer.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <vector>

namespace bleepforge {

namespace {

constexpr int CAPTURE_RATE = 44100;  // the rate of every block written
constexpr int OPUS_RATE = 48000;  // Opus in Ogg takes 8, 12, 16, 24 or 48 kHz, not 44.1

int sndfile_format(SoundFormat format) {
    switch (format) {
        case SoundFormat::FLAC: return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        case SoundFormat::VORBIS: return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
        case SoundFormat::OPUS: return SF_FORMAT_OGG | SF_FORMAT_OPUS;
        case SoundFormat::MP3: return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
        case SoundFormat::WAV: break;
    }
    return 0;
}

// libsndfile writes through the callbacks below onto the PendingFile, so every
// format gets the same temporary file, renaming and stdout handling as WAV.
// It goes back only to complete a file's start (FLAC, MP3); PendingFile::write_at
// does that, where the output allows.
class SndfileWriter final : public SoundWriter {
public:
    SndfileWriter(const SoundFormatInfo& info, const SoundOptions& options) : SoundWriter(info), options_(options) {}

    ~SndfileWriter() override {
        if (sndfile_ != nullptr) sf_close(sndfile_);
        soxr_delete(resampler_);
    }

    bool write_frames(const std::int16_t* frames, std::uint32_t count, std::string& reason) override {
        if (resampler_ != nullptr) return resample(frames, count, reason);
        if (info_.format == SoundFormat::FLAC) {
            return checked(sf_writef_short(sndfile_, frames, count) == sf_count_t(count), reason);
        }
        // The lossy encoders take floats; libsndfile 1.2.0's MP3 encoder garbles 16-bit input.
        as_float_.resize(std::size_t{count} * 2);
        std::transform(frames, frames + as_float_.size(), as_float_.begin(),
                       [](std::int16_t s) { return float(s) / 32768.0f; });
        return checked(sf_writef_float(sndfile_, as_float_.data(), count) == sf_count_t(count), reason);
    }

    bool finish(std::string& reason) override {
        if (resampler_ != nullptr && !resample(nullptr, 0, reason)) return false;
        const int error = sf_close(sndfile_);
        sndfile_ = nullptr;
        if (!checked(true, reason)) return false;
        if (error != SF_ERR_NO_ERROR) {
            reason = std::string("could not be completed as ") + info_.description + " (" + sf_error_number(error) + ")";
            return false;
        }
        return file_.commit(reason);
    }

protected:
    bool start(std::string& reason) override {
        SF_INFO format{};
        format.samplerate = info_.format == SoundFormat::OPUS ? OPUS_RATE : CAPTURE_RATE;
        format.channels = 2;
        format.format = sndfile_format(info_.format);
        static SF_VIRTUAL_IO io{length_of, seek_in, read_from, write_to, tell_of};
        sndfile_ = sf_open_virtual(&io, SFM_WRITE, &format, this);
        if (sndfile_ == nullptr) {
            reason = std::string("cannot be started as ") + info_.description + " (" + sf_strerror(nullptr) + ")";
            return false;
        }
        if (options_.quality >= 0) {
            // libsndfile's 0 worst .. 1 best; LAME's worst lies just above 0.
            double quality = std::max(options_.quality / 10.0, 0.001);
            if (!sf_command(sndfile_, SFC_SET_VBR_ENCODING_QUALITY, &quality, sizeof quality)) {
                reason = std::string("takes no quality as ") + info_.description;
                return false;
            }
        }
        // Tags go before the first frame, while the file's start is being written.
        if (!options_.title.empty()) sf_set_string(sndfile_, SF_STR_TITLE, options_.title.c_str());
        if (!options_.artist.empty()) sf_set_string(sndfile_, SF_STR_ARTIST, options_.artist.c_str());
        if (info_.format == SoundFormat::OPUS) {
            const soxr_io_spec_t sample_types = soxr_io_spec(SOXR_INT16_I, SOXR_FLOAT32_I);
            const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
            soxr_error_t error = nullptr;
            resampler_ = soxr_create(CAPTURE_RATE, OPUS_RATE, 2, &error, &sample_types, &quality, nullptr);
            if (error != nullptr) {
                reason = std::string("cannot be resampled for Opus (") + error + ")";
                return false;
            }
        }
        return checked(true, reason);
    }

private:
    // Converts to 48 kHz and writes the result as floats, which keep the
    // resampler's peaks beyond full scale. `frames` nullptr: the resampler's
    // last frames.
    bool resample(const std::int16_t* frames, std::uint32_t count, std::string& reason) {
        std::size_t done_in = 0;
        do {
            std::size_t used = 0, made = 0;
            const std::size_t room = std::size_t(count - done_in) * OPUS_RATE / CAPTURE_RATE + 1024;
            resampled_.resize(room * 2);
            const soxr_error_t error = soxr_process(resampler_, frames ? frames + 2 * done_in : nullptr,
                                                    count - done_in, &used, resampled_.data(), room, &made);
            if (error != nullptr) {
                reason = std::string("cannot be resampled for Opus (") + error + ")";
                return false;
            }
            done_in += used;
            if (!checked(sf_writef_float(sndfile_, resampled_.data(), sf_count_t(made)) == sf_count_t(made), reason)) {
                return false;
            }
            if (frames == nullptr && made == 0) break;
        } while (frames == nullptr || done_in < count);
        return true;
    }

    // `ok`, or false with the reason of the first failed write, else libsndfile's.
    bool checked(bool ok, std::string& reason) {
        if (ok && io_error_.empty()) return true;
        if (!io_error_.empty()) {
            reason = io_error_;
        } else {
            reason = std::string("could not be encoded as ") + info_.description + " (" + sf_strerror(sndfile_) + ")";
        }
        return false;
    }

    static SndfileWriter& of(void* self) { return *static_cast<SndfileWriter*>(self); }

    static sf_count_t length_of(void* self) { return of(self).length_; }
    static sf_count_t tell_of(void* self) { return of(self).position_; }
    static sf_count_t read_from(void*, sf_count_t, void*) { return 0; }

    static sf_count_t seek_in(sf_count_t offset, int whence, void* self) {
        SndfileWriter& w = of(self);
        const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? w.position_ : w.length_;
        if (base + offset < 0 || base + offset > w.length_) return -1;
        return w.position_ = base + offset;
    }

    // Appends at the end; bytes before it are overwritten through write_at.
    static sf_count_t write_to(const void* data, sf_count_t size, void* self) {
        SndfileWriter& w = of(self);
        if (!w.io_error_.empty()) return 0;
        const char* bytes = static_cast<const char*>(data);
        const sf_count_t inside = std::min(size, w.length_ - w.position_);
        if (inside > 0 && !w.file_.write_at(std::uint64_t(w.position_), bytes, std::size_t(inside), w.io_error_)) {
            return 0;
        }
        if (size > inside && !w.file_.write(bytes + inside, std::size_t(size - inside), w.io_error_)) return 0;
        w.position_ += size;
        w.length_ = std::max(w.length_, w.position_);
        return size;
    }

    SoundOptions options_;
    SNDFILE* sndfile_ = nullptr;
    soxr_t resampler_ = nullptr;    // Opus only
    std::vector<float> resampled_;  // Opus: a block at 48 kHz
    std::vector<float> as_float_;   // Ogg Vorbis, MP3: a block as floats
    sf_count_t position_ = 0;      // where libsndfile writes next, in bytes from the start
    sf_count_t length_ = 0;        // bytes written so far
    std::string io_error_;         // the first failed write's reason
};

}  // namespace

std::unique_ptr<SoundWriter> make_sndfile_writer(const SoundFormatInfo& info, const SoundOptions& options) {
    return std::make_unique<SndfileWriter>(info, options);
}

}  // namespace bleepforge
