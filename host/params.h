// The filter's settings, one row each: name, default, valid range, the instance field that holds
// the setting, its place in the script line, its dialog slider and its subremove flag. initProc,
// the script function, the script line, the dialog, the engine's clamping, subremove and the tests
// all read the rows, so a new setting is a new row (and, with a slider, its controls in the
// dialog resource).
#pragma once

#include <cstdint>

struct RemovalInstance;

enum OutputMode : int32_t { MODE_ORIGINAL = 0, MODE_MASK_ONLY = 1, MODE_FINAL = 2 };

// The script line is Config(mode, "directory", depth, power, interlaced, pixelAspect, radius).
// Stored host scripts depend on that order; the directory is the one argument without a row.
constexpr int kScriptDirectoryArgument = 1;

// Whether the script function reports a value outside the row's range (it stores it either way).
enum ScriptRange : bool { SCRIPT_ANY_VALUE = false, SCRIPT_RANGE_TESTED = true };

struct ParameterSlider {
    int sliderId;  // 0: the setting has no slider
    int labelId;
    int tickFrequency;
    int precision;  // the label shows position / 10^precision with that many decimals
};
constexpr ParameterSlider kNoSlider = {0, 0, 0, 0};
// Precision of the pixel aspect slider, whose label shows the two aspect scale factors instead.
constexpr int kAspectScaleLabel = -1;

enum FlagKind : int32_t {
    FLAG_NUMBER,  // --depth N: a whole number within the range
    FLAG_WORDS,   // --mode original|mask|final: the words name minimum, minimum + 1, ... in order
    FLAG_SWITCH,  // --interlaced: sets the maximum
};

// subremove's flag for the setting.
struct ParameterFlag {
    const char *name;  // without the two dashes
    FlagKind kind;
    const char *value;  // what the help shows after the flag: "N", or the words; null for a switch
    int32_t startValue;  // subremove's value before any flag: kModuleDefault or its own
    const char *help;
};
// subremove starts from the module's default (any real start value lies within a small range).
constexpr int32_t kModuleDefault = INT32_MIN;

// The instance field: a number, or an on/off setting kept as bool that reads 0 or 1.
struct InstanceField {
    int32_t RemovalInstance::*number;
    bool RemovalInstance::*flag;
};

// Columns: id, field (in RemovalInstance and subremove's FilterSettings), name as messages say
// it, default, minimum, maximum, script range test, argument position in the script line from 0,
// then the dialog slider {slider, value label, tick frequency, precision} and the subremove flag.
#define SR_FILTER_PARAMETERS(ROW)                                                                   \
    ROW(PARAM_MODE, mode, "mode", MODE_ORIGINAL, MODE_ORIGINAL, MODE_FINAL, SCRIPT_ANY_VALUE, 0,    \
        kNoSlider,                                                                                  \
        {"mode", FLAG_WORDS, "original|mask|final", MODE_FINAL,                                     \
         "output: the frames unchanged, the mask, or the subtitles removed"})                       \
    ROW(PARAM_DEPTH, depth, "depth", 15, 10, 80, SCRIPT_RANGE_TESTED, 2,                            \
        {IDC_DEPTH, IDC_DEPTH_VALUE, 10, 1},                                                        \
        {"depth", FLAG_NUMBER, "N", kModuleDefault,                                                 \
         "depth of the band sampled around each region, in tenths of a pixel"})                     \
    ROW(PARAM_POWER, power, "power", 40, 0, 160, SCRIPT_RANGE_TESTED, 3,                            \
        {IDC_POWER, IDC_POWER_VALUE, 10, 1},                                                        \
        {"power", FLAG_NUMBER, "N", kModuleDefault,                                                 \
         "power of the distance weighting, in tenths"})                                             \
    ROW(PARAM_INTERLACED, interlaced, "interlaced", 0, 0, 1, SCRIPT_ANY_VALUE, 4,                   \
        kNoSlider,                                                                                  \
        {"interlaced", FLAG_SWITCH, nullptr, kModuleDefault,                                        \
         "repaint the two fields of interlaced frames apart"})                                      \
    ROW(PARAM_PIXEL_ASPECT, pixelAspect, "pixel aspect", 0, -120, 120, SCRIPT_RANGE_TESTED, 5,      \
        {IDC_ASPECT, IDC_ASPECT_VALUE, 30, kAspectScaleLabel},                                      \
        {"aspect", FLAG_NUMBER, "N", kModuleDefault,                                                \
         "pixel aspect: 30 steps double the width (< 0) or height (> 0)"})                          \
    ROW(PARAM_RADIUS, radius, "radius", 5, 0, 10, SCRIPT_RANGE_TESTED, 6,                           \
        {IDC_RADIUS, IDC_RADIUS_VALUE, 1, 0},                                                       \
        {"radius", FLAG_NUMBER, "N", kModuleDefault,                                                \
         "widening of the subtitle mask, in pixels"})

#define SR_PARAMETER_ID(id, ...) id,
enum ParameterId { SR_FILTER_PARAMETERS(SR_PARAMETER_ID) PARAM_COUNT };
#undef SR_PARAMETER_ID

// One argument per row and the directory.
constexpr int kScriptArgumentCount = PARAM_COUNT + 1;

// The script function's argument list as the host reads it: "0" for no result, then "s" for the
// directory and "i" for every setting, in the line's order.
struct ScriptArgumentList {
    char text[kScriptArgumentCount + 2];
};
constexpr ScriptArgumentList ConfigArgumentList() {
    ScriptArgumentList list = {};
    list.text[0] = '0';
    for (int position = 0; position < kScriptArgumentCount; ++position)
        list.text[1 + position] = position == kScriptDirectoryArgument ? 's' : 'i';
    return list;
}

struct ParameterInfo {
    const char *name;
    int32_t defaultValue;
    int32_t minimum;
    int32_t maximum;
    ScriptRange scriptRange;
    int scriptArgument;
    ParameterSlider slider;
    ParameterFlag flag;
    InstanceField field;
};

// Indexed by ParameterId.
extern const ParameterInfo kParameters[PARAM_COUNT];

bool ParameterInRange(ParameterId id, int32_t value);
int32_t ClampParameter(ParameterId id, int32_t value);
// The setting at argument `position` of the script line; PARAM_COUNT at the directory's place.
ParameterId ParameterAtScriptArgument(int position);
// The setting as the script line writes it (an on/off setting reads 0 or 1).
int32_t ReadParameter(const RemovalInstance *instance, ParameterId id);
// Stores a default or a script argument (an on/off setting takes any nonzero value as on).
void WriteParameter(RemovalInstance *instance, ParameterId id, int32_t value);

// Scale factors of the pixel aspect setting: 30 steps double the horizontal (negative setting)
// or vertical (positive setting) scale; the other factor is exactly 1.
double AspectScaleX(int32_t pixelAspect);
double AspectScaleY(int32_t pixelAspect);
