// A small Windows host that opens the module's real configuration dialog and plays the user.
// It loads the .vdf, registers it, and calls configProc with an activation whose preview
// records its calls. A second thread waits for the dialog, compares its windows with the
// template table, saves a picture of it, then clicks, presses keys and moves sliders with
// posted messages, waiting after each action for the preview calls it must cause, and reads the
// instance and the value labels back. A last opening moves every slider through every position and
// writes the labels shown (label_sweep.h), which the caller compares with the Linux module's. The
// dialog runs at the x87 precision Windows gives a host's threads. Prints one line per check; exit
// code 0 when all pass.
//
// Usage: dialog_host <module.vdf> <screenshot.bmp> <labels.txt>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/instance.h"
#include "host/params.h"
#include "platform/linux/dialog_template.h"
#include "tests/windows/label_sweep.h"
#include "ui/resource.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char *what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++g_failures;
}

void CheckText(const char *actual, const char *expected, const char *what) {
    char line[512];
    std::snprintf(line, sizeof(line), "%s: \"%s\" (expected \"%s\")", what, actual, expected);
    Check(std::strcmp(actual, expected) == 0, line);
}

struct RecordingPreview : IFilterPreview {
    volatile LONG redo = 0, toggle = 0, initButton = 0, setCallback = 0, other = 0;
    HWND button = nullptr, toggleParent = nullptr;
    FilterPreviewButtonCallback callback = nullptr;
    void *callbackData = nullptr;
    void SetButtonCallback(FilterPreviewButtonCallback c, void *data) override {
        callback = c;
        callbackData = data;
        InterlockedIncrement(&setCallback);
    }
    void SetSampleCallback(FilterPreviewSampleCallback, void *) override { InterlockedIncrement(&other); }
    bool isPreviewEnabled() override { return true; }
    void Toggle(HWND parent) override {
        toggleParent = parent;
        InterlockedIncrement(&toggle);
    }
    void Display(HWND, bool) override { InterlockedIncrement(&other); }
    void RedoFrame() override { InterlockedIncrement(&redo); }
    void RedoSystem() override { InterlockedIncrement(&other); }
    void UndoSystem() override { InterlockedIncrement(&other); }
    void InitButton(HWND b) override {
        button = b;
        InterlockedIncrement(&initButton);
    }
    void Close() override { InterlockedIncrement(&other); }
    bool SampleCurrentFrame() override { return false; }
    VDLong SampleFrames() override { return 0; }
};

FilterDefinition g_registered;
FilterModule g_module;

FilterDefinition *AddFilter(FilterModule *module, FilterDefinition *definition, int size) {
    std::memcpy(&g_registered, definition, (size_t)size < sizeof(g_registered) ? (size_t)size : sizeof(g_registered));
    g_registered.module = module;
    return &g_registered;
}
void RemoveFilter(FilterDefinition *) {}

RecordingPreview g_preview;
RemovalInstance *g_instance = nullptr;
HWND g_owner = nullptr;
const char *g_screenshotPath = nullptr;
const char *g_labelsPath = nullptr;

// Polls until `done` holds; the dialog's thread does the work meanwhile. False after 20 s.
template <typename Condition>
bool WaitFor(Condition done) {
    for (int i = 0; i < 2000; ++i) {
        if (done()) return true;
        Sleep(10);
    }
    return done();
}

bool WaitForRedo(LONG count) {
    return WaitFor([&] { return g_preview.redo >= count; });
}

std::string Text(HWND dialog, int id) {
    char text[256] = "";
    GetDlgItemTextA(dialog, id, text, sizeof(text));
    return text;
}

bool Checked(HWND dialog, int id) { return SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }
bool Enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

void SaveBitmap(HWND window, const char *path) {
    RECT r;
    GetWindowRect(window, &r);
    int w = r.right - r.left, h = r.bottom - r.top;
    HDC source = GetWindowDC(window);
    HDC memory = CreateCompatibleDC(source);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(source, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, source, 0, 0, SRCCOPY);
    GdiFlush();
    DWORD stride = ((DWORD)w * 3 + 3) & ~3u;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
    file.bfSize = file.bfOffBits + stride * (DWORD)h;
    FILE *out = std::fopen(path, "wb");
    if (out) {
        std::fwrite(&file, sizeof(file), 1, out);
        std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out);
        std::fwrite(bits, stride, (size_t)h, out);
        std::fclose(out);
    }
    Check(out != nullptr, "screenshot written");
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window, source);
}

