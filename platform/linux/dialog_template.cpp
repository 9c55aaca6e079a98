// The dialog templates the headless layer can create: the configuration dialog, control by
// control as ui/dialog.rc gives it (a test parses that script and compares it with this table).
#include "platform/linux/dialog_template.h"

namespace {

// Style values of the Windows headers.
constexpr uint32_t WS_POPUP_ = 0x80000000, WS_CHILD_ = 0x40000000, WS_VISIBLE_ = 0x10000000,
                WS_CAPTION_ = 0x00C00000, WS_SYSMENU_ = 0x00080000, WS_GROUP_ = 0x00020000,
                WS_TABSTOP_ = 0x00010000, DS_MODALFRAME_ = 0x80, DS_SETFONT_ = 0x40;
constexpr uint32_t BS_PUSHBUTTON_ = 0x0, BS_AUTOCHECKBOX_ = 0x3, BS_GROUPBOX_ = 0x7, BS_AUTORADIOBUTTON_ = 0x9,
                BS_LEFT_ = 0x100;
constexpr uint32_t SS_LEFT_ = 0x0, SS_CENTER_ = 0x1, SS_CENTERIMAGE_ = 0x200;
constexpr uint32_t TBS_AUTOTICKS_ = 0x1, TBS_HORZ_ = 0x0;
constexpr uint32_t WS_EX_STATICEDGE_ = 0x00020000;

constexpr uint32_t kChild = WS_CHILD_ | WS_VISIBLE_;
constexpr uint32_t kSlider = kChild | TBS_AUTOTICKS_ | TBS_HORZ_ | WS_TABSTOP_;
constexpr uint32_t kValueLabel = kChild | SS_CENTER_ | SS_CENTERIMAGE_;
constexpr uint32_t kCaption = kChild | SS_LEFT_ | WS_GROUP_;

const HeadlessControlTemplate kConfigurationControls[] = {
    {-1, HEADLESS_BUTTON, "BUTTON", kChild | BS_GROUPBOX_, 0, "Preview", 209, 5, 56, 55},
    {1052, HEADLESS_BUTTON, "BUTTON", kChild | BS_AUTORADIOBUTTON_, 0, "&Original", 216, 17, 39, 10},
    {1056, HEADLESS_BUTTON, "BUTTON", kChild | BS_AUTORADIOBUTTON_, 0, "&Mask", 216, 30, 33, 10},
    {1051, HEADLESS_BUTTON, "BUTTON", kChild | BS_AUTORADIOBUTTON_, 0, "&Final", 216, 44, 29, 10},
    {1022, HEADLESS_BUTTON, "BUTTON", kChild | BS_PUSHBUTTON_ | WS_TABSTOP_, 0, "&Directory", 210, 68, 55, 14},
    {-1, HEADLESS_BUTTON, "BUTTON", kChild | BS_GROUPBOX_ | BS_LEFT_, 0, "Subtitle removal parameters", 5, 5, 200, 115},
    {-1, HEADLESS_STATIC, "STATIC", kCaption, 0, "De&pth:", 10, 42, 22, 8},
    {1068, HEADLESS_TRACKBAR, "msctls_trackbar32", kSlider, 0, "Slider1", 59, 36, 100, 20},
    {1065, HEADLESS_STATIC, "STATIC", kValueLabel, WS_EX_STATICEDGE_, "", 164, 35, 33, 13},
    {-1, HEADLESS_STATIC, "STATIC", kCaption, 0, "Po&wer:", 10, 63, 23, 8},
    {1067, HEADLESS_TRACKBAR, "msctls_trackbar32", kSlider, 0, "Slider1", 59, 57, 100, 22},
    {1064, HEADLESS_STATIC, "STATIC", kValueLabel, WS_EX_STATICEDGE_, "", 164, 57, 33, 13},
    {1059, HEADLESS_BUTTON, "BUTTON", kChild | BS_AUTOCHECKBOX_ | WS_TABSTOP_, 0, "&Interlaced", 10, 102, 44, 10},
    {-1, HEADLESS_STATIC, "STATIC", kCaption, 0, "Pi&xel aspect:", 10, 86, 41, 8},
    {1069, HEADLESS_TRACKBAR, "msctls_trackbar32", kSlider, 0, "Slider1", 59, 78, 100, 20},
    {1066, HEADLESS_STATIC, "STATIC", kValueLabel, WS_EX_STATICEDGE_, "", 164, 78, 33, 13},
    {1046, HEADLESS_BUTTON, "BUTTON", kChild | BS_PUSHBUTTON_ | WS_TABSTOP_, 0, "Show preview", 210, 86, 55, 14},
    {1, HEADLESS_BUTTON, "BUTTON", kChild | BS_PUSHBUTTON_ | WS_TABSTOP_, 0, "Close", 210, 105, 55, 14},
    {-1, HEADLESS_STATIC, "STATIC", kCaption, 0, "&Radius:", 10, 22, 25, 8},
    {1070, HEADLESS_TRACKBAR, "msctls_trackbar32", kSlider, 0, "Slider1", 59, 16, 100, 20},
    {1043, HEADLESS_STATIC, "STATIC", kValueLabel, WS_EX_STATICEDGE_, "", 164, 15, 33, 13},
};

const HeadlessDialogTemplate kConfigurationDialog = {
    101,
    0x0409,  // English (United States)
    "Vexlin Companion Subtitle Removal Filter",
    0, 0, 272, 127,
    WS_POPUP_ | WS_CAPTION_ | WS_SYSMENU_ | DS_MODALFRAME_ | DS_SETFONT_,
    0,
    8, "MS Sans Serif", 0, 0, 1,  // normal weight, not italic, DEFAULT_CHARSET
    kConfigurationControls,
    sizeof(kConfigurationControls) / sizeof(kConfigurationControls[0]),
};

}  // namespace

const HeadlessDialogTemplate *FindHeadlessDialogTemplate(int32_t resourceId) {
    return resourceId == kConfigurationDialog.resourceId ? &kConfigurationDialog : nullptr;
}
