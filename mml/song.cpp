#include "mml/song.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

#include "mml/compiler.h"

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

std::unique_ptr<PreparedSong> prepare_song(std::string_view bytes) {
    const SplitSong split = split_song(bytes);
    // The compiler leaves the operand byte of an event without one as it
    // was. Compiling over two different fillings shows which bytes it wrote,
    // so only those replace the live stream, as an in-place compile would.
    auto zeros = std::make_unique<Engine>();
    auto ones = std::make_unique<Engine>();
    auto song = std::make_unique<PreparedSong>();
    for (int k = 0; k < TRACK_COUNT; ++k) {
        zeros->tracks[k].events.fill(0x00);
        ones->tracks[k].events.fill(0xFF);
        compile_track(*zeros, k, split.texts[k]);
        compile_track(*ones, k, split.texts[k]);
        PreparedSong::Stream& stream = song->streams[k];
        stream.events = zeros->tracks[k].events;
        stream.events_end = zeros->tracks[k].events_end;
        for (std::size_t i = 0; i < EVENT_STREAM_BYTES; ++i) {
            stream.written[i] = stream.events[i] == ones->tracks[k].events[i];
        }
    }
    return song;
}

void start_prepared_song(Engine& engine, const PreparedSong& song) {
    stop_all_tracks(engine);
    clear_all_streams(engine);
    for (int k = 0; k < TRACK_COUNT; ++k) {
        TrackState& t = engine.tracks[k];
        const PreparedSong::Stream& stream = song.streams[k];
        for (std::size_t i = 0; i < EVENT_STREAM_BYTES; ++i) {
            if (stream.written[i]) t.events[i] = stream.events[i];
        }
        t.events_end = stream.events_end;
    }
    reset_all_tracks(engine);
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
