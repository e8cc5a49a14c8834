#include "mml/song.h"

#include <algorithm>
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

SourcePlace source_place(const std::vector<TextOrigin>& origins, std::size_t position) {
    auto after = std::upper_bound(origins.begin(), origins.end(), position,
                                  [](std::size_t p, const TextOrigin& o) { return p < o.text_offset; });
    if (after == origins.begin()) return {};
    const TextOrigin& o = *(after - 1);
    return {o.line, o.column + int(position - o.text_offset)};
}

void load_song(Engine& engine, std::string_view bytes) {
    stop_all_tracks(engine);
    const SplitSong song = split_song(bytes);
    start_all_if_idle(engine, song.texts);
    if (engine.recording_mode) engine.recorded_frames = 0;
}

bool read_song_bytes(const std::filesystem::path& path, std::string& bytes, std::string& reason) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        reason = "is a folder, not a song file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = std::filesystem::exists(path, ec) ? "cannot be opened (permission denied?)" : "does not exist";
        return false;
    }
    // A regular file that delivers fewer bytes than its size was cut short while being read.
    std::error_code size_ec;
    const std::uintmax_t size =
        std::filesystem::is_regular_file(path, size_ec) ? std::filesystem::file_size(path, size_ec) : 0;
    try {
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        // A failing read (an I/O error) is thrown from the stream buffer, not flagged on the stream.
        in.setstate(std::ios::badbit);
    }
    if (in.bad() || (!size_ec && bytes.size() < size)) {
        reason = "could not be read to its end";
        return false;
    }
    return true;
}

}  // namespace bleepforge
