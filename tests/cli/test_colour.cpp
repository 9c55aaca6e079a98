// End-to-end colour tests of subremove: YUV films of every common matrix, range, depth and chroma
// subsampling, written sample by sample and tagged by the ffmpeg tool, run through the binary,
// and read back plane by plane. Expected values come from the reference conversion in
// colour_support.h; nothing is taken from subremove's own conversion code.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "colour_support.h"

using namespace colour_test;

namespace {

// ---------------------------------------------------------------------------------------------
// Flat fields: a non-neutral flat band around a solid subtitle block, noise everywhere else

constexpr int kFlatW = 192, kFlatH = 144, kFlatFrames = 6, kFirstSub = 2, kLastSub = 4;
// The graymap's rectangle (aligned to every chroma grid); the area the filter may repaint, the
// mask widened by the radius; and the flat band around it that the repaint draws its samples from.
constexpr Rect kSub{64, 80, 128, 96};
constexpr int kRadius = 5;
const Rect kRepainted = kSub.Grown(kRadius);
const Rect kBand = kSub.Grown(16);

struct FlatCase {
    const char *name;
    const char *pixFmt;
    Matrix matrix;
    bool full;
};

// Every matrix with both ranges, every subsampling at 8 and 10 bits, and JPEG-style yuvj420p.
const FlatCase kFlatCases[] = {
    {"Bt601TvYuv420p", "yuv420p", Matrix::kBt601, false},
    {"Bt601Yuvj420p", "yuvj420p", Matrix::kBt601, true},
    {"Bt601PcYuv444p10", "yuv444p10le", Matrix::kBt601, true},
    {"Bt709TvYuv422p", "yuv422p", Matrix::kBt709, false},
    {"Bt709PcYuv420p", "yuv420p", Matrix::kBt709, true},
    {"Bt709TvYuv420p10", "yuv420p10le", Matrix::kBt709, false},
    {"Bt2020TvYuv420p10", "yuv420p10le", Matrix::kBt2020, false},
    {"Bt2020PcYuv422p10", "yuv422p10le", Matrix::kBt2020, true},
    {"Bt2020TvYuv444p", "yuv444p", Matrix::kBt2020, false},
};

// One case's film and subremove run, made once and shared by the checks below.
struct FlatRun {
    Scratch s;
    Layout layout;
    Result result;
    std::vector<YuvFrame> input, output;
    Yuv colour{};  // the band's colour as decoded from the input
};

const char *const kTagKeys[] = {"pix_fmt", "color_range", "color_space", "color_primaries", "color_transfer"};

class FlatFieldTest : public ::testing::TestWithParam<FlatCase> {
protected:
    static FlatRun &Run(const FlatCase &c) {
        static std::map<std::string, std::unique_ptr<FlatRun>> runs;
        std::unique_ptr<FlatRun> &run = runs[c.name];
        if (!run) {
            run = std::make_unique<FlatRun>();
            Make(c, *run);
        }
        return *run;
    }

    static void Make(const FlatCase &c, FlatRun &run) {
        const Scratch &s = run.s;
        const Layout l = LayoutOf(c.pixFmt);
        run.layout = l;
        const double step = 1 << (l.bits - 8);
        const Yuv colour{100 * step, 90 * step, 160 * step};
        const double mid = 1 << (l.bits - 1);
        const Yuv white{(double)HighestCode(c.full, l.bits, 0), mid, mid};
        std::vector<YuvFrame> frames;
        for (int f = 0; f < kFlatFrames; ++f) {
            YuvFrame frame(l, kFlatW, kFlatH);
            Noise noise((uint32_t)f + 1);
            const bool sub = f >= kFirstSub && f <= kLastSub;
            // Frames without a subtitle are noise all over, so any conversion of them shows.
            Paint(frame, l, c.full, noise, sub ? kBand : Rect{0, 0, 0, 0}, colour, sub ? kSub : Rect{0, 0, 0, 0}, white);
            frames.push_back(std::move(frame));
        }
        // FFV1 does not take yuvj420p; motion JPEG is where such films come from.
        const std::string codec = std::string(c.pixFmt) == "yuvj420p" ? "-c:v mjpeg -q:v 2" : "-c:v ffv1";
        WriteYuvFilm(s, frames, l, codec, TagArgs(c.matrix, c.full), "in.mkv");
        WriteSolidSubtitle(s, kFirstSub, kLastSub, kSub);
        // One thread: these tests look at colour only; what threads change is DeterminismTest's.
        run.result = RunSubremove(s.dir, {"--threads", "1", "--radius", std::to_string(kRadius), "--index", "subs/film.bms",
                                          "in.mkv", "out.mkv"});
        run.input = ReadPlanes(s, s.Path("in.mkv"), l, kFlatW, kFlatH);
        // The output is read in its own format when that stores samples like the input's.
        const std::string outFormat = ProbeVideo(s, s.Path("out.mkv"), "pix_fmt");
        const Layout outLayout = outFormat.empty() || !SameLayout(LayoutOf(outFormat), l) ? l : LayoutOf(outFormat);
        run.output = ReadPlanes(s, s.Path("out.mkv"), outLayout, kFlatW, kFlatH);
        if (!run.input.empty()) {
            const YuvFrame &f = run.input[kFirstSub];
            run.colour = {(double)f.At(0, kBand.x0, kBand.y0), (double)f.At(1, kBand.x0 >> l.shiftW, kBand.y0 >> l.shiftH),
                          (double)f.At(2, kBand.x0 >> l.shiftW, kBand.y0 >> l.shiftH)};
        }
    }

