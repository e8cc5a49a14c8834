// The song checker: the mistakes a composer wants pointed out (what the
// compiler passed over or squeezed, repeats the sequencer stops at, lines it
// skips, files that are not text, loops that drift apart), found the way the
// engine reads the song. One function for every program.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bleepforge {

struct CheckFinding {
    enum Severity { WARNING, INFO };
    Severity severity;
    std::string code;     // stable short code of a warning ("W-clamp", ...); empty for information
    int track = -1;       // 0..7; -1 for the file as a whole
    int line = 0;         // 1-based line of the song file; 0 when the finding has no place
    int column = 0;       // 1-based, in bytes
    std::string message;  // English, without place and track, e.g. "ignored character \"#\""
};

constexpr long MAX_WARNINGS_PER_CODE = 100;

struct CheckResult {
    // The file's own warnings, then tracks 0..7 (each track's warnings in file
    // order, then its length), then what concerns tracks together.
    std::vector<CheckFinding> findings;
    // Per code, in order of first appearance: warnings past the first
    // MAX_WARNINGS_PER_CODE, counted but not listed.
    std::vector<std::pair<std::string, long>> more;

    long warning_count() const;  // listed and counted
};

// Checks song file bytes as load_song loads them. Memory grows with what is
// listed, not with the file.
CheckResult check_song(std::string_view bytes);

// Whether any line of the song starts with a track digit 0..7 (the rule split_song uses).
bool has_track_lines(std::string_view bytes);

}  // namespace bleepforge
