// The settings table and the pixel aspect scale factors.
#include "host/params.h"

#include "platform/win32.h"

#include <cmath>

const ParameterInfo kParameters[PARAM_COUNT] = {
    {"mode", MODE_ORIGINAL, MODE_ORIGINAL, MODE_FINAL},
    {"depth", 15, 10, 80},
    {"power", 40, 0, 160},
    {"interlaced", 0, 0, 1},
    {"pixelAspect", 0, -120, 120},
    {"radius", 5, 0, 10},
};

bool ParameterInRange(ParameterId id, int32_t value) {
    return value >= kParameters[id].minimum && value <= kParameters[id].maximum;
}

int32_t ClampParameter(ParameterId id, int32_t value) {
    if (value < kParameters[id].minimum) return kParameters[id].minimum;
    if (value > kParameters[id].maximum) return kParameters[id].maximum;
    return value;
}

// 1/30 as the double 0.03333333333333333; the product is formed before pow so that every build
// computes the same exponent.
static const double kAspectStep = 0.03333333333333333;

double AspectScaleX(int32_t pixelAspect) {
    return pixelAspect < 0 ? PowAtFullPrecision(2.0, pixelAspect * -kAspectStep) : 1.0;
}

double AspectScaleY(int32_t pixelAspect) {
    return pixelAspect > 0 ? PowAtFullPrecision(2.0, pixelAspect * kAspectStep) : 1.0;
}
