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

}  // namespace bleepforge::test
