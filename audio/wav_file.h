// Writing a capture to disk as a WAV file without ever leaving a damaged one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace bleepforge {

// A file written beside `target` under a temporary name and renamed over it
// only by commit(); until then `target` is untouched, and the partial file is
// removed when the PendingFile goes away uncommitted. A symlink is followed
// (the file it names is replaced, the link stays); a target that is not a
// regular file (a device, a FIFO, a terminal) is written in place. An existing
// file keeps its permission bits, and one with no write bit is refused.
// Reasons are short phrases for a message that already names the target.
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile();

    // Creates the temporary file; false with a reason when it cannot be.
    bool open(const std::filesystem::path& target, std::string& reason);
    // Writes to standard output instead (switched to binary where that matters).
    void open_stdout();
    // Appends bytes; false with a reason on any failure.
    bool write(const void* data, std::size_t size, std::string& reason);
    // Overwrites `size` bytes already written, starting `offset` bytes from the
    // start, and goes on appending after them; only where seekable().
    bool write_at(std::uint64_t offset, const void* data, std::size_t size, std::string& reason);
    // Whether written bytes can be overwritten: true for a temporary file, false
    // where bytes go straight out (stdout, a device).
    bool seekable() const { return !temp_.empty(); }
    // Flushes the data to disk and renames the file over the target; false with a reason on failure.
    bool commit(std::string& reason);
    // Makes commit() stop short of the rename, which place() then does: several
    // files can then all be complete before any of them replaces its target.
    void defer_rename() { defer_rename_ = true; }
    // Renames a file that commit() completed over its target; false with a reason on failure.
    bool place(std::string& reason);
    // The temporary name while the file is open, else empty (also when written in place).
    const std::filesystem::path& temp_path() const { return temp_; }

private:
    void discard();

    std::filesystem::path target_;
    std::filesystem::path temp_;
    static constexpr std::size_t WRITE_BUFFER_BYTES = std::size_t{1} << 18;
    std::unique_ptr<char[]> buffer_;  // the temporary file's, alive until the file is closed
    std::FILE* file_ = nullptr;
    bool in_place_ = false;  // a device, FIFO or standard output: no rename
    bool defer_rename_ = false;
};

// Writes the 44-byte header and `frames` interleaved 16-bit stereo frames into
// an opened `file` and commits it; false with a reason on any failure.
bool write_wav(PendingFile& file, const std::int16_t* frames, std::uint32_t count, std::string& reason);

}  // namespace bleepforge
