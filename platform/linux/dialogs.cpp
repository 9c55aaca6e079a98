// The headless dialog layer: modal dialogs whose windows live in memory. It implements the
// Windows dialog calls the module makes, with the behaviour the module relies on: auto radio
// buttons keep one check per group, an auto checkbox toggles, a trackbar clamps its position to
// its range, and painting is deferred as in a message loop: a change invalidates a control, and
// after the opening and after each user action every invalid trackbar paints, sending the
// NM_CUSTOMDRAW / CDDS_PREPAINT notification to the dialog whether or not its position moved.
// A test installs a driver that plays the user (see dialog_driver.h).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/dialog_driver.h"

namespace {

// Messages and codes of the Windows headers that only the layer needs.
constexpr UINT kWmDestroy = 0x0002, kWmSetText = 0x000C, kWmClose = 0x0010, kWmSetFont = 0x0030,
               kWmSysCommand = 0x0112, kWmHScroll = 0x0114, kBmGetCheck = 0x00F0, kBmSetCheck = 0x00F1;
constexpr WPARAM kScClose = 0xF060;
constexpr WORD kTbThumbPosition = 4;
constexpr DWORD kDsSetFont = 0x40;
constexpr int kSlotCount = 3;  // DWLP_MSGRESULT, DWLP_DLGPROC, DWLP_USER

}  // namespace

struct HWND__ {
    HWND__ *dialog = nullptr;  // controls: their dialog; the dialog: null
    HWND owner = nullptr;      // the dialog: the window it was created for
    const HeadlessControlTemplate *control = nullptr;  // null for the dialog itself
    int32_t id = 0;
    DWORD style = 0;
    std::string text;
    UINT check = BST_UNCHECKED;
    int32_t rangeMin = 0, rangeMax = 100, position = 0, tickFrequency = 1;
    bool invalid = false;
    // The dialog only.
    LONG_PTR slots[kSlotCount] = {};
    std::vector<std::unique_ptr<HWND__>> children;
    bool visible = false;
    bool ended = false;
    INT_PTR result = 0;
    long paintNotifications = 0;
};

