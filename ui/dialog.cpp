// The modal configuration dialog. It keeps no state of its own: the instance stands in the
// dialog window's user slot and every change is written into it at once, so closing and
// cancelling differ only in the modal result. Sliders report their moves through the custom-draw
// notification every trackbar sends when it paints; a paint without a new position is filtered
// out by comparing the reported position with the instance field.
#include "ui/dialog.h"

#include <cmath>
#include <cstdio>

#include "host/instance.h"
#include "host/params.h"
#include "subtitles/subtitles.h"
#include "ui/resource.h"

namespace {

// The parameter whose slider has control id `id`; null for any other control.
const ParameterInfo *FindSlider(UINT_PTR id) {
    for (const ParameterInfo &parameter : kParameters)
        if (parameter.slider.sliderId != 0 && (UINT_PTR)parameter.slider.sliderId == id) return &parameter;
    return nullptr;
}

// Hosts without a preview hand over no interface; the dialog then simply has nothing to ask.
IFilterPreview *PreviewOf(const RemovalInstance *instance) {
    return instance->activation ? instance->activation->ifp : nullptr;
}

void RedoFrame(RemovalInstance *instance) {
    if (IFilterPreview *preview = PreviewOf(instance)) preview->RedoFrame();
}

// A change that alters the repaired picture: rebuild the current subtitle's regions, then show.
void RebuildAndRedo(RemovalInstance *instance) {
    instance->rebuildPending = true;
    SelectSubtitleForFrame(instance);
    RedoFrame(instance);
}

bool ReadBoundSlider(HWND dialog, RemovalInstance *instance, const ParameterInfo &parameter, bool force) {
    const ParameterSlider &slider = parameter.slider;
    if (slider.precision == kAspectScaleLabel) return ReadAspectSlider(instance, force);
    return ReadSlider(dialog, slider.sliderId, slider.labelId, &(instance->*parameter.field.number), force,
                      slider.precision);
}

int32_t SliderPosition(HWND dialog, int sliderId) {
    return (int32_t)SendMessage(GetDlgItem(dialog, sliderId), TBM_GETPOS, 0, 0);
}

INT_PTR OpenDialog(HWND dialog, RemovalInstance *instance) {
    SetWindowLongPtr(dialog, DWLP_USER, (LONG_PTR)instance);
    IFilterPreview *preview = PreviewOf(instance);
    if (preview) preview->InitButton(GetDlgItem(dialog, IDC_SHOW_PREVIEW));
    instance->dialog = dialog;
    instance->previewShown = false;
    if (preview) preview->SetButtonCallback(PreviewButtonChanged, instance);
    if (instance->interlaced) CheckDlgButton(dialog, IDC_INTERLACED, BST_CHECKED);
    // A mode outside the three (a script may store any integer) checks no button and stays as
    // saved: the buttons then claim nothing false, and only a click changes the setting.
    static const int kModeButtons[] = {IDC_MODE_ORIGINAL, IDC_MODE_MASK, IDC_MODE_FINAL};
    if (instance->mode >= MODE_ORIGINAL && instance->mode <= MODE_FINAL)
        CheckRadioButton(dialog, IDC_MODE_FINAL, IDC_MODE_MASK, kModeButtons[instance->mode]);
    UpdateModeButtons(instance);
    // The sliders in table order (Depth, Power, Pixel aspect, Radius), all set up before any label.
    for (const ParameterInfo &parameter : kParameters) {
        if (parameter.slider.sliderId == 0) continue;
        InitSlider(dialog, parameter.slider.sliderId, parameter.slider.tickFrequency, parameter.minimum,
                   parameter.maximum, instance->*parameter.field.number);
    }
    for (const ParameterInfo &parameter : kParameters)
        if (parameter.slider.sliderId != 0) ReadBoundSlider(dialog, instance, parameter, true);
    return 1;
}

INT_PTR SliderNotified(HWND dialog, RemovalInstance *instance, const NMHDR *header) {
    // Only custom-draw notifications carry a draw stage; read it after the code says so.
    if (header->code != (UINT)NM_CUSTOMDRAW) return 0;
    const NMCUSTOMDRAW *draw = reinterpret_cast<const NMCUSTOMDRAW *>(header);
    if (draw->dwDrawStage != CDDS_PREPAINT) return 0;
    const ParameterInfo *slider = FindSlider(header->idFrom);
    if (slider && ReadBoundSlider(dialog, instance, *slider, false)) RebuildAndRedo(instance);
    return 0;
}

INT_PTR Command(HWND dialog, RemovalInstance *instance, WPARAM wParam) {
    if (HIWORD(wParam) != BN_CLICKED) return 0;
    switch (LOWORD(wParam)) {
    case IDOK:
        EndDialog(dialog, 0);
        return 1;
    case IDCANCEL:
        EndDialog(dialog, 1);
        return 0;
    case IDC_DIRECTORY:
        ChooseSubtitleIndex(instance);
        SelectSubtitleForFrame(instance);
        RedoFrame(instance);
        return 0;
    case IDC_SHOW_PREVIEW:
        if (IFilterPreview *preview = PreviewOf(instance)) preview->Toggle(GetParent(dialog));
        return 0;
    case IDC_MODE_ORIGINAL:
        instance->mode = MODE_ORIGINAL;
        RedoFrame(instance);
        return 0;
    case IDC_MODE_MASK:
        instance->mode = MODE_MASK_ONLY;
        RebuildAndRedo(instance);
        return 0;
    case IDC_MODE_FINAL:
        instance->mode = MODE_FINAL;
        RebuildAndRedo(instance);
        return 0;
    case IDC_INTERLACED:
        instance->interlaced = IsDlgButtonChecked(dialog, IDC_INTERLACED) != BST_UNCHECKED;
        RebuildAndRedo(instance);
        return 0;
    default:
        return 0;
    }
}

}  // namespace

