// Decoded frames as plain pictures (see temporal_frames.h).
#include "cli/temporal_fill/temporal_frames.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

bool TemporalFormatSupported(AVPixelFormat format, std::string *why) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    const char *name = d ? d->name : "unknown";
    bool ok = d && d->nb_components > 0 && !(d->flags & (AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL |
                                                         AV_PIX_FMT_FLAG_FLOAT | AV_PIX_FMT_FLAG_BE));
    for (int c = 0; ok && c < d->nb_components; ++c) {
        const AVComponentDescriptor &comp = d->comp[c];
        const int bytes = comp.depth > 8 ? 2 : 1;
        ok = comp.offset == 0 && comp.shift == 0 && comp.step == bytes && comp.depth <= 16;
        for (int o = 0; ok && o < c; ++o) ok = d->comp[o].plane != comp.plane;
    }
    if (!ok && why) *why = std::string("the temporal fill works on planar pictures, and the film's pixel format is ") + name;
    return ok;
}

temporal::PictureRef PictureOf(const AVFrame *frame) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get((AVPixelFormat)frame->format);
    temporal::PictureRef p;
    p.planeCount = d->nb_components;
    p.maxValue = (1 << d->comp[0].depth) - 1;
    AVChromaLocation location = frame->chroma_location;
    if (location == AVCHROMA_LOC_UNSPECIFIED) location = AVCHROMA_LOC_LEFT;
    int posX = 0, posY = 0;
    avcodec_enum_to_chroma_pos(&posX, &posY, location);
    // Components are numbered as the format lists them; planes go in component order so that the
    // first is luma (Y, or G of planar RGB), which the motion is measured on.
    for (int c = 0; c < d->nb_components; ++c) {
        const AVComponentDescriptor &comp = d->comp[c];
        const bool chroma = (c == 1 || c == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB);
        temporal::PlaneGeometry &g = p.geometry[c];
        g.log2X = chroma ? d->log2_chroma_w : 0;
        g.log2Y = chroma ? d->log2_chroma_h : 0;
        g.offsetX = g.log2X ? (float)posX / 256.0f : 0.0f;
        g.offsetY = g.log2Y ? (float)posY / 256.0f : 0.0f;
        temporal::PlaneRef &plane = p.planes[c];
        plane.data = frame->data[comp.plane];
        plane.stride = frame->linesize[comp.plane];
        plane.width = AV_CEIL_RSHIFT(frame->width, g.log2X);
        plane.height = AV_CEIL_RSHIFT(frame->height, g.log2Y);
        plane.bytes = comp.depth > 8 ? 2 : 1;
    }
    return p;
}
