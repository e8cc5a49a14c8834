#include "cli/check.h"

namespace bleepforge::cli {

namespace {

std::string place(const std::string& song, const CheckFinding& f) {
    if (f.line <= 0) return song;
    return song + ":" + std::to_string(f.line) + ":" + std::to_string(f.column);
}

std::string count_of(long n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

int print_findings(const std::string& song, const CheckResult& result, bool quiet, std::FILE* out) {
    for (const CheckFinding& f : result.findings) {
        const std::string track = f.track >= 0 ? "track " + std::to_string(f.track) + ": " : "";
        if (f.severity == CheckFinding::WARNING) {
            std::fprintf(out, "%s: warning: %s: %s%s\n", place(song, f).c_str(), f.code.c_str(), track.c_str(),
                         f.message.c_str());
        } else if (!quiet) {
            std::fprintf(out, "%s: info: %s%s\n", song.c_str(), track.c_str(), f.message.c_str());
        }
    }
    for (const auto& [code, n] : result.more) {
        std::fprintf(out, "%s: and %ld more %s %s\n", song.c_str(), n, code.c_str(), n == 1 ? "warning" : "warnings");
    }
    const long warnings = result.warning_count();
    if (!quiet) std::fprintf(out, "%s: %s\n", song.c_str(), count_of(warnings, "warning").c_str());
    return warnings == 0 ? 0 : 1;
}

std::string warnings_line(const CheckResult& result) {
    const long warnings = result.warning_count();
    if (warnings == 0) return "";
    return count_of(warnings, "warning") + "; run with --check to see them";
}

}  // namespace bleepforge::cli
