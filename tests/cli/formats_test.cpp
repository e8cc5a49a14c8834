// The file formats: the options that choose them, the WAV writer block by
// block, and bleepforge-render's FLAC, Ogg Vorbis, Opus and MP3 files decoded
// by an independent decoder (ffmpeg) and compared with its WAV.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

#include "audio/sound_file.h"
#include "audio/wav.h"
#include "cli/options.h"
#include "support/test_data.h"

namespace bleepforge {
namespace {

namespace fs = std::filesystem;

struct Ran {
    int status;
    std::string out, err;  // stdout kept as bytes
};

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Formats : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("bleepforge-formats-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        song_ = (test::data_dir() / "conformance" / "songs" / "p12_full_stream.mml").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    Ran run(const std::string& command) const {
        const std::string out = (dir_ / "stdout").string(), err = (dir_ / "stderr").string();
        const int raw = std::system(("cd " + quoted(dir_) + " && " + command + " >" + out + " 2>" + err).c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, test::read_file(out), test::read_file(err)};
    }
    Ran render(const std::string& args) const {
        return run(quoted(BLEEPFORGE_RENDER) + " " + quoted(song_) + " --seconds 2 -q " + args);
    }
    // `file` decoded by ffmpeg to 16-bit stereo at `rate`.
    std::vector<std::int16_t> decoded(const std::string& file, int rate = 44100) const {
        const Ran r = run("ffmpeg -v error -i " + quoted(file) + " -ac 2 -ar " + std::to_string(rate) +
                          " -f s16le -");
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::int16_t> s(r.out.size() / 2);
        std::memcpy(s.data(), r.out.data(), s.size() * 2);
        return s;
    }
    // "codec rate channels" and the tags, as ffprobe reads them.
    std::string probed(const std::string& file) const {
        const Ran r = run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels:"
                          "stream_tags=title,artist:format_tags=title,artist -of default=nw=1:nk=1 " +
                          quoted(file));
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

    fs::path dir_;
    std::string song_;
};

// The correlation of `a` and `b` (interleaved stereo) with `b` moved by the
// lag, within +-2048 frames, that fits best: lossy codecs may shift the signal.
double aligned_correlation(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b) {
    auto correlation = [&](long lag, std::size_t frames) {
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t i = 2048; i + 2048 < frames; ++i) {
            const long j = long(i) + lag;
            if (j < 0 || std::size_t(j) * 2 + 1 >= b.size() || i * 2 + 1 >= a.size()) continue;
            for (int c = 0; c < 2; ++c) {
                const double x = a[2 * i + c], y = b[2 * std::size_t(j) + c];
                ab += x * y, aa += x * x, bb += y * y;
            }
        }
        return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
    };
    long best = 0;
    double most = -2;
    for (long lag = -2048; lag <= 2048; ++lag) {
        const double c = correlation(lag, 12288);  // the lag from the first quarter second
        if (c > most) most = c, best = lag;
    }
    return correlation(best, a.size() / 2);
}

TEST(FormatChoice, ByExtensionOrFormatAndTheirRefusals) {
    if (!sound_format_named("flac")->built) GTEST_SKIP() << "this build writes WAV only";
    const struct {
        std::vector<std::string> args;
        const char* format_or_error;  // the chosen format's --format name, or the refusal
        const char* out;
    } cases[] = {
        {{"x.mml"}, "wav", "x.wav"},
        {{"x.mml", "-o", "take.raw"}, "wav", "take.raw"},
        {{"x.mml", "-o", "A.FLAC"}, "flac", "A.FLAC"},
        {{"x.mml", "-o", "a.Ogg", "--quality", "0"}, "ogg", "a.Ogg"},
        {{"x.mml", "--format", "opus", "--quality=10"}, "opus", "x.opus"},
        {{"x.mml", "--format", "mp3", "-o", "-"}, "mp3", "-"},
        {{"x.mml", "--format", "flac", "-o", "take.raw"}, "flac", "take.raw"},
        {{"x.mml", "--format", "ogg", "-o", "b.OGG"}, "ogg", "b.OGG"},
        {{"x.mml", "--quality", "5"}, "--quality does not apply to WAV (only to ogg, opus and mp3)", ""},
        {{"x.mml", "-o", "a.flac", "--quality", "5"}, "--quality does not apply to FLAC (only to ogg, opus and mp3)",
         ""},
        {{"x.mml", "-o", "a.mp3", "--quality", "11"}, "--quality needs a whole number from 0 to 10, not \"11\"", ""},
        {{"x.mml", "--format", "aiff"}, "--format needs wav, flac, ogg, opus or mp3, not \"aiff\"", ""},
        {{"x.mml", "--format", "ogg", "-o", "a.mp3"}, "--format ogg does not match the file name \"a.mp3\"", ""},
        {{"x.mml", "--play", "--title", "t"}, "--title does not apply with --play", ""},
    };
    for (const auto& c : cases) {
        cli::Options options;
        std::string error;
        const bool parsed = cli::parse_options(c.args, options, error);
        const SoundFormatInfo* expected = sound_format_named(c.format_or_error);
        if (expected == nullptr) {
            EXPECT_FALSE(parsed) << c.args.back();
            EXPECT_EQ(error, c.format_or_error);
            continue;
        }
        ASSERT_TRUE(parsed) << error;
        EXPECT_EQ(options.format, expected->format) << c.args.back();
        EXPECT_EQ(options.out, c.out);
    }
}

