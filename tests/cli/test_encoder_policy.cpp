// The encoder policy on its own: which encoder, pixel format, settings and threads a film gets,
// from plain values, with no film and no encoder opened.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "cli/output/encoder_policy.h"

extern "C" {
#include <libavutil/pixdesc.h>
}
#include "cli/errors.h"

namespace {

EncoderCaps Caps(const std::string &name, std::vector<AVPixelFormat> formats) {
    EncoderCaps c;
    c.name = name;
    c.pixelFormats = std::move(formats);
    return c;
}

EncoderCaps Library(const char *name) {
    const AVCodec *codec = avcodec_find_encoder_by_name(name);
    return codec ? EncoderCaps::FromLibrary(codec) : EncoderCaps();
}

EncodeRequest Request(AVPixelFormat format, int w = 720, int h = 576, int threads = 2) {
    EncodeRequest r;
    r.outputPath = "out.mkv";
    r.width = w;
    r.height = h;
    r.inputFormat = format;
    r.inputRange = AVCOL_RANGE_MPEG;
    r.threads = threads;
    return r;
}

std::string Option(const EncodePlan &p, const std::string &key) {
    for (const auto &kv : p.options) {
        if (kv.first == key) return kv.second;
    }
    return "";
}

const EncoderCaps kX264 = Caps("libx264", {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P,
                                           AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV444P10LE});
const EncoderCaps kFfv1 = Caps("ffv1", {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUV420P10LE,
                                        AV_PIX_FMT_GBRP, AV_PIX_FMT_GBRP10LE, AV_PIX_FMT_0RGB32});

}  // namespace

// Guards a container that gets a lossy or unexpected encoder by default.
TEST(EncoderPolicy, TheContainerChoosesTheEncoder) {
    EXPECT_EQ(PreferredEncoderName("a/film.mkv", false), "ffv1");
    EXPECT_EQ(PreferredEncoderName("FILM.MKV", false), "ffv1");
    EXPECT_EQ(PreferredEncoderName("film.nut", false), "ffv1");
    EXPECT_EQ(PreferredEncoderName("film.mp4", false), "libx264");
    EXPECT_EQ(PreferredEncoderName("film.mov", false), "libx264");
    EXPECT_EQ(PreferredEncoderName("film.webm", false), "libvpx-vp9");
    // Image sequences and unknown containers keep the container's own encoder (PNG, TIFF, ...).
    EXPECT_EQ(PreferredEncoderName("frames/%05d.png", true), "");
    EXPECT_EQ(PreferredEncoderName("film.flv", false), "");
    // A dot in a folder name is no extension.
    EXPECT_EQ(PreferredEncoderName("my.mkv/film", false), "");
}

// Guards decoded samples that go through a conversion although the encoder could hold them.
TEST(EncoderPolicy, TheInputsOwnFormatIsKept) {
    for (AVPixelFormat f : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_GBRP10LE}) {
        const EncodePlan p = PlanEncoding(Request(f), kFfv1);
        EXPECT_EQ(p.pixelFormat, f) << av_get_pix_fmt_name(f);
        EXPECT_TRUE(p.keepsSamples);
        EXPECT_EQ(p.note, "");
    }
    EncodeRequest pc = Request(AV_PIX_FMT_YUV420P);
    pc.inputRange = AVCOL_RANGE_JPEG;
    EXPECT_EQ(PlanEncoding(pc, kFfv1).range, AVCOL_RANGE_JPEG);
}

