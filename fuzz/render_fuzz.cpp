// Song bytes loaded and played for up to 16 blocks with recording on; the
// engine is checked after every block and the capture against the blocks.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "audio/mixer.h"
#include "fuzz/invariants.h"
#include "mml/song.h"
#include "sequencer/transport.h"

using namespace bleepforge;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto engine = [] {
        auto e = std::make_unique<Engine>();
        if (!recording_on(*e)) std::abort();
        return e;
    }();
    // The last byte, when there is one, says how many blocks to play.
    const int blocks = size ? 1 + data[size - 1] % 16 : 1;
    load_song(*engine, std::string_view(reinterpret_cast<const char*>(data), size ? size - 1 : 0));
    std::array<std::int16_t, BLOCK_SAMPLES> block;
    for (int b = 0; b < blocks && any_track_active(*engine); ++b) {
        const std::uint32_t before = engine->recorded_frames;
        mix_block(*engine, block.data());
        fuzz::check_engine(*engine);
        if (engine->recorded_frames != before + BLOCK_FRAMES ||
            !std::equal(block.begin(), block.end(), engine->RecordBuffer.get() + std::size_t{before} * 2)) {
            std::fprintf(stderr, "capture differs from the block played\n");
            std::abort();
        }
    }
    return 0;
}