    // The run, with the film as planned and the output complete; fails the test otherwise.
    FlatRun *Ready() {
        FlatRun &run = Run(GetParam());
        EXPECT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_EQ(run.input.size(), (size_t)kFlatFrames) << "the input film could not be read back";
        EXPECT_EQ(run.output.size(), run.input.size()) << "frames in the output";
        if (run.result.status != 0 || run.input.size() != (size_t)kFlatFrames || run.output.size() != run.input.size()) return nullptr;
        return &run;
    }
};

// Guards: the wrong matrix, range or bit depth in either direction, or lost precision (e.g. a
// 10-bit film squeezed through 8-bit YUV), in the samples the filter repainted.
TEST_P(FlatFieldTest, RepaintedAreaIsTheInputColourRoundTrippedThroughEightBitRgb) {
    FlatRun *run = Ready();
    if (!run) return;
    const FlatCase &c = GetParam();
    const Layout &l = run->layout;
    // The band must have come back from the input's codec as one colour, or nothing below holds.
    int bandNotFlat = 0;
    for (int f = kFirstSub; f <= kLastSub; ++f)
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < run->input[f].Height(p); ++y)
                for (int x = 0; x < run->input[f].Width(p); ++x)
                    if (SampleIn(kBand, l, p, x, y) && !SampleTouches(kSub, l, p, x, y))
                        bandNotFlat += run->input[f].At(p, x, y) != (p == 0 ? run->colour.y : p == 1 ? run->colour.u : run->colour.v);
    ASSERT_EQ(bandNotFlat, 0) << "the input film's band is not flat";

    // The module repaints a flat surround of colour c with c, or where its truncated weighted
    // average falls just short, c - 1 in any channel: every such RGB colour, converted back, is
    // a right answer, and one 8-bit code either side of them all is allowed.
    const Rgb rgb = ToRgb8(run->colour, c.matrix, c.full, l.bits);
    double lowest[3] = {1e9, 1e9, 1e9}, highest[3] = {-1e9, -1e9, -1e9};
    for (int d = 0; d < 8; ++d) {
        const Rgb truncated{(uint8_t)std::max(rgb.r - (d & 1), 0), (uint8_t)std::max(rgb.g - (d >> 1 & 1), 0),
                         (uint8_t)std::max(rgb.b - (d >> 2 & 1), 0)};
        const Yuv back = FromRgb8(truncated, c.matrix, c.full, l.bits);
        const double v[3] = {back.y, back.u, back.v};
        for (int p = 0; p < 3; ++p) lowest[p] = std::min(lowest[p], v[p]), highest[p] = std::max(highest[p], v[p]);
    }
    const int tolerance = 1 << (l.bits - 8);  // one 8-bit code
    for (int f = kFirstSub; f <= kLastSub; ++f)
        for (int p = 0; p < 3; ++p) {
            int wrong = 0, worst = (int)lowest[p];
            double worstOff = 0;
            for (int y = 0; y < run->output[f].Height(p); ++y)
                for (int x = 0; x < run->output[f].Width(p); ++x) {
                    if (!BlockTouches(kRepainted, l, p, x, y)) continue;
                    const int v = run->output[f].At(p, x, y);
                    const double off = std::max(lowest[p] - v, v - highest[p]);
                    wrong += off > tolerance;
                    if (off > worstOff) worstOff = off, worst = v;
                }
            EXPECT_EQ(wrong, 0) << Name(c.matrix) << (c.full ? " full " : " limited ") << c.pixFmt << ", frame " << f << ", plane "
                                << "YUV"[p] << ": expected " << lowest[p] << ".." << highest[p] << " +-" << tolerance
                                << " for the input colour (" << run->colour.y << ", " << run->colour.u << ", " << run->colour.v
                                << "), RGB " << rgb << "; worst " << worst;
        }
}

