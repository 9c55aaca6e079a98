// Straightforward region build for tests: each step written the plain way, in the order the
// build is defined, with no shortcut. Cost: cells x regions for tally and fill, and a whole-plane
// scan per region to store samples.
#include "support/reference_engine.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/regions.h"
#include "host/memory.h"
#include "host/params.h"

namespace {

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : v > hi ? hi : v; }

struct Settings {
    int32_t radius, depth, power, pixelAspect, rowStep;
    bool interlaced;
};

Settings Read(const RemovalInstance *inst) {
    Settings s;
    s.radius = Clamp(inst->radius, kParameters[PARAM_RADIUS].minimum, kParameters[PARAM_RADIUS].maximum);
    s.depth = Clamp(inst->depth, kParameters[PARAM_DEPTH].minimum, kParameters[PARAM_DEPTH].maximum);
    s.power = Clamp(inst->power, kParameters[PARAM_POWER].minimum, kParameters[PARAM_POWER].maximum);
    s.pixelAspect = Clamp(inst->pixelAspect, kParameters[PARAM_PIXEL_ASPECT].minimum,
                          kParameters[PARAM_PIXEL_ASPECT].maximum);
    s.interlaced = inst->interlaced;
    s.rowStep = s.interlaced ? 2 : 1;
    return s;
}

void ReleaseAll(RegionList *list) {
    if (list->items) {
        for (int32_t i = 0; i < list->count; ++i) {
            FreeMemory(list->items[i].pixels);
            FreeMemory(list->items[i].samples);
        }
        FreeMemory(list->items);
    }
    list->items = nullptr;
    list->count = 0;
}

// Union-find over cell indices; links are signed cell distances, 0 at a root.
int64_t Root(uint32_t *cells, int64_t p) {
    if (cells[p] == LABEL_BACKGROUND || cells[p] == 0) return p;
    int64_t root = p;
    while (cells[root] != 0) root += (int32_t)cells[root];
    int64_t q = p;
    while (cells[q] != 0) {
        int64_t next = q + (int32_t)cells[q];
        cells[q] = (uint32_t)(int32_t)(root - q);
        q = next;
    }
    return root;
}

void Join(uint32_t *cells, int64_t a, int64_t b) {
    int64_t ra = Root(cells, a), rb = Root(cells, b);
    if (cells[ra] == 0 && cells[rb] == 0) cells[rb] = (uint32_t)(int32_t)(ra - rb);
}

uint32_t At(const uint32_t *cells, int32_t w, int32_t h, int64_t x, int64_t row) {
    if (x < 0 || x >= w || row < 0 || row >= h) return 0;  // outside the frame counts as clear
    return cells[row * w + x];
}

}  // namespace

