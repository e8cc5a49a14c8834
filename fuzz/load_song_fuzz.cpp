// Song bytes through the split, the compiler and the first fetch of every
// track, and through the checker and the placed event listing: the checker
// lists at most its cap of each code, and compiling with a listener writes the
// very streams a load writes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string_view>

#include "fuzz/invariants.h"
#include "mml/check.h"
#include "mml/listing.h"
#include "mml/song.h"

namespace {

std::string first_four_columns(const std::string& listing) {
    std::istringstream in(listing);
    std::string out, a, b, c, d, rest;
    while (in >> a >> b >> c >> d && std::getline(in, rest)) out += a + ' ' + b + ' ' + c + ' ' + d + '\n';
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto engine = std::make_unique<bleepforge::Engine>();  // reused: songs replace songs
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    bleepforge::load_song(*engine, bytes);
    bleepforge::fuzz::check_engine(*engine);

    const bleepforge::CheckResult result = bleepforge::check_song(bytes);
    std::map<std::string, long> listed;
    for (const bleepforge::CheckFinding& f : result.findings) {
        if (f.severity == bleepforge::CheckFinding::WARNING && ++listed[f.code] > bleepforge::MAX_WARNINGS_PER_CODE) {
            std::abort();
        }
    }
    if (first_four_columns(bleepforge::song_event_listing(bytes)) != bleepforge::event_listing(*engine, false)) {
        std::abort();
    }
    return 0;
}
