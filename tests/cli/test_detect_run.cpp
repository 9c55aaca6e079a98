// subremove --detect end to end: films made with the ffmpeg tool from a panned photograph, with
// SRT subtitles burnt in by libass at known frames, and films with no text.
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "subremove_support.h"

namespace {

using namespace subremove_test;

const char kPhoto[] = "/usr/share/backgrounds/mate/nature/Dune.jpg";
const char kFonts[] = "/usr/share/fonts/truetype/dejavu";

struct Sub {
    int first, last;
    std::string text;
};

// SRT time of frame boundary n - 0.5 at 25 frames/s, so that libass shows exactly first..last.
std::string SrtTime(int frame) {
    const int ms = std::max(0, frame * 40 - 20);
    char text[32];
    std::snprintf(text, sizeof(text), "00:%02d:%02d,%03d", ms / 60000, ms / 1000 % 60, ms % 1000);
    return text;
}

// 100 frames at 480x384 of a photograph panning 3 pixels a frame, with `subs` burnt in (white
// bold DejaVu, a dark outline `outline` script pixels wide: 4/3 of a picture pixel each) and
// `extra` drawn over the picture first; H.264 in film.mkv.
bool MakeFilm(const Scratch &s, const std::vector<Sub> &subs, const std::string &extra = "", const char *outline = "1.5") {
    std::string srt;
    for (size_t i = 0; i < subs.size(); ++i)
        srt += std::to_string(i + 1) + "\n" + SrtTime(subs[i].first) + " --> " + SrtTime(subs[i].last + 1) + "\n" + subs[i].text + "\n\n";
    WriteFile(s.Path("subs.srt"), srt);
    std::string filter = "scale=900:600,crop=480:384:x='3*n':y='100-0.3*n'" + (extra.empty() ? "" : "," + extra);
    if (!subs.empty()) {
        filter += ",subtitles=" + s.Path("subs.srt") + ":fontsdir=" + kFonts +
                  ":force_style='FontName=DejaVu Sans,Bold=1,FontSize=18,Outline=" + outline + ",Shadow=0'";
    }
    const std::string cmd = std::string(SR_FFMPEG) + " -v error -y -loop 1 -framerate 25 -i " + kPhoto + " -vf \"" + filter +
                            ",format=yuv420p\" -frames:v 100 -c:v libx264 -crf 16 '" + s.Path("film.mkv") + "'";
    return Shell(cmd) == 0;
}

std::vector<std::pair<int, int>> FoundRanges(const Scratch &s, const std::string &folder) {
    std::istringstream in(ReadFile(s.Path(folder + "/subs.bms")));
    std::vector<std::pair<int, int>> ranges;
    std::string token;
    in >> token;
    while (in >> token) {
        int n, first, last, x, y;
        if (std::sscanf(token.c_str(), "%d,%d,%d,%d,%d", &n, &first, &last, &x, &y) == 5) ranges.emplace_back(first, last);
    }
    return ranges;
}

class Detect : public ::testing::Test {
protected:
    void SetUp() override {
        struct stat st{};
        if (stat(kPhoto, &st) != 0) GTEST_SKIP() << kPhoto << " is missing (mate-backgrounds)";
    }
    Scratch s;
};

// Guards: ranges off by the detector's delay, graymaps missing or not where the index says, and
// the cleaning run not using what was found.
TEST_F(Detect, KnownRangesThenCleaned) {
    ASSERT_TRUE(MakeFilm(s, {{10, 44, "Where does the tide go?"}, {60, 94, "Nobody knows."}}));
    const Result r = RunSubremove(s.dir, {"--detect", "found", "film.mkv", "clean.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::pair<int, int>> expected = {{10, 44}, {60, 94}};
    EXPECT_EQ(FoundRanges(s, "found"), expected);
    for (int i = 0; i < 2; ++i) {
        const std::string pgm = ReadFile(s.Path("found/image_" + std::to_string(i) + ".pgm"));
        int w = 0, h = 0;
        ASSERT_EQ(std::sscanf(pgm.c_str(), "P5 %d %d", &w, &h), 2);
        // One line of bold text: wide and about a line high.
        EXPECT_GT(w, 4 * h);
        EXPECT_GT(h, 12);
    }
    EXPECT_NE(r.err.find("70 with a subtitle, 70 repainted"), std::string::npos) << r.err;
}

// Guards: a new text with no gap merged into the one before, or started late.
TEST_F(Detect, ChangeOfTextWithoutGap) {
    ASSERT_TRUE(MakeFilm(s, {{5, 49, "First we walk."}, {50, 94, "Then we run, fast."}}));
    const Result r = RunSubremove(s.dir, {"-q", "--detect", "found", "film.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::pair<int, int>> expected = {{5, 49}, {50, 94}};
    EXPECT_EQ(FoundRanges(s, "found"), expected);
}

// Guards: a static bright logo, or a film without text, giving index lines; a run after finding
// nothing failing instead of passing the film through.
TEST_F(Detect, StaticLogoAndNoTextGiveNothing) {
    ASSERT_TRUE(MakeFilm(s, {}, "drawbox=x=380:y=20:w=80:h=36:color=black:t=fill,drawbox=x=384:y=24:w=72:h=28:color=white:t=fill"));
    const Result r = RunSubremove(s.dir, {"--detect", "found", "film.mkv", "clean.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(FoundRanges(s, "found").empty());
    EXPECT_EQ(ReadFile(s.Path("found/subs.bms")), "0\n");
    EXPECT_NE(r.err.find("0 repainted"), std::string::npos) << r.err;
}

// Guards: another run's (or the recognition tool's) index overwritten without -y; --detect with
// -x; bad --detect-colour and --detect-region values taken.
TEST_F(Detect, KeepsAnExistingIndexAndRefusesBadFlags) {
    ASSERT_TRUE(MakeFilm(s, {{10, 60, "Keep me."}}));
    Shell("mkdir -p '" + s.Path("found") + "'");
    WriteFile(s.Path("found/subs.bms"), "1\n1,3,4,5,6\n");
    Result r = RunSubremove(s.dir, {"--detect", "found", "film.mkv"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(ReadFile(s.Path("found/subs.bms")), "1\n1,3,4,5,6\n");
    EXPECT_FALSE(Exists(s.Path("found/image_0.pgm")));
    r = RunSubremove(s.dir, {"-y", "-q", "--detect", "found", "film.mkv"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::pair<int, int>> expected = {{10, 60}};
    EXPECT_EQ(FoundRanges(s, "found"), expected);
    EXPECT_EQ(RunSubremove(s.dir, {"--detect", "f", "-x", "found/subs.bms", "film.mkv"}).status, 2);
    EXPECT_EQ(RunSubremove(s.dir, {"--detect", "f", "--detect-colour", "purple", "film.mkv"}).status, 2);
    EXPECT_EQ(RunSubremove(s.dir, {"--detect", "f", "--detect-region", "80:20", "film.mkv"}).status, 2);
}

// Guards: per-radius instances making the output depend on the thread count, auto not the radius
// after --detect, and --radius auto on an index written elsewhere failing.
TEST_F(Detect, AutoRadiusSameBytesForAnyThreads) {
    ASSERT_TRUE(MakeFilm(s, {{10, 44, "Where does the tide go?"}, {45, 80, "Out. And back in."}}));
    Result r = RunSubremove(s.dir, {"-q", "--detect", "found", "--threads", "1", "film.mkv", "one.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunSubremove(s.dir, {"-q", "-y", "--detect", "found", "--threads", "2", "film.mkv", "two.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadFile(s.Path("one.mkv")) == ReadFile(s.Path("two.mkv")));
    r = RunSubremove(s.dir, {"-q", "-x", "found/subs.bms", "--radius", "5", "film.mkv", "five.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(ReadFile(s.Path("one.mkv")) == ReadFile(s.Path("five.mkv")));
    r = RunSubremove(s.dir, {"-q", "-x", "found/subs.bms", "--radius", "auto", "film.mkv", "auto.mkv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Exists(s.Path("auto.mkv")));
}

// Red pixels of frame 30 of `folder`'s index in the mask mode at `radius`.
size_t MaskArea(const Scratch &s, const std::string &folder, const std::string &radius) {
    const Result r = RunSubremove(s.dir, {"-q", "-y", "--mode", "mask", "--radius", radius, "-x", folder + "/subs.bms", "-ss", "1.2",
                                          "--frames", "1", "film.mkv", "mask.mkv"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<Picture> frames = ReadFrames(s, s.Path("mask.mkv"), 480, 384);
    if (frames.size() != 1) return 0;
    size_t red = 0;
    for (const Rgb &c : frames[0].px) red += c.r > 200 && c.g < 60 && c.b < 60;
    return red;
}

// Guards: a widening that falls between two of the module's radii not reaching the module (auto
// masking as radius 2 or 3 does), the grown copies left in the temporary folder, and the user's
// own index or graymap changed.
TEST_F(Detect, AutoWidensBetweenTheModulesRadiiThroughTemporaryCopies) {
    // A 3-pixel outline and its anti-aliasing: 4 pixels, past radius 2 (3) and short of radius 3 (6).
    ASSERT_TRUE(MakeFilm(s, {{10, 60, "Where does the tide go?"}}, "", "2.25"));
    Result r = RunSubremove(s.dir, {"-q", "--detect", "found", "film.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string index = ReadFile(s.Path("found/subs.bms")), graymap = ReadFile(s.Path("found/image_0.pgm"));
    const std::string tmp = s.Path("tmp");
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    setenv("TMPDIR", tmp.c_str(), 1);
    const size_t two = MaskArea(s, "found", "2"), three = MaskArea(s, "found", "3"), automatic = MaskArea(s, "found", "auto");
    unsetenv("TMPDIR");
    EXPECT_GT(automatic, two);
    EXPECT_LT(automatic, three);
    EXPECT_TRUE(ListDir(tmp).empty());
    EXPECT_EQ(ReadFile(s.Path("found/subs.bms")), index);
    EXPECT_EQ(ReadFile(s.Path("found/image_0.pgm")), graymap);
    // Grown copies whose paths the filter cannot take: refused in one line, nothing left behind,
    // rather than a film with the subtitle still in it.
    const std::string deep = tmp + "/" + std::string(150, 'd') + "/" + std::string(100, 'e');
    ASSERT_EQ(Shell("mkdir -p '" + deep + "'"), 0);
    setenv("TMPDIR", deep.c_str(), 1);
    r = RunSubremove(s.dir, {"-q", "-x", "found/subs.bms", "--radius", "auto", "film.mkv", "deep.mkv"});
    unsetenv("TMPDIR");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("set TMPDIR to a shorter folder"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(s.Path("deep.mkv")));
    EXPECT_TRUE(ListDir(deep).empty());
}

}  // namespace
