// Region list records and the region build (widening, labelling, pixel lists).
#include "engine/regions.h"

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

bool AllocateRegionList(RegionList *list, int32_t n) {
    ReleaseRegionList(list);
    if (n > 0) {
        list->count = n;
        list->items = static_cast<Region *>(AllocateZeroedArray((size_t)n, sizeof(Region)));
    }
    return (list->count == 0) == (list->items == nullptr);
}

// Placeholders until the region build lands: they leave no regions.
uint32_t *FindLabelRoot(uint32_t *cell) { return cell; }
void JoinLabels(uint32_t *, uint32_t *) {}
void BuildRemovalRegions(RemovalInstance *instance, const FilterActivation *) {
    instance->rebuildPending = false;
    ReleaseRegionList(&instance->regions);
}
void CollectBorderSamples(RemovalInstance *, const FilterActivation *) {}
void BuildWeightTable(RemovalInstance *) {}
