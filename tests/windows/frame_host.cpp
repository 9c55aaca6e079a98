// The Windows half of the frame comparison: a host that loads the .vdf and runs every case of
// frame_cases.h through it, with the module's boxes shown by Windows itself. A watcher thread
// plays the user: it finds the real open-file box of GetOpenFileNameA among the main thread's
// windows, types the case's index path into its file name field and presses OK; it reads each
// message box's caption and text and presses OK. The main thread meanwhile sits inside the
// module (Config or runProc), in the box's own modal loop.
//
// Usage: frame_host <module.vdf> <input dir> <output dir> <x87 control word>
//   (Windows paths, e.g. Z:\tmp\x\input; the control word in hex, e.g. 27f)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/windows/frame_cases.h"

namespace {

constexpr int kFileNameEdit = 0x480;   // edt1: the file name field of the open-file box
constexpr int kFileNameCombo = 0x47C;  // cmb13: the same field in the Explorer-style box
constexpr int kMessageText = 0xFFFF;   // the text of a message box

class WindowsPlatform : public frames::Platform {
public:
    WindowsPlatform() : mainThread_(GetCurrentThreadId()) {
        InitializeCriticalSection(&lock_);
        thread_ = CreateThread(nullptr, 0, &WindowsPlatform::Watch, this, 0, nullptr);
    }
    ~WindowsPlatform() override {
        InterlockedExchange(&stop_, 1);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        DeleteCriticalSection(&lock_);
    }
    void AnswerNextOpenFile(const std::string &indexPath) override {
        EnterCriticalSection(&lock_);
        answer_ = indexPath;
        pending_ = true;
        answered_ = false;
        LeaveCriticalSection(&lock_);
    }
    bool OpenFileAnswered() override {
        EnterCriticalSection(&lock_);
        const bool answered = answered_;
        pending_ = false;
        LeaveCriticalSection(&lock_);
        return answered;
    }
    std::vector<std::string> TakeMessageBoxes() override {
        EnterCriticalSection(&lock_);
        std::vector<std::string> boxes;
        boxes.swap(boxes_);
        LeaveCriticalSection(&lock_);
        return boxes;
    }

private:
    static DWORD WINAPI Watch(void *context) {
        WindowsPlatform *self = static_cast<WindowsPlatform *>(context);
        while (!self->stop_) {
            EnumThreadWindows(self->mainThread_, &WindowsPlatform::Visit, reinterpret_cast<LPARAM>(self));
            Sleep(10);
        }
        return 0;
    }

    static BOOL CALLBACK Visit(HWND window, LPARAM context) {
        WindowsPlatform *self = reinterpret_cast<WindowsPlatform *>(context);
        char className[64] = "", title[256] = "";
        GetClassNameA(window, className, sizeof(className));
        if (std::strcmp(className, "#32770") != 0 || !IsWindowVisible(window)) return TRUE;
        GetWindowTextA(window, title, sizeof(title));
        if (std::strcmp(title, "Open bitmap sequence") == 0)
            self->AnswerOpenFile(window);
        else
            self->AnswerMessage(window, title);
        // The box closes in the main thread's modal loop; wait for it so it is answered once.
        for (int i = 0; i < 2000 && IsWindow(window); ++i) Sleep(10);
        return FALSE;
    }

    void AnswerOpenFile(HWND box) {
        EnterCriticalSection(&lock_);
        const bool pending = pending_;
        const std::string answer = answer_;
        pending_ = false;
        LeaveCriticalSection(&lock_);
        HWND field = GetDlgItem(box, kFileNameEdit);
        if (!field) field = GetDlgItem(box, kFileNameCombo);
        if (!pending || !field) {
            std::printf("FAIL open-file box %s\n", pending ? "without a file name field" : "not expected");
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return;
        }
        SendMessageA(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(answer.c_str()));
        EnterCriticalSection(&lock_);
        answered_ = true;
        LeaveCriticalSection(&lock_);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    }

    void AnswerMessage(HWND box, const char *caption) {
        char text[512] = "";
        GetDlgItemTextA(box, kMessageText, text, sizeof(text));
        EnterCriticalSection(&lock_);
        boxes_.push_back(std::string(caption) + " | " + text);
        LeaveCriticalSection(&lock_);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    }

    DWORD mainThread_;
    HANDLE thread_ = nullptr;
    CRITICAL_SECTION lock_;
    volatile LONG stop_ = 0;
    std::string answer_;
    bool pending_ = false, answered_ = false;
    std::vector<std::string> boxes_;
};

// The module's pow (MinGW's, computed in x87 long double) rounds its intermediate results to the
// precision this word selects: 0x27F (53 bits) is what Windows gives every new thread and so what
// a host's threads run with; 0x37F (64 bits) is what MinGW's own program start sets.
void SetX87ControlWord(unsigned short word) {
    __asm__ volatile("fldcw %0" : : "m"(word));
    unsigned short check = 0;
    __asm__ volatile("fnstcw %0" : "=m"(check));
    std::printf("x87 control word %04x\n", check);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: frame_host <module.vdf> <input dir> <output dir> <x87 control word, hex>\n");
        return 2;
    }
    const unsigned short word = (unsigned short)std::strtoul(argv[4], nullptr, 16);
    SetX87ControlWord(word);
    CreateDirectoryA(argv[3], nullptr);
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
    if (!init || !deinit) {
        std::printf("FAIL entry points missing\n");
        return 1;
    }
    int failures;
    {
        WindowsPlatform platform;
        frames::Run run(platform, init, deinit, argv[2], argv[3], '\\');
        failures = run.RunAll();
    }
    unsigned short after = 0;
    __asm__ volatile("fnstcw %0" : "=m"(after));
    // Guards a module that leaves the host thread's floating-point state changed.
    if (after != word) {
        std::printf("FAIL x87 control word %04x after the run, %04x before\n", after, word);
        ++failures;
    }
    FreeLibrary(library);
    std::printf("%s: %d failure(s) in %u cases through %s\n", failures ? "FAIL" : "PASS", failures,
                (unsigned)frames::Cases().size(), argv[1]);
    std::fflush(stdout);
    return failures ? 1 : 0;
}
