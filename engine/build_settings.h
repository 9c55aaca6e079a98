// The settings one region build works with. A script may store out-of-range values in the
// instance (it reports them and keeps them); the build clamps each to its valid range so that a
// negative power cannot make weights infinite and a huge depth or aspect cannot blow up the reach.
// The instance keeps the stored values.
#pragma once

#include <cstdint>

#include "host/instance.h"
#include "host/params.h"

struct BuildSettings {
    int32_t radius;
    int32_t depth;
    int32_t power;
    int32_t pixelAspect;
    bool interlaced;
    int32_t rowStep;  // plane rows between vertical neighbours: 2 when interlaced (one field)
};

inline BuildSettings ClampedBuildSettings(const RemovalInstance *instance) {
    BuildSettings s;
    s.radius = ClampParameter(PARAM_RADIUS, instance->radius);
    s.depth = ClampParameter(PARAM_DEPTH, instance->depth);
    s.power = ClampParameter(PARAM_POWER, instance->power);
    s.pixelAspect = ClampParameter(PARAM_PIXEL_ASPECT, instance->pixelAspect);
    s.interlaced = instance->interlaced;
    s.rowStep = s.interlaced ? 2 : 1;
    return s;
}