// The real windows against the template table: ids, classes, texts, styles and rectangles.
void CompareWithTemplate(HWND dialog) {
    const HeadlessDialogTemplate *form = FindHeadlessDialogTemplate(IDD_SUBTITLE_REMOVAL);
    char text[256];
    GetWindowTextA(dialog, text, sizeof(text));
    CheckText(text, form->title, "dialog title");
    DWORD style = (DWORD)GetWindowLongA(dialog, GWL_STYLE);
    DWORD frame = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    Check((style & frame) == (form->style & frame), "dialog window style");
    RECT client, units = {0, 0, form->cx, form->cy};
    GetClientRect(dialog, &client);
    MapDialogRect(dialog, &units);
    Check(client.right == units.right && client.bottom == units.bottom, "dialog client size from the template");

    HWND child = GetWindow(dialog, GW_CHILD);
    size_t i = 0;
    for (; child && i < form->controlCount; child = GetWindow(child, GW_HWNDNEXT), ++i) {
        const HeadlessControlTemplate &c = form->controls[i];
        char what[128];
        std::snprintf(what, sizeof(what), "control %u (%s)", (unsigned)i, c.text);
        char className[64];
        GetClassNameA(child, className, sizeof(className));
        GetWindowTextA(child, text, sizeof(text));
        // Radio buttons move WS_TABSTOP with their check, and Mask/Final may be disabled.
        DWORD dynamic = WS_DISABLED | ((c.style & 0xF) == BS_AUTORADIOBUTTON ? WS_TABSTOP : 0);
        DWORD s = (DWORD)GetWindowLongA(child, GWL_STYLE) & ~dynamic;
        DWORD ex = (DWORD)GetWindowLongA(child, GWL_EXSTYLE) & ~(DWORD)WS_EX_NOPARENTNOTIFY;
        // Position and size are converted separately, as the dialog manager does.
        RECT r, expected = {c.x, c.y, c.cx, c.cy};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT *>(&r), 2);
        MapDialogRect(dialog, &expected);
        expected.right += expected.left;
        expected.bottom += expected.top;
        bool same = (int)(short)GetDlgCtrlID(child) == c.id && lstrcmpiA(className, c.className) == 0 &&
                    // Trackbars show no text; the value labels hold what the opening wrote.
                    (c.windowClass == HEADLESS_TRACKBAR || !c.text[0] || std::strcmp(text, c.text) == 0) &&
                    s == (c.style & ~dynamic) && ex == c.exStyle && EqualRect(&r, &expected);
        if (!same)
            std::printf("     id %d class %s text \"%s\" style %08lx ex %08lx rect %ld,%ld,%ld,%ld (template rect "
                        "%ld,%ld,%ld,%ld)\n",
                        (int)(short)GetDlgCtrlID(child), className, text, (unsigned long)s, (unsigned long)ex, r.left,
                        r.top, r.right, r.bottom, expected.left, expected.top, expected.right, expected.bottom);
        Check(same, what);
    }
    Check(i == form->controlCount && !child, "as many controls as the template");
}