namespace {

std::set<HWND__ *> g_live;
DialogDriver g_driver = nullptr;
void *g_driverContext = nullptr;

HWND__ *Live(HWND window) { return window && g_live.count(window) ? window : nullptr; }
HWND__ *LiveDialog(HWND window) {
    HWND__ *w = Live(window);
    return w && !w->control ? w : nullptr;
}
HWND__ *OpenDialog(HWND window) {
    HWND__ *d = LiveDialog(window);
    return d && !d->ended ? d : nullptr;
}

HWND__ *Child(HWND__ *dialog, int id) {
    if (!dialog) return nullptr;
    for (auto &child : dialog->children)
        if (child->id == id) return child.get();
    return nullptr;
}

bool IsButton(const HWND__ *w) { return w && w->control && w->control->windowClass == HEADLESS_BUTTON; }
bool IsTrackbar(const HWND__ *w) { return w && w->control && w->control->windowClass == HEADLESS_TRACKBAR; }
DWORD ButtonType(const HWND__ *w) { return w->style & HEADLESS_BS_TYPEMASK; }
bool Usable(const HWND__ *w) {
    return w && (w->style & HEADLESS_WS_VISIBLE) && !(w->style & HEADLESS_WS_DISABLED);
}

void Invalidate(HWND__ *w) {
    if (w && (w->style & HEADLESS_WS_VISIBLE)) w->invalid = true;
}

LRESULT CallProcedure(HWND__ *dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    DLGPROC procedure = reinterpret_cast<DLGPROC>(dialog->slots[1]);
    return procedure ? procedure(dialog, message, wParam, lParam) : 0;
}

void PaintTrackbar(HWND__ *dialog, HWND__ *trackbar) {
    NMCUSTOMDRAW draw{};
    draw.hdr.hwndFrom = trackbar;
    draw.hdr.idFrom = (UINT_PTR)(intptr_t)trackbar->id;
    draw.hdr.code = (UINT)NM_CUSTOMDRAW;
    draw.dwDrawStage = CDDS_PREPAINT;
    draw.rc = {0, 0, trackbar->control->cx, trackbar->control->cy};
    ++dialog->paintNotifications;
    CallProcedure(dialog, WM_NOTIFY, (WPARAM)draw.hdr.idFrom, (LPARAM)&draw);
}

// What the message loop does between user actions: paint every invalid control of a visible,
// open dialog in drawing order. A paint may invalidate again; later passes serve that.
void PaintPending(HWND__ *dialog) {
    for (int pass = 0; pass < 8; ++pass) {
        bool painted = false;
        for (size_t i = 0; i < dialog->children.size(); ++i) {
            if (dialog->ended || !dialog->visible) return;
            HWND__ *child = dialog->children[i].get();
            if (!child->invalid) continue;
            child->invalid = false;
            painted = true;
            if (IsTrackbar(child)) PaintTrackbar(dialog, child);
        }
        if (!painted) return;
    }
}

int32_t Clamp(const HWND__ *trackbar, int32_t position) {
    return std::max(trackbar->rangeMin, std::min(trackbar->rangeMax, position));
}

LRESULT TrackbarMessage(HWND__ *trackbar, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case TBM_GETPOS:
        return trackbar->position;
    case TBM_SETPOS:
        trackbar->position = Clamp(trackbar, (int32_t)lParam);
        if (wParam) Invalidate(trackbar);
        return 0;
    case TBM_SETRANGE:
        // Both limits are signed 16-bit halves of lParam.
        trackbar->rangeMin = (int16_t)LOWORD(lParam);
        trackbar->rangeMax = (int16_t)HIWORD(lParam);
        trackbar->position = Clamp(trackbar, trackbar->position);
        if (wParam) Invalidate(trackbar);
        return 0;
    case TBM_SETTICFREQ:
        trackbar->tickFrequency = (int32_t)wParam;
        Invalidate(trackbar);
        return 0;
    default:
        return 0;
    }
}

// A finished user action: the dialog repaints what the action invalidated.
bool Acted(HWND__ *dialog) {
    PaintPending(dialog);
    return true;
}

void DestroyDialog(HWND__ *dialog) {
    CallProcedure(dialog, kWmDestroy, 0, 0);
    for (auto &child : dialog->children) g_live.erase(child.get());
    g_live.erase(dialog);
}

}  // namespace

extern "C" {

void SetDialogDriver(DialogDriver driver, void *context) {
    g_driver = driver;
    g_driverContext = context;
}

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC procedure,
                        LPARAM initParam) {
    // The layer holds module templates only, named by number; nothing can run without a driver.
    if (!instance || !procedure || (UINT_PTR)templateName > 0xFFFF) return -1;
    const HeadlessDialogTemplate *form = FindHeadlessDialogTemplate((int32_t)(UINT_PTR)templateName);
    DialogDriver driver = g_driver;
    void *context = g_driverContext;
    if (!form || !driver) return -1;

    auto dialog = std::make_unique<HWND__>();
    dialog->owner = parent;
    dialog->style = form->style;
    dialog->text = form->title;
    dialog->slots[1] = reinterpret_cast<LONG_PTR>(procedure);
    HWND__ *firstTabStop = nullptr;
    for (size_t i = 0; i < form->controlCount; ++i) {
        const HeadlessControlTemplate &c = form->controls[i];
        auto child = std::make_unique<HWND__>();
        child->dialog = dialog.get();
        child->control = &c;
        child->id = c.id;
        child->style = c.style;
        child->text = c.text;
        if (!firstTabStop && (c.style & HEADLESS_WS_TABSTOP)) firstTabStop = child.get();
        g_live.insert(child.get());
        dialog->children.push_back(std::move(child));
    }
    g_live.insert(dialog.get());

    HWND__ *d = dialog.get();
    if (form->style & kDsSetFont) CallProcedure(d, kWmSetFont, 0, 0);
    CallProcedure(d, WM_INITDIALOG, (WPARAM)firstTabStop, initParam);
    if (!d->ended) {
        d->visible = true;
        for (auto &child : d->children) Invalidate(child.get());
        PaintPending(d);
        if (!d->ended) driver(context, d);
    }
    INT_PTR result = d->ended ? d->result : -1;
    DestroyDialog(d);
    return result;
}

