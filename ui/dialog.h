// The modal configuration dialog.
#pragma once

#include <cstdint>

#include "host/vdplugin.h"

struct RemovalInstance;

int configProc(FilterActivation *fa, const FilterFunctions *ff, HWND parent);
INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void InitSlider(HWND dialog, int sliderId, int tickFrequency, int minimum, int maximum, int position);
bool ReadSlider(HWND dialog, int sliderId, int labelId, int32_t *field, bool force, int precision);
bool ReadAspectSlider(RemovalInstance *instance, bool force);
void PreviewButtonChanged(bool state, void *instance);