// Guards: a whole-frame colour round trip, or converted blocks spilling past the chroma blocks
// of the repainted area, that changes samples the filter left alone on a frame with a subtitle.
TEST_P(FlatFieldTest, SamplesOutsideTheRepaintedAreaAreTheInputs) {
    FlatRun *run = Ready();
    if (!run) return;
    for (int f = kFirstSub; f <= kLastSub; ++f)
        for (int p = 0; p < 3; ++p) {
            int different = 0;
            for (int y = 0; y < run->output[f].Height(p); ++y)
                for (int x = 0; x < run->output[f].Width(p); ++x)
                    if (!BlockTouches(kRepainted, run->layout, p, x, y))
                        different += run->output[f].At(p, x, y) != run->input[f].At(p, x, y);
            EXPECT_EQ(different, 0) << GetParam().pixFmt << ", frame " << f << ", plane " << "YUV"[p];
        }
}

// Guards: frames without a subtitle converted at all (to RGB and back, or to another range or
// format) instead of passing through as decoded.
TEST_P(FlatFieldTest, FramesWithoutASubtitleAreByteIdentical) {
    FlatRun *run = Ready();
    if (!run) return;
    for (int f = 0; f < kFlatFrames; ++f) {
        if (f >= kFirstSub && f <= kLastSub) continue;
        for (int p = 0; p < 3; ++p) {
            EXPECT_TRUE(run->output[f].plane[p] == run->input[f].plane[p])
                << GetParam().pixFmt << ", frame " << f << ", plane " << "YUV"[p];
        }
    }
}

