// The Linux half of the frame comparison with the Windows module, and the comparison itself.
//
//   frames_linux generate <input dir>                  writes the index files, graymaps and frames
//   frames_linux run <module.so> <input dir> <out dir>  runs every case through the Linux module
//   frames_linux compare <linux out> <windows out>      byte comparison, differences named exactly
//   frames_linux selftest <module.so> <work dir>        generate and run (the Linux checks alone)
//   frames_linux labels <module.so> <out file>          the dialog's value labels at every slider
//                                                       position (label_sweep.h), for the dialog test
//
// The module is loaded with dlopen and driven only through its binary interface; the stand-in
// Windows layer answers its open-file box with the case's index and records its message boxes.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/dialog_driver.h"
#include "platform/linux/shim.h"
#include "tests/windows/frame_cases.h"
#include "tests/windows/label_sweep.h"

namespace {

class LinuxPlatform : public frames::Platform {
public:
    LinuxPlatform() {
        SetOpenFileHandler(&LinuxPlatform::OpenFile, this);
        SetMessageBoxHandler(&LinuxPlatform::Message, this);
    }
    ~LinuxPlatform() override {
        SetOpenFileHandler(nullptr, nullptr);
        SetMessageBoxHandler(nullptr, nullptr);
    }
    void AnswerNextOpenFile(const std::string &indexPath) override {
        answer_ = indexPath;
        answered_ = false;
    }
    bool OpenFileAnswered() override { return answered_; }
    std::vector<std::string> TakeMessageBoxes() override {
        std::vector<std::string> boxes;
        boxes.swap(boxes_);
        return boxes;
    }

private:
    static const char *OpenFile(void *context, const OPENFILENAMEA *) {
        LinuxPlatform *self = static_cast<LinuxPlatform *>(context);
        if (self->answered_) return nullptr;  // one answer per Config, as the Windows host gives
        self->answered_ = true;
        return self->answer_.c_str();
    }
    static int Message(void *context, HWND, const char *text, const char *caption, UINT) {
        static_cast<LinuxPlatform *>(context)->boxes_.push_back(std::string(caption) + " | " + text);
        return IDOK;
    }
    std::string answer_;
    bool answered_ = false;
    std::vector<std::string> boxes_;
};

bool MakeDirectory(const std::string &path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

bool Generate(const std::string &root) {
    if (!MakeDirectory(root)) return false;
    for (const frames::Folder &f : frames::Folders())
        if (!MakeDirectory(root + "/" + f.name)) return false;
    return frames::GenerateInputs(root, '/');
}

int RunModule(const char *modulePath, const std::string &input, const std::string &output) {
    if (!MakeDirectory(output)) {
        std::printf("FAIL cannot create %s\n", output.c_str());
        return 1;
    }
    void *library = dlopen(modulePath, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::printf("FAIL %s\n", dlerror());
        return 1;
    }
    auto init = reinterpret_cast<FilterModuleInitProc>(dlsym(library, "VirtualdubFilterModuleInit2"));
    auto deinit = reinterpret_cast<FilterModuleDeinitProc>(dlsym(library, "VirtualdubFilterModuleDeinit"));
    if (!init || !deinit) {
        std::printf("FAIL entry points missing\n");
        return 1;
    }
    LinuxPlatform platform;
    frames::Run run(platform, init, deinit, input, output, '/');
    const int failures = run.RunAll();
    dlclose(library);
    std::printf("%s: %d failure(s) in %zu cases through %s\n", failures ? "FAIL" : "PASS", failures,
                frames::Cases().size(), modulePath);
    return failures ? 1 : 0;
}

// ---- The dialog's value labels ----

FilterDefinition g_labelsDefinition;
FilterDefinition *AddLabelsFilter(FilterModule *module, FilterDefinition *definition, int size) {
    if (size != (int)sizeof(FilterDefinition)) return nullptr;
    g_labelsDefinition = *definition;
    g_labelsDefinition.module = module;
    return &g_labelsDefinition;
}
void RemoveLabelsFilter(FilterDefinition *) {}

struct LabelSweep {
    FILE *out;
    int lines = 0, failedMoves = 0;
};

// The user: every slider dragged to each of its positions in turn, its label read after each.
void SweepLabels(void *context, HWND dialog) {
    LabelSweep *sweep = static_cast<LabelSweep *>(context);
    for (const labels::Row &row : labels::kRows) {
        if (row.slider.sliderId == 0) continue;
        for (int32_t position = row.minimum; position <= row.maximum; ++position) {
            if (!DriverMoveSlider(dialog, row.slider.sliderId, position)) ++sweep->failedMoves;
            labels::WriteLine(sweep->out, row, position, DriverControlState(dialog, row.slider.labelId).text);
            ++sweep->lines;
        }
    }
    DriverPressEscape(dialog);
}

int WriteLabels(const char *modulePath, const char *outPath) {
    void *library = dlopen(modulePath, RTLD_NOW | RTLD_LOCAL);
    auto init = library ? reinterpret_cast<FilterModuleInitProc>(dlsym(library, "VirtualdubFilterModuleInit2")) : nullptr;
    auto deinit =
        library ? reinterpret_cast<FilterModuleDeinitProc>(dlsym(library, "VirtualdubFilterModuleDeinit")) : nullptr;
    FilterFunctions functions{};
    functions.addFilter = &AddLabelsFilter;
    functions.removeFilter = &RemoveLabelsFilter;
    FilterModule module{};
    module.hInstModule = reinterpret_cast<HMODULE>(library);  // the dialog's template is the module's
    int version = 0, compatible = 0;
    if (!init || !deinit || init(&module, &functions, &version, &compatible) != 0) {
        std::printf("FAIL cannot load and register %s\n", modulePath);
        return 1;
    }
    FILE *out = std::fopen(outPath, "wb");
    if (!out) {
        std::printf("FAIL cannot write %s\n", outPath);
        return 1;
    }
    std::vector<uint8_t> data((size_t)g_labelsDefinition.inst_data_size, 0);
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
    activation.filter = &g_labelsDefinition;
    activation.filter_data = data.data();
    activation.src = &src;
    activation.dst = &dst;
    activation.pfsi = &state;
    g_labelsDefinition.initProc(&activation, &functions);
    LabelSweep sweep{out};
    SetDialogDriver(&SweepLabels, &sweep);
    const int result = g_labelsDefinition.configProc(&activation, &functions, reinterpret_cast<HWND>(0x5150));
    SetDialogDriver(nullptr, nullptr);
    g_labelsDefinition.deinitProc(&activation, &functions);
    deinit(&module, &functions);
    const bool written = std::fclose(out) == 0;
    // Guards a sweep that moved nothing (a dialog that did not open would leave an empty file to compare).
    if (result != 1 || sweep.lines == 0 || sweep.failedMoves != 0 || !written) {
        std::printf("FAIL label sweep: dialog result %d, %d labels, %d slider moves refused\n", result, sweep.lines,
                    sweep.failedMoves);
        return 1;
    }
    return 0;
}

std::vector<uint8_t> Slurp(const std::string &path, bool *ok) {
    std::vector<uint8_t> data;
    FILE *f = std::fopen(path.c_str(), "rb");
    *ok = f != nullptr;
    if (!f) return data;
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) data.insert(data.end(), buffer, buffer + n);
    std::fclose(f);
    return data;
}

// Names every differing pixel (frame, picture column and row from the top, both values).
size_t CompareFrames(const frames::Case &c, const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    const frames::Folder &folder = *frames::FindFolder(c.folder);
    const size_t pitch = (size_t)folder.width * 4 + frames::kRowPadding;
    const size_t frameBytes = pitch * (size_t)folder.height;
    const size_t count = (size_t)frames::FrameCount(c, folder);
    if (a.size() != b.size() || a.size() != frameBytes * count) {
        std::printf("DIFF %s: frame data of %zu and %zu bytes, expected %zu\n", c.name, a.size(), b.size(),
                    frameBytes * count);
        return 1;
    }
    size_t differences = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        const size_t frame = i / frameBytes, inFrame = i % frameBytes, row = inFrame / pitch, column = inFrame % pitch;
        if (column >= (size_t)folder.width * 4) {
            std::printf("DIFF %s frame %zu plane row %zu padding byte %zu: %02x (Linux) %02x (Windows)\n", c.name,
                        frame, row, column - (size_t)folder.width * 4, a[i], b[i]);
        } else {
            const size_t start = i - column % 4;
            uint32_t va, vb;
            std::memcpy(&va, &a[start], 4);
            std::memcpy(&vb, &b[start], 4);
            std::printf("DIFF %s frame %zu pixel x %zu y %zu (picture row from the top %zu): %08x (Linux) %08x "
                        "(Windows)\n",
                        c.name, frame, column / 4, row, (size_t)folder.height - 1 - row, va, vb);
            i = start + 3;
        }
        if (++differences >= 50) {
            std::printf("DIFF %s: more differences not listed\n", c.name);
            break;
        }
    }
    return differences;
}

