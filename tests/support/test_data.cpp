#include "support/test_data.h"

#include <fstream>
#include <sstream>

namespace bleepforge::test {

std::filesystem::path data_dir() { return BLEEPFORGE_TEST_DATA; }

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<GoldenRender> golden_renders() {
    std::vector<GoldenRender> rows;
    std::istringstream in(read_file(data_dir() / "conformance" / "expected.tsv"));
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        GoldenRender g;
        if (fields >> g.song >> g.seconds >> g.frames >> g.sha256) rows.push_back(g);
    }
    return rows;
}

std::vector<GoldenStems> golden_stems() {
    std::vector<GoldenStems> groups;
    std::istringstream in(read_file(data_dir() / "conformance" / "stems.tsv"));
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        GoldenStems row;
        std::string output, sha256;
        if (!(fields >> row.song >> row.seconds >> row.muted >> output >> row.frames >> sha256)) continue;
        if (groups.empty() || groups.back().song != row.song || groups.back().muted != row.muted) {
            groups.push_back(row);
        }
        groups.back().outputs.emplace_back(output, sha256);
    }
    return groups;
}

}  // namespace bleepforge::test
