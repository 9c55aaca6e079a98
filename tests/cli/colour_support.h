// Helpers of the subremove colour tests: YUV films written sample by sample and tagged with a
// matrix and range, their planes read back with the ffmpeg tool, and the reference colour
// conversion (ITU-T H.273 quantisation with the BT.601, BT.709 and BT.2020 non-constant-luminance
// matrices, in double precision) that the expected values come from.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "subremove_support.h"

namespace colour_test {

using namespace subremove_test;

enum class Matrix { kBt601, kBt709, kBt2020 };

inline const char *Name(Matrix m) { return m == Matrix::kBt601 ? "BT.601" : m == Matrix::kBt709 ? "BT.709" : "BT.2020"; }

// Luma weights of red and blue.
inline void Weights(Matrix m, double &kr, double &kb) {
    switch (m) {
    case Matrix::kBt601: kr = 0.299, kb = 0.114; break;
    case Matrix::kBt709: kr = 0.2126, kb = 0.0722; break;
    case Matrix::kBt2020: kr = 0.2627, kb = 0.0593; break;
    }
}

// The ffmpeg tool's tag names: matrix, primaries and transfer of each standard.
inline std::string TagArgs(Matrix m, bool full) {
    const char *tags = m == Matrix::kBt601   ? " -colorspace smpte170m -color_primaries smpte170m -color_trc smpte170m"
                       : m == Matrix::kBt709 ? " -colorspace bt709 -color_primaries bt709 -color_trc bt709"
                                             : " -colorspace bt2020nc -color_primaries bt2020 -color_trc bt2020-10";
    return std::string(tags) + (full ? " -color_range pc" : " -color_range tv");
}

// A planar YUV pixel format: sample depth and chroma subsampling.
struct Layout {
    std::string pixFmt;
    int bits = 8;
    int shiftW = 1, shiftH = 1;  // log2 of the chroma subsampling
};

inline Layout LayoutOf(const std::string &pixFmt) {
    const int bits = pixFmt.find("p10") != std::string::npos ? 10 : 8;
    const bool is420 = pixFmt.find("420") != std::string::npos, is422 = pixFmt.find("422") != std::string::npos;
    return Layout{pixFmt, bits, is420 || is422 ? 1 : 0, is420 ? 1 : 0};
}

// Whether two formats store the same samples the same way (yuvj420p is yuv420p in full range).
inline bool SameLayout(const Layout &a, const Layout &b) { return a.bits == b.bits && a.shiftW == b.shiftW && a.shiftH == b.shiftH; }

// One decoded picture, samples widened to 16 bits; plane 0 is Y, 1 is U (Cb), 2 is V (Cr).
struct YuvFrame {
    int w = 0, h = 0, cw = 0, ch = 0;
    std::vector<uint16_t> plane[3];
    YuvFrame(const Layout &l, int width, int height)
        : w(width), h(height), cw((width + (1 << l.shiftW) - 1) >> l.shiftW), ch((height + (1 << l.shiftH) - 1) >> l.shiftH) {
        plane[0].assign((size_t)w * h, 0);
        plane[1].assign((size_t)cw * ch, 0);
        plane[2].assign((size_t)cw * ch, 0);
    }
    int Width(int p) const { return p == 0 ? w : cw; }
    int Height(int p) const { return p == 0 ? h : ch; }
    uint16_t &At(int p, int x, int y) { return plane[p][(size_t)y * Width(p) + x]; }
    uint16_t At(int p, int x, int y) const { return plane[p][(size_t)y * Width(p) + x]; }
};

// Planes as the rawvideo format stores them: 8-bit samples as bytes, deeper ones little-endian.
inline std::string RawOf(const std::vector<YuvFrame> &frames, const Layout &l) {
    std::string raw;
    for (const YuvFrame &f : frames)
        for (const auto &p : f.plane)
            for (uint16_t v : p) {
                raw += (char)(v & 0xFF);
                if (l.bits > 8) raw += (char)(v >> 8);
            }
    return raw;
}

// Decodes `file` into planes of layout `l` (converted by the ffmpeg tool when the file's own
// format is another); empty when it cannot be read.
inline std::vector<YuvFrame> ReadPlanes(const Scratch &s, const std::string &file, const Layout &l, int w, int h) {
    const std::string raw = s.Path("planes.raw");
    const std::string cmd =
        std::string(SR_FFMPEG) + " -v error -y -i '" + file + "' -map 0:v -f rawvideo -pix_fmt " + l.pixFmt + " '" + raw + "'";
    std::vector<YuvFrame> frames;
    if (Shell(cmd) != 0) return frames;
    const std::string data = ReadFile(raw);
    const size_t bytes = l.bits > 8 ? 2 : 1;
    size_t at = 0;
    for (;;) {
        YuvFrame f(l, w, h);
        const size_t size = (f.plane[0].size() + 2 * f.plane[1].size()) * bytes;
        if (at + size > data.size()) break;
        for (auto &p : f.plane)
            for (uint16_t &v : p) {
                v = (uint8_t)data[at];
                if (bytes == 2) v |= (uint16_t)((uint8_t)data[at + 1] << 8);
                at += bytes;
            }
        frames.push_back(std::move(f));
    }
    return frames;
}

// A colour in code values at a film's depth.
struct Yuv {
    double y, u, v;
};

// H.273 quantisation: code = offset + scale * E', with E'Y in [0, 1] and E'Pb, E'Pr in [-0.5, 0.5].
struct Quantisation {
    double yOffset, yScale, cOffset, cScale;
};

inline Quantisation QuantisationOf(bool full, int bits) {
    const double step = std::ldexp(1.0, bits - 8);
    if (full) {
        const double top = std::ldexp(1.0, bits) - 1;
        return {0, top, std::ldexp(1.0, bits - 1), top};
    }
    return {16 * step, 219 * step, 128 * step, 224 * step};
}

// Samples of a legal colour's range: [lo, hi] for luma (c = 0) or chroma (c = 1).
inline int LowestCode(bool full, int bits) { return full ? 0 : 16 << (bits - 8); }
inline int HighestCode(bool full, int bits, int c) { return full ? (1 << bits) - 1 : (c == 0 ? 235 : 240) << (bits - 8); }

// Reference, one way: the YUV colour -> R'G'B' with matrix `m`, each rounded to 8 bits and
// clamped to 0..255 (what the module's 0x00RRGGBB pixels hold).
inline Rgb ToRgb8(const Yuv &c, Matrix m, bool full, int bits) {
    double kr = 0, kb = 0;
    Weights(m, kr, kb);
    const Quantisation q = QuantisationOf(full, bits);
    const double y = (c.y - q.yOffset) / q.yScale, pb = (c.u - q.cOffset) / q.cScale, pr = (c.v - q.cOffset) / q.cScale;
    const double r = y + 2 * (1 - kr) * pr, b = y + 2 * (1 - kb) * pb, g = (y - kr * r - kb * b) / (1 - kr - kb);
    const auto to8 = [](double e) { return (uint8_t)std::clamp(std::round(e * 255), 0.0, 255.0); };
    return Rgb{to8(r), to8(g), to8(b)};
}

// And back: 8-bit R'G'B' -> YUV with the same matrix, range and depth, rounded to whole codes.
inline Yuv FromRgb8(const Rgb &c, Matrix m, bool full, int bits) {
    double kr = 0, kb = 0;
    Weights(m, kr, kb);
    const Quantisation q = QuantisationOf(full, bits);
    const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
    const double y = kr * r + (1 - kr - kb) * g + kb * b;
    return {std::round(q.yOffset + q.yScale * y), std::round(q.cOffset + q.cScale * (b - y) / (2 * (1 - kb))),
            std::round(q.cOffset + q.cScale * (r - y) / (2 * (1 - kr)))};
}

// A rectangle of luma samples, [x0, x1) x [y0, y1).
struct Rect {
    int x0, y0, x1, y1;
    bool Contains(int x, int y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
    Rect Grown(int by) const { return {x0 - by, y0 - by, x1 + by, y1 + by}; }
};

// Whether the sample (x, y) of plane p lies in `r` (for chroma: all the luma samples it covers).
inline bool SampleIn(const Rect &r, const Layout &l, int p, int x, int y) {
    if (p == 0) return r.Contains(x, y);
    const int sw = 1 << l.shiftW, sh = 1 << l.shiftH;
    return x * sw >= r.x0 && (x + 1) * sw <= r.x1 && y * sh >= r.y0 && (y + 1) * sh <= r.y1;
}

// Whether the sample (x, y) of plane p covers any luma sample of `r`.
inline bool SampleTouches(const Rect &r, const Layout &l, int p, int x, int y) {
    if (p == 0) return r.Contains(x, y);
    const int sw = 1 << l.shiftW, sh = 1 << l.shiftH;
    return (x + 1) * sw > r.x0 && x * sw < r.x1 && (y + 1) * sh > r.y0 && y * sh < r.y1;
}

// Whether the sample (x, y) of plane p belongs to a chroma block (all the samples of every plane
// at one chroma position) that covers any luma sample of `r`.
inline bool BlockTouches(const Rect &r, const Layout &l, int p, int x, int y) {
    return p == 0 ? SampleTouches(r, l, 1, x >> l.shiftW, y >> l.shiftH) : SampleTouches(r, l, p, x, y);
}

// Deterministic noise over a plane's legal range.
class Noise {
public:
    explicit Noise(uint32_t seed) : state_(seed * 2654435761u + 1) {}
    int Next(int lo, int hi) {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return lo + (int)(state_ % (uint32_t)(hi - lo + 1));
    }

private:
    uint32_t state_;
};

// Fills every sample of `f` with noise, except `flat` (all samples inside it) with `colour` and
// `block` (inside `flat`) with `blockColour`.
inline void Paint(YuvFrame &f, const Layout &l, bool full, Noise &noise, const Rect &flat, const Yuv &colour, const Rect &block,
                  const Yuv &blockColour) {
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < f.Height(p); ++y)
            for (int x = 0; x < f.Width(p); ++x) {
                const double flatValue = p == 0 ? colour.y : p == 1 ? colour.u : colour.v;
                const double blockValue = p == 0 ? blockColour.y : p == 1 ? blockColour.u : blockColour.v;
                f.At(p, x, y) = SampleIn(block, l, p, x, y)  ? (uint16_t)blockValue
                                : SampleIn(flat, l, p, x, y) ? (uint16_t)flatValue
                                                             : (uint16_t)noise.Next(LowestCode(full, l.bits), HighestCode(full, l.bits, p));
            }
}

// Encodes raw frames into `film`: `codecArgs` picks the codec, `tagArgs` the colour tags.
inline void WriteYuvFilm(const Scratch &s, const std::vector<YuvFrame> &frames, const Layout &l, const std::string &codecArgs,
                         const std::string &tagArgs, const std::string &film) {
    WriteFile(s.Path("film.yuv"), RawOf(frames, l));
    const std::string size = std::to_string(frames[0].w) + "x" + std::to_string(frames[0].h);
    const std::string cmd = std::string(SR_FFMPEG) + " -v error -y -f rawvideo -pix_fmt " + l.pixFmt + " -s " + size +
                            " -framerate 12 -i '" + s.Path("film.yuv") + "' " + codecArgs + " -pix_fmt " + l.pixFmt + tagArgs +
                            " '" + s.Path(film) + "'";
    ASSERT_EQ(Shell(cmd), 0) << cmd;
}

// ffprobe's `key=value` of the video stream, e.g. ProbeVideo(s, file, "pix_fmt") -> "yuv420p".
inline std::string ProbeVideo(const Scratch &s, const std::string &file, const std::string &key) {
    std::string out = Tool(std::string(SR_FFPROBE) + " -v error -select_streams v:0 -show_entries stream=" + key +
                               " -of default=noprint_wrappers=1:nokey=1 '" + file + "'",
                           s);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// A subtitle index with one entry (frames first..last at `r`'s corner) and a solid graymap of r's size.
inline void WriteSolidSubtitle(const Scratch &s, int first, int last, const Rect &r) {
    Shell("mkdir -p '" + s.Path("subs") + "'");
    WriteFile(s.Path("subs/film.bms"), "1\n1," + std::to_string(first) + "," + std::to_string(last) + "," + std::to_string(r.x0) +
                                           "," + std::to_string(r.y0) + "\n");
    WriteGraymap(s, 0, r.x1 - r.x0, r.y1 - r.y0, std::vector<uint8_t>((size_t)(r.x1 - r.x0) * (r.y1 - r.y0), 255));
}

// Decodes `file` to rgb24 pictures of w x h with matrix `m` and the given range, whatever its
// tags say (by way of a lossless PNG sequence in `folder`).
inline std::vector<Picture> DecodeToRgb(const Scratch &s, const std::string &file, int w, int h, Matrix m, bool full,
                                        const std::string &folder) {
    const char *matrix = m == Matrix::kBt601 ? "bt601" : m == Matrix::kBt709 ? "bt709" : "bt2020";
    Shell("mkdir -p '" + s.Path(folder) + "'");
    const std::string cmd = std::string(SR_FFMPEG) + " -v error -y -i '" + file + "' -map 0:v -vf scale=in_color_matrix=" + matrix +
                            ":in_range=" + (full ? "pc" : "tv") + ":flags=accurate_rnd+full_chroma_int -pix_fmt rgb24 -start_number 0 '" +
                            s.Path(folder) + "/%03d.png'";
    if (Shell(cmd) != 0) return {};
    return ReadFrames(s, s.Path(folder) + "/%03d.png", w, h);
}

}  // namespace colour_test