// Names every differing weight: table, distances, both values and their distance in float steps.
size_t CompareWeights(const frames::Case &c, const std::vector<uint8_t> &a, const std::vector<uint8_t> &b,
                      size_t *tables) {
    size_t differences = 0, offset = 0;
    *tables = 0;
    while (offset + 8 <= a.size() && offset + 8 <= b.size()) {
        int32_t ha[2], hb[2];
        std::memcpy(ha, &a[offset], 8);
        std::memcpy(hb, &b[offset], 8);
        if (ha[0] != hb[0] || ha[1] != hb[1]) {
            std::printf("DIFF %s table %zu: %d x %d (Linux) %d x %d (Windows)\n", c.name, *tables, ha[0], ha[1], hb[0],
                        hb[1]);
            return differences + 1;
        }
        const size_t count = (size_t)ha[0] * (size_t)ha[1];
        offset += 8;
        if (offset + count * 4 > a.size() || offset + count * 4 > b.size()) break;
        for (size_t k = 0; k < count; ++k) {
            uint32_t wa, wb;
            std::memcpy(&wa, &a[offset + 4 * k], 4);
            std::memcpy(&wb, &b[offset + 4 * k], 4);
            if (wa != wb && ++differences <= 50) {
                float fa, fb;
                std::memcpy(&fa, &wa, 4);
                std::memcpy(&fb, &wb, 4);
                std::printf("DIFF %s table %zu dx %zu row %zu: %.9g (Linux) %.9g (Windows), %" PRId64
                            " float steps\n",
                            c.name, *tables, k % (size_t)ha[0], k / (size_t)ha[0], fa, fb,
                            (int64_t)wb - (int64_t)wa);
            }
        }
        offset += count * 4;
        ++*tables;
    }
    if (offset != a.size() || a.size() != b.size()) {
        std::printf("DIFF %s: weight dumps of %zu and %zu bytes\n", c.name, a.size(), b.size());
        ++differences;
    }
    return differences;
}

