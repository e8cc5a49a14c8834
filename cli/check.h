// The song linter behind --check: what the compiler passed over, repeat
// structures the sequencer will stop at, and how long each track plays.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace bleepforge::cli {

struct Finding {
    enum Severity { WARNING, INFO };
    Severity severity;
    int track;            // 0..7
    int line = 0;         // 1-based place in the file; 0 when the finding has none
    int column = 0;       // 1-based, in bytes
    std::string message;  // without the track, e.g. "ignored character \"#\""
};

// Analyses song file bytes as load_song would load them. Findings come per
// track 0..7, each track's warnings in file order and then its one INFO line
// (its length, or that it plays nothing); tracks without text give none.
std::vector<Finding> check_song(std::string_view bytes);

// Prints findings as "SONG:LINE:COL: warning: track N: ..." ("SONG: info: ..."
// without a place) and a summary line; with `quiet` only the warnings.
// Returns the exit status: 0 without warnings, 1 with.
int print_findings(const std::string& song, const std::vector<Finding>& findings, bool quiet, std::FILE* out);

}  // namespace bleepforge::cli