void ReferenceBuildRemovalRegions(RemovalInstance *inst, const FilterActivation *activation) {
    inst->rebuildPending = false;
    ReleaseAll(&inst->regions);
    if (!inst->graymap.pixels) return;
    Settings s = Read(inst);
    bool a = PrepareMaskImage(inst, &inst->workMask);
    bool b = PrepareMaskImage(inst, &inst->scratchMask);
    if (!a || !b) return ReleaseAll(&inst->regions);
    const int32_t W = inst->workMask.width, H = inst->workMask.height;
    if (inst->graymap.width != W || inst->graymap.height != H) return;
    const int32_t r = s.radius;

    if (inst->maskLeft < r) inst->maskLeft = r;
    if (inst->maskTop < r) inst->maskTop = r;
    if (inst->maskRight > W - r) inst->maskRight = W - r;
    if (inst->maskBottom > H - r) inst->maskBottom = H - r;

    uint32_t *work = inst->workMask.pixels;
    uint32_t *scratch = inst->scratchMask.pixels;
    const int64_t N = (int64_t)W * H;
    for (int64_t k = 0; k < N; ++k) work[k] = scratch[k] = inst->graymap.pixels[k];

    for (int32_t i = 1; i <= r; ++i) {
        int64_t x0 = (int64_t)inst->maskLeft - i;
        if (x0 < 0) x0 = 0;
        int64_t x1 = (int64_t)inst->maskRight + i;
        if (x1 > W) x1 = W;
        int64_t top = (int64_t)inst->maskTop - i;
        if (top < 0) top = 0;
        int64_t bottom = (int64_t)inst->maskBottom + i;
        if (bottom > H) bottom = H;
        for (int64_t row = H - bottom; row < H - top; ++row) {
            if (row < 0 || row >= H) continue;
            for (int64_t x = x0; x < x1; ++x) {
                bool any = At(work, W, H, x, row) || At(work, W, H, x - i, row) || At(work, W, H, x + i, row) ||
                           At(work, W, H, x, row - i) || At(work, W, H, x, row + i) ||
                           At(work, W, H, x - i, row - i) || At(work, W, H, x + i, row - i) ||
                           At(work, W, H, x - i, row + i) || At(work, W, H, x + i, row + i);
                if (any) scratch[row * W + x] = MASK_SET;
            }
        }
        for (int64_t k = 0; k < N; ++k) work[k] = scratch[k];
    }

    for (int64_t k = 0; k < N; ++k) work[k] = work[k] == MASK_SET ? 0u : LABEL_BACKGROUND;
    for (int64_t row = 0; row < H; ++row) {
        for (int64_t x = 0; x < W; ++x) {
            int64_t p = row * W + x;
            if (work[p] == LABEL_BACKGROUND) continue;
            if (x > 0) Join(work, p - 1, p);
            if (x + 1 < W) Join(work, p, p + 1);
            if (row >= s.rowStep) Join(work, p - s.rowStep * (int64_t)W, p);
            if (row + s.rowStep < H) Join(work, p, p + s.rowStep * (int64_t)W);
        }
    }

    int32_t n = 0;
    for (int64_t k = 0; k < N; ++k)
        if (work[k] == 0) ++n;
    if (n > 0) {
        inst->regions.count = n;
        inst->regions.items = static_cast<Region *>(AllocateZeroedArray((size_t)n, sizeof(Region)));
        if (!inst->regions.items) return ReleaseAll(&inst->regions);
    }
    RegionList &list = inst->regions;

    for (int64_t k = 0; k < N; ++k) {
        if (work[k] == LABEL_BACKGROUND) continue;
        uint32_t *root = work + Root(work, k);
        for (int32_t j = 0; j < list.count; ++j) {
            Region &region = list.items[j];
            if (!region.used) {
                region.used = true;
                region.root = root;
                region.tally = 1;
                break;
            }
            if (region.root == root) {
                ++region.tally;
                break;
            }
        }
    }

    bool failed = false;
    for (int32_t j = 0; j < list.count; ++j) {
        Region &region = list.items[j];
        FreeMemory(region.pixels);
        region.pixels = nullptr;
        region.pixelsFilled = 0;
        if (region.tally >= 1) {
            region.pixelCount = region.tally;
            region.pixels = static_cast<RegionPixel *>(AllocateArray((size_t)region.tally, sizeof(RegionPixel)));
        } else {
            region.pixelCount = 0;
        }
        if (!region.pixels && region.pixelCount != 0) failed = true;
    }
    if (failed) return ReleaseAll(&list);

    for (int64_t k = 0; k < N; ++k) {
        if (work[k] == LABEL_BACKGROUND) continue;
        uint32_t *root = work + Root(work, k);
        for (int32_t j = 0; j < list.count; ++j) {
            Region &region = list.items[j];
            if (!region.used || region.root != root) continue;
            if (region.pixelsFilled < region.pixelCount) {
                region.pixels[region.pixelsFilled].x = (int32_t)(k % W);
                region.pixels[region.pixelsFilled].y = (int32_t)(k / W);
                ++region.pixelsFilled;
            }
            break;
        }
    }

    for (int64_t k = 0; k < N; ++k) work[k] = work[k] == LABEL_BACKGROUND ? 0u : MASK_SET;
    ReferenceCollectBorderSamples(inst, activation);
}

void ReferenceCollectBorderSamples(RemovalInstance *inst, const FilterActivation *activation) {
    Settings s = Read(inst);
    const double sX = AspectScaleX(s.pixelAspect), sY = AspectScaleY(s.pixelAspect);
    int32_t reachX = (int32_t)std::ceil(s.depth * sX * 0.1) + 1;
    int32_t reachY = (int32_t)std::ceil(s.depth * sY * 0.1) + 1;
    if (s.interlaced && reachY % 2 == 1) ++reachY;
    const double limit = (double)(s.depth * s.depth) * 0.01;
    const int32_t step = s.rowStep;
    uint32_t *work = inst->workMask.pixels;
    const int32_t W = inst->workMask.width, H = inst->workMask.height;
    const int64_t pitch = activation->src->pitch;
    RegionList &list = inst->regions;

    bool failed = false;
    for (int32_t j = 0; j < list.count; ++j) {
        Region &region = list.items[j];
        int32_t count = 0;
        for (int32_t k = 0; k < region.pixelCount; ++k) {
            const int32_t x = region.pixels[k].x, y = region.pixels[k].y;
            bool border = (x > 0 && work[(int64_t)y * W + x - 1] != MASK_SET) ||
                          (x < W - 1 && work[(int64_t)y * W + x + 1] != MASK_SET) ||
                          (y >= step && work[(int64_t)(y - step) * W + x] != MASK_SET) ||
                          (y < H - step && work[(int64_t)(y + step) * W + x] != MASK_SET);
            if (!border) continue;
            int32_t c0 = x - reachX < 0 ? 0 : x - reachX;
            int32_t c1 = x + reachX > W - 1 ? W - 1 : x + reachX;
            int32_t r0 = y - reachY;
            while (r0 < 0) r0 += step;
            int32_t r1 = y + reachY > H - 1 ? H - 1 : y + reachY;
            for (int32_t row = r0; row <= r1; row += step) {
                for (int32_t col = c0; col <= c1; ++col) {
                    uint32_t &cell = work[(int64_t)row * W + col];
                    if (cell == MASK_SET || cell == SAMPLE_PENDING) continue;
                    int32_t dx = col - x, dy = row - y;
                    double a = dx / sX, b = dy / sY;
                    if (a * a + b * b <= limit || (dx == 0 && std::abs(dy) == step) ||
                        (dy == 0 && std::abs(dx) == 1)) {
                        cell = SAMPLE_PENDING;
                        ++count;
                    }
                }
            }
        }
        if (failed) continue;
        FreeMemory(region.samples);
        region.samplesFilled = 0;
        if (count >= 1) {
            region.sampleCount = count;
            region.samples = static_cast<BorderSample *>(AllocateArray((size_t)count, sizeof(BorderSample)));
        } else {
            region.sampleCount = 0;
            region.samples = nullptr;
        }
        if (!region.samples && region.sampleCount != 0) {
            failed = true;
            continue;
        }
        for (int32_t row = 0; row < H; ++row) {
            for (int32_t x = 0; x < W; ++x) {
                uint32_t &cell = work[(int64_t)row * W + x];
                if (cell != SAMPLE_PENDING) continue;
                BorderSample &sample = region.samples[region.samplesFilled++];
                sample.x = x;
                sample.y = row;
                sample.byteOffset = (int32_t)(row * pitch + 4 * (int64_t)x);
                cell = SAMPLE_TAKEN;
            }
        }
    }
    if (failed) return ReleaseAll(&list);
    ReferenceBuildWeightTable(inst);
}

