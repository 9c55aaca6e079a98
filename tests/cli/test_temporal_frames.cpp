// The temporal fill's view of decoded frames (cli/temporal_fill/temporal_frames.h), for every
// pixel format it takes: the planes hold each component's codes as FFmpeg's own reader reads
// them, and a frame given back with some samples changed differs from the decoded one in those
// samples' bits alone (alpha, padding bits and every other sample as decoded).
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cli/temporal_fill/temporal_frames.h"

namespace {

// Odd sizes: chroma of 4:2:x formats has a last column or row of half a block.
constexpr int kW = 37, kH = 21;

// Rows of the frame's plane p: chroma rows where it holds a chroma component.
int PlaneRows(const AVPixFmtDescriptor *d, int p) {
    for (int c = 1; c <= 2 && c < d->nb_components; ++c)
        if (d->comp[c].plane == p && !(d->flags & AV_PIX_FMT_FLAG_RGB)) return AV_CEIL_RSHIFT(kH, d->log2_chroma_h);
    return kH;
}

FramePtr RandomFrame(AVPixelFormat format, uint32_t seed) {
    FramePtr f(av_frame_alloc());
    f->format = format;
    f->width = kW;
    f->height = kH;
    EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
    std::mt19937 random(seed);
    for (int p = 0; p < 4 && f->buf[p]; ++p)
        for (size_t i = 0; i < f->buf[p]->size; ++i) f->buf[p]->data[i] = (uint8_t)random();
    // Words of 9 to 15 bits in planes of their own are read whole, as decoders write them: the
    // bits above the depth are zero.
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    if (!(d->flags & AV_PIX_FMT_FLAG_BE))
        for (int c = 0; c < d->nb_components; ++c) {
            const AVComponentDescriptor &comp = d->comp[c];
            if (comp.step != 2 || comp.shift != 0 || comp.offset != 0 || comp.depth <= 8 || comp.depth >= 16) continue;
            for (int y = 0; y < PlaneRows(d, comp.plane); ++y) {
                uint16_t *row = reinterpret_cast<uint16_t *>(f->data[comp.plane] + (ptrdiff_t)y * f->linesize[comp.plane]);
                for (int x = 0; x < f->linesize[comp.plane] / 2; ++x) row[x] &= (uint16_t)((1u << comp.depth) - 1);
            }
        }
    return f;
}

// Component c of row y as FFmpeg reads it.
std::vector<uint32_t> ReadRow(const AVFrame *f, int c, int y) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get((AVPixelFormat)f->format);
    const bool chroma = (c == 1 || c == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB);
    const int w = AV_CEIL_RSHIFT(kW, chroma ? d->log2_chroma_w : 0);
    std::vector<uint32_t> row((size_t)w);
    av_read_image_line2(row.data(), (const uint8_t **)f->data, f->linesize, d, 0, y, c, w, 0, 4);
    return row;
}

uint32_t PlaneSample(const temporal::PlaneRef &p, int x, int y) {
    const uint8_t *row = p.data + (ptrdiff_t)y * p.stride;
    return p.bytes == 1 ? row[x] : reinterpret_cast<const uint16_t *>(row)[x];
}

void SetPlaneSample(const temporal::PlaneRef &p, int x, int y, uint32_t v) {
    uint8_t *row = p.data + (ptrdiff_t)y * p.stride;
    if (p.bytes == 1) row[x] = (uint8_t)v;
    else reinterpret_cast<uint16_t *>(row)[x] = (uint16_t)v;
}

