#include "mml/song.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

namespace bleepforge {

SplitSong split_song(std::string_view bytes) {
    SplitSong song;
    std::size_t p = bytes.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    int line = 1;
    while (p < bytes.size()) {
        std::size_t end = bytes.find_first_of("\r\n", p);
        if (end == std::string_view::npos) end = bytes.size();
        const char lead = bytes[p];
        if (lead >= '0' && lead <= '7') {
            const int track = lead - '0';
            std::string& text = song.texts[track];
            song.origins[track].push_back({text.size(), p + 1, line, 2});
            for (std::size_t i = p + 1; i < end; ++i) {
                if (bytes[i] != '\0') text.push_back(bytes[i]);
            }
        }
        p = end;
        if (p < bytes.size()) p += (bytes[p] == '\r' && p + 1 < bytes.size() && bytes[p + 1] == '\n') ? 2 : 1;
        ++line;
    }
    return song;
}

void load_song(Engine& engine, std::string_view bytes) {
    stop_all_tracks(engine);
    const SplitSong song = split_song(bytes);
    start_all_if_idle(engine, song.texts);
    if (engine.recording_mode) engine.recorded_frames = 0;
}

namespace {

constexpr const char* TOO_LARGE = "is too large for a song (over 16 MiB)";

// What a path that is not a regular file is, for "SONG: is a FIFO".
const char* kind_of(std::filesystem::file_type type) {
    switch (type) {
    case std::filesystem::file_type::directory: return "is a folder, not a song file";
    case std::filesystem::file_type::fifo: return "is a FIFO, not a song file";
    case std::filesystem::file_type::socket: return "is a socket, not a song file";
    case std::filesystem::file_type::block:
    case std::filesystem::file_type::character: return "is a device, not a song file";
    default: return "is not a regular file";
    }
}

}  // namespace

namespace {

std::string upper_stem(const std::filesystem::path& path) {
    std::string stem = path.stem().string();
    for (char& c : stem) c = char(std::toupper(static_cast<unsigned char>(c)));
    return stem;
}

}  // namespace

bool names_a_device([[maybe_unused]] const std::filesystem::path& path) {
#ifdef _WIN32
    const std::string stem = upper_stem(path);
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
    return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '1' && stem[3] <= '9';
#else
    return false;
#endif
}

bool read_song_bytes(const std::filesystem::path& path, std::string& bytes, std::string& reason) {
    if (names_a_device(path)) {
        // NUL reads as nothing, as the system means it; the others would wait on a port or console.
        bytes.clear();
        if (upper_stem(path) == "NUL") return true;
        reason = kind_of(std::filesystem::file_type::character);
        return false;
    }
    // Looked at before it is opened: opening a FIFO or a terminal would wait for a writer.
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (ec) {
        reason = ec == std::errc::no_such_file_or_directory ? "does not exist" : "cannot be opened (" + ec.message() + ")";
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        reason = kind_of(status.type());
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec && size > MAX_SONG_BYTES) {
        reason = TOO_LARGE;
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = std::string("cannot be opened (") + std::strerror(errno) + ")";
        return false;
    }
    // Read up to one byte past the limit, which tells a file that grew while being read.
    bytes.clear();
    bytes.reserve(std::size_t(std::min<std::uintmax_t>(ec ? 0 : size, MAX_SONG_BYTES)) + 1);
    char chunk[16384];
    try {
        while (in && bytes.size() <= MAX_SONG_BYTES) {
            in.read(chunk, sizeof chunk);
            bytes.append(chunk, std::size_t(in.gcount()));
        }
    } catch (const std::ios_base::failure&) {
        // A failing read (an I/O error) is thrown from the stream buffer, not flagged on the stream.
        in.setstate(std::ios::badbit);
    }
    // A regular file that delivers fewer bytes than its size was cut short while being read.
    if (in.bad() || (!ec && bytes.size() < size)) {
        reason = "could not be read to its end";
        return false;
    }
    if (bytes.size() > MAX_SONG_BYTES) {
        reason = TOO_LARGE;
        return false;
    }
    return true;
}

}  // namespace bleepforge
