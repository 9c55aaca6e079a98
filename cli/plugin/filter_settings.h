// subremove's copy of the filter's settings, one field per row of the module's parameter table,
// and the call that hands them to a filter instance.
#pragma once

#include <cstdint>
#include <string>

#include "host/params.h"

class FilterInstance;

// The values of the filter's script line: the directory and one field per parameter, named as
// the instance field is.
struct FilterSettings {
    std::string directory;
#define SR_SETTINGS_FIELD(id, field, ...) int32_t field = 0;
    SR_FILTER_PARAMETERS(SR_SETTINGS_FIELD)
#undef SR_SETTINGS_FIELD
};

// The field that holds parameter `id`.
inline int32_t FilterSettings::*SettingField(ParameterId id) {
#define SR_SETTINGS_MEMBER(id, field, ...) &FilterSettings::field,
    static constexpr int32_t FilterSettings::*kFields[PARAM_COUNT] = {SR_FILTER_PARAMETERS(SR_SETTINGS_MEMBER)};
#undef SR_SETTINGS_MEMBER
    return kFields[id];
}

// Calls the module's Config with the settings. A script error becomes a HostError (exit status 2)
// naming every setting out of range, with the range; `fromConfigLine` says the values came from
// a --config line.
void ConfigureInstance(FilterInstance &instance, const FilterSettings &settings, bool fromConfigLine);
