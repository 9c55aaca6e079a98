// The filter's settings in one table: name, default and valid range. The dialog's sliders, the
// script function's range test, the engine's clamping and the tests all read this table.
#pragma once

#include <cstdint>

enum ParameterId {
    PARAM_MODE,
    PARAM_DEPTH,
    PARAM_POWER,
    PARAM_INTERLACED,
    PARAM_PIXEL_ASPECT,
    PARAM_RADIUS,
    PARAM_COUNT
};

struct ParameterInfo {
    const char *name;
    int32_t defaultValue;
    int32_t minimum;
    int32_t maximum;
};

// Indexed by ParameterId. `mode` has no range test in scripts; its range is that of OutputMode.
extern const ParameterInfo kParameters[PARAM_COUNT];

enum OutputMode : int32_t { MODE_ORIGINAL = 0, MODE_MASK_ONLY = 1, MODE_FINAL = 2 };

bool ParameterInRange(ParameterId id, int32_t value);
int32_t ClampParameter(ParameterId id, int32_t value);

// Scale factors of the pixel aspect setting: 30 steps double the horizontal (negative setting)
// or vertical (positive setting) scale; the other factor is exactly 1.
double AspectScaleX(int32_t pixelAspect);
double AspectScaleY(int32_t pixelAspect);
