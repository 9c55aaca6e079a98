// Internal to the subtitle data: the failure path of the graymap loader, which the frame
// selection also takes when a graymap name does not fit its buffer.
#pragma once

#include <cstdint>

struct RemovalInstance;

// Releases the graymap plane (its path stays), shows the result's message box when
// `showMessages` is set, and returns `result` (one of GRAYMAP_NO_NAME .. GRAYMAP_READ_ERROR).
int32_t FailGraymapLoad(RemovalInstance *instance, int32_t result, bool showMessages);
