// The records and calls of the VirtualDub filter plug-in interface that this module uses.
// Layouts are fixed by the host's binary interface: every member is 4 bytes on i686, and the
// static_asserts at the end pin the sizes and offsets the real host relies on. In 64-bit
// builds the same declarations hold with pointer-sized members at their natural size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

struct FilterDefinition;
struct FilterActivation;
struct FilterFunctions;
struct FilterModule;
struct FilterStateInfo;
class IScriptInterpreter;
struct CScriptValue;

// Host integer types: the host's `long` is 32 bits on every Windows target.
typedef int32_t VDLong;
typedef ptrdiff_t PixOffset;

typedef int (*FilterModuleInitProc)(FilterModule *fm, const FilterFunctions *ff, int *vdfdVersion,
                                    int *vdfdCompatible);
typedef void (*FilterModuleDeinitProc)(FilterModule *fm, const FilterFunctions *ff);

struct FilterModule {
    FilterModule *next;
    FilterModule *prev;
    HMODULE hInstModule;  // locates the module's own resources (the dialog template)
    FilterModuleInitProc initProc;
    FilterModuleDeinitProc deinitProc;
};

struct FilterFunctions {
    FilterDefinition *(*addFilter)(FilterModule *module, FilterDefinition *definition, int definitionSize);
    void (*removeFilter)(FilterDefinition *registered);
    bool (*isFPUEnabled)();
    bool (*isMMXEnabled)();
    void (*InitVTables)(void *vtables);
    void (*ExceptOutOfMemory)();
    void (*Except)(const char *format, ...);
    VDLong (*getCPUFlags)();
    VDLong (*getHostVersionInfo)(char *buffer, int length);
};

// A frame buffer. `data` is the first row in memory, which is the bottom row of the picture.
struct VFBitmap {
    void *hostReserved;  // the host's own vtable: never called through
    uint32_t *data;
    uint32_t *palette;
    int32_t depth;
    int32_t w;
    int32_t h;
    PixOffset pitch;   // signed bytes from one row in memory to the next
    PixOffset modulo;  // bytes between a row's last pixel and the next row
    PixOffset size;    // bytes of the whole buffer
    PixOffset offset;
    uint32_t dwFlags;
    void *hdc;
};

struct FilterStateInfo {
    VDLong lCurrentFrame;
    VDLong lMicrosecsPerFrame;
    VDLong lCurrentSourceFrame;
    VDLong lMicrosecsPerSrcFrame;
    VDLong lSourceFrameMS;
    VDLong lDestFrameMS;
};

typedef void (*FilterPreviewButtonCallback)(bool newState, void *data);
typedef void (*FilterPreviewSampleCallback)(VFBitmap *bitmap, long frame, long count, void *data);

// No virtual destructor on purpose: it would take vtable slots and shift every method below.
class IFilterPreview {
public:
    virtual void SetButtonCallback(FilterPreviewButtonCallback callback, void *data) = 0;
    virtual void SetSampleCallback(FilterPreviewSampleCallback callback, void *data) = 0;
    virtual bool isPreviewEnabled() = 0;
    virtual void Toggle(HWND parent) = 0;
    virtual void Display(HWND parent, bool show) = 0;
    virtual void RedoFrame() = 0;
    virtual void RedoSystem() = 0;
    virtual void UndoSystem() = 0;
    virtual void InitButton(HWND button) = 0;
    virtual void Close() = 0;
    virtual bool SampleCurrentFrame() = 0;
    virtual VDLong SampleFrames() = 0;
};

// C++ references of the host's declaration are plain pointers at the binary level.
struct FilterActivation {
    FilterDefinition *filter;
    void *filter_data;
    VFBitmap *dst;
    VFBitmap *src;
    VFBitmap *reserved0;
    VFBitmap *last;
    uint32_t x1, y1, x2, y2;
    FilterStateInfo *pfsi;
    IFilterPreview *ifp;
};

// Script values. For a string argument the text is *u.s; the host frees it after the call.
enum ScriptValueType : int32_t {
    SCRIPT_VOID = 0,
    SCRIPT_INT = 1,
    SCRIPT_PINT = 2,
    SCRIPT_STRING = 3,
};

struct CScriptValue {
    ScriptValueType type;
    void *thisPtr;
    union alignas(8) {
        int i;
        char **s;
        int64_t l;
        double d;
        void *p;
    } u;
};

// The real host's ScriptError throws and never returns: call it last.
class IScriptInterpreter {
public:
    virtual void Destroy() = 0;
    virtual void SetRootHandler(void *handler, void *data) = 0;
    virtual void ExecuteLine(char *line) = 0;
    virtual void ScriptError(int code) = 0;
    virtual char *TranslateScriptError(void *exception) = 0;
    virtual char **AllocTempString(VDLong length) = 0;
    virtual void *LookupObjectMember(void *object, void *data, char *name) = 0;
};

