// The per-use instance record of the filter and the small operations on its planes and lists.
#pragma once

#include <cstdint>

#include "engine/regions.h"
#include "host/vdplugin.h"

struct RepaintPlan;

constexpr int kPathCapacity = 260;  // paths and directories: 259 characters and a zero

// One frame-sized plane of 32-bit cells, stored bottom-up like the host's frames.
struct MaskImage {
    int32_t width;
    int32_t height;
    uint32_t *pixels;
    char path[kPathCapacity];
};

struct SubtitleEntry {
    int32_t startFrame;  // inclusive
    int32_t endFrame;    // inclusive
    int32_t x;           // left picture column of the graymap
    int32_t y;           // top picture row of the graymap, counted from the top
};

struct SubtitleList {
    SubtitleEntry *entries;
    int32_t count;
};

// The host allocates this zero-filled (inst_data_size bytes) and hands it to every callback.
struct RemovalInstance {
    int32_t mode;  // OutputMode; any value may arrive through a script
    MaskImage workMask;
    MaskImage scratchMask;
    MaskImage graymap;
    SubtitleList subtitles;
    int32_t currentSubtitle;
    int32_t depth;
    int32_t radius;
    int32_t power;
    bool interlaced;
    bool rebuildPending;
    int32_t pixelAspect;
    RegionList regions;
    float *weights;
    int32_t weightStride;
    char directory[kPathCapacity];
    FilterActivation *activation;
    HWND dialog;
    bool previewShown;
    int32_t maskLeft;
    int32_t maskTop;
    int32_t maskRight;
    int32_t maskBottom;
    // Per-build data of the vectorised repaint (engine/render_repaint.h); null when none.
    RepaintPlan *repaintPlan;
};

// Frees the plane's pixels and sets width and height to 0; path is kept.
void ReleaseMaskImage(MaskImage *image);
// Makes `image` a cleared plane of the stored activation's source size, reusing its buffer
// when the size is unchanged. True when the plane has pixels.
bool PrepareMaskImage(RemovalInstance *instance, MaskImage *image);
// Frees the entries and sets count to 0.
void ReleaseSubtitleList(SubtitleList *list);
// The instance stored as the activation's filter data.
RemovalInstance *InstanceOf(const FilterActivation *activation);
// Frame selection reads the frame number through the stored activation, and the host hands the
// activation only to callbacks: every callback that can lead to a selection (startProc, runProc,
// configProc, Config) stores it first.
void RememberActivation(const FilterActivation *activation);

// Lifecycle callbacks of the filter definition.
int initProc(FilterActivation *fa, const FilterFunctions *ff);
void deinitProc(FilterActivation *fa, const FilterFunctions *ff);
VDLong paramProc(FilterActivation *fa, const FilterFunctions *ff);
int startProc(FilterActivation *fa, const FilterFunctions *ff);
int endProc(FilterActivation *fa, const FilterFunctions *ff);

// The filter definition registered with the host.
extern FilterDefinition g_filterDefinition;

extern "C" {
int VirtualdubFilterModuleInit2(FilterModule *fm, const FilterFunctions *ff, int *vdfdVersion,
                                int *vdfdCompatible);
void VirtualdubFilterModuleDeinit(FilterModule *fm, const FilterFunctions *ff);
}
