// Region list records and the first half of the region build: widening the placed graymap,
// labelling its four-connected components and listing each component's pixels.
//
// The widening runs `radius` passes; pass i looks at distance i around every cell of the graymap
// rectangle widened by i, so it costs 9 reads per cell of that rectangle plus one plane copy.
// The labelling is a union-find whose forest lives in the work plane itself: a mask cell holds
// the signed cell distance to its parent (0 at a root), every other cell LABEL_BACKGROUND. Finds
// compress their whole path, so the joins and the later finds cost close to one step per cell.
// Regions are numbered by the first cell of each component in plane order. Tally and fill find a
// cell's region through a map from label root to record (cost cells x log regions, 8 bytes per
// region), or, when that map cannot be allocated, by a linear search over the records (cost
// cells x regions); both give the same records.
#include "engine/regions.h"

#include <algorithm>
#include <cstring>

#include "engine/build_settings.h"
#include "engine/render_repaint.h"
#include "host/instance.h"
#include "host/memory.h"

void ReleaseRegion(Region *region) {
    FreeMemory(region->pixels);
    region->pixels = nullptr;
    region->pixelCount = 0;
    region->pixelsFilled = 0;
    FreeMemory(region->samples);
    region->samples = nullptr;
    region->sampleCount = 0;
    region->samplesFilled = 0;
}

void ReleaseRegionList(RegionList *list) {
    if (list->items) {
        for (int32_t i = 0; i < list->count; ++i) ReleaseRegion(&list->items[i]);
        FreeMemory(list->items);
    }
    list->items = nullptr;
    list->count = 0;
}

void ReleaseRemovalRegions(RemovalInstance *instance) {
    ReleaseRepaintPlan(instance);
    ReleaseRegionList(&instance->regions);
}

bool AllocateRegionList(RegionList *list, int32_t n) {
    ReleaseRegionList(list);
    if (n > 0) {
        list->count = n;
        list->items = static_cast<Region *>(AllocateZeroedArray((size_t)n, sizeof(Region)));
    }
    return (list->count == 0) == (list->items == nullptr);
}

static inline int32_t LinkOf(const uint32_t *cell) { return (int32_t)*cell; }

uint32_t *FindLabelRoot(uint32_t *cell) {
    if (*cell == LABEL_BACKGROUND || *cell == 0) return cell;
    uint32_t *root = cell;
    while (*root != 0) root += LinkOf(root);
    // Second walk: point every cell of the path straight at the root.
    uint32_t *p = cell;
    while (p != root) {
        uint32_t *next = p + LinkOf(p);
        *p = (uint32_t)(int32_t)(root - p);
        p = next;
    }
    return root;
}

void JoinLabels(uint32_t *a, uint32_t *b) {
    uint32_t *ra = FindLabelRoot(a);
    uint32_t *rb = FindLabelRoot(b);
    if (*ra != 0 || *rb != 0) return;  // either side is background
    *rb = (uint32_t)(int32_t)(ra - rb);
}