DWORD WINAPI Drive(void *) {
    HWND dialog = nullptr;
    if (!WaitFor([&] { return (dialog = g_instance->dialog) != nullptr && IsWindowVisible(dialog); })) {
        Check(false, "dialog opened");
        return 1;
    }
    Check(true, "dialog opened from resource 101 of the module");
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);

    // The opening, as headless: Final checked with a subtitle loaded, labels of the defaults.
    Check(Checked(dialog, IDC_MODE_FINAL) && !Checked(dialog, IDC_MODE_ORIGINAL) && !Checked(dialog, IDC_MODE_MASK),
          "Final checked at opening");
    Check(Enabled(dialog, IDC_MODE_MASK) && Enabled(dialog, IDC_MODE_FINAL), "Mask and Final enabled with a subtitle");
    Check(!Checked(dialog, IDC_INTERLACED), "Interlaced box unchecked");
    CheckText(Text(dialog, IDC_DEPTH_VALUE).c_str(), "1.5", "depth label");
    CheckText(Text(dialog, IDC_POWER_VALUE).c_str(), "4.0", "power label");
    CheckText(Text(dialog, IDC_ASPECT_VALUE).c_str(), "2 : 1", "pixel aspect label");
    CheckText(Text(dialog, IDC_RADIUS_VALUE).c_str(), "10", "radius label (clamped from 12)");
    Check(g_instance->radius == 10, "out-of-range radius took the slider position");
    Check(g_preview.redo == 0, "opening ordered no frame");
    Check(g_preview.initButton == 1 && g_preview.button == GetDlgItem(dialog, IDC_SHOW_PREVIEW),
          "preview button handed to the preview");
    CompareWithTemplate(dialog);
    SaveBitmap(dialog, g_screenshotPath);

    // One slider step with the keyboard: the trackbar moves, repaints, and the dialog reads it.
    HWND radius = GetDlgItem(dialog, IDC_RADIUS);
    PostMessageA(radius, WM_KEYDOWN, VK_LEFT, 0);
    Check(WaitForRedo(1), "slider step ordered a frame");
    Check(g_instance->radius == 9, "slider step wrote radius 9");
    CheckText(Text(dialog, IDC_RADIUS_VALUE).c_str(), "9", "radius label after the step");
    // The selection the step runs consumes rebuildPending; its count is checked by the headless tests.
    // A repaint without a change: painted synchronously, then nothing may follow.
    RedrawWindow(radius, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    SendMessageA(dialog, WM_NULL, 0, 0);
    Check(g_preview.redo == 1, "repaint without change ordered no frame");

    PostMessageA(GetDlgItem(dialog, IDC_MODE_MASK), BM_CLICK, 0, 0);
    Check(WaitForRedo(2) && g_instance->mode == 1, "Mask button sets mode 1");
    Check(Checked(dialog, IDC_MODE_MASK) && !Checked(dialog, IDC_MODE_FINAL), "radio group moved to Mask");
    PostMessageA(GetDlgItem(dialog, IDC_MODE_ORIGINAL), BM_CLICK, 0, 0);
    Check(WaitForRedo(3) && g_instance->mode == 0, "Original button sets mode 0");
    PostMessageA(GetDlgItem(dialog, IDC_INTERLACED), BM_CLICK, 0, 0);
    Check(WaitForRedo(4) && g_instance->interlaced, "Interlaced box sets interlaced");
    PostMessageA(GetDlgItem(dialog, IDC_SHOW_PREVIEW), BM_CLICK, 0, 0);
    Check(WaitFor([] { return g_preview.toggle == 1; }) && g_preview.toggleParent == g_owner,
          "Show preview toggles with the owner window");
    Check(g_preview.redo == 4, "Show preview ordered no frame");

    // Directory while Final is checked; the open-file box is cancelled.
    PostMessageA(GetDlgItem(dialog, IDC_MODE_FINAL), BM_CLICK, 0, 0);
    Check(WaitForRedo(5) && g_instance->mode == 2, "Final button sets mode 2");
    PostMessageA(GetDlgItem(dialog, IDC_DIRECTORY), BM_CLICK, 0, 0);
    HWND box = nullptr;
    bool shown = WaitFor([&] { return (box = FindWindowA(nullptr, "Open bitmap sequence")) != nullptr; });
    Check(shown, "open-file box shown");
    if (shown) {
        Check(GetWindow(box, GW_OWNER) == dialog, "open-file box owned by the dialog");
        PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
    }
    Check(WaitForRedo(6), "Directory ordered a frame");
    Check(g_instance->subtitles.count == 0 && g_instance->mode == 0, "cancelled box: no subtitles, mode Original");
    Check(Checked(dialog, IDC_MODE_ORIGINAL) && !Checked(dialog, IDC_MODE_FINAL), "Original checked after the box");
    Check(!Enabled(dialog, IDC_MODE_MASK) && !Enabled(dialog, IDC_MODE_FINAL), "Mask and Final disabled");

    // Escape ends the dialog with 1; configProc's caller checks what is kept.
    PostMessageA(GetDlgItem(dialog, IDOK), WM_KEYDOWN, VK_ESCAPE, 0);
    return 0;
}

DWORD WINAPI PressClose(void *) {
    HWND dialog = nullptr;
    if (!WaitFor([&] { return (dialog = g_instance->dialog) != nullptr && IsWindowVisible(dialog); })) return 1;
    PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    return 0;
}

