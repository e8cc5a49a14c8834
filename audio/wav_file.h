// Writing a capture to disk as a WAV file without ever leaving a damaged one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace bleepforge {

// A file written beside `target` under a temporary name and renamed over it
// only by commit(); until then `target` is untouched, and the partial file is
// removed when the PendingFile goes away uncommitted. Reasons are short
// phrases for a message that already names the target.
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile();

    // Creates the temporary file; false with a reason when it cannot be.
    bool open(const std::filesystem::path& target, std::string& reason);
    // Appends bytes; false with a reason on any failure.
    bool write(const void* data, std::size_t size, std::string& reason);
    // Overwrites `size` bytes already written, `offset` bytes from the start,
    // and goes on appending after the end; only where seekable().
    bool write_at(std::uint64_t offset, const void* data, std::size_t size, std::string& reason);
    // Whether written bytes can be overwritten: true for a temporary file.
    bool seekable() const { return !temp_.empty(); }
    // Writes out and closes the file without putting it in place yet, so that
    // several files can be completed before any replaces its target.
    bool close(std::string& reason);
    // Closes the file if still open and renames it over the target; false with a reason on failure.
    bool commit(std::string& reason);
    // The temporary name while the file is open, else empty.
    const std::filesystem::path& temp_path() const { return temp_; }

private:
    void discard();

    std::filesystem::path target_;
    std::filesystem::path temp_;
    std::FILE* file_ = nullptr;
};

// Writes the 44-byte header and `frames` interleaved 16-bit stereo frames into
// an opened `file` and commits it; false with a reason on any failure.
bool write_wav(PendingFile& file, const std::int16_t* frames, std::uint32_t count, std::string& reason);

// A WAV file written block by block. Its header's sizes are exact from the
// start when expect_frames() says the count before the first block (as a pipe
// needs), else they are put right at the end, which needs a seekable file.
class WavWriter {
public:
    // Opens `target` as PendingFile::open does.
    bool open(const std::filesystem::path& target, std::string& reason) { return file_.open(target, reason); }
    void expect_frames(std::uint32_t count) { expected_ = count; }
    // Appends `count` interleaved 16-bit stereo frames.
    bool write_frames(const std::int16_t* frames, std::uint32_t count, std::string& reason);
    // Puts the header right and closes the file, not yet in its place; false
    // also when the count differs from the one expected.
    bool complete(std::string& reason);
    // Completes the file if needed and renames it over its target.
    bool commit(std::string& reason) { return complete(reason) && file_.commit(reason); }
    PendingFile& file() { return file_; }

private:
    bool start(std::string& reason);

    PendingFile file_;
    std::int64_t expected_ = -1;  // from expect_frames; -1: not said
    std::uint64_t written_ = 0;   // frames so far
    bool started_ = false;        // the header is written
    bool completed_ = false;
};

}  // namespace bleepforge
