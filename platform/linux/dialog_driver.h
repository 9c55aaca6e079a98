// The headless dialog layer's controls for hosts and tests on Linux. DialogBoxParamA builds the
// dialog from its template table (dialog_template.h), sends WM_INITDIALOG, paints, and then hands the open
// dialog to the installed driver, which acts as the user would (clicks, keys, slider moves) and
// reads the controls back. When the driver returns, the modal call returns what EndDialog gave.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/dialog_template.h"
#include "platform/linux/winapi.h"

extern "C" {

// Runs the open dialog. Without a driver DialogBoxParamA creates nothing and fails with -1; a
// driver that returns while the dialog is still open makes it fail with -1 too, since no user is
// left to end it.
typedef void (*DialogDriver)(void *context, HWND dialog);
void SetDialogDriver(DialogDriver driver, void *context);

// User actions. Each returns false and does nothing when the dialog has ended, the control is
// missing, hidden or disabled, or the action does not fit the control. After an action the
// layer paints what it invalidated, as the message loop would.
// A mouse click on a button: auto radio buttons check themselves and uncheck the other auto
// radio buttons of their group, an auto checkbox toggles, then the dialog gets BN_CLICKED.
bool DriverClick(HWND dialog, int id);
// The Escape key: the dialog gets IDCANCEL.
bool DriverPressEscape(HWND dialog);
// The caption's close box: WM_SYSCOMMAND SC_CLOSE, which the default handling turns into IDCANCEL.
bool DriverClickCloseBox(HWND dialog);
// Drags a trackbar's thumb to `position` (clamped to the range). A change is repainted.
bool DriverMoveSlider(HWND dialog, int id, int position);
// Invalidates a control without changing it (another window passed over it) and repaints it.
bool DriverRepaint(HWND dialog, int id);
// Delivers a raw message to the dialog procedure and returns its result (for messages that no
// user action produces in this layer).
LRESULT DriverSendToDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// What a control shows.
struct HeadlessControlState {
    bool exists;
    bool enabled;
    bool visible;
    UINT check;  // BST_UNCHECKED or BST_CHECKED
    char text[260];
    int32_t rangeMin, rangeMax, position, tickFrequency;  // trackbars only
};
HeadlessControlState DriverControlState(HWND dialog, int id);
// Number of custom-draw notifications the dialog's trackbars have sent since it opened.
long DriverPaintNotifications(HWND dialog);
// Whether `window` is a live window of the layer.
bool DriverIsWindow(HWND window);
}

// Style bits the layer interprets (values of the Windows headers).
enum : DWORD {
    HEADLESS_WS_DISABLED = 0x08000000,
    HEADLESS_WS_VISIBLE = 0x10000000,
    HEADLESS_WS_GROUP = 0x00020000,
    HEADLESS_WS_TABSTOP = 0x00010000,
    HEADLESS_BS_GROUPBOX = 0x00000007,
    HEADLESS_BS_TYPEMASK = 0x0000000F,
    HEADLESS_BS_AUTOCHECKBOX = 0x00000003,
    HEADLESS_BS_AUTORADIOBUTTON = 0x00000009,
};
