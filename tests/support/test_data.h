// Paths and helpers shared by the tests.
#pragma once

#include <filesystem>
#include <string>

namespace bleepforge::test {

// The folder of the tests' data files (songs, golden tables).
std::filesystem::path data_dir();

std::string read_file(const std::filesystem::path& path);

}  // namespace bleepforge::test
