// Producing the output frame in the instance's mode.
#pragma once

#include "host/vdplugin.h"

struct RemovalInstance;
struct MaskImage;

// The filter's runProc. Returns 0 on every path.
int RenderFrame(const FilterActivation *fa, const FilterFunctions *ff);
void CopySourceToOutput(const FilterActivation *fa);
bool MaskMatchesFrame(const FilterActivation *fa, const MaskImage *mask);
void CopyMaskToOutput(const FilterActivation *fa, const MaskImage *mask);
void RepaintRegions(const FilterActivation *fa, const RemovalInstance *instance);
