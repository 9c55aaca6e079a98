// subremove --fill temporal end to end on films that are not planar: an RGBA PNG sequence keeps
// its alpha and every sample the fill did not change; rgb24, bgr0, nv12 and yuyv422 films come
// out in their own format, with every sample outside the hole (and bgr0's padding byte) as
// decoded, the box filled from the background that passed under it, and the same bytes with one
// thread or two.
#include "subremove_support.h"

extern "C" {
#include <libavutil/common.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <cmath>
#include <vector>

using namespace subremove_test;

namespace {

constexpr int kFilmW = 320, kFilmH = 240, kFilmFrames = 36;
constexpr int kBoxX = 60, kBoxY = 150, kBoxW = 200, kBoxH = 20;
// Samples this far from the box may belong to the hole (radius 2 widens by 3 pixels) or to a
// chroma block that does.
constexpr int kReach = 6;
const char kPhoto[] = "/usr/share/backgrounds/mate/nature/Dune.jpg";

bool Subtitled(int frame) { return (frame >= 6 && frame <= 14) || (frame >= 18 && frame <= 28); }

// Frames of raw video in one pixel format, as the ffmpeg tool writes them (planes one after
// another, rows without padding).
struct RawFilm {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    std::string data;
    size_t frameSize = 0;
    int Frames() const { return frameSize ? (int)(data.size() / frameSize) : 0; }
    // Component c of frame f along row y of its plane, `count` samples.
    std::vector<uint32_t> Row(int f, int c, int y, int count) const {
        const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
        uint8_t *planes[4];
        int linesize[4];
        av_image_fill_arrays(planes, linesize, reinterpret_cast<const uint8_t *>(data.data()) + (size_t)f * frameSize, format, kFilmW,
                             kFilmH, 1);
        std::vector<uint32_t> row((size_t)count);
        av_read_image_line2(row.data(), (const uint8_t **)planes, linesize, d, 0, y, c, count, 0, 4);
        return row;
    }
};

class TemporalFormatsTest : public ::testing::Test {
protected:
    // The clean pan over a photograph and the same with a white box burnt in on frames 6..14 and
    // 18..28, as rgb24 frames, and the index with solid graymaps of the box.
    void MakeFrames() {
        if (!Exists(kPhoto)) GTEST_SKIP() << kPhoto << " is missing (package mate-backgrounds)";
        ASSERT_EQ(Shell(std::string(SR_FFMPEG) + " -v error -y -loop 1 -i " + kPhoto + " -frames:v " + std::to_string(kFilmFrames) +
                        " -vf \"scale=640:480,crop=" + std::to_string(kFilmW) + ":" + std::to_string(kFilmH) +
                        ":x='100+3*n':y='80+n'\" -f rawvideo -pix_fmt rgb24 '" + s.Path("clean.rgb") + "'"),
                  0);
        clean = ReadFile(s.Path("clean.rgb"));
        ASSERT_EQ(clean.size(), (size_t)kFilmW * kFilmH * 3 * kFilmFrames);
        burnt = clean;
        for (int f = 0; f < kFilmFrames; ++f) {
            if (!Subtitled(f)) continue;
            for (int y = kBoxY; y < kBoxY + kBoxH; ++y)
                for (int x = kBoxX; x < kBoxX + kBoxW; ++x)
                    for (int k = 0; k < 3; ++k) burnt[(((size_t)f * kFilmH + y) * kFilmW + x) * 3 + k] = (char)255;
        }
        Shell("mkdir -p '" + s.Path("subs") + "'");
        const std::vector<uint8_t> solid((size_t)kBoxW * kBoxH, 255);
        WriteGraymap(s, 0, kBoxW, kBoxH, solid);
        WriteGraymap(s, 1, kBoxW, kBoxH, solid);
        WriteFile(s.Path("subs/film.bms"), "2\n1,6,14," + std::to_string(kBoxX) + "," + std::to_string(kBoxY) + "\n2,18,28," +
                                               std::to_string(kBoxX) + "," + std::to_string(kBoxY) + "\n");
    }

    // rgb24 frames as RGBA with an alpha of their own (a pattern that moves on its own, every
    // value from 0 to 255), the same for the clean and the burnt film.
    static std::string WithAlpha(const std::string &rgb) {
        std::string rgba;
        rgba.reserve(rgb.size() / 3 * 4);
        for (size_t i = 0; i < rgb.size() / 3; ++i) {
            const size_t pixel = i % ((size_t)kFilmW * kFilmH), frame = i / ((size_t)kFilmW * kFilmH);
            const size_t x = pixel % kFilmW, y = pixel / kFilmW;
            rgba += rgb.substr(i * 3, 3);
            rgba += (char)(uint8_t)(x * 7 + y * 3 + frame * 29);
        }
        return rgba;
    }

    // rgb24 frames in `format`, through the ffmpeg tool; bgr0's padding byte gets a pattern of
    // its own, which the film must keep.
    std::string Converted(const std::string &rgb, const std::string &format) {
        WriteFile(s.Path("in.rgb"), rgb);
        Shell(std::string(SR_FFMPEG) + " -v error -y -f rawvideo -pix_fmt rgb24 -s " + std::to_string(kFilmW) + "x" +
              std::to_string(kFilmH) + " -i '" + s.Path("in.rgb") + "' -f rawvideo -pix_fmt " + format + " '" + s.Path("out.raw") +
              "'");
        std::string raw = ReadFile(s.Path("out.raw"));
        if (format == "bgr0")
            for (size_t i = 3; i < raw.size(); i += 4) raw[i] = (char)(uint8_t)(i / 4 * 13 + 5);
        return raw;
    }

    // Raw frames of `format` into a lossless film that the ffmpeg tool and subremove read back in
    // that format: rawvideo in NUT.
    void WriteFilm(const std::string &raw, const std::string &format, const std::string &name) {
        WriteFile(s.Path("film.raw"), raw);
        ASSERT_EQ(Shell(std::string(SR_FFMPEG) + " -v error -y -f rawvideo -pix_fmt " + format + " -s " + std::to_string(kFilmW) + "x" +
                        std::to_string(kFilmH) + " -r 25 -i '" + s.Path("film.raw") + "' -c:v rawvideo '" + s.Path(name) + "'"),
                  0);
    }

    RawFilm Decode(const std::string &input, AVPixelFormat format) {
        RawFilm film;
        film.format = format;
        Shell(std::string(SR_FFMPEG) + " -v error -y -i '" + input + "' -f rawvideo -pix_fmt " + av_get_pix_fmt_name(format) + " '" +
              s.Path("decoded.raw") + "'");
        film.data = ReadFile(s.Path("decoded.raw"));
        film.frameSize = (size_t)av_image_get_buffer_size(format, kFilmW, kFilmH, 1);
        return film;
    }

    std::string PixelFormatOf(const std::string &path) {
        return Tool(std::string(SR_FFPROBE) + " -v error -select_streams v -show_entries stream=pix_fmt -of csv=p=0 '" + path + "'", s);
    }

    Result Clean(const std::string &in, const std::string &out, std::vector<std::string> extra) {
        std::vector<std::string> args = {"-y", "-q", "-x", s.Path("subs/film.bms"), "--radius", "2", s.Path(in), s.Path(out)};
        args.insert(args.begin(), extra.begin(), extra.end());
        return RunSubremove(s.dir, args);
    }

    // Every sample of `got` that lies away from the box on a subtitle frame, or anywhere on
    // another frame, must be `want`'s (alpha and all); returns how many differ.
    static int64_t ChangedOutsideHole(const RawFilm &got, const RawFilm &want) {
        const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(got.format);
        int64_t changed = 0;
        for (int f = 0; f < want.Frames(); ++f)
            for (int c = 0; c < d->nb_components; ++c) {
                const bool chroma = (c == 1 || c == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB);
                const int sx = chroma ? d->log2_chroma_w : 0, sy = chroma ? d->log2_chroma_h : 0;
                const int w = AV_CEIL_RSHIFT(kFilmW, sx);
                for (int y = 0; y < AV_CEIL_RSHIFT(kFilmH, sy); ++y) {
                    const std::vector<uint32_t> a = got.Row(f, c, y, w), b = want.Row(f, c, y, w);
                    const bool nearRows = Subtitled(f) && ((y + 1) << sy) > kBoxY - kReach && (y << sy) < kBoxY + kBoxH + kReach;
                    for (int x = 0; x < w; ++x) {
                        const bool nearBox = nearRows && ((x + 1) << sx) > kBoxX - kReach && (x << sx) < kBoxX + kBoxW + kReach;
                        if (!nearBox && a[(size_t)x] != b[(size_t)x]) ++changed;
                    }
                }
            }
        return changed;
    }

    // Root mean square error of component c (at full resolution) over the box on the subtitle frames.
    static double BoxError(const RawFilm &got, const RawFilm &want, int c) {
        double se = 0;
        int64_t n = 0;
        for (int f = 0; f < kFilmFrames; ++f) {
            if (!Subtitled(f)) continue;
            for (int y = kBoxY; y < kBoxY + kBoxH; ++y) {
                const std::vector<uint32_t> a = got.Row(f, c, y, kFilmW), b = want.Row(f, c, y, kFilmW);
                for (int x = kBoxX; x < kBoxX + kBoxW; ++x) {
                    const double e = (double)a[(size_t)x] - (double)b[(size_t)x];
                    se += e * e;
                    ++n;
                }
            }
        }
        return std::sqrt(se / (double)n);
    }

    Scratch s;
    std::string clean, burnt;  // rgb24 frames
};

// The test: a PNG (rgba) sequence through the temporal fill keeps its alpha and every
// unchanged sample. Guards an alpha the fill repaints or drops, packed samples written back
// where nothing was filled, and a silent fall back to the spatial fill.
TEST_F(TemporalFormatsTest, RgbaPngSequenceKeepsAlphaAndEveryUnchangedSample) {
    MakeFrames();
    WriteFile(s.Path("burnt.rgba"), WithAlpha(burnt));
    Shell("mkdir -p '" + s.Path("in") + "' '" + s.Path("out") + "' '" + s.Path("spatial") + "'");
    ASSERT_EQ(Shell(std::string(SR_FFMPEG) + " -v error -y -f rawvideo -pix_fmt rgba -s " + std::to_string(kFilmW) + "x" +
                    std::to_string(kFilmH) + " -i '" + s.Path("burnt.rgba") + "' -start_number 0 '" + s.Path("in/%03d.png") + "'"),
              0);
    ASSERT_EQ(PixelFormatOf(s.Path("in/000.png")), "rgba\n");
    const Result r = Clean("in/%03d.png", "out/%03d.png", {"--fill", "temporal"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(Clean("in/%03d.png", "spatial/%03d.png", {"--fill", "spatial"}).status, 0);
    EXPECT_EQ(PixelFormatOf(s.Path("out/010.png")), "rgba\n");

    const RawFilm in = Decode(s.Path("in/%03d.png"), AV_PIX_FMT_RGBA), out = Decode(s.Path("out/%03d.png"), AV_PIX_FMT_RGBA);
    ASSERT_EQ(out.Frames(), kFilmFrames);
    // Alpha: every sample of every frame, the box's too.
    int64_t alphaChanged = 0;
    for (int f = 0; f < kFilmFrames; ++f)
        for (int y = 0; y < kFilmH; ++y) {
            const std::vector<uint32_t> a = out.Row(f, 3, y, kFilmW), b = in.Row(f, 3, y, kFilmW);
            for (int x = 0; x < kFilmW; ++x) alphaChanged += a[(size_t)x] != b[(size_t)x];
        }
    EXPECT_EQ(alphaChanged, 0);
    EXPECT_EQ(ChangedOutsideHole(out, in), 0);
    // Frames without a subtitle are the input's files, byte for byte.
    for (const char *name : {"000.png", "016.png", "035.png"})
        EXPECT_TRUE(ReadFile(s.Path(std::string("out/") + name)) == ReadFile(s.Path(std::string("in/") + name))) << name;

    // And the box got the background that passed under it, far closer than the spatial repaint.
    WriteFile(s.Path("clean.rgba"), WithAlpha(clean));
    RawFilm truth;
    truth.format = AV_PIX_FMT_RGBA;
    truth.data = ReadFile(s.Path("clean.rgba"));
    truth.frameSize = (size_t)kFilmW * kFilmH * 4;
    const RawFilm spatial = Decode(s.Path("spatial/%03d.png"), AV_PIX_FMT_RGBA);
    for (int c = 0; c < 3; ++c) {
        const double temporal = BoxError(out, truth, c), repaint = BoxError(spatial, truth, c);
        EXPECT_LT(temporal, repaint / 3) << "component " << c << ": spatial " << repaint << ", temporal " << temporal;
        EXPECT_LT(temporal, 12.0) << "component " << c;
    }
}

// Packed RGB with and without a padding byte, semi-planar and packed YUV: each film comes out in
// its own format, every sample away from the box (and bgr0's padding byte everywhere) as decoded,
// the box filled from the pan, and the same bytes with one thread and with two. Guards a split
// that scrambles components or subsampling, a write-back beyond the hole, and a format that
// falls back to the spatial fill or is converted on the way out.
TEST_F(TemporalFormatsTest, PackedAndSemiPlanarFilmsKeepTheirFormatAndSamples) {
    MakeFrames();
    for (const char *format : {"rgb24", "bgr0", "nv12", "yuyv422"}) {
        SCOPED_TRACE(format);
        const AVPixelFormat id = av_get_pix_fmt(format);
        WriteFilm(Converted(burnt, format), format, "burnt.nut");
        WriteFilm(Converted(clean, format), format, "clean.nut");
        const Result r = Clean("burnt.nut", "t1.nut", {"--fill", "temporal", "--codec", "rawvideo", "--threads", "1"});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(Clean("burnt.nut", "t2.nut", {"--fill", "temporal", "--codec", "rawvideo", "--threads", "2"}).status, 0);
        ASSERT_EQ(Clean("burnt.nut", "spatial.nut", {"--fill", "spatial", "--codec", "rawvideo"}).status, 0);
        EXPECT_EQ(PixelFormatOf(s.Path("t1.nut")), std::string(format) + "\n");

        const RawFilm in = Decode(s.Path("burnt.nut"), id), out = Decode(s.Path("t1.nut"), id);
        ASSERT_EQ(out.Frames(), kFilmFrames);
        EXPECT_TRUE(out.data == Decode(s.Path("t2.nut"), id).data) << "--threads 2 gave other samples than --threads 1";
        EXPECT_EQ(ChangedOutsideHole(out, in), 0);
        if (id == AV_PIX_FMT_BGR0) {
            int64_t padding = 0;
            for (size_t i = 3; i < in.data.size(); i += 4) padding += in.data[i] != out.data[i];
            EXPECT_EQ(padding, 0) << "padding bytes changed";
        }
        const RawFilm truth = Decode(s.Path("clean.nut"), id), spatial = Decode(s.Path("spatial.nut"), id);
        // (yuv420p gives the same figures: 5.8 codes against the spatial fill's 15.8.)
        const double temporal = BoxError(out, truth, 0), repaint = BoxError(spatial, truth, 0);
        EXPECT_LT(temporal, repaint / 2) << "spatial " << repaint << ", temporal " << temporal;
        EXPECT_LT(temporal, 12.0);
    }
}

}  // namespace