BOOL EndDialog(HWND window, INT_PTR result) {
    HWND__ *dialog = OpenDialog(window);
    if (!dialog) return FALSE;
    dialog->ended = true;
    dialog->result = result;
    return TRUE;
}

HWND GetParent(HWND window) {
    HWND__ *w = Live(window);
    if (!w) return nullptr;
    return w->control ? w->dialog : w->owner;
}

HWND GetDlgItem(HWND dialog, int id) { return Child(LiveDialog(dialog), id); }

LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
    HWND__ *dialog = LiveDialog(window);
    if (!dialog || index < 0 || index % (int)sizeof(LONG_PTR) || index / (int)sizeof(LONG_PTR) >= kSlotCount) return 0;
    LONG_PTR previous = dialog->slots[index / sizeof(LONG_PTR)];
    dialog->slots[index / sizeof(LONG_PTR)] = value;
    return previous;
}

LONG_PTR GetWindowLongPtrA(HWND window, int index) {
    HWND__ *dialog = LiveDialog(window);
    if (!dialog || index < 0 || index % (int)sizeof(LONG_PTR) || index / (int)sizeof(LONG_PTR) >= kSlotCount) return 0;
    return dialog->slots[index / sizeof(LONG_PTR)];
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND__ *w = Live(window);
    if (!w) return 0;
    if (!w->control) return CallProcedure(w, message, wParam, lParam);
    if (IsTrackbar(w)) return TrackbarMessage(w, message, wParam, lParam);
    if (message == kWmSetText) {
        w->text = lParam ? reinterpret_cast<const char *>(lParam) : "";
        Invalidate(w);
        return TRUE;
    }
    if (IsButton(w) && message == kBmGetCheck) return w->check;
    if (IsButton(w) && message == kBmSetCheck) {
        w->check = (UINT)wParam;
        Invalidate(w);
        return 0;
    }
    return 0;
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND__ *child = Child(LiveDialog(dialog), id);
    return child ? SendMessageA(child, message, wParam, lParam) : 0;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
    HWND__ *child = Child(LiveDialog(dialog), id);
    if (!child) return FALSE;
    return (BOOL)SendMessageA(child, kWmSetText, 0, (LPARAM)text);
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
    HWND__ *child = Child(LiveDialog(dialog), id);
    return IsButton(child) ? child->check : BST_UNCHECKED;
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
    HWND__ *child = Child(LiveDialog(dialog), id);
    if (!IsButton(child)) return FALSE;
    SendMessageA(child, kBmSetCheck, check, 0);
    return TRUE;
}

// Every button whose id lies in [firstId, lastId] is checked when it is checkId, else unchecked.
BOOL CheckRadioButton(HWND dialog, int firstId, int lastId, int checkId) {
    HWND__ *d = LiveDialog(dialog);
    if (!d) return FALSE;
    for (auto &child : d->children)
        if (IsButton(child.get()) && child->id >= firstId && child->id <= lastId)
            SendMessageA(child.get(), kBmSetCheck, child->id == checkId ? BST_CHECKED : BST_UNCHECKED, 0);
    return TRUE;
}

// Returns nonzero when the window was disabled before the call.
BOOL EnableWindow(HWND window, BOOL enable) {
    HWND__ *w = Live(window);
    if (!w) return FALSE;
    BOOL wasDisabled = (w->style & HEADLESS_WS_DISABLED) ? TRUE : FALSE;
    if (enable)
        w->style &= ~HEADLESS_WS_DISABLED;
    else
        w->style |= HEADLESS_WS_DISABLED;
    Invalidate(w);
    return wasDisabled;
}

