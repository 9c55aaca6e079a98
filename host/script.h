// The script line that saves and restores the settings, and the title suffix.
#pragma once

#include "host/vdplugin.h"

// Script function "Config" with the argument list "0isiiiii".
void Config(IScriptInterpreter *interpreter, void *activation, CScriptValue *args, int argCount);
bool fssProc(FilterActivation *fa, const FilterFunctions *ff, char *buffer, int length);
void stringProc(const FilterActivation *fa, const FilterFunctions *ff, char *buffer);
void UseBackslashes(char *text);
void UseForwardSlashes(char *text);