// Guards yuvj input turned into tv-range samples (every pixel of a camera file changed).
TEST(EncoderPolicy, YuvjIsItsTwinWithThePcRange) {
    EncodeRequest r = Request(AV_PIX_FMT_YUVJ420P);
    r.inputRange = AVCOL_RANGE_UNSPECIFIED;
    for (const EncoderCaps &e : {kFfv1, kX264}) {
        const EncodePlan p = PlanEncoding(r, e);
        EXPECT_EQ(p.pixelFormat, AV_PIX_FMT_YUV420P) << e.name;
        EXPECT_EQ(p.range, AVCOL_RANGE_JPEG) << e.name;
        EXPECT_TRUE(p.keepsSamples) << e.name;
    }
    // An encoder that knows only the yuvj form still keeps the samples.
    const EncodePlan old = PlanEncoding(r, Caps("mjpeg", {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ444P}));
    EXPECT_EQ(old.pixelFormat, AV_PIX_FMT_YUVJ420P);
    EXPECT_TRUE(old.keepsSamples);
}

// Guards a silent conversion: when the encoder cannot hold the format, one note says so.
TEST(EncoderPolicy, AConversionIsNamed) {
    const EncodePlan p = PlanEncoding(Request(AV_PIX_FMT_YUV420P10LE), Caps("mpeg4", {AV_PIX_FMT_YUV420P}));
    EXPECT_EQ(p.pixelFormat, AV_PIX_FMT_YUV420P);
    EXPECT_FALSE(p.keepsSamples);
    EXPECT_NE(p.note.find("yuv420p10le"), std::string::npos) << p.note;
    EXPECT_NE(p.note.find("yuv420p"), std::string::npos) << p.note;
    // A repack of the same samples needs no note.
    EXPECT_EQ(PlanEncoding(Request(AV_PIX_FMT_RGB24), kFfv1).note, "");
    // RGB into a YUV-only encoder is tagged tv range; YUV into an RGB-only one pc range.
    EXPECT_EQ(PlanEncoding(Request(AV_PIX_FMT_RGB24), kX264).range, AVCOL_RANGE_MPEG);
    EXPECT_EQ(PlanEncoding(Request(AV_PIX_FMT_YUV420P), Caps("png", {AV_PIX_FMT_RGB24})).range, AVCOL_RANGE_JPEG);
}

