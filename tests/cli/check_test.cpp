// --check's printed report: places, codes, the cap lines and the summary.
#include <gtest/gtest.h>

#include "cli/check.h"

namespace bleepforge::cli {
namespace {

std::string printed(const std::string& song, bool quiet, int* status) {
    std::FILE* out = std::tmpfile();
    EXPECT_NE(out, nullptr);
    *status = print_findings("s.mml", check_song(song), quiet, out);
    std::rewind(out);
    std::string text(1 << 16, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    return text;
}

TEST(Check, PrintedReportAndStatus) {
    int status = 0;
    EXPECT_EQ(printed("0c#\r\n1t120c4x\r\n", false, &status),
              "s.mml:1:3: warning: W-ignored: track 0: ignored character \"#\"\n"
              "s.mml: info: track 0: loops forever: intro 0.00 s, loop 0.18 s\n"
              "s.mml: info: track 1: ends after 0.50 s\n"
              "s.mml: 1 warning\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(printed("0c#\r\n1t120c4x\r\n", true, &status),
              "s.mml:1:3: warning: W-ignored: track 0: ignored character \"#\"\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(printed("1t120c4x\r\n", false, &status), "s.mml: info: track 1: ends after 0.50 s\ns.mml: 0 warnings\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(printed("", false, &status),
              "s.mml: warning: W-no-tracks: no line starts with a track digit 0-7: the song plays nothing\n"
              "s.mml: 1 warning\n");
    EXPECT_EQ(status, 1);
}

TEST(Check, CappedCodesEndWithTheirCount) {
    std::string song = "0";
    for (int i = 0; i < 103; ++i) song += "#c";
    int status = 0;
    const std::string text = printed(song, true, &status);
    EXPECT_NE(text.find("s.mml:1:200: warning: W-ignored: track 0: ignored character \"#\"\n"
                        "s.mml: and 3 more W-ignored warnings\n"),
              std::string::npos);
    EXPECT_EQ(status, 1);
    CheckResult three;
    three.more = {{"W-clamp", 3}};
    EXPECT_EQ(warnings_line(three), "3 warnings; run with --check to see them");
    EXPECT_EQ(warnings_line(CheckResult{}), "");
}

}  // namespace
}  // namespace bleepforge::cli
