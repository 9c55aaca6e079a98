// Per-frame subtitle selection. Placeholders until the subtitle data lands.
#include "host/instance.h"
#include "subtitles/subtitles.h"

int32_t LoadGraymap(RemovalInstance *, bool) { return GRAYMAP_NO_NAME; }
void ChooseSubtitleIndex(RemovalInstance *instance) { instance->currentSubtitle = -1; }
void UpdateModeButtons(RemovalInstance *) {}
int32_t FindSubtitleAtFrame(const SubtitleList *, int32_t) { return -1; }
bool SelectSubtitleForFrame(RemovalInstance *) { return false; }
