#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "audio/wav.h"
#include "sequencer/engine.h"

namespace bleepforge {
namespace {

std::uint32_t field32(const WavHeader& h, int at) {
    return h.bytes[at] | h.bytes[at + 1] << 8 | h.bytes[at + 2] << 16 | std::uint32_t(h.bytes[at + 3]) << 24;
}

TEST(WavHeader, OnlyTheSizesDependOnTheFrames) {
    const WavHeader block = make_wav_header(1500);
    EXPECT_EQ(field32(block, 4), 6036u);
    EXPECT_EQ(field32(block, 40), 6000u);
    const WavHeader largest = make_wav_header(RECORD_CAPACITY - 1);
    EXPECT_EQ(field32(largest, 40), 158'759'996u);
    EXPECT_EQ(field32(largest, 4), 158'760'032u);
    for (int i = 0; i < WAV_HEADER_BYTES; ++i) {
        if ((i >= 4 && i < 8) || i >= 40) continue;
        EXPECT_EQ(block.bytes[i], largest.bytes[i]) << "byte " << i;
    }
}

#if !defined(_WIN32)
// The largest capture's file as an independent reader sees it, without
// rendering 15 minutes: the header in front of a sparse data section.
TEST(WavHeader, LargestCaptureReadsBackWithPythonsWaveModule) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("bleepforge-largest-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".wav");
    const WavHeader h = make_wav_header(RECORD_CAPACITY - 1);
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(h.bytes.data()), WAV_HEADER_BYTES);
    }
    std::filesystem::resize_file(path, WAV_HEADER_BYTES + std::uint64_t{RECORD_CAPACITY - 1} * 4);
    const std::string command =
        "python3 -c \"import sys, wave; w = wave.open(sys.argv[1]); "
        "sys.exit(0 if w.getparams()[:4] == (2, 2, 44100, 39689999) else 1)\" '" + path.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::filesystem::remove(path);
}
#endif

}  // namespace
}  // namespace bleepforge
