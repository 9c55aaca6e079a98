// Module entry points, the filter definition and the instance's lifecycle callbacks.
#include <cstring>

#include "engine/regions.h"
#include "engine/render.h"
#include "engine/render_repaint.h"
#include "host/instance.h"
#include "host/memory.h"
#include "host/params.h"
#include "host/script.h"
#include "subtitles/subtitles.h"
#include "ui/dialog.h"

namespace {

// The host's copy of the definition, returned by addFilter; the one module-wide value.
FilterDefinition *g_registration = nullptr;

constexpr ScriptArgumentList kConfigArguments = ConfigArgumentList();

ScriptFunctionDef g_scriptFunctions[] = {
    {Config, "Config", kConfigArguments.text},
    {nullptr, nullptr, nullptr},
};

CScriptObject g_scriptObject = {nullptr, g_scriptFunctions, nullptr};

}  // namespace

void RememberActivation(const FilterActivation *fa) {
    InstanceOf(fa)->activation = const_cast<FilterActivation *>(fa);
}

FilterDefinition g_filterDefinition = {
    nullptr,
    nullptr,
    nullptr,
    "Vexlin Companion Subtitle Removal",
    "Removes subtitles recognized by Vexlin",
    "Subtitle Removal project",
    nullptr,
    (int)sizeof(RemovalInstance),
    initProc,
    deinitProc,
    RenderFrame,
    paramProc,
    configProc,
    stringProc,
    startProc,
    endProc,
    &g_scriptObject,
    fssProc,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

RemovalInstance *InstanceOf(const FilterActivation *activation) {
    return static_cast<RemovalInstance *>(activation->filter_data);
}

void ReleaseMaskImage(MaskImage *image) {
    FreeMemory(image->pixels);
    image->pixels = nullptr;
    image->width = 0;
    image->height = 0;
}

bool PrepareMaskImage(RemovalInstance *instance, MaskImage *image) {
    const VFBitmap *src = instance->activation ? instance->activation->src : nullptr;
    int32_t w = src ? src->w : 0;
    int32_t h = src ? src->h : 0;
    // A frame without a positive size cannot hold a plane; treat it like a failed allocation.
    if (w <= 0 || h <= 0) {
        ReleaseMaskImage(image);
        image->path[0] = '\0';
        return false;
    }
    if (image->pixels && (image->width != w || image->height != h)) ReleaseMaskImage(image);
    image->width = w;
    image->height = h;
    if (!image->pixels) image->pixels = static_cast<uint32_t *>(AllocateArray((size_t)w * (size_t)h, 4));
    image->path[0] = '\0';
    if (image->pixels) std::memset(image->pixels, 0, (size_t)w * (size_t)h * 4);
    return image->pixels != nullptr;
}

int initProc(FilterActivation *fa, const FilterFunctions *) {
    RemovalInstance *instance = InstanceOf(fa);
    for (int id = 0; id < PARAM_COUNT; ++id) WriteParameter(instance, (ParameterId)id, kParameters[id].defaultValue);
    instance->directory[0] = '\0';
    return 0;
}

void deinitProc(FilterActivation *fa, const FilterFunctions *) {
    RemovalInstance *instance = InstanceOf(fa);
    ReleaseMaskImage(&instance->workMask);
    ReleaseMaskImage(&instance->scratchMask);
    ReleaseMaskImage(&instance->graymap);
    ReleaseSubtitleList(&instance->subtitles);
    ReleaseRemovalRegions(instance);
    FreeMemory(instance->weights);
    instance->weights = nullptr;
}

VDLong paramProc(FilterActivation *fa, const FilterFunctions *) {
    fa->dst->offset = fa->src->offset;
    fa->dst->modulo = fa->src->modulo;
    fa->dst->pitch = fa->src->pitch;
    return FILTERPARAM_SWAP_BUFFERS;
}

int startProc(FilterActivation *fa, const FilterFunctions *) {
    RememberActivation(fa);
    SelectSubtitleForFrame(InstanceOf(fa));
    return 0;
}

int endProc(FilterActivation *, const FilterFunctions *) { return 0; }

extern "C" MODULE_EXPORT int VirtualdubFilterModuleInit2(FilterModule *fm, const FilterFunctions *ff, int *vdfdVersion,
                                           int *vdfdCompatible) {
    FilterDefinition *registered = ff->addFilter(fm, &g_filterDefinition, (int)sizeof(FilterDefinition));
    if (!registered) return 1;
    g_registration = registered;
    *vdfdVersion = VIRTUALDUB_FILTERDEF_VERSION;
    *vdfdCompatible = VIRTUALDUB_FILTERDEF_COMPATIBLE;
    return 0;
}

extern "C" MODULE_EXPORT void VirtualdubFilterModuleDeinit(FilterModule *, const FilterFunctions *ff) {
    ff->removeFilter(g_registration);
    g_registration = nullptr;
}
