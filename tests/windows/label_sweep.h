// The dialog's value labels at every position of every slider, which the Windows dialog host (real
// trackbars under Wine) and the Linux runner (the headless dialog layer) both write, one line per
// position ("pixel aspect -120 16 : 1"), so that the two files must be equal. The sliders and their
// ranges come from the settings rows. Each label goes through the module's pow: the aspect scales
// and the decimal scaling of the other labels, which in the 32-bit module are MinGW's x87 code.
#pragma once

#include <cstdint>
#include <cstdio>

#include "host/instance.h"
#include "host/params.h"
#include "ui/resource.h"

namespace labels {

struct Row {
    const char *name;
    int32_t minimum, maximum;
    ParameterSlider slider;
    ParameterFlag flag;
    InstanceField field;
};

constexpr InstanceField FieldOf(int32_t RemovalInstance::*number) { return {number, nullptr}; }
constexpr InstanceField FieldOf(bool RemovalInstance::*flag) { return {nullptr, flag}; }

#define SR_LABEL_ROW(id, field, name, defaultValue, minimum, maximum, range, argument, ...) \
    {name, minimum, maximum, __VA_ARGS__, FieldOf(&RemovalInstance::field)},
constexpr Row kRows[] = {SR_FILTER_PARAMETERS(SR_LABEL_ROW)};
#undef SR_LABEL_ROW

inline void WriteLine(FILE *out, const Row &row, int32_t position, const char *label) {
    std::fprintf(out, "%s %d %s\n", row.name, (int)position, label);
}

}  // namespace labels