namespace {

// Failure path of the build: no regions. The work plane keeps whatever it holds at this point.
void FailBuild(RemovalInstance *instance) { ReleaseRemovalRegions(instance); }

// One widening pass at distance i over the rectangle [x0, x1) x [row0, row1) of plane rows.
// Cells outside the plane count as clear.
void WidenPass(const uint32_t *work, uint32_t *scratch, int32_t w, int32_t h, int32_t i,
               int32_t x0, int32_t x1, int32_t row0, int32_t row1) {
    for (int32_t row = row0; row < row1; ++row) {
        for (int32_t x = x0; x < x1; ++x) {
            bool any = false;
            for (int32_t dr = -1; dr <= 1 && !any; ++dr) {
                int32_t yy = row + dr * i;
                if (yy < 0 || yy >= h) continue;
                for (int32_t dc = -1; dc <= 1; ++dc) {
                    int32_t xx = x + dc * i;
                    if (xx < 0 || xx >= w) continue;
                    if (work[(size_t)yy * (size_t)w + (size_t)xx] != 0) {
                        any = true;
                        break;
                    }
                }
            }
            if (any) scratch[(size_t)row * (size_t)w + (size_t)x] = MASK_SET;
        }
    }
}

void WidenMask(RemovalInstance *instance, int32_t radius) {
    uint32_t *work = instance->workMask.pixels;
    uint32_t *scratch = instance->scratchMask.pixels;
    const int32_t w = instance->workMask.width, h = instance->workMask.height;
    const size_t bytes = (size_t)w * (size_t)h * sizeof(uint32_t);
    for (int32_t i = 1; i <= radius; ++i) {
        // 64-bit so that stored bounds of any value cannot overflow; the result lies in the plane.
        int64_t x0 = std::max<int64_t>((int64_t)instance->maskLeft - i, 0);
        int64_t x1 = std::min<int64_t>((int64_t)instance->maskRight + i, w);
        int64_t top = std::max<int64_t>((int64_t)instance->maskTop - i, 0);
        int64_t bottom = std::min<int64_t>((int64_t)instance->maskBottom + i, h);
        int64_t row0 = h - bottom, row1 = h - top;
        row0 = std::max<int64_t>(row0, 0);
        row1 = std::min<int64_t>(row1, h);
        if (x0 < x1 && row0 < row1)
            WidenPass(work, scratch, w, h, i, (int32_t)x0, (int32_t)x1, (int32_t)row0, (int32_t)row1);
        std::memcpy(work, scratch, bytes);
    }
}

// Joins every mask cell with its four neighbours (vertical ones rowStep rows away).
void LabelComponents(uint32_t *cells, int32_t w, int32_t h, int32_t rowStep) {
    const size_t n = (size_t)w * (size_t)h;
    for (size_t k = 0; k < n; ++k) cells[k] = cells[k] == MASK_SET ? 0u : LABEL_BACKGROUND;
    for (int32_t row = 0; row < h; ++row) {
        uint32_t *line = cells + (size_t)row * (size_t)w;
        for (int32_t x = 0; x < w; ++x) {
            uint32_t *p = line + x;
            if (*p == LABEL_BACKGROUND) continue;
            if (x > 0) JoinLabels(p - 1, p);
            if (x + 1 < w) JoinLabels(p, p + 1);
            if (row >= rowStep) JoinLabels(p - (ptrdiff_t)rowStep * w, p);
            if (row + rowStep < h) JoinLabels(p, p + (ptrdiff_t)rowStep * w);
        }
    }
}

// Finds the record of a cell's region. Two ways with identical results: a linear search over
// the records (no memory, cost cells x regions), or a map from each root (by its position among
// the roots in plane order, found by binary search) to its record (2 int32 per region, cost
// cells x log regions). The map is an aid: when it cannot be allocated the search is used.
struct RegionLookup {
    RegionList *list;
    const uint32_t *cells;
    int32_t *rootCells;  // cell index of every root, ascending; null: linear search
    int32_t *recordOf;   // record index for each root, -1 until claimed
    int32_t claimed;
};

void OpenLookup(RegionLookup *lookup, RegionList *list, const uint32_t *cells, size_t n) {
    lookup->list = list;
    lookup->cells = cells;
    lookup->claimed = 0;
    lookup->rootCells = nullptr;
    lookup->recordOf = nullptr;
    if (list->count <= 0) return;
    int32_t *map = static_cast<int32_t *>(AllocateArray((size_t)list->count * 2, sizeof(int32_t)));
    if (!map) return;
    lookup->rootCells = map;
    lookup->recordOf = map + list->count;
    int32_t next = 0;
    for (size_t k = 0; k < n && next < list->count; ++k)
        if (cells[k] == 0) lookup->rootCells[next++] = (int32_t)k;
    for (int32_t i = 0; i < list->count; ++i) lookup->recordOf[i] = -1;
}

void CloseLookup(RegionLookup *lookup) {
    FreeMemory(lookup->rootCells);
    lookup->rootCells = nullptr;
    lookup->recordOf = nullptr;
}

// Position of `root` among the roots; -1 if it is none (cannot happen while labels are intact).
int32_t RootSlot(const RegionLookup &lookup, const uint32_t *root) {
    const int32_t key = (int32_t)(root - lookup.cells);
    const int32_t *first = lookup.rootCells, *last = first + lookup.list->count;
    const int32_t *at = std::lower_bound(first, last, key);
    return at != last && *at == key ? (int32_t)(at - first) : -1;
}

// The record of the region whose label root is `root`, claiming the first free record when the
// root is new, so records are numbered in the order their first cells come.
Region *ClaimRegion(RegionLookup *lookup, uint32_t *root) {
    RegionList *list = lookup->list;
    if (lookup->rootCells) {
        const int32_t slot = RootSlot(*lookup, root);
        if (slot < 0) return nullptr;
        int32_t &record = lookup->recordOf[slot];
        if (record < 0) {
            if (lookup->claimed >= list->count) return nullptr;
            record = lookup->claimed++;
            Region *region = &list->items[record];
            region->used = true;
            region->root = root;
            region->tally = 0;
            return region;
        }
        return &list->items[record];
    }
    for (int32_t i = 0; i < list->count; ++i) {
        Region *region = &list->items[i];
        if (!region->used) {
            region->used = true;
            region->root = root;
            region->tally = 0;
            return region;
        }
        if (region->root == root) return region;
    }
    return nullptr;
}

Region *FindRegion(const RegionLookup &lookup, const uint32_t *root) {
    RegionList *list = lookup.list;
    if (lookup.rootCells) {
        const int32_t slot = RootSlot(lookup, root);
        const int32_t record = slot < 0 ? -1 : lookup.recordOf[slot];
        return record < 0 ? nullptr : &list->items[record];
    }
    for (int32_t i = 0; i < list->count; ++i) {
        Region *region = &list->items[i];
        if (region->used && region->root == root) return region;
    }
    return nullptr;
}

// Tally, pixel arrays and fill. False when a pixel array could not be allocated.
bool ListRegionPixels(RegionList *list, uint32_t *cells, int32_t w, int32_t h) {
    const size_t n = (size_t)w * (size_t)h;
    RegionLookup lookup;
    OpenLookup(&lookup, list, cells, n);
    for (size_t k = 0; k < n; ++k) {
        if (cells[k] == LABEL_BACKGROUND) continue;
        Region *region = ClaimRegion(&lookup, FindLabelRoot(cells + k));
        if (region) ++region->tally;
    }

    bool failed = false;
    for (int32_t i = 0; i < list->count; ++i) {
        Region *region = &list->items[i];
        FreeMemory(region->pixels);
        region->pixels = nullptr;
        region->pixelsFilled = 0;
        if (region->tally >= 1) {
            region->pixelCount = region->tally;
            region->pixels =
                static_cast<RegionPixel *>(AllocateArray((size_t)region->tally, sizeof(RegionPixel)));
        } else {
            region->pixelCount = 0;
        }
        if (!region->pixels && region->pixelCount != 0) failed = true;
    }
    if (failed) {
        CloseLookup(&lookup);
        return false;
    }

    for (int32_t row = 0; row < h; ++row) {
        uint32_t *line = cells + (size_t)row * (size_t)w;
        for (int32_t x = 0; x < w; ++x) {
            if (line[x] == LABEL_BACKGROUND) continue;
            Region *region = FindRegion(lookup, FindLabelRoot(line + x));
            if (region && region->pixelsFilled < region->pixelCount) {
                region->pixels[region->pixelsFilled].x = x;
                region->pixels[region->pixelsFilled].y = row;
                ++region->pixelsFilled;
            }
        }
    }
    CloseLookup(&lookup);
    return true;
}

}  // namespace

