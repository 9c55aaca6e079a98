// Colour between the film's pictures and the host's 32-bit pixels.
//
// Decoded pictures go to the host's bottom-up 0x00RRGGBB words with the film's own matrix and
// range; what the filter returns comes back in the output's format. Only the chroma-sized blocks
// that hold a pixel the filter changed are taken from the converted result: every other sample is
// the decoded one (or, when the output cannot hold the input's format, the decoded one converted
// straight into the output format, never through 8-bit RGB). Each converter keeps its own scaler
// contexts, made once with their colour details, so every frame and every thread converts alike.
// Cost per filtered frame: one conversion each way of the rows the filter reaches, one compare of
// those rows, one copy of the frame. The common 8-bit planar YUV pictures go to the host and back
// through our own conversions (yuv_to_host.h, host_to_yuv.h): faster than the scaler's exact
// ones, and the way back converts only the changed blocks.
#pragma once

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <map>
#include <vector>

#include "cli/av_util.h"
#include "cli/pipeline/filter_reach.h"
#include "cli/colour/pixel_formats.h"
#include "cli/colour/host_to_yuv.h"
#include "cli/colour/yuv_to_host.h"

class FilterInstance;

// The colour facts of a picture format as the conversions need them: the sample layout (a yuvj*
// format is its yuv* twin with pc range), a matrix that is never unspecified, and the range.
struct PictureColour {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    bool fullRange = false;
};

// An untagged matrix follows the picture size: BT.709 from 720 lines up, BT.601 below.
AVColorSpace GuessMatrix(int width, int height);
// The matrix the conversions use for `space`: the tagged one when the scaler knows it, else the guess.
AVColorSpace ResolveMatrix(AVColorSpace space, int width, int height);
// Rows a band of a conversion between the two formats must start and end on: whole chroma rows.
int ConversionRowAlignment(AVPixelFormat decoded, AVPixelFormat output);
PictureColour ResolveColour(AVPixelFormat format, AVColorSpace space, AVColorRange range, int width, int height);

class ColourConverter {
public:
    // `decoded`: the film's pictures; `output`: what the encoder is fed.
    ColourConverter(int width, int height, const PictureColour &decoded, const PictureColour &output);
    ~ColourConverter();
    ColourConverter(const ColourConverter &) = delete;
    ColourConverter &operator=(const ColourConverter &) = delete;

    // Rows of a band must start and end on multiples of this (whole chroma rows both ways).
    int RowAlignment() const { return rowAlign_; }
    // Decoded frame -> the instance's source buffer, the rows of `band` only.
    void ToHost(const AVFrame *frame, FilterInstance &instance, RowBand band);
    // A frame the filter did not touch, in the output format: the decoded frame itself when the
    // output keeps its samples, else converted straight from it.
    FramePtr Unchanged(const AVFrame *decoded);
    // The instance's destination buffer spliced into the decoded frame; returns the number of
    // pixels the filter changed within `band` (the rows ToHost converted) and sets `out`.
    int64_t FromHost(const FilterInstance &instance, const AVFrame *decoded, FramePtr &out, RowBand band);

private:
    void SpliceBlocks(const AVFrame *converted, AVFrame *out, RowBand band) const;
    int64_t MarkChangedBlocks(const FilterInstance &instance, RowBand band);
    RowBand Checked(RowBand band) const;
    bool ToHostDirectly(const AVFrame *frame, FilterInstance &instance, RowBand band);
    void FromHostDirectly(const FilterInstance &instance, AVFrame *out, RowBand band) const;
    void FromHostScaled(const FilterInstance &instance, AVFrame *out, RowBand band);
    FramePtr WritableCopy(const AVFrame *frame);
    // A context for `rows` rows: the whole-frame one, or one made for that band height and kept.
    SwsContext *BandContext(std::map<int, SwsContext *> &cache, SwsContext *whole, int rows, const PictureColour &from,
                            const PictureColour &to);

    int width_;
    int height_;
    PictureColour decoded_;
    PictureColour output_;
    bool keepsSamples_;
    int blockW_ = 1;  // the output's chroma block, the unit of the splice
    int blockH_ = 1;
    SwsContext *toHost_ = nullptr;
    SwsContext *fromHost_ = nullptr;
    SwsContext *direct_ = nullptr;  // decoded -> output format, when they differ
    std::map<int, SwsContext *> toHostBands_;    // by band height; one per subtitle height at most
    std::map<int, SwsContext *> fromHostBands_;
    int rowAlign_ = 1;
    // 8-bit planar YUV goes to the host without the scaler (yuv_to_host.h).
    bool toHostDirectly_ = false;
    YuvToHostMatrix toHostMatrix_{};
    std::vector<int32_t> toHostScratch_;
    // And back, block by block, when the output is such a format (no scaler, no splice).
    bool fromHostDirectly_ = false;
    HostToYuvMatrix fromHostMatrix_{};
    std::vector<uint8_t> changedBlocks_;
    FramePtr converted_;
    AVBufferPool *copyPool_ = nullptr;  // frames that take the changed blocks; freed when the last returns
};