// Guards: the output written in another pixel format, range or matrix than the input's, or
// without the input's colour tags (so that players decode it with other colours).
TEST_P(FlatFieldTest, OutputKeepsTheInputsFormatRangeAndColourTags) {
    FlatRun &run = Run(GetParam());
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    const FlatCase &c = GetParam();
    EXPECT_EQ(ProbeVideo(run.s, run.s.Path("in.mkv"), "color_range"), c.full ? "pc" : "tv") << "the input is tagged as made";
    for (const char *key : kTagKeys) {
        const std::string in = ProbeVideo(run.s, run.s.Path("in.mkv"), key), out = ProbeVideo(run.s, run.s.Path("out.mkv"), key);
        // yuvj420p is yuv420p in full range: FFV1 writes it as that, with a pc tag.
        if (std::string(key) == "pix_fmt" && in == "yuvj420p" && out == "yuv420p") continue;
        EXPECT_EQ(out, in) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(Colours, FlatFieldTest, ::testing::ValuesIn(kFlatCases),
                         [](const ::testing::TestParamInfo<FlatCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// A smooth ramp through the YUV path and the RGB path

class ColourTest : public ::testing::Test {
protected:
    Scratch s;
};

// Guards: the YUV path's conversions (BT.709 matrix, limited range, chroma up- and
// down-sampling) giving the filter other colours than the RGB path gives it, or bringing back
// other colours than it repainted.
TEST_F(ColourTest, Bt709RampRepaintedThroughYuvMatchesTheRgbPath) {
    const int w = 192, h = 144, frames = 4, radius = 5;
    const Rect sub{64, 80, 128, 96};
    std::vector<Picture> film;
    for (int f = 0; f < frames; ++f) {
        Picture p(w, h, Rgb{0, 0, 0});
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                p.At(x, y) = Rgb{(uint8_t)std::lround(40 + 0.5 * x + f), (uint8_t)std::lround(60 + 0.5 * y),
                                 (uint8_t)std::lround(200 - 0.25 * (x + y))};
        if (f == 1 || f == 2) p.Fill(sub.x0, sub.y0, sub.x1, sub.y1, kWhite);
        film.push_back(p);
    }
    WritePngSequence(s, "src", film);
    WriteSolidSubtitle(s, 1, 2, sub);
    const std::string make = std::string(SR_FFMPEG) + " -v error -y -framerate 12 -start_number 0 -i '" + s.Path("src/%03d.png") +
                             "' -vf scale=out_color_matrix=bt709:out_range=tv:flags=accurate_rnd+full_chroma_int,format=yuv420p -c:v ffv1" +
                             TagArgs(Matrix::kBt709, false) + " '" + s.Path("ramp.mkv") + "'";
    ASSERT_EQ(Shell(make), 0) << make;
    // The film really is BT.709: its luma is the reference BT.709 luma of the ramp.
    const std::vector<YuvFrame> planes = ReadPlanes(s, s.Path("ramp.mkv"), LayoutOf("yuv420p"), w, h);
    ASSERT_EQ(planes.size(), (size_t)frames);
    double kr = 0, kb = 0;
    Weights(Matrix::kBt709, kr, kb);
    int lumaOff = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb c = film[0].At(x, y);
            const double luma = 16 + 219 * (kr * c.r + (1 - kr - kb) * c.g + kb * c.b) / 255;
            lumaOff += std::abs(planes[0].At(0, x, y) - luma) > 1;
        }
    ASSERT_EQ(lumaOff, 0) << "the ramp film is not BT.709 limited range";

    Shell("mkdir -p '" + s.Path("clean") + "'");
    const std::string radiusArg = std::to_string(radius);
    Result yuv = RunSubremove(s.dir, {"--threads", "1", "--radius", radiusArg, "--index", "subs/film.bms", "ramp.mkv", "clean.mkv"});
    ASSERT_EQ(yuv.status, 0) << yuv.err;
    Result rgb =
        RunSubremove(s.dir, {"--threads", "1", "--radius", radiusArg, "--index", "subs/film.bms", "src/%03d.png", "clean/%03d.png"});
    ASSERT_EQ(rgb.status, 0) << rgb.err;
    const std::vector<Picture> viaYuv = DecodeToRgb(s, s.Path("clean.mkv"), w, h, Matrix::kBt709, false, "decoded");
    const std::vector<Picture> viaRgb = ReadFrames(s, s.Path("clean/%03d.png"), w, h);
    ASSERT_EQ(viaYuv.size(), (size_t)frames);
    ASSERT_EQ(viaRgb.size(), (size_t)frames);
    const Rect area = sub.Grown(radius);  // the mask widened by the radius: all the filter may repaint
    for (int f = 1; f <= 2; ++f) {
        ASSERT_FALSE(viaRgb[f].At(96, 88) == kWhite) << "the RGB path repainted the block";
        int off = 0, worst = 0;
        for (int y = area.y0; y < area.y1; ++y)
            for (int x = area.x0; x < area.x1; ++x) {
                const Rgb a = viaYuv[f].At(x, y), b = viaRgb[f].At(x, y);
                const int d = std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
                off += d > 2;
                worst = std::max(worst, d);
            }
        EXPECT_EQ(off, 0) << "frame " << f << ": pixels more than 2 apart per channel; worst " << worst;
    }
}

// ---------------------------------------------------------------------------------------------
// Determinism across runs and thread counts

struct ClipCase {
    const char *name;
    std::string tags;  // the ffmpeg tool's colour options
};

// in.mkv (FFV1, yuv420p with the ffmpeg tag arguments `tags`) and subs/: 26 frames of 128x128 noise
// (the least FFV1 codes in four slices; three key-frame groups), a solid subtitle on frames 5-20.
void WriteNoisyFilmWithSubtitle(Scratch &s, uint32_t seed, const std::string &tags) {
    const int w = 128, h = 128, frames = 26;
    const Rect sub{32, 64, 96, 80};
    const Layout l = LayoutOf("yuv420p");
    const bool full = tags.find("pc") != std::string::npos;
    std::vector<YuvFrame> film;
    for (int f = 0; f < frames; ++f) {
        YuvFrame frame(l, w, h);
        Noise noise((uint32_t)f + seed);
        const bool subtitled = f >= 5 && f <= 20;
        const Rect none{0, 0, 0, 0};
        Paint(frame, l, full, noise, subtitled ? sub.Grown(8) : none, Yuv{120, 100, 150}, subtitled ? sub : none, Yuv{230, 128, 128});
        film.push_back(std::move(frame));
    }
    WriteYuvFilm(s, film, l, "-c:v ffv1", tags, "in.mkv");
    WriteSolidSubtitle(s, 5, 20, sub);
}

class DeterminismTest : public ::testing::TestWithParam<ClipCase> {
protected:
    Scratch s;
};

// Guards: colour conversion state shared between filter or encoder threads, or left over from
// an earlier frame, that makes the bytes depend on --threads or on the run.
TEST_P(DeterminismTest, FiveRunsWithOneTwoAndThreeThreadsGiveTheSameFile) {
    WriteNoisyFilmWithSubtitle(s, 7, GetParam().tags);
    std::string first;
    std::vector<std::string> different;
    for (int run = 0; run < 5; ++run)
        for (int threads = 1; threads <= 3; ++threads) {
            const std::string out = "out" + std::to_string(run) + "_" + std::to_string(threads) + ".mkv";
            Result r = RunSubremove(s.dir, {"--threads", std::to_string(threads), "--index", "subs/film.bms", "in.mkv", out});
            ASSERT_EQ(r.status, 0) << r.err;
            const std::string bytes = ReadFile(s.Path(out));
            ASSERT_GT(bytes.size(), 1000u);
            if (first.empty()) first = bytes;
            else if (bytes != first) different.push_back(out);
            std::remove(s.Path(out).c_str());
        }
    EXPECT_TRUE(different.empty()) << different.size() << " of 14 files differ from the first, e.g. "
                                   << (different.empty() ? "" : different[0]);
}

// Guards the staged run with fewer filter instances than threads (one beside x264 at two and three
// threads): frames handed to a worker that does not exist, lost or put out of order.
TEST(Determinism, OneInstanceBesideX264GivesTheFileOfOneThread) {
    Scratch s;
    WriteNoisyFilmWithSubtitle(s, 3, "");
    std::string first;
    for (int threads = 1; threads <= 3; ++threads) {
        const std::string out = "out" + std::to_string(threads) + ".mp4";
        Result r = RunSubremove(s.dir, {"-q", "--threads", std::to_string(threads), "--codec-opt", "threads=1", "--index",
                                        "subs/film.bms", "in.mkv", out});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string bytes = ReadFile(s.Path(out));
        ASSERT_GT(bytes.size(), 1000u);
        if (first.empty()) first = bytes;
        else EXPECT_TRUE(bytes == first) << out << " differs from --threads 1";
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, DeterminismTest,
                         ::testing::Values(ClipCase{"Untagged", ""}, ClipCase{"Bt709", TagArgs(Matrix::kBt709, false)},
                                           ClipCase{"FullRange", " -color_range pc"}),
                         [](const ::testing::TestParamInfo<ClipCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Sizes the encoder cannot take in the input's format

class OddSizeTest : public ::testing::TestWithParam<const char *> {
protected:
    Scratch s;
};

// Guards: an odd-sized film into H.264 failing with only the library's "Generic error", or
// written in a format that was not said.
TEST_P(OddSizeTest, IntoMp4EitherSaysTheChosenFormatOrNamesTheRealReason) {
    const int w = 193, h = 145, frames = 4;
    const Rect sub{64, 80, 128, 96};
    const Layout l = LayoutOf(GetParam());
    std::vector<YuvFrame> film;
    for (int f = 0; f < frames; ++f) {
        YuvFrame frame(l, w, h);
        Noise noise((uint32_t)f + 3);
        Paint(frame, l, false, noise, sub.Grown(16), Yuv{100, 90, 160}, f == 1 || f == 2 ? sub : Rect{0, 0, 0, 0}, Yuv{235, 128, 128});
        film.push_back(std::move(frame));
    }
    WriteYuvFilm(s, film, l, "-c:v ffv1", TagArgs(Matrix::kBt601, false), "in.mkv");
    WriteSolidSubtitle(s, 1, 2, sub);
    Result r = RunSubremove(s.dir, {"--index", "subs/film.bms", "in.mkv", "out.mp4"});
    if (r.status == 0) {
        const std::string format = ProbeVideo(s, s.Path("out.mp4"), "pix_fmt");
        EXPECT_EQ(ProbeVideo(s, s.Path("out.mp4"), "width") + "x" + ProbeVideo(s, s.Path("out.mp4"), "height"), "193x145");
        ASSERT_FALSE(format.empty());
        EXPECT_NE(r.err.find(format), std::string::npos) << "standard error does not name " << format << ": " << r.err;
    } else {
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err.rfind("subremove: error: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("even"), std::string::npos) << "the message does not say that the size must be even: " << r.err;
        EXPECT_FALSE(Exists(s.Path("out.mp4")));
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, OddSizeTest, ::testing::Values("yuv420p", "yuv422p"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

}  // namespace