// The bits of the frame's bytes that hold sample x of component c's row y, marked in `bits`
// (one mask byte per frame byte of that plane), written independently of the code under test.
void MarkSample(const AVPixFmtDescriptor *d, const AVFrame *f, int c, int x, int y, std::vector<std::vector<uint8_t>> &bits) {
    const AVComponentDescriptor &comp = d->comp[c];
    const bool be = d->flags & AV_PIX_FMT_FLAG_BE;
    const uint64_t mask = ((1ull << comp.depth) - 1) << comp.shift;
    int bytes = comp.shift + comp.depth <= 8 ? 1 : comp.shift + comp.depth <= 16 ? 2 : 4;
    ptrdiff_t at = (ptrdiff_t)y * f->linesize[comp.plane] + (ptrdiff_t)x * comp.step + comp.offset + (bytes == 1 && be ? 1 : 0);
    for (int b = 0; b < bytes; ++b) {
        const int significance = be ? bytes - 1 - b : b;  // which byte of the word, from the lowest
        bits[(size_t)comp.plane][(size_t)(at + b)] |= (uint8_t)(mask >> (8 * significance));
    }
}

std::vector<AVPixelFormat> SupportedFormats() {
    std::vector<AVPixelFormat> formats;
    for (const AVPixFmtDescriptor *d = nullptr; (d = av_pix_fmt_desc_next(d));) {
        const AVPixelFormat f = av_pix_fmt_desc_get_id(d);
        if (TemporalFormatSupported(f, nullptr)) formats.push_back(f);
    }
    return formats;
}

TEST(TemporalFrames, TakesEveryIntegerLayoutAndRefusesTheRest) {
    for (AVPixelFormat f : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_RGB24, AV_PIX_FMT_BGR0, AV_PIX_FMT_RGBA, AV_PIX_FMT_ARGB, AV_PIX_FMT_NV12,
                            AV_PIX_FMT_NV21, AV_PIX_FMT_YUYV422, AV_PIX_FMT_UYVY422, AV_PIX_FMT_P010LE, AV_PIX_FMT_RGB48BE,
                            AV_PIX_FMT_RGBA64BE, AV_PIX_FMT_GRAY16BE, AV_PIX_FMT_YA8, AV_PIX_FMT_YA16BE, AV_PIX_FMT_X2RGB10LE,
                            AV_PIX_FMT_RGB565LE, AV_PIX_FMT_Y210LE, AV_PIX_FMT_YUVA420P, AV_PIX_FMT_GBRAP})
        EXPECT_TRUE(TemporalFormatSupported(f, nullptr)) << av_get_pix_fmt_name(f);
    for (AVPixelFormat f : {AV_PIX_FMT_PAL8, AV_PIX_FMT_MONOWHITE, AV_PIX_FMT_RGB4, AV_PIX_FMT_GRAYF32LE, AV_PIX_FMT_GBRPF32LE,
                            AV_PIX_FMT_BAYER_RGGB8, AV_PIX_FMT_UYYVYY411, AV_PIX_FMT_VAAPI}) {
        std::string why;
        EXPECT_FALSE(TemporalFormatSupported(f, &why)) << av_get_pix_fmt_name(f);
        EXPECT_NE(why.find(av_get_pix_fmt_name(f)), std::string::npos) << why;
    }
}

