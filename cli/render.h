// Rendering a song to a WAV file, and the file handling around it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/options.h"

namespace bleepforge::cli {

// The stem of `track` beside the mix `mix`: "a/take.wav" -> "a/take-3.wav".
std::string stem_path(const std::string& mix, int track);

// Whether stderr is a terminal, where progress lines make sense.
bool stderr_is_terminal();

// Why a render that ended as `result` says leaves nothing from --from on:
// "ends at 42.5 s, before --from 90.0 s".
std::string ends_before_from(const RenderResult& result, const Options& options);

// One line on stderr redrawn in place (a progress line), of any length.
class StatusLine {
public:
    void show(const std::string& text);
    void clear();  // blanks it and returns the cursor to the line's start

private:
    std::size_t shown_ = 0;  // length of the line on screen
};

// `value` with one decimal, as progress lines show seconds.
std::string one_decimal(double value);

// Prints "bleepforge-render: FILE: REASON" on stderr and returns exit status 2.
int report_failure(const std::string& file, const std::string& reason);

// Renders `song_bytes` as options say and writes options.out. Prints progress
// and summary on stderr unless quiet; an error as one line naming the file.
// Returns the exit status: 0, or 2 when the output cannot be written.
int render_command(const Options& options, std::string_view song_bytes);

}  // namespace bleepforge::cli
