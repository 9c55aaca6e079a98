// Dialog calls of the stand-in Windows layer. Until the headless dialog layer exists a dialog
// cannot be created: DialogBoxParamA fails with -1, as Windows does for a missing template.
#include "platform/linux/winapi.h"

extern "C" {

INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM) { return -1; }
BOOL EndDialog(HWND, INT_PTR) { return FALSE; }
HWND GetParent(HWND) { return nullptr; }
HWND GetDlgItem(HWND, int) { return nullptr; }
LONG_PTR SetWindowLongPtrA(HWND, int, LONG_PTR) { return 0; }
LONG_PTR GetWindowLongPtrA(HWND, int) { return 0; }
LRESULT SendMessageA(HWND, UINT, WPARAM, LPARAM) { return 0; }
LRESULT SendDlgItemMessageA(HWND, int, UINT, WPARAM, LPARAM) { return 0; }
BOOL SetDlgItemTextA(HWND, int, LPCSTR) { return FALSE; }
UINT IsDlgButtonChecked(HWND, int) { return BST_UNCHECKED; }
BOOL CheckDlgButton(HWND, int, UINT) { return FALSE; }
BOOL CheckRadioButton(HWND, int, int, int) { return FALSE; }
BOOL EnableWindow(HWND, BOOL) { return FALSE; }
}