void BuildRemovalRegions(RemovalInstance *instance, const FilterActivation *activation) {
    instance->rebuildPending = false;
    // The weight table is replaced below, so the plan goes with the regions it described.
    ReleaseRemovalRegions(instance);
    if (!instance->graymap.pixels) return;

    const BuildSettings settings = ClampedBuildSettings(instance);
    bool workReady = PrepareMaskImage(instance, &instance->workMask);
    bool scratchReady = PrepareMaskImage(instance, &instance->scratchMask);
    if (!workReady || !scratchReady) return FailBuild(instance);

    const int32_t w = instance->workMask.width, h = instance->workMask.height;
    // A graymap placed for another frame size would be read out of bounds: no regions.
    if (instance->graymap.width != w || instance->graymap.height != h) return;

    const int32_t r = settings.radius;
    instance->maskLeft = std::max(instance->maskLeft, r);
    instance->maskTop = std::max(instance->maskTop, r);
    instance->maskRight = std::min(instance->maskRight, w - r);
    instance->maskBottom = std::min(instance->maskBottom, h - r);

    const size_t bytes = (size_t)w * (size_t)h * sizeof(uint32_t);
    std::memcpy(instance->workMask.pixels, instance->graymap.pixels, bytes);
    std::memcpy(instance->scratchMask.pixels, instance->graymap.pixels, bytes);
    WidenMask(instance, r);

    uint32_t *cells = instance->workMask.pixels;
    LabelComponents(cells, w, h, settings.rowStep);

    int32_t roots = 0;
    for (size_t k = 0; k < (size_t)w * (size_t)h; ++k)
        if (cells[k] == 0) ++roots;
    if (!AllocateRegionList(&instance->regions, roots)) return FailBuild(instance);
    if (!ListRegionPixels(&instance->regions, cells, w, h)) return FailBuild(instance);

    for (size_t k = 0; k < (size_t)w * (size_t)h; ++k)
        cells[k] = cells[k] == LABEL_BACKGROUND ? 0u : MASK_SET;
    CollectBorderSamples(instance, activation);
    // Per-build data of the repaint; none when the build ended without regions or table.
    PrepareRepaintPlan(instance);
}
