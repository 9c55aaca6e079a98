// subremove --fill temporal end to end: a pan under a burnt-in box is filled with the background
// that passed under it, in the film's own format and depth; the output does not depend on the
// thread count or the window; formats the fill cannot work on (paletted) are refused in one line.
#include "subremove_support.h"

#include <cmath>

using namespace subremove_test;

namespace {

constexpr int kFilmW = 320, kFilmH = 240, kFilmFrames = 36;
constexpr int kBoxX = 60, kBoxY = 150, kBoxW = 200, kBoxH = 20;
const char kPhoto[] = "/usr/share/backgrounds/mate/nature/Dune.jpg";

// A pan over a photograph, clean and with a white box burnt in on frames 6..14 and 18..28, both
// lossless, and the index with solid graymaps of the box.
class TemporalFillTest : public ::testing::Test {
protected:
    void MakeFilms(const std::string &pixFmt) {
        if (!Exists(kPhoto)) GTEST_SKIP() << kPhoto << " is missing (package mate-backgrounds)";
        const std::string ffmpeg = std::string(SR_FFMPEG) + " -v error -y ";
        ASSERT_EQ(Shell(ffmpeg + "-loop 1 -i " + kPhoto + " -frames:v " + std::to_string(kFilmFrames) + " -vf \"scale=640:480,crop=" +
                        std::to_string(kFilmW) + ":" + std::to_string(kFilmH) + ":x='100+3*n':y='80+n',format=" + pixFmt +
                        "\" -c:v ffv1 '" + s.Path("clean.mkv") + "'"),
                  0);
        // The box is laid over the clean film in its own format, so every other sample stays clean.
        const std::string depth = pixFmt.find("10") != std::string::npos ? "yuv420p10" : "yuv420";
        ASSERT_EQ(Shell(ffmpeg + "-i '" + s.Path("clean.mkv") + "' -f lavfi -i color=white:s=" + std::to_string(kBoxW) + "x" +
                        std::to_string(kBoxH) + " -filter_complex \"[1:v]format=" + pixFmt + "[w];[0:v][w]overlay=x=" +
                        std::to_string(kBoxX) + ":y=" + std::to_string(kBoxY) + ":format=" + depth +
                        ":shortest=1:enable='between(n,6,14)+between(n,18,28)',format=" + pixFmt + "\" -c:v ffv1 '" +
                        s.Path("burnt.mkv") + "'"),
                  0);
        Shell("mkdir -p '" + s.Path("subs") + "'");
        const std::vector<uint8_t> solid((size_t)kBoxW * kBoxH, 255);
        WriteGraymap(s, 0, kBoxW, kBoxH, solid);
        WriteGraymap(s, 1, kBoxW, kBoxH, solid);
        WriteFile(s.Path("subs/film.bms"), "2\n1,6,14," + std::to_string(kBoxX) + "," + std::to_string(kBoxY) + "\n2,18,28," +
                                               std::to_string(kBoxX) + "," + std::to_string(kBoxY) + "\n");
    }
    Result Clean(const std::string &out, std::vector<std::string> extra) {
        std::vector<std::string> args = {"-y", "-q", "-x", s.Path("subs/film.bms"), "--radius", "2", s.Path("burnt.mkv"), s.Path(out)};
        args.insert(args.begin(), extra.begin(), extra.end());
        return RunSubremove(s.dir, args);
    }
    // Luma of every frame as 16-bit words, whatever the depth.
    std::vector<uint16_t> Luma(const std::string &film) {
        const std::string raw = s.Path("luma.raw");
        Shell(std::string(SR_FFMPEG) + " -v error -y -i '" + s.Path(film) + "' -map 0:v -f rawvideo -pix_fmt gray16le '" + raw + "'");
        const std::string data = ReadFile(raw);
        std::vector<uint16_t> y(data.size() / 2);
        std::memcpy(y.data(), data.data(), y.size() * 2);
        return y;
    }
    // Root mean square error of the box's luma (16-bit scale) against the clean film, over the
    // subtitle frames.
    double BoxError(const std::string &film) {
        const std::vector<uint16_t> got = Luma(film), want = Luma("clean.mkv");
        EXPECT_EQ(got.size(), want.size());
        double se = 0;
        int64_t n = 0;
        for (int f = 0; f < kFilmFrames; ++f) {
            if (!((f >= 6 && f <= 14) || (f >= 18 && f <= 28))) continue;
            for (int y = kBoxY; y < kBoxY + kBoxH; ++y)
                for (int x = kBoxX; x < kBoxX + kBoxW; ++x) {
                    const size_t i = ((size_t)f * kFilmH + y) * kFilmW + x;
                    if (i >= got.size() || i >= want.size()) return 1e9;
                    se += ((double)got[i] - want[i]) * ((double)got[i] - want[i]);
                    ++n;
                }
        }
        return std::sqrt(se / (double)n);
    }
    Scratch s;
};

// Guards a fill that does not reach the revealed background: on a pan, the box must come out
// close to the clean film, far closer than the spatial repaint gets.
TEST_F(TemporalFillTest, PanIsFilledWithTheRevealedBackground) {
    MakeFilms("yuv420p");
    ASSERT_EQ(Clean("spatial.mkv", {}).status, 0);
    const Result r = Clean("temporal.mkv", {"--fill", "temporal"});
    ASSERT_EQ(r.status, 0) << r.err;
    const double spatial = BoxError("spatial.mkv"), temporal = BoxError("temporal.mkv");
    EXPECT_LT(temporal, spatial / 3) << "spatial " << spatial << ", temporal " << temporal;
    EXPECT_LT(temporal, 12.0 * 256) << "more than 12 codes of 8 bits off on average";
}

// Guards a fill that goes through 8 bits: a 10-bit film keeps its format and gets 10-bit samples.
TEST_F(TemporalFillTest, TenBitFilmGetsTenBitFills) {
    MakeFilms("yuv420p10le");
    const Result r = Clean("temporal.mkv", {"--fill", "temporal"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Tool(std::string(SR_FFPROBE) + " -v error -select_streams v -show_entries stream=pix_fmt -of csv=p=0 '" +
                       s.Path("temporal.mkv") + "'", s),
              "yuv420p10le\n");
    EXPECT_LT(BoxError("temporal.mkv"), 12.0 * 64);  // gray16 words of 10 bits carry six zero bits
    // Samples of the box that are not multiples of 4 exist only if the fill kept 10-bit precision.
    const std::vector<uint16_t> y = Luma("temporal.mkv");
    int64_t fine = 0;
    for (int x = kBoxX; x < kBoxX + kBoxW; ++x) fine += ((y[((size_t)10 * kFilmH + kBoxY + 8) * kFilmW + x] >> 6) & 3) != 0;
    EXPECT_GT(fine, kBoxW / 4);
}

// Guards output that depends on how the film is shared among threads, and the pipeline hanging
// when temporal workers hold frames for a window longer than a run (it did with PNG output).
TEST_F(TemporalFillTest, OutputDoesNotDependOnThreads) {
    MakeFilms("yuv420p");
    for (const char *window : {"8", "24"}) {
        std::string first;
        for (const char *threads : {"1", "2", "3"}) {
            const Result r = Clean("t.mkv", {"--fill", "temporal", "--temporal-window", window, "--threads", threads});
            ASSERT_EQ(r.status, 0) << r.err;
            const std::string bytes = ReadFile(s.Path("t.mkv"));
            if (first.empty()) first = bytes;
            EXPECT_TRUE(bytes == first) << "--threads " << threads << " --temporal-window " << window;
        }
    }
    Shell("mkdir -p '" + s.Path("seq") + "'");
    const Result png = Clean("seq/%03d.png", {"--fill", "temporal", "--threads", "2"});
    EXPECT_EQ(png.status, 0) << png.err;
}

// Guards the preview's temporal panel: it must be the frame the film gets, beside the others.
TEST_F(TemporalFillTest, PreviewShowsFourPanels) {
    MakeFilms("yuv420p");
    const Result r = RunSubremove(s.dir, {"-y", "-q", "-x", s.Path("subs/film.bms"), "--radius", "2", "--fill", "temporal",
                                          "--preview", "10", s.Path("p.png"), s.Path("burnt.mkv")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Tool(std::string(SR_FFPROBE) + " -v error -show_entries stream=width,height -of csv=p=0 '" + s.Path("p.png") + "'", s),
              std::to_string(kFilmW * 4) + "," + std::to_string(kFilmH) + "\n");
}

// Guards a crash or a silent spatial fill on a format the temporal fill cannot work on: palette
// indices are no samples to carry or blend. (Packed and semi-planar films are taken: see
// test_temporal_formats.cpp.)
TEST_F(TemporalFillTest, PalettedFormatIsRefusedInOneLine) {
    if (!Exists(kPhoto)) GTEST_SKIP() << kPhoto << " is missing";
    MakeFilms("yuv420p");
    ASSERT_EQ(Shell(std::string(SR_FFMPEG) + " -v error -y -i '" + s.Path("burnt.mkv") + "' -pix_fmt pal8 -c:v rawvideo '" +
                    s.Path("paletted.nut") + "'"), 0);
    const Result r = RunSubremove(s.dir, {"-y", "-q", "-x", s.Path("subs/film.bms"), "--fill", "temporal", s.Path("paletted.nut"),
                                          s.Path("out.mkv")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error: --fill temporal: the temporal fill works on integer samples"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("pal8"), std::string::npos) << r.err;
    // One error line (after the note that FFV1 would get bgr0).
    size_t errors = 0;
    for (size_t at = r.err.find("error:"); at != std::string::npos; at = r.err.find("error:", at + 1)) ++errors;
    EXPECT_EQ(errors, 1u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    EXPECT_FALSE(Exists(s.Path("out.mkv")));
}

}  // namespace
