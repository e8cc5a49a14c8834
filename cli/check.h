// --check's report: the checker's findings printed for a person.
#pragma once

#include <cstdio>
#include <string>

#include "mml/check.h"

namespace bleepforge::cli {

// Prints findings as "SONG:LINE:COL: warning: CODE: track N: ..." ("SONG:
// warning: CODE: ..." without a place or track, "SONG: info: ..." for
// information), one "SONG: and N more CODE warnings" line per capped code,
// and a summary line; with `quiet` only the warnings. Returns the exit
// status: 0 without warnings, 1 with.
int print_findings(const std::string& song, const CheckResult& result, bool quiet, std::FILE* out);

// "3 warnings; run with --check to see them", or "" for a song without warnings.
std::string warnings_line(const CheckResult& result);

}  // namespace bleepforge::cli
