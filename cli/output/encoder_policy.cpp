// Encoder policy (see encoder_policy.h).
#include "cli/output/encoder_policy.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cctype>

#include "cli/errors.h"
#include "cli/colour/pixel_formats.h"

namespace {

// Encoders that code pictures whose sides are not whole chroma blocks, each tried at 721x577 in
// every subsampled format it lists and decoded back (ffvhuff is not one: 4:2:0 needs even widths).
const char *const kPartialBlockEncoders[] = {"ffv1",     "png",       "rawvideo",   "magicyuv", "ljpeg",   "tiff",
                                             "jpeg2000", "libopenjpeg", "mjpeg",    "libvpx",   "libvpx-vp9",
                                             "libaom-av1", "librav1e", "libtheora", "prores_ks", "mpeg2video", "mpeg4"};

bool CodesPartialBlocks(const std::string &name) {
    for (const char *n : kPartialBlockEncoders) {
        if (name == n) return true;
    }
    return false;
}

// Encoders that share out their own work over threads and take several times the filter's time a
// frame at their default settings.
const char *const kSelfThreadedEncoders[] = {"libx264", "libx265", "libvpx", "libvpx-vp9", "libaom-av1", "libsvtav1", "librav1e"};

bool ThreadsItself(const std::string &name) {
    for (const char *n : kSelfThreadedEncoders) {
        if (name == n) return true;
    }
    return false;
}

bool BlocksTile(AVPixelFormat f, int width, int height) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(f);
    if (!d) return false;
    return width % (1 << d->log2_chroma_w) == 0 && height % (1 << d->log2_chroma_h) == 0;
}

std::string Name(AVPixelFormat f) {
    const char *n = av_get_pix_fmt_name(f);
    return n ? n : "an unknown format";
}

