// subremove INPUT OUTPUT with no index, end to end: a panned photograph with subtitles burnt in
// by libass in styles the outline-based search alone does not find (a CJK line with a light
// translucent shadow, a Latin line with a soft blurred shadow and no outline), judged against the
// clean film over the pixels the subtitles damaged.
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "subremove_support.h"

namespace {

using namespace subremove_test;

const char kPhoto[] = "/usr/share/backgrounds/mate/nature/Storm.jpg";
const char kCjkFont[] = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc";
constexpr int kW = 640, kH = 360, kFrames = 100;

// clean.mkv: the photograph panned; burnt.mkv: the same with two subtitles burnt in. Both FFV1,
// so that the damage is exactly where the two differ.
bool MakeFilms(const Scratch &s) {
    const std::string ass =
        "[Script Info]\nScriptType: v4.00+\nPlayResX: 640\nPlayResY: 360\n\n[V4+ Styles]\n"
        "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, "
        "Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, "
        "MarginV, Encoding\n"
        "Style: Cjk,Noto Sans CJK SC,30,&H00FFFFFF,&H00FFFFFF,&H00000000,&H80000000,0,0,0,0,100,100,0,0,1,0,1,2,10,10,"
        "20,1\n"
        "Style: Soft,DejaVu Sans,28,&H00F0F0F0,&H00FFFFFF,&H00000000,&H60000000,1,0,0,0,100,100,0,0,1,0,2,2,10,10,20,1\n"
        "\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
        "Dialogue: 0," + AssTime(8) + "," + AssTime(46) + ",Cjk,,0,0,0,,今天晚上我们一起去看电影\n"
        // A soft shadow as typesetters make it: the shadow alone, blurred, under the sharp text.
        "Dialogue: 0," + AssTime(56) + "," + AssTime(96) + ",Soft,,0,0,0,,{\\1a&HFF&\\blur3}The river keeps its secrets\n"
        "Dialogue: 1," + AssTime(56) + "," + AssTime(96) + ",Soft,,0,0,0,,{\\shad0}The river keeps its secrets\n";
    WriteFile(s.Path("subs.ass"), ass);
    const std::string scene = "scale=1000:560,crop=" + std::to_string(kW) + ":" + std::to_string(kH) + ":x='2.5*n':y='60+0.5*n',setsar=1";
    const std::string make = std::string(SR_FFMPEG) + " -v error -y -loop 1 -framerate 25 -i " + kPhoto + " -vf \"" + scene +
                             ",format=yuv420p\" -frames:v " + std::to_string(kFrames) + " -c:v ffv1 '" + s.Path("clean.mkv") + "'";
    const std::string burn = std::string(SR_FFMPEG) + " -v error -y -i '" + s.Path("clean.mkv") + "' -vf \"ass=" + s.Path("subs.ass") +
                             ":fontsdir=/usr/share/fonts,format=yuv420p\" -c:v ffv1 '" + s.Path("burnt.mkv") + "'";
    return Shell(make) == 0 && Shell(burn) == 0;
}

class OneCommand : public ::testing::Test {
protected:
    void SetUp() override {
        struct stat st{};
        if (stat(kPhoto, &st) != 0) GTEST_SKIP() << kPhoto << " is missing (mate-backgrounds)";
        if (stat(kCjkFont, &st) != 0) GTEST_SKIP() << kCjkFont << " is missing (fonts-noto-cjk)";
        if (stat(TextModel().c_str(), &st) != 0) GTEST_SKIP() << "no text detection model at " << TextModel() << " (scripts/setup_model.sh)";
    }
    Scratch s;
};

// Guards: a film without an index passing through with its subtitles in; CJK or soft-shadow
// subtitles missed, or cleaned only in part (a ghost of the shadow left); frames without a
// subtitle changed; the private folder of what was found left behind; output that depends on
// --threads.
TEST_F(OneCommand, CleansCjkAndSoftShadowSubtitlesWithoutAnIndex) {
    ASSERT_TRUE(MakeFilms(s));
    const std::string tmp = s.Path("tmp");
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    setenv("TMPDIR", tmp.c_str(), 1);
    const Result r = RunSubremove(s.dir, {"--threads", "2", "burnt.mkv", "out.mkv"});
    unsetenv("TMPDIR");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ListDir(tmp).empty());
    // The same film whatever the threads: the network's lines and the fill's chunks never depend on
    // which thread is first.
    const Result one = RunSubremove(s.dir, {"-q", "--threads", "1", "burnt.mkv", "one.mkv"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_TRUE(ReadFile(s.Path("out.mkv")) == ReadFile(s.Path("one.mkv")));

    const std::vector<Picture> clean = ReadFrames(s, s.Path("clean.mkv"), kW, kH);
    const std::vector<Picture> burnt = ReadFrames(s, s.Path("burnt.mkv"), kW, kH);
    const std::vector<Picture> out = ReadFrames(s, s.Path("out.mkv"), kW, kH);
    ASSERT_EQ(clean.size(), (size_t)kFrames);
    ASSERT_EQ(burnt.size(), (size_t)kFrames);
    ASSERT_EQ(out.size(), (size_t)kFrames);
    const struct {
        const char *name;
        int first, last;
    } subtitles[] = {{"CJK", 8, 45}, {"soft shadow", 56, 95}};
    for (const auto &sub : subtitles) {
        size_t damaged = 0;
        const double before = DamagePsnr(burnt, clean, burnt, sub.first, sub.last, 8, &damaged);
        const double after = DamagePsnr(out, clean, burnt, sub.first, sub.last, 8, &damaged);
        EXPECT_GT(damaged, 1000u) << sub.name;
        EXPECT_LT(before, 20) << sub.name;
        EXPECT_GT(after, 28) << sub.name << ": " << before << " dB burnt in";
    }
    // Frames without a subtitle come out as they went in.
    for (int f : {0, 7, 50, 55, 96, 99}) EXPECT_TRUE(out[f].px == burnt[f].px) << "frame " << f;
}

}  // namespace