// Guards a split that drops or misplaces a component: the planes of each format are its colour
// components in order, at their subsampling, alpha left out.
TEST(TemporalFrames, PlanesAreTheColourComponents) {
    struct Case {
        AVPixelFormat format;
        int planes, log2X, log2Y, maxValue;
        bool inPlace;
    };
    for (const Case &c : {Case{AV_PIX_FMT_YUV420P, 3, 1, 1, 255, true}, Case{AV_PIX_FMT_YUVA420P, 3, 1, 1, 255, true},
                          Case{AV_PIX_FMT_NV12, 3, 1, 1, 255, false}, Case{AV_PIX_FMT_YUYV422, 3, 1, 0, 255, false},
                          Case{AV_PIX_FMT_RGB24, 3, 0, 0, 255, false}, Case{AV_PIX_FMT_RGBA, 3, 0, 0, 255, false},
                          Case{AV_PIX_FMT_YA8, 1, 0, 0, 255, false}, Case{AV_PIX_FMT_P010LE, 3, 1, 1, 1023, false},
                          Case{AV_PIX_FMT_RGB565LE, 3, 0, 0, 63, false}, Case{AV_PIX_FMT_RGBA64BE, 3, 0, 0, 65535, false}}) {
        SCOPED_TRACE(av_get_pix_fmt_name(c.format));
        TemporalFrames frames(c.format, kW, kH);
        EXPECT_EQ(frames.InPlace(), c.inPlace);
        const FramePtr f = RandomFrame(c.format, 1);
        FillPicture p;
        frames.Decoded(f.get(), p);
        EXPECT_EQ(p.ref.planeCount, c.planes);
        EXPECT_EQ(p.ref.maxValue, c.maxValue);
        EXPECT_EQ(p.ref.planes[0].width, kW);
        EXPECT_EQ(p.ref.planes[0].height, kH);
        if (c.planes == 3) {
            EXPECT_EQ(p.ref.geometry[1].log2X, c.log2X);
            EXPECT_EQ(p.ref.geometry[2].log2Y, c.log2Y);
            EXPECT_EQ(p.ref.planes[1].width, AV_CEIL_RSHIFT(kW, c.log2X));
            EXPECT_EQ(p.ref.planes[2].height, AV_CEIL_RSHIFT(kH, c.log2Y));
        }
    }
}

