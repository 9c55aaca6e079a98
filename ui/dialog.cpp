// Configuration dialog. Placeholder until the dialog lands: no dialog is shown.
#include "ui/dialog.h"

#include "host/instance.h"

int configProc(FilterActivation *fa, const FilterFunctions *, HWND) {
    RememberActivation(fa);
    return 1;
}
INT_PTR CALLBACK ConfigDialogProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
void InitSlider(HWND, int, int, int, int, int) {}
bool ReadSlider(HWND, int, int, int32_t *, bool, int) { return false; }
bool ReadAspectSlider(RemovalInstance *, bool) { return false; }
void PreviewButtonChanged(bool, void *) {}