void ReferenceBuildWeightTable(RemovalInstance *inst) {
    FreeMemory(inst->weights);
    inst->weights = nullptr;
    RegionList &list = inst->regions;
    if ((list.count == 0) != (list.items == nullptr)) return;
    Settings s = Read(inst);

    int32_t maxDx = 0, maxDy = 0, maxSamples = 0;
    for (int32_t j = 0; j < list.count; ++j) {
        const Region &region = list.items[j];
        int32_t H = 0, V = 0;
        if ((region.samples != nullptr) == (region.sampleCount != 0) &&
            (region.pixels != nullptr) == (region.pixelCount != 0) && region.sampleCount > 0 &&
            region.pixelCount > 0) {
            int32_t sMinX = INT32_MAX, sMaxX = INT32_MIN, sMinY = INT32_MAX, sMaxY = INT32_MIN;
            for (int32_t k = 0; k < region.sampleCount; ++k) {
                const BorderSample &q = region.samples[k];
                if (q.x < sMinX) sMinX = q.x;
                if (q.x > sMaxX) sMaxX = q.x;
                if (q.y < sMinY) sMinY = q.y;
                if (q.y > sMaxY) sMaxY = q.y;
            }
            int32_t pMinX = INT32_MAX, pMaxX = INT32_MIN, pMinY = INT32_MAX, pMaxY = INT32_MIN;
            for (int32_t k = 0; k < region.pixelCount; ++k) {
                const RegionPixel &q = region.pixels[k];
                if (q.x < pMinX) pMinX = q.x;
                if (q.x > pMaxX) pMaxX = q.x;
                if (q.y < pMinY) pMinY = q.y;
                if (q.y > pMaxY) pMaxY = q.y;
            }
            H = sMaxX - pMinX > pMaxX - sMinX ? sMaxX - pMinX : pMaxX - sMinX;
            V = sMaxY - pMinY > pMaxY - sMinY ? sMaxY - pMinY : pMaxY - sMinY;
        }
        if (H > maxDx) maxDx = H;
        if (V > maxDy) maxDy = V;
        if (region.sampleCount > maxSamples) maxSamples = region.sampleCount;
    }
    if (s.interlaced && maxDx % 2 == 0) ++maxDx;
    const int32_t rowLength = maxDx + 1;
    float *table = static_cast<float *>(AllocateArray((size_t)rowLength * (size_t)(maxDy + 1), sizeof(float)));
    // 2^23 samples or more would overflow the 32-bit scale; treated like a failed allocation.
    if (!table || maxSamples == 0 || maxSamples >= (1 << 23)) {
        FreeMemory(table);
        ReleaseAll(&list);
        return;
    }
    inst->weights = table;
    inst->weightStride = s.interlaced ? rowLength / 2 : rowLength;
    const double K = (double)FLT_MAX / (double)(maxSamples << 8);
    const double g = s.power * (double)0.05f;
    const double sx = AspectScaleX(s.pixelAspect), sy = AspectScaleY(s.pixelAspect);
    const double sx2 = sx * sx, sy2 = sy * sy;
    int64_t index = 0;
    for (int32_t dy = 0; dy <= maxDy; dy += s.rowStep) {
        for (int32_t dx = 0; dx <= maxDx; ++dx) {
            if (dx == 0 && dy == 0) {
                table[index++] = 0.0f;
                continue;
            }
            double d2 = (double)(dx * dx) * sx2 + (double)(dy * dy) * sy2;
            double weight = K / std::pow(d2, g);
            if (!(weight >= FLT_EPSILON)) weight = FLT_EPSILON;
            table[index++] = (float)weight;
        }
    }
}
