// Subtitles on a translucent box (libass BorderStyle 4, black at 56 %), end to end: found by
// subremove, then cleaned by un-blending the box and filling only the glyphs, in the one-command
// path and with the found index at --radius auto; judged against the clean film over every pixel
// the subtitles changed (the box and the glyphs).
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "subremove_support.h"

namespace {

using namespace subremove_test;

const char kPhoto[] = "/usr/share/backgrounds/mate/nature/Storm.jpg";
constexpr int kW = 640, kH = 360, kFrames = 72;

// clean.mkv, a photograph panned slowly; burnt.mkv, the same with two boxed subtitles. FFV1.
bool MakeFilms(const Scratch &s) {
    const std::string ass =
        "[Script Info]\nScriptType: v4.00+\nPlayResX: 640\nPlayResY: 360\nScaledBorderAndShadow: yes\n\n[V4+ Styles]\n"
        "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, "
        "Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, "
        "MarginV, Encoding\n"
        "Style: Box,DejaVu Sans,22,&H00FFFFFF,&H00FFFFFF,&HFF000000,&H70000000,0,0,0,0,100,100,0,0,4,1.5,0,2,18,18,18,1\n"
        "\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
        "Dialogue: 0," + AssTime(6) + "," + AssTime(31) + ",Box,,0,0,0,,Three bottles on the belt.\n"
        "Dialogue: 0," + AssTime(40) + "," + AssTime(66) + ",Box,,0,0,0,,Watch the hand, not the bottle.\n";
    WriteFile(s.Path("subs.ass"), ass);
    const std::string scene = "scale=1000:560,crop=640:360:x='200+0.5*n':y='100',setsar=1";
    const std::string make = std::string(SR_FFMPEG) + " -v error -y -loop 1 -framerate 25 -i " + kPhoto + " -vf \"" + scene +
                             ",format=yuv420p\" -frames:v " + std::to_string(kFrames) + " -c:v ffv1 '" + s.Path("clean.mkv") + "'";
    const std::string burn = std::string(SR_FFMPEG) + " -v error -y -i '" + s.Path("clean.mkv") + "' -vf \"ass=" + s.Path("subs.ass") +
                             ":fontsdir=/usr/share/fonts,format=yuv420p\" -c:v ffv1 '" + s.Path("burnt.mkv") + "'";
    return Shell(make) == 0 && Shell(burn) == 0;
}

class BoxFilm : public ::testing::Test {
protected:
    void SetUp() override {
        struct stat st{};
        if (stat(kPhoto, &st) != 0) GTEST_SKIP() << kPhoto << " is missing (mate-backgrounds)";
        if (stat(TextModel().c_str(), &st) != 0) GTEST_SKIP() << "no text detection model at " << TextModel() << " (scripts/setup_model.sh)";
    }
    Scratch s;
};

// Guards: a translucent box repainted as a hole rather than un-blended (about 20 to 28 dB over
// its pixels), in the one-command path's temporal fill or in the spatial fill at --radius auto;
// frames without a subtitle touched; output that depends on --threads.
TEST_F(BoxFilm, TranslucentBoxIsUnblendedNotFilled) {
    ASSERT_TRUE(MakeFilms(s));
    ASSERT_EQ(RunSubremove(s.dir, {"-q", "--threads", "2", "burnt.mkv", "path.mkv"}).status, 0);
    ASSERT_EQ(RunSubremove(s.dir, {"-q", "--threads", "1", "burnt.mkv", "path1.mkv"}).status, 0);
    EXPECT_TRUE(ReadFile(s.Path("path.mkv")) == ReadFile(s.Path("path1.mkv")));
    ASSERT_EQ(RunSubremove(s.dir, {"-q", "--detect", "found", "burnt.mkv"}).status, 0);
    const Result autoRun = RunSubremove(s.dir, {"-q", "--threads", "2", "-x", "found/subs.bms", "--radius", "auto", "burnt.mkv", "auto.mkv"});
    ASSERT_EQ(autoRun.status, 0) << autoRun.err;
    ASSERT_EQ(RunSubremove(s.dir, {"-q", "--threads", "1", "-x", "found/subs.bms", "--radius", "auto", "burnt.mkv", "auto1.mkv"}).status, 0);
    EXPECT_TRUE(ReadFile(s.Path("auto.mkv")) == ReadFile(s.Path("auto1.mkv")));
    ASSERT_EQ(RunSubremove(s.dir, {"-q", "-x", "found/subs.bms", "--radius", "5", "burnt.mkv", "r5.mkv"}).status, 0);

    const std::vector<Picture> clean = ReadFrames(s, s.Path("clean.mkv"), kW, kH);
    const std::vector<Picture> burnt = ReadFrames(s, s.Path("burnt.mkv"), kW, kH);
    const std::vector<Picture> path = ReadFrames(s, s.Path("path.mkv"), kW, kH);
    const std::vector<Picture> spatial = ReadFrames(s, s.Path("auto.mkv"), kW, kH);
    const std::vector<Picture> module = ReadFrames(s, s.Path("r5.mkv"), kW, kH);
    ASSERT_EQ(path.size(), (size_t)kFrames);
    ASSERT_EQ(spatial.size(), (size_t)kFrames);
    ASSERT_EQ(module.size(), (size_t)kFrames);
    for (const auto &[first, last] : {std::pair{6, 30}, std::pair{40, 65}}) {
        const double before = DamagePsnr(burnt, clean, burnt, first, last, 6);
        const double filled = DamagePsnr(module, clean, burnt, first, last, 6);
        EXPECT_LT(before, 20) << first;
        EXPECT_GT(DamagePsnr(path, clean, burnt, first, last, 6), 30) << "one command, frames " << first << "-" << last;
        // The spatial fill repaints the glyphs from the box around them, over a textured picture.
        const double unblended = DamagePsnr(spatial, clean, burnt, first, last, 6);
        EXPECT_GT(unblended, 26) << "--radius auto, frames " << first;
        EXPECT_GT(unblended, filled + 5) << "--radius auto, frames " << first << ", the module at radius 5: " << filled;
    }
    for (int f : {0, 5, 35, 70}) {
        EXPECT_TRUE(path[f].px == burnt[f].px) << "frame " << f;
        EXPECT_TRUE(spatial[f].px == burnt[f].px) << "frame " << f;
    }
}

}  // namespace
