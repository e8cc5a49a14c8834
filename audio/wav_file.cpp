#include "audio/wav_file.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>

#include "audio/wav.h"

namespace bleepforge {

// The capture is written as it lies in memory, and WAV data is little-endian.
static_assert(std::endian::native == std::endian::little);

namespace {

std::FILE* open_for_writing(const std::filesystem::path& path) {
#ifdef _WIN32
    return _wfopen(path.c_str(), L"wb");  // wide, so any file name works
#else
    return std::fopen(path.c_str(), "wb");
#endif
}

}  // namespace

PendingFile::~PendingFile() { discard(); }

bool PendingFile::open(const std::filesystem::path& target, std::string& reason) {
    std::error_code ec;
    if (std::filesystem::is_directory(target, ec)) {
        reason = "is a folder, not a file";
        return false;
    }
    std::random_device random;
    char suffix[32];
    std::filesystem::path temp;
    do {
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", unsigned(random()));
        temp = target;
        temp += suffix;
    } while (std::filesystem::exists(temp, ec));
    file_ = open_for_writing(temp);
    if (file_ == nullptr) {
        reason = std::string("cannot be written (") + std::strerror(errno) + ")";
        return false;
    }
    temp_ = temp;
    target_ = target;
    return true;
}

bool PendingFile::write(const void* data, std::size_t size, std::string& reason) {
    if (std::fwrite(data, 1, size, file_) != size) {
        reason = std::string("could not be written to its end (") + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

bool PendingFile::write_at(std::uint64_t offset, const void* data, std::size_t size, std::string& reason) {
    // Only a header is ever rewritten, so the offset fits a long everywhere; the end is found again by seeking.
    if (std::fseek(file_, long(offset), SEEK_SET) != 0 || !write(data, size, reason) ||
        std::fseek(file_, 0, SEEK_END) != 0) {
        if (reason.empty()) reason = std::string("could not be written to its end (") + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

bool PendingFile::close(std::string& reason) {
    if (file_ == nullptr) return true;
    int error = 0;
    if (std::fflush(file_) != 0) error = errno;
    if (std::fclose(file_) != 0 && error == 0) error = errno;
    file_ = nullptr;
    if (error != 0) {
        reason = std::string("could not be written to its end (") + std::strerror(error) + ")";
        return false;
    }
    return true;
}

bool PendingFile::commit(std::string& reason) {
    if (!close(reason)) return false;
    std::error_code ec;
    std::filesystem::rename(temp_, target_, ec);
    if (ec) {
        reason = "could not replace it (" + ec.message() + ")";
        return false;
    }
    temp_.clear();
    return true;
}

void PendingFile::discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    std::error_code ec;
    if (!temp_.empty()) std::filesystem::remove(temp_, ec);
    temp_.clear();
}

bool write_wav(PendingFile& file, const std::int16_t* frames, std::uint32_t count, std::string& reason) {
    const WavHeader header = make_wav_header(count);
    return file.write(header.bytes.data(), header.bytes.size(), reason) &&
           file.write(frames, std::size_t{count} * 4, reason) && file.commit(reason);
}

bool WavWriter::start(std::string& reason) {
    started_ = true;
    const WavHeader header = make_wav_header(expected_ >= 0 ? std::uint32_t(expected_) : 0);
    return file_.write(header.bytes.data(), header.bytes.size(), reason);
}

bool WavWriter::write_frames(const std::int16_t* frames, std::uint32_t count, std::string& reason) {
    if (!started_ && !start(reason)) return false;
    written_ += count;
    return file_.write(frames, std::size_t{count} * 4, reason);
}

bool WavWriter::complete(std::string& reason) {
    if (completed_) return true;
    if (!started_ && !start(reason)) return false;
    if (expected_ >= 0 && written_ != std::uint64_t(expected_)) {
        reason = "came out " + std::to_string(written_) + " frames long, not " + std::to_string(expected_);
        return false;
    }
    if (expected_ < 0) {
        if (!file_.seekable()) {
            reason = "cannot take its length afterwards (not a regular file)";
            return false;
        }
        const WavHeader header = make_wav_header(std::uint32_t(written_));
        if (!file_.write_at(0, header.bytes.data(), header.bytes.size(), reason)) return false;
    }
    completed_ = file_.close(reason);
    return completed_;
}

}  // namespace bleepforge
