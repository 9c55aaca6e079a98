// The removal model of one subtitle: the connected regions of the widened mask, each with the
// pixels to repaint and the border samples that repaint them, and the distance weight table.
#pragma once

#include <cstdint>

struct RemovalInstance;
struct FilterActivation;

// Plane cell values. A build also stores label links (signed cell distances) in the work plane.
constexpr uint32_t MASK_SET = 0x00FF0000u;
constexpr uint32_t SAMPLE_TAKEN = 0x00FFFF00u;
constexpr uint32_t SAMPLE_PENDING = 0x00FFFF01u;
constexpr uint32_t LABEL_BACKGROUND = 0x80000000u;

// One pixel to repaint, in plane coordinates (row 0 is the bottom row of the picture).
struct RegionPixel {
    int32_t x;
    int32_t y;
};

// One source pixel that repaints a region; byteOffset = y * source pitch + 4 * x.
struct BorderSample {
    int32_t x;
    int32_t y;
    int32_t byteOffset;
};

struct Region {
    BorderSample *samples;
    int32_t sampleCount;
    int32_t samplesFilled;
    RegionPixel *pixels;
    int32_t pixelCount;
    int32_t pixelsFilled;
    uint32_t *root;  // the region's label root cell while a build runs; meaningless after it
    bool used;
    int32_t tally;
};

// Invariant after every build and release: items is null exactly when count is 0.
struct RegionList {
    Region *items;
    int32_t count;
};

// Frees a region's pixel and sample arrays and zeroes their counts; root, used, tally stay.
void ReleaseRegion(Region *region);
// Releases every region, then the array; leaves items null and count 0.
void ReleaseRegionList(RegionList *list);
// Replaces the list with n regions in their initial state (n <= 0: an empty list). False when
// the array could not be allocated.
bool AllocateRegionList(RegionList *list, int32_t n);

// Largest |px - sx| and |py - sy| over the pixel/sample pairs of every well-formed region (both
// arrays present and non-empty), and the largest sample count of any region. Sizes the weight
// table and the repaint plan's mirrored rows alike. Costs one pass over pixels and samples.
struct RegionExtents {
    int32_t maxDx;
    int32_t maxDy;
    int32_t maxSamples;
};
RegionExtents MeasureRegions(const RegionList &list);

// Union-find over the work plane's cells (see the labelling in regions.cpp).
uint32_t *FindLabelRoot(uint32_t *cell);
void JoinLabels(uint32_t *a, uint32_t *b);

// Releases the instance's regions and the repaint plan made for them. The two always go together:
// the plan is recognised by the addresses of the list and table it was made for, so it must not
// outlive a list whose blocks a later allocation could hand out again.
void ReleaseRemovalRegions(RemovalInstance *instance);

// Rebuilds the regions, their samples and the weight table from the placed graymap.
void BuildRemovalRegions(RemovalInstance *instance, const FilterActivation *activation);
// Second half of the build: border samples of every region, then the weight table.
void CollectBorderSamples(RemovalInstance *instance, const FilterActivation *activation);
// Weight for every pixel-to-sample distance of the current regions.
void BuildWeightTable(RemovalInstance *instance);
