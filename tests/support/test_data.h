// Paths and helpers shared by the tests.
#pragma once

#include <filesystem>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace bleepforge::test {

// The folder of the tests' data files (songs, golden tables).
std::filesystem::path data_dir();

std::string read_file(const std::filesystem::path& path);

// One row of the golden renders (conformance/expected.tsv): a song rendered
// for `seconds` (as written there) captures `frames` frames whose PCM has `sha256`.
struct GoldenRender {
    std::string song;
    std::string seconds;
    std::uint32_t frames;
    std::string sha256;
};

std::vector<GoldenRender> golden_renders();

// Names a golden render by its song in test output.
inline void PrintTo(const GoldenRender& g, std::ostream* os) { *os << g.song; }

}  // namespace bleepforge::test
