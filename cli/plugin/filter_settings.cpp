// Handing the settings to a filter instance, and naming what the module refused.
#include "cli/plugin/filter_settings.h"

#include "cli/errors.h"
#include "cli/plugin/plugin_host.h"

void ConfigureInstance(FilterInstance &instance, const FilterSettings &s, bool fromConfigLine) {
    const int code = instance.Configure(s);
    if (code == 0) return;
    // The module reports only that some value is out of range; the table says which.
    std::string named;
    for (int id = 0; id < PARAM_COUNT; ++id) {
        const ParameterInfo &p = kParameters[id];
        const int32_t value = s.*SettingField((ParameterId)id);
        if (p.scriptRange != SCRIPT_RANGE_TESTED || ParameterInRange((ParameterId)id, value)) continue;
        if (!named.empty()) named += ", ";
        named += std::string(p.name) + " " + std::to_string(value) + " is out of range (" + std::to_string(p.minimum) +
                 ".." + std::to_string(p.maximum) + ")";
    }
    if (named.empty()) {
        throw HostError(EXIT_USAGE, "the filter module rejected the settings (script error " + std::to_string(code) + ")");
    }
    throw HostError(EXIT_USAGE, (fromConfigLine ? "in the --config line: " : "") + named);
}