int configProc(FilterActivation *fa, const FilterFunctions *, HWND parent) {
    RememberActivation(fa);
    RemovalInstance *instance = InstanceOf(fa);
    // The template lives in this module's resources; a host that gives no module record makes
    // the platform fail the call as for a missing template.
    HINSTANCE module = fa->filter && fa->filter->module ? fa->filter->module->hInstModule : nullptr;
    INT_PTR result = DialogBoxParamA(module, MAKEINTRESOURCEA(IDD_SUBTITLE_REMOVAL), parent, ConfigDialogProc,
                                     (LPARAM)instance);
    // The window is gone: later message and open-file boxes must not take it as their owner.
    instance->dialog = nullptr;
    return (int)result;
}

INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) return OpenDialog(dialog, reinterpret_cast<RemovalInstance *>(lParam));
    // Messages that arrive before the opening find no instance yet.
    RemovalInstance *instance = reinterpret_cast<RemovalInstance *>(GetWindowLongPtr(dialog, DWLP_USER));
    if (!instance) return 0;
    if (message == WM_NOTIFY) return SliderNotified(dialog, instance, reinterpret_cast<const NMHDR *>(lParam));
    if (message == WM_COMMAND) return Command(dialog, instance, wParam);
    return 0;
}

void InitSlider(HWND dialog, int sliderId, int tickFrequency, int minimum, int maximum, int position) {
    HWND slider = GetDlgItem(dialog, sliderId);
    SendMessage(slider, TBM_SETTICFREQ, (WPARAM)tickFrequency, 0);
    SendMessage(slider, TBM_SETRANGE, TRUE, (LPARAM)(uint32_t)MAKELONG(minimum, maximum));
    SendMessage(slider, TBM_SETPOS, TRUE, (LPARAM)position);
}

bool ReadSlider(HWND dialog, int sliderId, int labelId, int32_t *field, bool force, int precision) {
    int32_t position = SliderPosition(dialog, sliderId);
    if (!force && position == *field) return false;
    *field = position;
    double value = position / std::pow(10.0, precision);
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", precision, value);
    SetDlgItemTextA(dialog, labelId, text);
    return true;
}

bool ReadAspectSlider(RemovalInstance *instance, bool force) {
    const ParameterSlider &slider = kParameters[PARAM_PIXEL_ASPECT].slider;
    int32_t position = SliderPosition(instance->dialog, slider.sliderId);
    if (!force && position == instance->pixelAspect) return false;
    instance->pixelAspect = position;
    char text[64];
    std::snprintf(text, sizeof(text), "%.4g : %.4g", AspectScaleX(instance->pixelAspect),
                  AspectScaleY(instance->pixelAspect));
    SetDlgItemTextA(instance->dialog, slider.labelId, text);
    return true;
}

void PreviewButtonChanged(bool state, void *instance) {
    static_cast<RemovalInstance *>(instance)->previewShown = state;
}
