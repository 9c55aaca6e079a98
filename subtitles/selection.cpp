// Per-frame subtitle selection: finds the subtitle of the host's current source frame and, only
// when it differs from the one already placed (or a parameter change is pending), places its
// graymap and rebuilds the removal regions. A frame inside the same subtitle costs one walk of
// the subtitle list.
#include <cstdio>

#include "engine/regions.h"
#include "host/instance.h"
#include "subtitles/graymap.h"
#include "subtitles/subtitles.h"

namespace {

// Names the graymap of list position `position` in `directory`. False when the name does not
// fit: the plane's path then holds as much of it as fits, for the message box, and must not be
// opened, because a shortened name may well name another file.
bool NameGraymapFile(const char *directory, int32_t position, MaskImage *plane) {
    int length = std::snprintf(plane->path, sizeof(plane->path), "%s\\image_%ld.pgm", directory, (long)position);
    return length >= 0 && length < (int)sizeof(plane->path);
}

}  // namespace

int32_t FindSubtitleAtFrame(const SubtitleList *list, int32_t frame) {
    if (!list || !list->entries) return -1;
    for (int32_t i = 0; i < list->count; ++i) {
        const SubtitleEntry &entry = list->entries[i];
        if (entry.startFrame <= frame && frame <= entry.endFrame) return i;
    }
    return -1;
}

bool SelectSubtitleForFrame(RemovalInstance *instance) {
    FilterActivation *activation = instance->activation;
    // Without frame state (the host's marker, or no state at all) nothing can be chosen.
    if (!activation) return false;
    const FilterStateInfo *state = activation->pfsi;
    if (!state || (uintptr_t)state == FILTER_STATE_MARKER) return false;

    const int32_t position = FindSubtitleAtFrame(&instance->subtitles, state->lCurrentSourceFrame);
    if (position < 0) {
        PrepareMaskImage(instance, &instance->graymap);
        ReleaseRemovalRegions(instance);
        if (instance->rebuildPending) BuildRemovalRegions(instance, activation);
        instance->currentSubtitle = -1;
        return false;
    }

    if (position == instance->currentSubtitle) {
        if (instance->rebuildPending) BuildRemovalRegions(instance, activation);
    } else if (PrepareMaskImage(instance, &instance->graymap)) {
        const SubtitleEntry &entry = instance->subtitles.entries[position];
        const bool named = NameGraymapFile(instance->directory, position, &instance->graymap);
        instance->maskLeft = entry.x;
        instance->maskTop = entry.y;
        if (named) {
            LoadGraymap(instance, true);
        } else {
            FailGraymapLoad(instance, GRAYMAP_NOT_FOUND, true);
        }
        BuildRemovalRegions(instance, activation);
    } else {
        // No plane for the new subtitle: the previous subtitle's regions must not be painted
        // over the frames of this one.
        ReleaseRemovalRegions(instance);
    }
    instance->currentSubtitle = position;
    return true;
}
