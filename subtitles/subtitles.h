// Subtitle data: the bitmap sequence index, graymap loading and per-frame selection.
#pragma once

#include <cstdint>

struct RemovalInstance;
struct SubtitleList;

// Graymap loader result codes.
enum GraymapResult : int32_t {
    GRAYMAP_OK = 0,
    GRAYMAP_NO_NAME = 1,
    GRAYMAP_NOT_FOUND = 2,
    GRAYMAP_CORRUPT = 3,
    GRAYMAP_READ_ERROR = 4,
};

int32_t LoadGraymap(RemovalInstance *instance, bool showMessages);
void ChooseSubtitleIndex(RemovalInstance *instance);
void UpdateModeButtons(RemovalInstance *instance);
int32_t FindSubtitleAtFrame(const SubtitleList *list, int32_t frame);
bool SelectSubtitleForFrame(RemovalInstance *instance);
