// Handing the settings to a filter instance through its script function.
#pragma once

#include "cli/plugin_host.h"

// Calls the module's Config with the settings; a script error becomes a HostError naming the
// settings out of range (exit status 2).
void ConfigureInstance(FilterInstance &instance, const FilterSettings &settings, bool fromConfigLine);