// Every slider to each of its positions, as a host's user could leave it, and the label read back.
// A position that differs from the instance's value must order a frame; that frame is waited for,
// so the label is read after the dialog has taken the position.
DWORD WINAPI SweepLabels(void *) {
    HWND dialog = nullptr;
    if (!WaitFor([&] { return (dialog = g_instance->dialog) != nullptr && IsWindowVisible(dialog); })) return 1;
    FILE *out = std::fopen(g_labelsPath, "wb");
    Check(out != nullptr, "labels file opened");
    int lines = 0;
    bool followed = true;
    for (const labels::Row &row : labels::kRows) {
        if (row.slider.sliderId == 0 || !out) continue;
        HWND slider = GetDlgItem(dialog, row.slider.sliderId);
        for (int32_t position = row.minimum; position <= row.maximum; ++position) {
            const LONG before = g_preview.redo;
            const bool moves = g_instance->*row.field.number != position;
            SendMessageA(slider, TBM_SETPOS, TRUE, position);
            RedrawWindow(slider, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
            if (moves && !WaitForRedo(before + 1)) followed = false;
            labels::WriteLine(out, row, position, Text(dialog, row.slider.labelId).c_str());
            ++lines;
        }
    }
    if (out) std::fclose(out);
    // Guards a sweep whose slider moves the dialog never saw (the labels would be stale).
    Check(followed && lines > 0, "every slider position taken by the dialog");
    PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    return 0;
}

// Windows starts every thread at 53-bit x87 precision (0x27F), and a host's dialog runs on such a
// thread; MinGW's program start sets 64 bits. The module's pow must give the same labels at both.
void UseHostX87ControlWord() {
    const unsigned short word = 0x27F;
    __asm__ volatile("fldcw %0" : : "m"(word));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: dialog_host <module.vdf> <screenshot.bmp> <labels.txt>\n");
        return 2;
    }
    g_screenshotPath = argv[2];
    g_labelsPath = argv[3];
    UseHostX87ControlWord();
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    HMODULE library = LoadLibraryA(argv[1]);
    if (!library) {
        std::printf("FAIL cannot load %s\n", argv[1]);
        return 1;
    }
    // Through void * : an exported address has no type of its own.
    auto init = reinterpret_cast<FilterModuleInitProc>(
        reinterpret_cast<void *>(GetProcAddress(library, "VirtualdubFilterModuleInit2")));
    auto deinit = reinterpret_cast<FilterModuleDeinitProc>(
        reinterpret_cast<void *>(GetProcAddress(library, "VirtualdubFilterModuleDeinit")));
    FilterFunctions functions{};
    functions.addFilter = AddFilter;
    functions.removeFilter = RemoveFilter;
    g_module.hInstModule = library;
    int version = 0, compatible = 0;
    if (!init || !deinit || init(&g_module, &functions, &version, &compatible) != 0) {
        std::printf("FAIL module did not register\n");
        return 1;
    }

    std::vector<char> data((size_t)g_registered.inst_data_size, 0);
    g_instance = reinterpret_cast<RemovalInstance *>(data.data());
    static uint32_t pixels[64 * 48];
    VFBitmap src{}, dst{};
    for (VFBitmap *b : {&src, &dst}) {
        b->data = pixels;
        b->depth = 32;
        b->w = 64;
        b->h = 48;
        b->pitch = 64 * 4;
        b->size = sizeof(pixels);
    }
    FilterStateInfo state{};
    FilterActivation activation{};
    activation.filter = &g_registered;
    activation.filter_data = g_instance;
    activation.src = &src;
    activation.dst = &dst;
    activation.pfsi = &state;
    activation.ifp = &g_preview;
    g_registered.initProc(&activation, &functions);

    // Settings as a script might leave them: Final, one subtitle (not at frame 0), radius out of range.
    // The module frees the list with the C runtime's free, which module and host share (msvcrt).
    g_instance->subtitles.entries = static_cast<SubtitleEntry *>(std::calloc(1, sizeof(SubtitleEntry)));
    *g_instance->subtitles.entries = {100, 200, 0, 0};
    g_instance->subtitles.count = 1;
    g_instance->mode = MODE_FINAL;
    g_instance->radius = 12;
    g_instance->pixelAspect = -30;

    g_owner = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr, nullptr,
                              nullptr);
    HANDLE driver = CreateThread(nullptr, 0, Drive, nullptr, 0, nullptr);
    int result = g_registered.configProc(&activation, &functions, g_owner);
    WaitForSingleObject(driver, INFINITE);
    Check(result == 1, "Escape: configProc returned 1");
    Check(g_instance->radius == 9 && g_instance->interlaced && g_instance->mode == 0,
          "Escape kept radius, interlaced and mode");
    Check(g_instance->dialog == nullptr, "dialog cleared after the end");

    HANDLE closer = CreateThread(nullptr, 0, PressClose, nullptr, 0, nullptr);
    result = g_registered.configProc(&activation, &functions, g_owner);
    WaitForSingleObject(closer, INFINITE);
    Check(result == 0, "Close: configProc returned 0");

    HANDLE sweeper = CreateThread(nullptr, 0, SweepLabels, nullptr, 0, nullptr);
    result = g_registered.configProc(&activation, &functions, g_owner);
    WaitForSingleObject(sweeper, INFINITE);
    Check(result == 0, "label sweep closed with Close");
    Check(g_preview.other == 0, "no other preview calls");

    g_registered.deinitProc(&activation, &functions);
    deinit(&g_module, &functions);
    std::printf("%s: %d failure(s)\n", g_failures ? "FAIL" : "PASS", g_failures);
    return g_failures ? 1 : 0;
}
