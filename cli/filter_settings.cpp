// Handing the settings to a filter instance, and naming the ones it refuses.
#include "cli/filter_settings.h"

#include <string>
#include <utility>

#include "cli/errors.h"
#include "host/params.h"

namespace {

const char *SettingName(ParameterId id) {
    switch (id) {
    case PARAM_PIXEL_ASPECT: return "pixel aspect";
    default: return kParameters[id].name;
    }
}

}  // namespace

void ConfigureInstance(FilterInstance &instance, const FilterSettings &s, bool fromConfigLine) {
    const int code = instance.Configure(s);
    if (code == 0) return;
    const std::pair<ParameterId, int32_t> values[] = {
        {PARAM_DEPTH, s.depth}, {PARAM_POWER, s.power}, {PARAM_PIXEL_ASPECT, s.pixelAspect}, {PARAM_RADIUS, s.radius}};
    std::string named;
    for (const auto &v : values) {
        if (ParameterInRange(v.first, v.second)) continue;
        if (!named.empty()) named += ", ";
        named += std::string(SettingName(v.first)) + " " + std::to_string(v.second) + " is out of range (" +
                 std::to_string(kParameters[v.first].minimum) + ".." + std::to_string(kParameters[v.first].maximum) + ")";
    }
    if (named.empty()) {
        throw HostError(EXIT_USAGE, "the filter module rejected the settings (script error " + std::to_string(code) + ")");
    }
    throw HostError(EXIT_USAGE, (fromConfigLine ? "in the --config line: " : "") + named);
}
