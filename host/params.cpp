// The settings table built from its rows, access to a setting's instance field by row, and the
// pixel aspect scale factors.
#include "host/params.h"

#include "host/instance.h"
#include "platform/win32.h"
#include "ui/resource.h"

#include <cmath>

namespace {

constexpr InstanceField InstanceFieldOf(int32_t RemovalInstance::*number) { return {number, nullptr}; }
constexpr InstanceField InstanceFieldOf(bool RemovalInstance::*flag) { return {nullptr, flag}; }

// Every argument of the script line but the directory belongs to exactly one row.
#define SR_SCRIPT_ARGUMENT(id, field, name, defaultValue, minimum, maximum, range, argument, ...) argument,
constexpr int kRowArguments[PARAM_COUNT] = {SR_FILTER_PARAMETERS(SR_SCRIPT_ARGUMENT)};
#undef SR_SCRIPT_ARGUMENT

constexpr bool EachArgumentHasOneRow() {
    for (int argument = 0; argument < kScriptArgumentCount; ++argument) {
        int rows = 0;
        for (int argumentOfRow : kRowArguments) rows += argumentOfRow == argument;
        if (rows != (argument == kScriptDirectoryArgument ? 0 : 1)) return false;
    }
    return true;
}
static_assert(EachArgumentHasOneRow(), "the rows and the directory fill the script line's arguments, each exactly once");

}  // namespace

// constexpr: filled in at compile time, so subremove's start-up code may read it in any order.
#define SR_PARAMETER_INFO(id, field, name, defaultValue, minimum, maximum, range, argument, ...) \
    {name, defaultValue, minimum, maximum, range, argument, __VA_ARGS__, InstanceFieldOf(&RemovalInstance::field)},
constexpr ParameterInfo kParameters[PARAM_COUNT] = {SR_FILTER_PARAMETERS(SR_PARAMETER_INFO)};
#undef SR_PARAMETER_INFO

bool ParameterInRange(ParameterId id, int32_t value) {
    return value >= kParameters[id].minimum && value <= kParameters[id].maximum;
}

int32_t ClampParameter(ParameterId id, int32_t value) {
    if (value < kParameters[id].minimum) return kParameters[id].minimum;
    if (value > kParameters[id].maximum) return kParameters[id].maximum;
    return value;
}

ParameterId ParameterAtScriptArgument(int position) {
    for (int id = 0; id < PARAM_COUNT; ++id)
        if (kParameters[id].scriptArgument == position) return (ParameterId)id;
    return PARAM_COUNT;
}

int32_t ReadParameter(const RemovalInstance *instance, ParameterId id) {
    const InstanceField &field = kParameters[id].field;
    if (field.number) return instance->*field.number;
    return instance->*field.flag ? 1 : 0;
}

void WriteParameter(RemovalInstance *instance, ParameterId id, int32_t value) {
    const InstanceField &field = kParameters[id].field;
    if (field.number) {
        instance->*field.number = value;
    } else {
        instance->*field.flag = value != 0;
    }
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
