// Song bytes through the split, the compiler and the first fetch of every track.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "fuzz/invariants.h"
#include "mml/song.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto engine = std::make_unique<bleepforge::Engine>();  // reused: songs replace songs
    bleepforge::load_song(*engine, std::string_view(reinterpret_cast<const char*>(data), size));
    bleepforge::fuzz::check_engine(*engine);
    return 0;
}
