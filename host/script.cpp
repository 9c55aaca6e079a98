// Script line and title suffix. Placeholders until the script support lands.
#include "host/script.h"

#include "host/instance.h"

void Config(IScriptInterpreter *, void *activation, CScriptValue *, int) {
    RememberActivation(static_cast<FilterActivation *>(activation));
}
bool fssProc(FilterActivation *, const FilterFunctions *, char *, int) { return false; }
void stringProc(const FilterActivation *, const FilterFunctions *, char *buffer) { buffer[0] = '\0'; }
void UseBackslashes(char *) {}
void UseForwardSlashes(char *) {}
