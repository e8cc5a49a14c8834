#include "audio/wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
#include <system_error>

#include "audio/wav.h"
#include "mml/song.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace bleepforge {

// The capture is written as it lies in memory, and WAV data is little-endian.
static_assert(std::endian::native == std::endian::little);

namespace fs = std::filesystem;

namespace {

// Long enough to tell the file apart, short enough that the suffix fits the
// file system's 255-unit name limit.
constexpr std::size_t KEPT_NAME_UNITS = 200;
constexpr int MAX_LINK_HOPS = 40;

std::string cannot_be_written(int error) { return std::string("cannot be written (") + std::strerror(error) + ")"; }

// Follows symlinks one hop at a time, so that a link to a file not yet made
// names the file to create; false with a reason for a loop.
bool follow_links(fs::path& path, std::string& reason) {
    for (int hops = 0; hops < MAX_LINK_HOPS; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(path, ec))) return true;
        const fs::path link = fs::read_symlink(path, ec);
        if (ec) {
            reason = "cannot be written (" + ec.message() + ")";
            return false;
        }
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    reason = cannot_be_written(ELOOP);
    return false;
}

std::FILE* open_in_place(const fs::path& path) {
#ifdef _WIN32
    return _wfopen(path.c_str(), L"wb");  // wide, so any file name works
#else
    return std::fopen(path.c_str(), "wb");
#endif
}

// A new file that did not exist under this name (never a link planted there); -1 with errno set.
int create_exclusive(const fs::path& path) {
#ifdef _WIN32
    return _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
#endif
}

int sync_file(std::FILE* file) {
#ifdef _WIN32
    return _commit(_fileno(file)) == 0 ? 0 : errno;
#else
    return fsync(fileno(file)) == 0 ? 0 : errno;
#endif
}

// Makes the rename itself durable; where the folder cannot be synced there is nothing more to do.
void sync_folder([[maybe_unused]] const fs::path& folder) {
#ifndef _WIN32
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
#endif
}

}  // namespace

PendingFile::~PendingFile() { discard(); }

bool PendingFile::open(const fs::path& requested, std::string& reason) {
    // The system follows the links to see what the target is: /dev/stdout
    // reaches the pipe or terminal behind it only that way.
    std::error_code ec;
    const fs::file_status status = fs::status(requested, ec);
    if (fs::is_directory(status)) {
        reason = "is a folder, not a file";
        return false;
    }
    if (names_a_device(requested) || (fs::exists(status) && !fs::is_regular_file(status))) {
        file_ = open_in_place(requested);
        if (file_ == nullptr) {
            reason = cannot_be_written(errno);
            return false;
        }
        in_place_ = true;
        return true;
    }
    // The file itself is replaced, beside where it lies, and a link to it stays a link.
    std::error_code resolve_ec;
    fs::path target = fs::is_regular_file(status) ? fs::canonical(requested, resolve_ec) : requested;
    if (resolve_ec) {
        reason = "cannot be written (" + resolve_ec.message() + ")";
        return false;
    }
    if (!follow_links(target, reason)) return false;
    const bool replacing = fs::is_regular_file(status);
    constexpr fs::perms any_write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if (replacing && (status.permissions() & any_write) == fs::perms::none) {
        reason = "is read-only";
        return false;
    }

    fs::path::string_type name = target.filename().native();
    name.resize(std::min(name.size(), KEPT_NAME_UNITS));
    std::random_device random;
    fs::path temp;
    int fd = -1;
    do {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", unsigned(random()));
        temp = target.parent_path() / fs::path(name);
        temp += suffix;
        fd = create_exclusive(temp);
    } while (fd < 0 && errno == EEXIST);
    if (fd < 0) {
        reason = cannot_be_written(errno);
        return false;
    }
#ifdef _WIN32
    file_ = _fdopen(fd, "wb");
#else
    if (replacing) fchmod(fd, mode_t(status.permissions() & fs::perms::mask));
    file_ = fdopen(fd, "wb");
#endif
    if (file_ == nullptr) {
        reason = cannot_be_written(errno);
#ifdef _WIN32
        _close(fd);
#else
        close(fd);
#endif
        fs::remove(temp, ec);
        return false;
    }
    // A quarter megabyte at a time: a system call per block costs as much as
    // a tenth of the render.
    buffer_ = std::make_unique_for_overwrite<char[]>(WRITE_BUFFER_BYTES);
    std::setvbuf(file_, buffer_.get(), _IOFBF, WRITE_BUFFER_BYTES);
    temp_ = temp;
    target_ = target;
    return true;
}

void PendingFile::open_stdout() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    file_ = stdout;
    in_place_ = true;
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
    if (error == 0 && !in_place_) error = sync_file(file_);
    if (file_ != stdout && std::fclose(file_) != 0 && error == 0) error = errno;
    file_ = nullptr;
    if (error != 0) {
        reason = std::string("could not be written to its end (") + std::strerror(error) + ")";
        return false;
    }
    return defer_rename_ || place(reason);
}

bool PendingFile::place(std::string& reason) {
    if (in_place_) return true;
    std::error_code ec;
    fs::rename(temp_, target_, ec);
    if (ec) {
        reason = "could not replace it (" + ec.message() + ")";
        return false;
    }
    temp_.clear();
    sync_folder(target_.parent_path());
    return true;
}

void PendingFile::discard() {
    if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    file_ = nullptr;
    std::error_code ec;
    if (!temp_.empty()) fs::remove(temp_, ec);
    temp_.clear();
}

bool write_wav(PendingFile& file, const std::int16_t* frames, std::uint32_t count, std::string& reason) {
    const WavHeader header = make_wav_header(count);
    return file.write(header.bytes.data(), header.bytes.size(), reason) &&
           file.write(frames, std::size_t{count} * 4, reason) && file.commit(reason);
}

}  // namespace bleepforge
