// A small SHA-256 for comparing rendered PCM with golden digests.
#pragma once

#include <cstddef>
#include <string>

namespace bleepforge::test {

std::string sha256_hex(const void* data, std::size_t size);

}  // namespace bleepforge::test