// Guards "Generic error" for an odd-sized film into an encoder that needs whole chroma blocks.
TEST(EncoderPolicy, OddSizesGetAFormatThatFitsOrTheRealReason) {
    const EncodePlan p = PlanEncoding(Request(AV_PIX_FMT_YUV420P, 721, 577), kX264);
    EXPECT_EQ(p.pixelFormat, AV_PIX_FMT_YUV444P);
    EXPECT_NE(p.note.find("721x577"), std::string::npos) << p.note;
    EXPECT_NE(p.note.find("even"), std::string::npos) << p.note;
    // 4:2:2 needs an even width only.
    EXPECT_EQ(PlanEncoding(Request(AV_PIX_FMT_YUV422P, 720, 577), kX264).pixelFormat, AV_PIX_FMT_YUV422P);
    // FFV1 and MPEG-4 code partial blocks: the input's format stays. ffvhuff does not.
    EXPECT_EQ(PlanEncoding(Request(AV_PIX_FMT_YUV420P, 721, 577), kFfv1).pixelFormat, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(PlanEncoding(Request(AV_PIX_FMT_YUV420P, 721, 577), Caps("mpeg4", {AV_PIX_FMT_YUV420P})).pixelFormat,
              AV_PIX_FMT_YUV420P);
    EXPECT_EQ(PlanEncoding(Request(AV_PIX_FMT_YUV420P, 721, 577), Caps("ffvhuff", {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV444P}))
                  .pixelFormat,
              AV_PIX_FMT_YUV444P);
    try {
        PlanEncoding(Request(AV_PIX_FMT_YUV420P, 721, 577), Caps("libx265", {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P}));
        ADD_FAILURE() << "no error for a size no format fits";
    } catch (const HostError &e) {
        EXPECT_EQ(e.status, EXIT_FAILURE_RUN);
        EXPECT_NE(std::string(e.what()).find("721x577"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("even"), std::string::npos) << e.what();
    }
}

// Guards files that depend on --threads: only FFV1 and PNG share frames out over contexts, in
// whole groups, and the contexts stay within the memory budget.
TEST(EncoderPolicy, ContextsAndThreads) {
    const EncoderCaps png = Caps("png", {AV_PIX_FMT_RGB24});
    const struct {
        const char *what;
        EncodeRequest request;
        const EncoderCaps &caps;
        int contexts, threadsPerContext, groupLength;
    } cases[] = {
        {"FFV1 SD, 8 threads", Request(AV_PIX_FMT_YUV420P, 720, 576, 8), kFfv1, 5, 1, 12},
        {"FFV1 1080p, 2 threads", Request(AV_PIX_FMT_YUV420P, 1920, 1080, 2), kFfv1, 1, 2, 12},
        {"FFV1 4K, 16 threads", Request(AV_PIX_FMT_YUV420P, 3840, 2160, 16), kFfv1, 1, 16, 12},
        {"FFV1 SD, 1 thread", Request(AV_PIX_FMT_YUV420P, 720, 576, 1), kFfv1, 1, 1, 12},
        {"PNG, 3 threads", Request(AV_PIX_FMT_RGB24, 320, 240, 3), png, 3, 1, 1},
        {"x264, 4 threads", Request(AV_PIX_FMT_YUV420P, 720, 576, 4), kX264, 1, 0, 0},
    };
    for (const auto &c : cases) {
        const EncodePlan p = PlanEncoding(c.request, c.caps);
        EXPECT_EQ(p.contexts, c.contexts) << c.what;
        EXPECT_EQ(p.threadsPerContext, c.threadsPerContext) << c.what;
        EXPECT_EQ(p.groupLength, c.groupLength) << c.what;
    }
    EXPECT_EQ(PlanEncoding(Request(AV_PIX_FMT_YUV420P), kFfv1).gopSize, 12);
}

// Guards the filter's share of the threads: one instance a thread, but one for every two (never
// none) beside one exact context on all the threads or an encoder that threads itself; the
// temporal fill one a thread whatever the encoder.
TEST(EncoderPolicy, FilterInstances) {
    const struct {
        const char *what;
        EncodeRequest request;
        const EncoderCaps &caps;
        int instances;
    } cases[] = {
        {"FFV1 SD, 2 threads", Request(AV_PIX_FMT_YUV420P, 720, 576, 2), kFfv1, 2},
        {"FFV1 SD, 8 threads", Request(AV_PIX_FMT_YUV420P, 720, 576, 8), kFfv1, 8},
        {"FFV1 1080p, 1 thread", Request(AV_PIX_FMT_YUV420P, 1920, 1080, 1), kFfv1, 1},
        {"FFV1 1080p, 2 threads", Request(AV_PIX_FMT_YUV420P, 1920, 1080, 2), kFfv1, 1},
        {"FFV1 4K, 5 threads", Request(AV_PIX_FMT_YUV420P, 3840, 2160, 5), kFfv1, 2},
        {"x264 SD, 2 threads", Request(AV_PIX_FMT_YUV420P, 720, 576, 2), kX264, 1},
        {"x264 SD, 4 threads", Request(AV_PIX_FMT_YUV420P, 720, 576, 4), kX264, 2},
        {"MPEG-4 SD, 2 threads", Request(AV_PIX_FMT_YUV420P, 720, 576, 2), Caps("mpeg4", {AV_PIX_FMT_YUV420P}), 2},
    };
    for (const auto &c : cases) EXPECT_EQ(FilterInstances(c.request.threads, PlanEncoding(c.request, c.caps), false), c.instances) << c.what;
    EXPECT_EQ(FilterInstances(2, PlanEncoding(Request(AV_PIX_FMT_YUV420P, 1920, 1080, 2), kFfv1), true), 2);
    EXPECT_EQ(FilterInstances(4, PlanEncoding(Request(AV_PIX_FMT_YUV420P), kX264), true), 4);
}

// Guards settings that drift: the lossless layout of FFV1 and the quality defaults.
TEST(EncoderPolicy, Settings) {
    const EncodePlan ffv1 = PlanEncoding(Request(AV_PIX_FMT_YUV420P), kFfv1);
    EXPECT_EQ(Option(ffv1, "level"), "3");
    EXPECT_EQ(Option(ffv1, "slicecrc"), "1");
    EXPECT_EQ(Option(ffv1, "slices"), "4");
    EXPECT_EQ(Option(PlanEncoding(Request(AV_PIX_FMT_YUV420P, 96, 96), kFfv1), "slices"), "");
    EXPECT_EQ(Option(PlanEncoding(Request(AV_PIX_FMT_YUV420P), kX264), "crf"), "16");
    EncodeRequest q = Request(AV_PIX_FMT_YUV420P);
    q.quality = 22;
    EXPECT_EQ(Option(PlanEncoding(q, kX264), "crf"), "22");
    const EncodePlan mpeg4 = PlanEncoding(q, Caps("mpeg4", {AV_PIX_FMT_YUV420P}));
    EXPECT_TRUE(mpeg4.qscale);
    EXPECT_EQ(mpeg4.globalQuality, 22 * FF_QP2LAMBDA);
    EXPECT_FALSE(PlanEncoding(q, Caps("png", {AV_PIX_FMT_RGB24})).qscale);
}

// Guards the library's own lists: the real encoders give the plans the rules promise.
TEST(EncoderPolicy, RealEncoders) {
    const EncoderCaps ffv1 = Library("ffv1");
    ASSERT_FALSE(ffv1.name.empty());
    EXPECT_TRUE(PlanEncoding(Request(AV_PIX_FMT_YUV420P10LE), ffv1).keepsSamples);
    EXPECT_TRUE(PlanEncoding(Request(AV_PIX_FMT_YUV422P12LE), ffv1).keepsSamples);
    EXPECT_TRUE(PlanEncoding(Request(AV_PIX_FMT_GBRP16LE), ffv1).keepsSamples);
    const EncodePlan yuvj = PlanEncoding(Request(AV_PIX_FMT_YUVJ420P), ffv1);
    EXPECT_EQ(yuvj.pixelFormat, AV_PIX_FMT_YUV420P);
    EXPECT_TRUE(yuvj.keepsSamples);
    const EncoderCaps png = Library("png");
    ASSERT_FALSE(png.name.empty());
    EXPECT_TRUE(PlanEncoding(Request(AV_PIX_FMT_RGB48BE), png).keepsSamples);
    EXPECT_FALSE(PlanEncoding(Request(AV_PIX_FMT_YUV420P), png).keepsSamples);
}

namespace {

// The last value given for `key`: the one avcodec_open2 ends up with.
std::string LastOption(const EncodePlan &p, const std::string &key) {
    std::string value;
    for (const auto &kv : p.options)
        if (kv.first == key) value = kv.second;
    return value;
}

}  // namespace

// Guards: --codec-opt values overridden by subremove's own defaults, -q not reaching x265's own
// log, or a user's x265-params dropping the quiet log level (or the quiet level overriding theirs).
TEST(PlanEncoding, UserOptionsComeLastAndQuietReachesX265) {
    const EncoderCaps x265 = Caps("libx265", {AV_PIX_FMT_YUV420P});
    EncodeRequest r = Request(AV_PIX_FMT_YUV420P);
    r.codecOptions = {{"preset", "ultrafast"}, {"crf", "30"}};
    EncodePlan loud = PlanEncoding(r, x265);
    EXPECT_EQ(LastOption(loud, "preset"), "ultrafast");
    EXPECT_EQ(LastOption(loud, "crf"), "30");
    EXPECT_EQ(LastOption(loud, "x265-params"), "");
    r.quiet = true;
    EXPECT_EQ(LastOption(PlanEncoding(r, x265), "x265-params"), "log-level=error");
    r.codecOptions = {{"x265-params", "keyint=10:log-level=info"}};
    EXPECT_EQ(LastOption(PlanEncoding(r, x265), "x265-params"), "log-level=error:keyint=10:log-level=info");
    EXPECT_EQ(LastOption(PlanEncoding(r, kX264), "x265-params"), "keyint=10:log-level=info");
}

// Guards: interlaced films coded as progressive pictures by encoders that have a field mode, a
// progressive film coded as fields, or the field order lost for encoders without such a mode.
TEST(EncoderPolicy, FieldCoding) {
    const int fields = AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    for (AVFieldOrder order : {AV_FIELD_TT, AV_FIELD_BB, AV_FIELD_TB, AV_FIELD_BT}) {
        EncodeRequest r = Request(AV_PIX_FMT_YUV420P);
        r.fieldOrder = order;
        const EncodePlan x264 = PlanEncoding(r, kX264);
        EXPECT_EQ(x264.codecFlags, fields) << order;
        EXPECT_EQ(x264.fieldOrder, order);
        const EncodePlan ffv1 = PlanEncoding(r, kFfv1);
        EXPECT_EQ(ffv1.codecFlags, 0) << order;
        EXPECT_EQ(ffv1.fieldOrder, order);
    }
    for (AVFieldOrder order : {AV_FIELD_PROGRESSIVE, AV_FIELD_UNKNOWN}) {
        EncodeRequest r = Request(AV_PIX_FMT_YUV420P);
        r.fieldOrder = order;
        EXPECT_EQ(PlanEncoding(r, kX264).codecFlags, 0) << order;
        EXPECT_EQ(PlanEncoding(r, kX264).fieldOrder, order);
    }
}

// Guards: HDR10 metadata given to x265 in the wrong units or primary order (x265 takes green,
// blue, red in 1/50000 and luminance in 1/10000 cd/m2), or to encoders that do not take it.
TEST(EncoderPolicy, HdrSettingsForX265) {
    const EncoderCaps x265 = Caps("libx265", {AV_PIX_FMT_YUV420P10LE});
    EncodeRequest r = Request(AV_PIX_FMT_YUV420P10LE);
    EXPECT_EQ(Option(PlanEncoding(r, x265), "x265-params"), "");
    r.hasMastering = true;
    const int xy[3][2] = {{34000, 16000}, {13250, 34500}, {7500, 3000}};  // red, green, blue
    for (int c = 0; c < 3; ++c) {
        r.mastering.display_primaries[c][0] = AVRational{xy[c][0], 50000};
        r.mastering.display_primaries[c][1] = AVRational{xy[c][1], 50000};
    }
    r.mastering.white_point[0] = AVRational{3127, 10000};
    r.mastering.white_point[1] = AVRational{3290, 10000};
    r.mastering.max_luminance = AVRational{1000, 1};
    r.mastering.min_luminance = AVRational{1, 200};
    r.mastering.has_primaries = r.mastering.has_luminance = 1;
    r.hasLightLevel = true;
    r.lightLevel.MaxCLL = 1000;
    r.lightLevel.MaxFALL = 300;
    EXPECT_EQ(Option(PlanEncoding(r, x265), "x265-params"),
              "master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,50):max-cll=1000,300");
    r.mastering.has_luminance = 0;  // half a mastering display is no mastering display
    EXPECT_EQ(Option(PlanEncoding(r, x265), "x265-params"), "max-cll=1000,300");
    // Guards the HDR metadata lost to -q's log level: both go into the one x265-params value.
    r.quiet = true;
    EXPECT_EQ(Option(PlanEncoding(r, x265), "x265-params"), "max-cll=1000,300:log-level=error");
    EXPECT_EQ(Option(PlanEncoding(r, kFfv1), "x265-params"), "");
}