// Blocks written without the count known beforehand give the same bytes as
// the whole capture at once, header included.
TEST_F(Formats, WavInBlocksEqualsWavInOneGo) {
    std::vector<std::int16_t> frames(2 * 4000);
    for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = std::int16_t(i * 37);
    std::string reason;
    ASSERT_TRUE(write_sound_file(dir_ / "whole.wav", {}, frames.data(), 4000, reason)) << reason;
    const std::unique_ptr<SoundWriter> writer = make_sound_writer({});
    ASSERT_TRUE(writer->open(dir_ / "blocks.wav", reason)) << reason;
    for (std::uint32_t at = 0; at < 4000; at += 1500) {
        ASSERT_TRUE(writer->write_frames(frames.data() + 2 * at, std::min(1500u, 4000 - at), reason)) << reason;
    }
    ASSERT_TRUE(writer->finish(reason)) << reason;
    const std::string whole = test::read_file(dir_ / "whole.wav");
    EXPECT_EQ(whole.substr(0, 44),
              std::string(reinterpret_cast<const char*>(make_wav_header(4000).bytes.data()), 44));
    EXPECT_EQ(test::read_file(dir_ / "blocks.wav"), whole);
}

// Each format: what ffprobe names, the tags, what ffmpeg decodes compared with
// the WAV, bigger files for higher quality, and on standard output only the
// formats that never go back into the file.
TEST_F(Formats, EachFormatDecodesToTheRender) {
    if (!sound_format_named("flac")->built) GTEST_SKIP() << "this build writes WAV only";
    ASSERT_EQ(render("-o plain.wav").status, 0);
    const std::string tags = " --title 'ピコピコ 1' --artist Someone";
    ASSERT_EQ(render("-o tagged.wav" + tags).status, 0);
    EXPECT_EQ(test::read_file(dir_ / "tagged.wav"), test::read_file(dir_ / "plain.wav")) << "WAV takes no tags";
    const std::vector<std::int16_t> wav = decoded("plain.wav");
    ASSERT_EQ(wav.size(), 2u * 88500);  // 2 s: 59 blocks of 1500 frames

    const struct {
        std::string format, file, codec;
        int rate;
        bool streams;
    } formats[] = {{"flac", "s.flac", "flac", 44100, false},
                   {"ogg", "s.OGG", "vorbis", 44100, true},
                   {"opus", "s.opus", "opus", 48000, true},
                   {"mp3", "s.mp3", "mp3", 44100, false}};
    for (const auto& f : formats) {
        SCOPED_TRACE(f.file);
        const Ran r = render("-o " + f.file + tags);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string info = probed(f.file);
        EXPECT_EQ(info.substr(0, info.find("ピ")), f.codec + "\n" + std::to_string(f.rate) + "\n2\n");
        EXPECT_NE(info.find("ピコピコ 1\n"), std::string::npos) << info;
        EXPECT_NE(info.find("Someone\n"), std::string::npos) << info;

        const Ran piped = render("-o - --format " + f.format);
        EXPECT_EQ(piped.status, f.streams ? 0 : 2) << piped.err;
        EXPECT_EQ(piped.out.substr(0, 4), f.streams ? "OggS" : "") << "a stream, or nothing at all";
        EXPECT_EQ(piped.err.find("to a pipe or device") != std::string::npos, !f.streams) << piped.err;

        const std::size_t at_rate = std::size_t(std::llround(88500.0 * f.rate / 44100));
        const std::vector<std::int16_t> native = decoded(f.file, f.rate);
        EXPECT_NEAR(double(native.size() / 2), double(at_rate), 2048.0) << "frames, within the codec's padding";
        if (f.format == "flac") {
            EXPECT_EQ(native, wav) << "FLAC is lossless";
            continue;
        }
        EXPECT_GT(aligned_correlation(wav, f.rate == 44100 ? native : decoded(f.file)), 0.99);
        ASSERT_EQ(render("--quality 0 -o low." + f.format).status, 0);
        ASSERT_EQ(render("--quality 10 -o high." + f.format).status, 0);
        EXPECT_LT(fs::file_size(dir_ / ("low." + f.format)), fs::file_size(dir_ / ("high." + f.format)));
    }
}

}  // namespace
}  // namespace bleepforge
