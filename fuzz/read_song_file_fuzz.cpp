// The song-file reader the programs share, on files of random kinds, sizes and
// names in a scratch folder, then the WAV writer on a target of a random kind.
//   byte 0: the kind of the song path; byte 1: the name length; then the name;
//   byte after it: how big (its bytes, or sparse near the size limit); the rest: contents.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "audio/wav_file.h"
#include "mml/song.h"

namespace fs = std::filesystem;
using namespace bleepforge;

namespace {

enum Kind { REGULAR, LINK, DANGLING_LINK, LINK_LOOP, FIFO, FOLDER, UNDER_A_FILE, KIND_COUNT };

const fs::path& scratch() {
    static const fs::path folder = [] {
        const fs::path p = fs::temp_directory_path() / ("bleepforge-read-fuzz-" + std::to_string(getpid()));
        return p;
    }();
    return folder;
}

void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "broken: %s (%s)\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const Kind kind = Kind(data[0] % KIND_COUNT);
    const std::size_t name_length = std::min<std::size_t>(data[1], size - 2);
    std::size_t at = 2;
    std::string name;
    for (std::size_t i = 0; i < name_length; ++i) {
        const char c = char(data[at + i]);
        name += (c == '/' || c == '\0') ? '_' : c;  // bytes a name may hold
    }
    at += name_length;
    if (name.empty() || name == "." || name == "..") name = "song";
    if (name.size() > 250) name.resize(250);
    if (name == "real") return 0;  // the name the other files use
    const unsigned how_big = at < size ? data[at++] : 0;
    const std::string contents(reinterpret_cast<const char*>(data) + at, size - at);

    // Made for each input and removed after it: libFuzzer ends without running exit handlers.
    struct Scratch {
        Scratch() { fs::create_directories(scratch() / "case"); }
        ~Scratch() {
            std::error_code ec;
            fs::remove_all(scratch(), ec);
        }
    } made;
    const fs::path dir = scratch() / "case";
    std::error_code ec;
    fs::path song = dir / name;
    const fs::path real = dir / "real";
    std::uintmax_t expected_size = contents.size();
    {
        std::FILE* f = std::fopen(real.c_str(), "wb");
        std::fwrite(contents.data(), 1, contents.size(), f);
        std::fclose(f);
        if (how_big >= 252) {  // sparse, around the limit
            expected_size = MAX_SONG_BYTES - 253 + how_big;
            fs::resize_file(real, expected_size);
        }
    }
    switch (kind) {
    case REGULAR: fs::rename(real, song, ec); break;
    case LINK: fs::create_symlink("real", song, ec); break;
    case DANGLING_LINK: fs::create_symlink("missing", song, ec); break;
    case LINK_LOOP: fs::create_symlink(name, song, ec); break;
    case FIFO: mkfifo(song.c_str(), 0644); break;
    case FOLDER: fs::create_directory(song, ec); break;
    case UNDER_A_FILE: song = real / name; break;
    default: break;
    }
    if (ec) return 0;  // a name the file system refuses (say "real" itself)
    const bool readable = kind == REGULAR || kind == LINK;

    std::string bytes, reason;
    const bool read = read_song_bytes(song, bytes, reason);
    if (read != (readable && expected_size <= MAX_SONG_BYTES)) fail("read a file it should not, or the reverse", reason);
    if (read && expected_size == contents.size() && bytes != contents) fail("bytes differ from the file", name);
    if (read && bytes.size() != expected_size) fail("size differs from the file", name);
    if (!read && reason.empty()) fail("refused without a reason", name);

    // The same path as a WAV target: written, or refused with a reason and left as it was.
    PendingFile out;
    const std::int16_t frames[4] = {1, -1, 2, -2};
    if (kind == FIFO) return 0;  // no reader: writing in place would wait, as it should
    if (out.open(song, reason)) {
        if (!write_wav(out, frames, 2, reason)) fail("an opened target could not be written", reason);
        if (fs::file_size(song, ec) != 52) fail("the WAV has the wrong size", name);
        if (kind == LINK && !fs::is_symlink(song)) fail("a link was replaced", name);
    } else if (reason.empty()) {
        fail("target refused without a reason", name);
    }
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        if (e.path().extension() == ".tmp" && e.path().filename() != song.filename()) fail("a temporary file was left", e.path().string());
    }
    return 0;
}