typedef void (*ScriptFunctionPtr)(IScriptInterpreter *interpreter, void *activation, CScriptValue *args,
                                  int argCount);

struct ScriptFunctionDef {
    ScriptFunctionPtr func_ptr;
    const char *name;
    const char *arg_list;
};

struct ScriptObjectDef;

struct CScriptObject {
    void *(*Lookup)(IScriptInterpreter *, CScriptObject *, void *, char *);
    ScriptFunctionDef *func_list;
    ScriptObjectDef *obj_list;
};

struct ScriptObjectDef {
    const char *name;
    CScriptObject *obj;
};

typedef int (*FilterInitProc)(FilterActivation *fa, const FilterFunctions *ff);
typedef void (*FilterDeinitProc)(FilterActivation *fa, const FilterFunctions *ff);
typedef int (*FilterRunProc)(const FilterActivation *fa, const FilterFunctions *ff);
typedef VDLong (*FilterParamProc)(FilterActivation *fa, const FilterFunctions *ff);
typedef int (*FilterConfigProc)(FilterActivation *fa, const FilterFunctions *ff, HWND parent);
typedef void (*FilterStringProc)(const FilterActivation *fa, const FilterFunctions *ff, char *buffer);
typedef int (*FilterStartProc)(FilterActivation *fa, const FilterFunctions *ff);
typedef int (*FilterEndProc)(FilterActivation *fa, const FilterFunctions *ff);
typedef bool (*FilterScriptStrProc)(FilterActivation *fa, const FilterFunctions *ff, char *buffer,
                                    int length);
typedef void (*FilterStringProc2)(const FilterActivation *fa, const FilterFunctions *ff, char *buffer,
                                  int length);
typedef VDLong (*FilterSerialize)(FilterActivation *fa, const FilterFunctions *ff, char *buffer, int length);
typedef void (*FilterDeserialize)(FilterActivation *fa, const FilterFunctions *ff, const char *buffer,
                                  int length);
typedef void (*FilterCopy)(FilterActivation *fa, const FilterFunctions *ff, void *destination);

struct FilterDefinition {
    FilterDefinition *next;
    FilterDefinition *prev;
    FilterModule *module;
    const char *name;
    const char *desc;
    const char *maker;
    void *private_data;
    int inst_data_size;
    FilterInitProc initProc;
    FilterDeinitProc deinitProc;
    FilterRunProc runProc;
    FilterParamProc paramProc;
    FilterConfigProc configProc;
    FilterStringProc stringProc;
    FilterStartProc startProc;
    FilterEndProc endProc;
    CScriptObject *script_obj;
    FilterScriptStrProc fssProc;
    FilterStringProc2 stringProc2;
    FilterSerialize serializeProc;
    FilterDeserialize deserializeProc;
    FilterCopy copyProc;
};

// paramProc result: the output frame is a separate buffer (source and destination swapped).
enum { FILTERPARAM_SWAP_BUFFERS = 1 };
// ScriptError code for a function argument out of range.
enum { SCRIPT_ERROR_ARGUMENT_RANGE = 24 };
// Versions of the filter definition this module writes and the oldest host it works with.
enum { VIRTUALDUB_FILTERDEF_VERSION = 8, VIRTUALDUB_FILTERDEF_COMPATIBLE = 4 };
// A FilterStateInfo pointer holding this value means the host has no frame state to give.
#define FILTER_STATE_MARKER ((uintptr_t)0xBAADF00Du)

// The 32-bit layouts the real host expects (checked where pointers are 4 bytes).
static_assert(sizeof(void *) != 4 || sizeof(FilterDefinition) == 88, "FilterDefinition is 88 bytes");
static_assert(sizeof(void *) != 4 || sizeof(FilterActivation) == 48, "FilterActivation is 48 bytes");
static_assert(sizeof(void *) != 4 || sizeof(VFBitmap) == 48, "VFBitmap is 48 bytes");
static_assert(sizeof(void *) != 4 || sizeof(CScriptValue) == 16, "CScriptValue is 16 bytes");
static_assert(sizeof(void *) != 4 || offsetof(FilterModule, hInstModule) == 8, "hInstModule at 8");
static_assert(offsetof(FilterStateInfo, lCurrentSourceFrame) == 8, "lCurrentSourceFrame at 8");
static_assert(sizeof(FilterStateInfo) == 24, "FilterStateInfo is six 32-bit values");
static_assert(sizeof(void *) != 4 || offsetof(CScriptValue, u) == 8, "script value union at 8");
static_assert(sizeof(void *) != 4 || offsetof(VFBitmap, pitch) == 24, "VFBitmap pitch at 24");
static_assert(sizeof(void *) != 4 || offsetof(FilterActivation, pfsi) == 40, "pfsi at 40");
static_assert(sizeof(void *) != 4 || offsetof(FilterDefinition, fssProc) == 68, "fssProc at 68");