bool DriverClick(HWND dialog, int id) {
    HWND__ *d = OpenDialog(dialog);
    HWND__ *button = Child(d, id);
    if (!IsButton(button) || !Usable(button)) return false;
    DWORD type = ButtonType(button);
    if (type == HEADLESS_BS_GROUPBOX) return false;  // a frame, not a button one can press
    if (type == HEADLESS_BS_AUTOCHECKBOX) {
        button->check = button->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
        Invalidate(button);
    } else if (type == HEADLESS_BS_AUTORADIOBUTTON) {
        // The group runs from the nearest WS_GROUP control at or before the button (or the first
        // control) up to the next WS_GROUP control.
        auto &children = d->children;
        size_t at = 0;
        while (children[at].get() != button) ++at;
        size_t first = at;
        while (first > 0 && !(children[first]->style & HEADLESS_WS_GROUP)) --first;
        size_t end = at + 1;
        while (end < children.size() && !(children[end]->style & HEADLESS_WS_GROUP)) ++end;
        for (size_t i = first; i < end; ++i) {
            HWND__ *other = children[i].get();
            if (IsButton(other) && ButtonType(other) == HEADLESS_BS_AUTORADIOBUTTON && other != button &&
                other->check != BST_UNCHECKED) {
                other->check = BST_UNCHECKED;
                Invalidate(other);
            }
        }
        button->check = BST_CHECKED;
        Invalidate(button);
    }
    CallProcedure(d, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button);
    return Acted(d);
}

bool DriverPressEscape(HWND dialog) {
    HWND__ *d = OpenDialog(dialog);
    if (!d) return false;
    CallProcedure(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)Child(d, IDCANCEL));
    return Acted(d);
}

bool DriverClickCloseBox(HWND dialog) {
    HWND__ *d = OpenDialog(dialog);
    if (!d) return false;
    // Unhandled, SC_CLOSE becomes WM_CLOSE, and an unhandled WM_CLOSE becomes IDCANCEL.
    if (!CallProcedure(d, kWmSysCommand, kScClose, 0) && !d->ended && !CallProcedure(d, kWmClose, 0, 0) &&
        !d->ended)
        CallProcedure(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)Child(d, IDCANCEL));
    return Acted(d);
}

bool DriverMoveSlider(HWND dialog, int id, int position) {
    HWND__ *d = OpenDialog(dialog);
    HWND__ *trackbar = Child(d, id);
    if (!IsTrackbar(trackbar) || !Usable(trackbar)) return false;
    int32_t clamped = Clamp(trackbar, position);
    if (clamped != trackbar->position) {
        trackbar->position = clamped;
        Invalidate(trackbar);
    }
    CallProcedure(d, kWmHScroll, MAKEWPARAM(kTbThumbPosition, (WORD)clamped), (LPARAM)trackbar);
    return Acted(d);
}

bool DriverRepaint(HWND dialog, int id) {
    HWND__ *d = OpenDialog(dialog);
    HWND__ *child = Child(d, id);
    if (!child || !(child->style & HEADLESS_WS_VISIBLE)) return false;
    Invalidate(child);
    return Acted(d);
}

LRESULT DriverSendToDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND__ *d = OpenDialog(dialog);
    if (!d) return 0;
    LRESULT result = CallProcedure(d, message, wParam, lParam);
    Acted(d);
    return result;
}

HeadlessControlState DriverControlState(HWND dialog, int id) {
    HeadlessControlState state{};
    HWND__ *child = Child(LiveDialog(dialog), id);
    if (!child) return state;
    state.exists = true;
    state.enabled = !(child->style & HEADLESS_WS_DISABLED);
    state.visible = (child->style & HEADLESS_WS_VISIBLE) != 0;
    state.check = child->check;
    std::snprintf(state.text, sizeof(state.text), "%s", child->text.c_str());
    state.rangeMin = child->rangeMin;
    state.rangeMax = child->rangeMax;
    state.position = child->position;
    state.tickFrequency = child->tickFrequency;
    return state;
}

long DriverPaintNotifications(HWND dialog) {
    HWND__ *d = LiveDialog(dialog);
    return d ? d->paintNotifications : 0;
}

bool DriverIsWindow(HWND window) { return Live(window) != nullptr; }

}  // extern "C"
