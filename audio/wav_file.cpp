#include "audio/wav_file.h"

#include <bit>
#include <cerrno>
#include <climits>
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
    if (!seekable() || offset > std::uint64_t(LONG_MAX)) {
        reason = "cannot go back to finish its start (not a regular file)";
        return false;
    }
    const bool written = std::fflush(file_) == 0 && std::fseek(file_, long(offset), SEEK_SET) == 0 &&
                         std::fwrite(data, 1, size, file_) == size;
    if (!written || std::fseek(file_, 0, SEEK_END) != 0) {
        reason = std::string("could not be written to its end (") + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

bool PendingFile::commit(std::string& reason) {
    int error = 0;
    if (std::fflush(file_) != 0) error = errno;
    if (std::fclose(file_) != 0 && error == 0) error = errno;
    file_ = nullptr;
    if (error != 0) {
        reason = std::string("could not be written to its end (") + std::strerror(error) + ")";
        return false;
    }
    return defer_rename_ || place(reason);
}

bool PendingFile::place(std::string& reason) {
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

}  // namespace bleepforge
