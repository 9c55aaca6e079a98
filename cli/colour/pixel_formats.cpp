// Pixel format facts (see pixel_formats.h).
#include "cli/colour/pixel_formats.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

const AVPixelFormat kJpegTwins[][2] = {
    {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV420P}, {AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV422P},
    {AV_PIX_FMT_YUVJ444P, AV_PIX_FMT_YUV444P}, {AV_PIX_FMT_YUVJ440P, AV_PIX_FMT_YUV440P},
    {AV_PIX_FMT_YUVJ411P, AV_PIX_FMT_YUV411P},
};

}  // namespace

AVPixelFormat SampleTwin(AVPixelFormat format) {
    for (const auto &t : kJpegTwins) {
        if (t[0] == format) return t[1];
    }
    return format;
}

bool IsJpegFormat(AVPixelFormat format) { return SampleTwin(format) != format; }

bool IsRgbFormat(AVPixelFormat format) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    return d && (d->flags & AV_PIX_FMT_FLAG_RGB);
}