std::string Size(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

// Two layouts of the same samples (rgb24 and bgr0, say): a repack that changes no value.
bool SameSamples(AVPixelFormat a, AVPixelFormat b) {
    const AVPixFmtDescriptor *x = av_pix_fmt_desc_get(a), *y = av_pix_fmt_desc_get(b);
    if (!x || !y || IsRgbFormat(a) != IsRgbFormat(b) || x->log2_chroma_w != y->log2_chroma_w || x->log2_chroma_h != y->log2_chroma_h) {
        return false;
    }
    const int colours = 3;
    if (x->nb_components < colours || y->nb_components < colours || (x->flags & AV_PIX_FMT_FLAG_ALPHA)) return false;
    for (int c = 0; c < colours; ++c) {
        if (x->comp[c].depth != y->comp[c].depth) return false;
    }
    return true;
}

bool Takes(const EncoderCaps &e, AVPixelFormat f) {
    return e.pixelFormats.empty() || std::find(e.pixelFormats.begin(), e.pixelFormats.end(), f) != e.pixelFormats.end();
}

// The pixel format, range and note: the input's samples where the encoder takes them.
void ChoosePixelFormat(const EncodeRequest &r, const EncoderCaps &e, EncodePlan &plan) {
    const AVPixelFormat twin = SampleTwin(r.inputFormat);
    const bool jpeg = twin != r.inputFormat;
    const bool wholeBlocksOnly = !CodesPartialBlocks(e.name);
    const bool fits = !wholeBlocksOnly || BlocksTile(twin, r.width, r.height);
    // The twin with the pc tag before the yuvj format itself: the same samples, the modern way.
    for (AVPixelFormat candidate : {twin, r.inputFormat}) {
        if (fits && Takes(e, candidate)) {
            plan.pixelFormat = candidate;
            plan.keepsSamples = true;
            plan.range = jpeg ? AVCOL_RANGE_JPEG : r.inputRange;
            return;
        }
    }
    std::vector<AVPixelFormat> usable;
    for (AVPixelFormat f : e.pixelFormats) {
        if (!wholeBlocksOnly || BlocksTile(f, r.width, r.height)) usable.push_back(f);
    }
    if (usable.empty()) {
        throw HostError(EXIT_FAILURE_RUN, e.name + " cannot code " + Size(r.width, r.height) +
                                              " pictures: all its pixel formats need width and height divisible by their "
                                              "chroma blocks (even sizes for 4:2:0); choose --codec ffv1 or crop the film");
    }
    usable.push_back(AV_PIX_FMT_NONE);
    plan.pixelFormat = avcodec_find_best_pix_fmt_of_list(usable.data(), twin, 0, nullptr);
    plan.keepsSamples = false;
    plan.range = IsRgbFormat(plan.pixelFormat) ? AVCOL_RANGE_JPEG
                 : IsRgbFormat(twin)           ? AVCOL_RANGE_MPEG
                 : jpeg                  ? AVCOL_RANGE_JPEG
                                         : r.inputRange;
    if (!fits && Takes(e, twin)) {
        plan.note = e.name + " cannot code " + Name(twin) + " at " + Size(r.width, r.height) +
                    " (its chroma blocks need even sizes): writing " + Name(plan.pixelFormat);
    } else if (!SameSamples(twin, plan.pixelFormat)) {
        plan.note = e.name + " cannot hold " + Name(r.inputFormat) + ": converting to " + Name(plan.pixelFormat);
    }
}

// Encoder settings: high quality by default, and FFV1 with a layout fixed whatever the threads.
void ChooseSettings(const EncodeRequest &r, const EncoderCaps &e, EncodePlan &plan) {
    const std::string &n = e.name;
    if (n == "libx264" || n == "libx265") {
        plan.options = {{"crf", std::to_string(r.quality >= 0 ? r.quality : 16)}, {"preset", "medium"}};
    } else if (n == "libvpx-vp9" || n == "libvpx") {
        plan.options = {{"crf", std::to_string(r.quality >= 0 ? r.quality : 20)}, {"b", "0"}};
    } else if (n == "ffv1") {
        plan.options = {{"level", "3"}, {"slicecrc", "1"}};
        // Slices are what FFV1's threads share out; fixing their number keeps the bytes the same
        // for every --threads. Pictures too small for four slices keep the encoder's layout.
        if (r.width >= 128 && r.height >= 128) plan.options.push_back({"slices", "4"});
        plan.gopSize = 12;  // the library's default, fixed so the group length is known
    } else if (n != "png" && n != "ffvhuff" && n != "huffyuv" && n != "rawvideo") {
        plan.qscale = true;
        plan.globalQuality = FF_QP2LAMBDA * (r.quality >= 0 ? r.quality : 2);
    }
}

// The user's options come last, so each wins over subremove's own of the same key; x265 prints its
// info lines itself, past av_log, so -q reaches it through its own log level (the user's own
// log-level, later in the list, still wins).
// x265 takes its own settings in one option: the HDR metadata, the quiet log level and the
// user's x265-params must go into the same value, later ones after (and so over) earlier ones.
void AddX265Params(EncodePlan &plan, const std::string &params) {
    for (auto &kv : plan.options) {
        if (kv.first == "x265-params") {
            kv.second += ":" + params;
            return;
        }
    }
    plan.options.push_back({"x265-params", params});
}

void AddOptions(const EncodeRequest &r, const EncoderCaps &e, EncodePlan &plan) {
    const bool x265 = e.name == "libx265";
    if (x265 && r.quiet) AddX265Params(plan, "log-level=error");
    for (const auto &kv : r.codecOptions) {
        if (x265 && kv.first == "x265-params") AddX265Params(plan, kv.second);
        else plan.options.push_back(kv);
    }
}

// FFV1 resets its coder at every key frame and PNG codes every picture alone, so a context that
// has coded only whole groups codes the next one as a single context would.
void ChooseThreads(const EncodeRequest &r, const EncoderCaps &e, EncodePlan &plan) {
    const bool exact = e.name == "ffv1" || e.name == "png";
    if (!exact) return;
    const long long pixels = std::max(1LL, (long long)r.width * r.height);
    const int threads = std::max(1, r.threads);
    plan.contexts = (int)std::max(1LL, std::min((long long)threads, kEncoderPixelBudget / pixels));
    // PNG's frame threads hand packets back later, which several contexts could not put in order.
    plan.threadsPerContext = plan.contexts > 1 && e.name == "png" ? 1 : std::max(1, threads / plan.contexts);
    plan.groupLength = e.name == "png" ? 1 : plan.gopSize;
}

}  // namespace