// Guards a split or a write-back that is not exact, for every format taken: the planes hold the
// codes FFmpeg reads (shifted up where a component is narrower than the widest), and the frame
// given back differs from the decoded one only in the bits of the samples that were changed.
TEST(TemporalFrames, SplitAndWriteBackAreExactForEveryFormat) {
    const std::vector<AVPixelFormat> formats = SupportedFormats();
    EXPECT_GT(formats.size(), 150u);
    int split = 0;
    for (AVPixelFormat format : formats) {
        const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
        SCOPED_TRACE(d->name);
        TemporalFrames frames(format, kW, kH);
        split += frames.InPlace() ? 0 : 1;
        const FramePtr decoded = RandomFrame(format, (uint32_t)format);
        FillPicture picture;
        frames.Decoded(decoded.get(), picture);
        const int colour = d->nb_components - ((d->flags & AV_PIX_FMT_FLAG_ALPHA) ? 1 : 0);
        ASSERT_EQ(picture.ref.planeCount, colour);
        int widest = 0;
        for (int c = 0; c < colour; ++c) widest = std::max(widest, (int)d->comp[c].depth);
        for (int c = 0; c < colour; ++c) {
            const temporal::PlaneRef &plane = picture.ref.planes[c];
            const int up = widest - d->comp[c].depth;
            for (int y = 0; y < plane.height; ++y) {
                const std::vector<uint32_t> want = ReadRow(decoded.get(), c, y);
                ASSERT_EQ((int)want.size(), plane.width);
                for (int x = 0; x < plane.width; ++x) ASSERT_EQ(PlaneSample(plane, x, y), want[(size_t)x] << up) << c << " " << x << "," << y;
            }
        }

        // The fill changes a scattering of samples of every plane, as a hole would, and some it
        // writes with the value they had.
        FillPicture output;
        frames.Writable(decoded.get(), picture, output);
        std::vector<std::vector<uint8_t>> bits(4);
        for (int p = 0; p < 4; ++p)
            if (decoded->data[p]) bits[(size_t)p].assign((size_t)decoded->linesize[p] * PlaneRows(d, p), 0);
        std::mt19937 random(7);
        std::vector<std::vector<uint32_t>> changed((size_t)colour);
        for (int c = 0; c < colour; ++c) {
            const temporal::PlaneRef &plane = output.ref.planes[c];
            changed[(size_t)c].assign((size_t)plane.width * plane.height, UINT32_MAX);
            for (int y = 0; y < plane.height; ++y)
                for (int x = 0; x < plane.width; ++x) {
                    if (random() % 5 != 0) continue;
                    const uint32_t v = random() % 3 == 0 ? PlaneSample(plane, x, y) : random() % (uint32_t)(output.ref.maxValue + 1);
                    if (v == PlaneSample(plane, x, y)) continue;
                    SetPlaneSample(plane, x, y, v);
                    const int up = widest - d->comp[c].depth;
                    const uint32_t code = std::min<uint32_t>((v + (up ? 1u << (up - 1) : 0u)) >> up, (1u << d->comp[c].depth) - 1);
                    changed[(size_t)c][(size_t)y * plane.width + x] = code;
                    MarkSample(d, decoded.get(), c, x, y, bits);
                }
        }
        const FramePtr out = frames.Finish(decoded.get(), picture, output);
        ASSERT_TRUE(out);
        ASSERT_EQ(out->format, format);
        // Every component, alpha too, reads as decoded but where changed.
        for (int c = 0; c < d->nb_components; ++c) {
            const bool chroma = (c == 1 || c == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB);
            const int h = AV_CEIL_RSHIFT(kH, chroma ? d->log2_chroma_h : 0);
            for (int y = 0; y < h; ++y) {
                const std::vector<uint32_t> before = ReadRow(decoded.get(), c, y), after = ReadRow(out.get(), c, y);
                for (size_t x = 0; x < before.size(); ++x) {
                    const uint32_t want = c < colour && changed[(size_t)c][(size_t)y * before.size() + x] != UINT32_MAX
                                              ? changed[(size_t)c][(size_t)y * before.size() + x]
                                              : before[x];
                    ASSERT_EQ(after[x], want) << "component " << c << " at " << x << "," << y;
                }
            }
        }
        // And no bit outside the changed samples moved: padding bits and bytes stay as decoded.
        if (!frames.InPlace()) {
            for (int p = 0; p < 4 && decoded->data[p]; ++p) {
                const int rowBytes = av_image_get_linesize(format, kW, p);
                for (int y = 0; y < PlaneRows(d, p); ++y) {
                    for (int b = 0; b < rowBytes; ++b) {
                        const uint8_t was = decoded->data[p][(ptrdiff_t)y * decoded->linesize[p] + b];
                        const uint8_t is = out->data[p][(ptrdiff_t)y * out->linesize[p] + b];
                        ASSERT_EQ((was ^ is) & ~bits[(size_t)p][(size_t)y * decoded->linesize[p] + b], 0)
                            << "plane " << p << " row " << y << " byte " << b;
                    }
                }
            }
        }
    }
    EXPECT_GT(split, 60) << "formats split into planes";
}

// Guards output that changed when nothing was filled: a frame given back untouched is the decoded
// one byte for byte.
TEST(TemporalFrames, UntouchedFrameComesBackAsDecoded) {
    for (AVPixelFormat format : {AV_PIX_FMT_RGBA, AV_PIX_FMT_BGR0, AV_PIX_FMT_NV12, AV_PIX_FMT_YUYV422, AV_PIX_FMT_RGB48BE}) {
        SCOPED_TRACE(av_get_pix_fmt_name(format));
        TemporalFrames frames(format, kW, kH);
        const FramePtr decoded = RandomFrame(format, 3);
        FillPicture picture, output;
        frames.Decoded(decoded.get(), picture);
        frames.Writable(decoded.get(), picture, output);
        const FramePtr out = frames.Finish(decoded.get(), picture, output);
        for (int p = 0; p < 4 && decoded->data[p]; ++p) {
            for (int y = 0; y < PlaneRows(av_pix_fmt_desc_get(format), p); ++y)
                EXPECT_EQ(std::memcmp(decoded->data[p] + (ptrdiff_t)y * decoded->linesize[p], out->data[p] + (ptrdiff_t)y * out->linesize[p],
                                      (size_t)av_image_get_linesize(format, kW, p)),
                          0);
        }
    }
}

}  // namespace
