// Output frame production for the three modes: a copy of the source, the work mask as a picture,
// or the source with every region pixel repainted by the distance-weighted average of its
// region's border samples.
//
// The repaint costs, per frame, the sum over regions of pixelCount x sampleCount steps; each
// step is a table load, a source load through the sample's precomputed byte offset and four
// multiply-adds in double precision. The float weight is widened to double before it multiplies
// the 8-bit channel, so every product is exact and a pixel's sums depend only on the order of its
// samples. The regions, the table and the vectorised repaint's plan (render_fast.cpp) are built by
// the frame selection; the plan gives the same pixels at a fraction of the reference loop's cost.
// Nothing here allocates, except a plan for regions that came without one.
#include "engine/render.h"

#include <cstring>

#include "engine/regions.h"
#include "engine/render_repaint.h"
#include "host/instance.h"
#include "host/params.h"
#include "subtitles/subtitles.h"

namespace {

inline uint8_t *Bytes(uint32_t *p) { return reinterpret_cast<uint8_t *>(p); }

// The renderer acts on the region list only when `items` is null exactly when `count` is 0.
bool RegionListConsistent(const RegionList &list) { return (list.count == 0) == (list.items == nullptr); }

}  // namespace

void CopySourceToOutput(const FilterActivation *fa) {
    if (fa->dst->size <= 0) return;
    std::memcpy(fa->dst->data, fa->src->data, (size_t)fa->dst->size);
}

bool MaskMatchesFrame(const FilterActivation *fa, const MaskImage *mask) {
    return mask->pixels != nullptr && mask->height == fa->src->h && mask->width == fa->src->w;
}

void CopyMaskToOutput(const FilterActivation *fa, const MaskImage *mask) {
    if (!MaskMatchesFrame(fa, mask)) return;
    const int32_t w = fa->src->w;
    const int32_t h = fa->src->h;
    // Row by row, stepping over the modulo so that the bytes between rows stay as they were.
    uint8_t *out = Bytes(fa->dst->data);
    const uint32_t *in = mask->pixels;
    for (int32_t row = 0; row < h; ++row) {
        std::memcpy(out, in, (size_t)w * 4);
        out += (ptrdiff_t)w * 4 + fa->dst->modulo;
        in += w;
    }
}

void RepaintRegionsReference(const FilterActivation *fa, const RemovalInstance *instance) {
    const uint8_t *src = Bytes(fa->src->data);
    uint8_t *dst = Bytes(fa->dst->data);
    const ptrdiff_t pitch = fa->dst->pitch;
    const float *weights = instance->weights;
    const int32_t stride = instance->weightStride;
    const RegionList &list = instance->regions;
    for (int32_t r = 0; r < list.count; ++r) {
        const Region &region = list.items[r];
        if (region.pixelCount <= 0 || region.sampleCount <= 0) continue;
        for (int32_t p = 0; p < region.pixelCount; ++p) {
            const int32_t px = region.pixels[p].x;
            const int32_t py = region.pixels[p].y;
            double sumW = 0.0, sumR = 0.0, sumG = 0.0, sumB = 0.0;
            for (int32_t s = 0; s < region.sampleCount; ++s) {
                const BorderSample &sample = region.samples[s];
                const int32_t dx = px > sample.x ? px - sample.x : sample.x - px;
                const int32_t dy = py > sample.y ? py - sample.y : sample.y - py;
                // Widened before the multiply: the product of a float and an 8-bit value is exact
                // in double, and rounding it to float would change about a quarter of the pixels.
                const double w = (double)weights[(ptrdiff_t)stride * dy + dx];
                uint32_t v;
                std::memcpy(&v, src + sample.byteOffset, 4);
                sumW += w;
                sumR += w * (double)((v >> 16) & 0xFF);
                sumG += w * (double)((v >> 8) & 0xFF);
                sumB += w * (double)(v & 0xFF);
            }
            const uint32_t red = (uint32_t)(int32_t)(sumR / sumW);
            const uint32_t green = (uint32_t)(int32_t)(sumG / sumW);
            const uint32_t blue = (uint32_t)(int32_t)(sumB / sumW);
            const uint32_t out = (red << 16) | (green << 8) | blue;
            std::memcpy(dst + pitch * py + 4 * (ptrdiff_t)px, &out, 4);
        }
    }
}

void RepaintRegions(const FilterActivation *fa, const RemovalInstance *instance) {
    // Without a plan for these regions (the build had no memory for one) the reference loop gives
    // the same pixels, only slower.
    if (RepaintPlanMatches(instance))
        RepaintRegionsPlanned(fa, instance);
    else
        RepaintRegionsReference(fa, instance);
}

int RenderFrame(const FilterActivation *fa, const FilterFunctions *) {
    RememberActivation(fa);
    RemovalInstance *instance = InstanceOf(fa);
    switch (instance->mode) {
    case MODE_ORIGINAL:
        CopySourceToOutput(fa);
        return 0;
    case MODE_MASK_ONLY:
        SelectSubtitleForFrame(instance);
        // A mask that does not fit the frame would leave the host's buffer as it came: show the
        // source instead, so the output is never uninitialised memory.
        if (MaskMatchesFrame(fa, &instance->workMask))
            CopyMaskToOutput(fa, &instance->workMask);
        else
            CopySourceToOutput(fa);
        return 0;
    case MODE_FINAL: {
        const bool covered = SelectSubtitleForFrame(instance);
        CopySourceToOutput(fa);
        if (!covered) return 0;
        // Nothing to repaint unless the mask fits the frame and the region data is whole; the
        // copy above stands as the output then. A missing table cannot come with regions after
        // a completed build, but it is never read without one.
        if (!MaskMatchesFrame(fa, &instance->workMask) || !RegionListConsistent(instance->regions)) return 0;
        if (instance->regions.count == 0 || !instance->weights) return 0;
        // The build made the plan; nothing is allocated here.
        RepaintRegions(fa, instance);
        return 0;
    }
    default:
        // An unknown mode (possible through a script) passes the frame through.
        CopySourceToOutput(fa);
        return 0;
    }
}