int Compare(const std::string &linuxDir, const std::string &windowsDir) {
    size_t differences = 0, frameCount = 0, tableCount = 0;
    for (const frames::Case &c : frames::Cases()) {
        for (const char *kind : {".frames", ".weights", ".log"}) {
            bool okA, okB;
            const std::vector<uint8_t> a = Slurp(linuxDir + "/" + c.name + kind, &okA);
            const std::vector<uint8_t> b = Slurp(windowsDir + "/" + c.name + kind, &okB);
            if (!okA || !okB) {
                std::printf("DIFF %s%s missing on the %s side\n", c.name, kind, okA ? "Windows" : "Linux");
                ++differences;
                continue;
            }
            if (std::strcmp(kind, ".frames") == 0) {
                differences += CompareFrames(c, a, b);
                frameCount += (size_t)frames::FrameCount(c, *frames::FindFolder(c.folder));
            } else if (std::strcmp(kind, ".weights") == 0) {
                size_t tables = 0;
                differences += CompareWeights(c, a, b, &tables);
                tableCount += tables;
            } else if (a != b) {
                std::printf("DIFF %s.log:\n--- Linux\n%.*s--- Windows\n%.*s", c.name, (int)a.size(),
                            reinterpret_cast<const char *>(a.data()), (int)b.size(),
                            reinterpret_cast<const char *>(b.data()));
                ++differences;
            }
        }
    }
    if (differences) {
        std::printf("FAIL: %zu difference(s) between the Linux and the Windows module\n", differences);
        return 1;
    }
    std::printf("PASS: %zu cases, %zu frames and %zu weight tables byte-identical, logs equal\n",
                frames::Cases().size(), frameCount, tableCount);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "generate" && argc == 3) return Generate(argv[2]) ? 0 : 1;
    if (command == "run" && argc == 5) return RunModule(argv[2], argv[3], argv[4]);
    if (command == "compare" && argc == 4) return Compare(argv[2], argv[3]);
    if (command == "labels" && argc == 4) return WriteLabels(argv[2], argv[3]);
    if (command == "selftest" && argc == 4) {
        const std::string work = argv[3];
        if (!MakeDirectory(work) || !Generate(work + "/input")) {
            std::printf("FAIL cannot write the inputs under %s\n", work.c_str());
            return 1;
        }
        return RunModule(argv[2], work + "/input", work + "/linux");
    }
    std::fprintf(stderr,
                 "usage: frames_linux generate <dir> | run <module> <input> <output> | compare <linux> <windows> |"
                 " selftest <module> <work dir> | labels <module> <out file>\n");
    return 2;
}
