// Paths and helpers shared by the tests.
#pragma once

#include <filesystem>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
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

// The golden per-track outputs and muted mixes of one render (conformance/stems.tsv):
// with the tracks of `muted` muted, output `mix` or track digit k over the captured
// frames has `sha256[output]` (key "mix" or "0".."7").
struct GoldenStems {
    std::string song;
    std::string seconds;
    std::string muted;  // "-" or track digits separated by commas
    std::uint32_t frames;
    std::vector<std::pair<std::string, std::string>> outputs;  // output, sha256
};

std::vector<GoldenStems> golden_stems();

inline void PrintTo(const GoldenStems& g, std::ostream* os) { *os << g.song << " muted " << g.muted; }

}  // namespace bleepforge::test
