// Compiled in the 32-bit Windows build with the module's headers and flags, never linked: the
// sizes and member offsets of the host's records as this compiler lays them out, in a section of
// their own that check_i686.sh reads back from the object, and calls through the host's
// interfaces, whose vtable displacements the script reads from the disassembly.
#include <cstddef>
#include <cstdint>

#include "host/vdplugin.h"

// One word per entry, in the order of the script's table.
extern "C" __attribute__((used, section(".srabi"))) const uint32_t sr_abi_layout[] = {
    sizeof(FilterDefinition),
    offsetof(FilterDefinition, module),
    offsetof(FilterDefinition, name),
    offsetof(FilterDefinition, inst_data_size),
    offsetof(FilterDefinition, initProc),
    offsetof(FilterDefinition, runProc),
    offsetof(FilterDefinition, paramProc),
    offsetof(FilterDefinition, configProc),
    offsetof(FilterDefinition, stringProc),
    offsetof(FilterDefinition, startProc),
    offsetof(FilterDefinition, endProc),
    offsetof(FilterDefinition, script_obj),
    offsetof(FilterDefinition, fssProc),
    offsetof(FilterDefinition, copyProc),
    sizeof(FilterActivation),
    offsetof(FilterActivation, filter_data),
    offsetof(FilterActivation, dst),
    offsetof(FilterActivation, src),
    offsetof(FilterActivation, pfsi),
    offsetof(FilterActivation, ifp),
    sizeof(VFBitmap),
    offsetof(VFBitmap, data),
    offsetof(VFBitmap, w),
    offsetof(VFBitmap, h),
    offsetof(VFBitmap, pitch),
    offsetof(VFBitmap, modulo),
    offsetof(VFBitmap, size),
    offsetof(VFBitmap, offset),
    sizeof(FilterStateInfo),
    offsetof(FilterStateInfo, lCurrentSourceFrame),
    sizeof(FilterModule),
    offsetof(FilterModule, hInstModule),
    offsetof(FilterFunctions, addFilter),
    offsetof(FilterFunctions, removeFilter),
    sizeof(CScriptValue),
    offsetof(CScriptValue, u),
    sizeof(ScriptFunctionDef),
    offsetof(ScriptFunctionDef, name),
    offsetof(ScriptFunctionDef, arg_list),
    sizeof(CScriptObject),
    offsetof(CScriptObject, func_list),
    offsetof(CScriptObject, obj_list),
};

// The calls the module makes through the host's interfaces.
extern "C" void sr_call_SetButtonCallback(IFilterPreview *p) { p->SetButtonCallback(nullptr, nullptr); }
extern "C" void sr_call_Toggle(IFilterPreview *p) { p->Toggle(nullptr); }
extern "C" void sr_call_RedoFrame(IFilterPreview *p) { p->RedoFrame(); }
extern "C" void sr_call_InitButton(IFilterPreview *p) { p->InitButton(nullptr); }
extern "C" void sr_call_ScriptError(IScriptInterpreter *i) { i->ScriptError(SCRIPT_ERROR_ARGUMENT_RANGE); }