// Each instance holds five picture-sized planes of 32-bit pixels, three in the module and two that
// the host hands it: 41 MB at 1080p. Beside an encoder that keeps every thread busy by itself, the
// spatial fill's share is small, and one instance for every two threads keeps pace while the
// encoder's threads meet fewer others on the cores. Two such cases, measured with two threads:
// - one exact context coding every picture on all the threads (FFV1 at 1080p: the module and
//   its conversions take 22 ms a frame on one thread, FFV1 39 ms): as fast into FFV1, x264 and
//   rawvideo, and 40 to 50 MB less;
// - the encoders in the list below, which share out their own work and take several times the
//   filter's time a frame: x264 at 720x576 about 2 % faster (median of six alternating runs).
// The temporal fill is the slowest stage there and keeps one instance a thread.
int FilterInstances(int threads, const EncodePlan &plan, bool temporalFill) {
    threads = std::max(1, threads);
    const bool oneContextOnAll = plan.contexts == 1 && plan.threadsPerContext > 1;
    return (oneContextOnAll || ThreadsItself(plan.codec)) && !temporalFill ? std::max(1, threads / 2) : threads;
}

namespace {

bool Interlaced(AVFieldOrder f) { return f == AV_FIELD_TT || f == AV_FIELD_BB || f == AV_FIELD_TB || f == AV_FIELD_BT; }

// The field order is the film's in any case; coding field pairs needs the encoder's interlaced
// mode, without which their combing costs many bits and blurs across fields.
void ChooseFieldCoding(const EncodeRequest &r, const EncoderCaps &e, EncodePlan &plan) {
    plan.fieldOrder = r.fieldOrder;
    const bool fieldCoder = e.name == "libx264" || e.name == "mpeg2video" || e.name == "mpeg4";
    if (fieldCoder && Interlaced(r.fieldOrder)) plan.codecFlags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
}

// x265's units: chromaticities in 1/50000, luminances in 1/10000 cd/m2.
long long Scaled(AVRational q, int unit) { return q.den ? (long long)q.num * unit / q.den : 0; }

std::string MasterDisplay(const AVMasteringDisplayMetadata &m) {
    auto point = [](const char *name, const AVRational xy[2]) {
        return std::string(name) + "(" + std::to_string(Scaled(xy[0], 50000)) + "," + std::to_string(Scaled(xy[1], 50000)) + ")";
    };
    // FFmpeg keeps the primaries as red, green, blue; x265 takes green, blue, red.
    return point("G", m.display_primaries[1]) + point("B", m.display_primaries[2]) + point("R", m.display_primaries[0]) +
           point("WP", m.white_point) + "L(" + std::to_string(Scaled(m.max_luminance, 10000)) + "," +
           std::to_string(Scaled(m.min_luminance, 10000)) + ")";
}

void ChooseHdrSettings(const EncodeRequest &r, const EncoderCaps &e, EncodePlan &plan) {
    if (e.name != "libx265") return;
    std::string params;
    const bool mastering = r.hasMastering && r.mastering.has_primaries && r.mastering.has_luminance;
    if (mastering) params = "master-display=" + MasterDisplay(r.mastering);
    if (r.hasLightLevel) {
        if (!params.empty()) params += ":";
        params += "max-cll=" + std::to_string(r.lightLevel.MaxCLL) + "," + std::to_string(r.lightLevel.MaxFALL);
    }
    if (!params.empty()) AddX265Params(plan, params);
}

}  // namespace

EncoderCaps EncoderCaps::FromLibrary(const AVCodec *codec) {
    EncoderCaps caps;
    caps.name = codec->name;
    if (codec->pix_fmts) {
        for (const AVPixelFormat *f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) caps.pixelFormats.push_back(*f);
    }
    return caps;
}

std::string PreferredEncoderName(const std::string &outputPath, bool imageSequence) {
    if (imageSequence) return "";  // the image format's own encoder (PNG, TIFF, ...)
    std::string ext;
    const size_t dot = outputPath.find_last_of('.');
    if (dot != std::string::npos && outputPath.find('/', dot) == std::string::npos) ext = outputPath.substr(dot + 1);
    for (char &ch : ext) ch = (char)std::tolower((unsigned char)ch);
    if (ext == "mkv" || ext == "nut" || ext == "avi") return "ffv1";
    if (ext == "mp4" || ext == "mov" || ext == "m4v") return "libx264";
    if (ext == "webm") return "libvpx-vp9";
    return "";
}

EncodePlan PlanEncoding(const EncodeRequest &request, const EncoderCaps &encoder) {
    EncodePlan plan;
    plan.codec = encoder.name;
    ChoosePixelFormat(request, encoder, plan);
    ChooseSettings(request, encoder, plan);
    ChooseFieldCoding(request, encoder, plan);
    ChooseHdrSettings(request, encoder, plan);
    AddOptions(request, encoder, plan);
    ChooseThreads(request, encoder, plan);
    return plan;
}
