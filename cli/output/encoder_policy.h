// Encoder policy: which encoder, pixel format and settings a film is written with, chosen from
// the output's container, the input's pictures and the flags. Pure functions over plain values:
// nothing here opens a file or an encoder, so every rule is tested without a film.
//
// The rules, in order of precedence:
// - the encoder: --codec, else the container's preferred one (FFV1 for mkv/nut/avi, H.264 for
//   mp4/mov/m4v, VP9 for webm), else the container's default;
// - the pixel format: the input's own, so untouched samples stay the decoded ones (a yuvj* format
//   is its yuv* twin with the pc range tag); else the encoder's format that loses least, said in
//   one note line; formats whose chroma blocks do not tile the picture are left out for encoders
//   that need whole blocks, and when none is left the reason is the error;
// - field order: an interlaced film is coded as interlaced where the encoder has a mode for it
//   (x264, MPEG-2 and MPEG-4 with interlaced DCT and motion estimation) and tagged with its order;
// - HDR10: mastering display and light levels go to x265 as its own settings, since libx265 in
//   this FFmpeg reads neither from the frames;
// - threads: encoders whose bytes do not depend on how the work is shared (FFV1 with a fixed
//   slice layout, PNG) get several contexts coding whole groups; all others one context with
//   their own thread choice, so --threads never changes their file; beside an encoder that keeps
//   every thread busy by itself, the filter gets one instance for every two threads.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixfmt.h>
}

#include <string>
#include <utility>
#include <vector>

// What the policy needs to know of an encoder.
struct EncoderCaps {
    std::string name;
    std::vector<AVPixelFormat> pixelFormats;  // empty: takes any
    static EncoderCaps FromLibrary(const AVCodec *codec);
};

struct EncodeRequest {
    std::string outputPath;
    bool imageSequence = false;
    std::string codecFlag;  // --codec; empty: chosen from the container
    int quality = -1;       // --quality; -1: the encoder's high-quality default
    bool quiet = false;     // -q: encoders that print their own info lines are told not to
    std::vector<std::pair<std::string, std::string>> codecOptions;  // --codec-opt, after subremove's own
    int threads = 1;
    int width = 0;
    int height = 0;
    AVPixelFormat inputFormat = AV_PIX_FMT_NONE;
    AVColorRange inputRange = AVCOL_RANGE_UNSPECIFIED;
    AVFieldOrder fieldOrder = AV_FIELD_UNKNOWN;
    // HDR10 static metadata of the film, when it carries any.
    bool hasMastering = false;
    AVMasteringDisplayMetadata mastering{};
    bool hasLightLevel = false;
    AVContentLightMetadata lightLevel{};
};

struct EncodePlan {
    std::string codec;
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
    bool keepsSamples = false;  // the encoder is fed the decoded samples as they are
    std::vector<std::pair<std::string, std::string>> options;  // for avcodec_open2, in order: a later key wins
    bool qscale = false;
    int globalQuality = 0;
    int gopSize = 0;  // 0: the encoder's default
    int codecFlags = 0;  // AV_CODEC_FLAG_* to add (interlaced coding)
    AVFieldOrder fieldOrder = AV_FIELD_UNKNOWN;
    // Contexts that code at once, each whole groups of `groupLength` frames (0: one context that
    // sees every frame), with `threadsPerContext` threads each (0: the encoder's choice).
    int contexts = 1;
    int threadsPerContext = 0;
    int groupLength = 0;
    std::string note;  // one line naming a conversion; empty when the samples are kept
};

// Pixels summed over the contexts that code at once. An FFV1 context keeps a packet buffer of
// about 150 bytes a pixel: 720x576 gets five contexts, 1080p one.
constexpr long long kEncoderPixelBudget = 1LL << 21;

// Filter instances that run beside the encoder of `plan` on `threads` threads (see the .cpp).
int FilterInstances(int threads, const EncodePlan &plan, bool temporalFill);

// The preferred encoder of a container, from the output's extension; empty: the container's own.
std::string PreferredEncoderName(const std::string &outputPath, bool imageSequence);
// Throws HostError with the reason when the encoder cannot write the film.
EncodePlan PlanEncoding(const EncodeRequest &request, const EncoderCaps &encoder);
