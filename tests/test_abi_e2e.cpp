// The built Linux module driven through its binary interface only, the way a host drives a
// .vdf: load it, register through the entry point, create a zero-filled instance of the size the
// definition gives, configure it through the declared script function, and run frames with a
// separate, padded, bottom-up destination buffer. The expected frames are computed here from the
// fixture's geometry and the distance-weight formula, not by the module's code.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/vdplugin.h"
#include "platform/linux/shim.h"

namespace {

constexpr int32_t kWidth = 16;
constexpr int32_t kHeight = 12;
constexpr int32_t kPadding = 12;  // bytes after each row, so modulo is not 0
constexpr ptrdiff_t kPitch = kWidth * 4 + kPadding;

// ---- The fake host's registry and script interpreter ----

struct Registry {
    static FilterDefinition copy;
    static int added;
    static FilterDefinition *removed;
    static FilterDefinition *Add(FilterModule *, FilterDefinition *definition, int size) {
        if (size != (int)sizeof(FilterDefinition)) return nullptr;
        copy = *definition;  // the host works on its own copy of the definition
        ++added;
        return &copy;
    }
    static void Remove(FilterDefinition *definition) { removed = definition; }
};
FilterDefinition Registry::copy;
int Registry::added;
FilterDefinition *Registry::removed;

class CountingInterpreter : public IScriptInterpreter {
public:
    int errors = 0;
    void Destroy() override {}
    void SetRootHandler(void *, void *) override {}
    void ExecuteLine(char *) override {}
    void ScriptError(int) override { ++errors; }
    char *TranslateScriptError(void *) override { return nullptr; }
    char **AllocTempString(VDLong) override { return nullptr; }
    void *LookupObjectMember(void *, void *, char *) override { return nullptr; }
};

// ---- Fixture files: an index and two graymaps in a temporary folder ----

struct Fixture {
    std::string folder;
    std::string index;
    Fixture() {
        char pattern[] = "/tmp/sr_e2e_XXXXXX";
        folder = mkdtemp(pattern);
        index = folder + "/film.bms";
        Write(index, "2\r\n1,2,3,7,5\r\n2,4,4,3,2\r\n");
        // Subtitle 0: one glyph pixel at picture (7, 5), frames 2..3.
        Write(folder + "/image_0.pgm", std::string("P5\n1 1\n255\n") + '\xff');
        // Subtitle 1: two glyph pixels side by side at picture (3, 2), frame 4.
        Write(folder + "/image_1.pgm", std::string("P5\n2 1\n255\n") + "\x80\x01");
    }
    ~Fixture() {
        std::remove(index.c_str());
        std::remove((folder + "/image_0.pgm").c_str());
        std::remove((folder + "/image_1.pgm").c_str());
        rmdir(folder.c_str());
    }
    static void Write(const std::string &path, const std::string &content) {
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    // The folder as the module sees it through the stand-in's open-file box.
    std::string ModuleFolder(char separator) const {
        std::string out = "Z:" + folder;
        for (char &c : out)
            if (c == '/') c = separator;
        return out;
    }
};

struct BoxAnswers {
    const char *index = nullptr;  // null cancels
    int openFileCalls = 0;
    int messageBoxes = 0;
    static const char *OpenFile(void *context, const OPENFILENAMEA *) {
        BoxAnswers *self = static_cast<BoxAnswers *>(context);
        ++self->openFileCalls;
        return self->index;
    }
    static int Message(void *context, HWND, const char *, const char *, UINT) {
        ++static_cast<BoxAnswers *>(context)->messageBoxes;
        return 1;
    }
};

// ---- The expected frames ----

struct Point {
    int32_t x, y;  // plane position
};

uint32_t SourcePixel(const std::vector<uint8_t> &frame, Point p) {
    uint32_t v;
    std::memcpy(&v, frame.data() + p.y * kPitch + 4 * p.x, 4);
    return v;
}

// The repaint of one region from the weight formula: K = FLT_MAX / (maxSamples * 256),
// weight K / (dx^2 + dy^2)^(power * 0.05f) stored as float, sums in sample order in double,
// channels truncated.
void PaintExpected(std::vector<uint8_t> &frame, const std::vector<uint8_t> &source, const std::vector<Point> &pixels,
                   const std::vector<Point> &samples, int32_t power) {
    const double k = (double)FLT_MAX / (double)((int32_t)samples.size() << 8);
    const double g = (double)power * (double)0.05f;
    for (Point p : pixels) {
        double w = 0, r = 0, gr = 0, b = 0;
        for (Point s : samples) {
            const int32_t dx = std::abs(p.x - s.x), dy = std::abs(p.y - s.y);
            double weight = k / std::pow((double)(dx * dx + dy * dy), g);
            if (weight < FLT_EPSILON) weight = FLT_EPSILON;
            const double ws = (float)weight;
            const uint32_t v = SourcePixel(source, s);
            w += ws;
            r += ws * ((v >> 16) & 0xFF);
            gr += ws * ((v >> 8) & 0xFF);
            b += ws * (v & 0xFF);
        }
        const uint32_t out = ((uint32_t)(r / w) << 16) | ((uint32_t)(gr / w) << 8) | (uint32_t)(b / w);
        std::memcpy(frame.data() + p.y * kPitch + 4 * p.x, &out, 4);
    }
}

// Plane row of a picture row counted from the top.
int32_t PlaneRow(int32_t pictureRow) { return kHeight - pictureRow - 1; }

std::vector<uint8_t> ExpectedFrame(int32_t frameNumber, const std::vector<uint8_t> &source) {
    std::vector<uint8_t> out = source;
    if (frameNumber == 2 || frameNumber == 3) {
        // Radius 0 and depth 10: the region is the glyph pixel, its samples its four neighbours,
        // listed in plane order.
        const int32_t y = PlaneRow(5);
        PaintExpected(out, source, {{7, y}}, {{7, y - 1}, {6, y}, {8, y}, {7, y + 1}}, 40);
    } else if (frameNumber == 4) {
        const int32_t y = PlaneRow(2);
        PaintExpected(out, source, {{3, y}, {4, y}}, {{3, y - 1}, {4, y - 1}, {2, y}, {5, y}, {3, y + 1}, {4, y + 1}},
                      40);
    }
    return out;
}

std::vector<uint8_t> SourceFrame(int32_t frameNumber) {
    std::vector<uint8_t> frame((size_t)(kPitch * kHeight));
    uint32_t v = 0x9E3779B9u * (uint32_t)(frameNumber + 1);
    for (uint8_t &byte : frame) {
        v = v * 1664525u + 1013904223u;
        byte = (uint8_t)(v >> 23);
    }
    return frame;
}

// ---- The fake host ----

struct FakeHost {
    void *library = nullptr;
    FilterModuleInitProc moduleInit = nullptr;
    FilterModuleDeinitProc moduleDeinit = nullptr;
    FilterFunctions functions{};
    FilterModule module{};
    FilterDefinition *definition = nullptr;
    void *instance = nullptr;
    FilterActivation activation{};
    FilterStateInfo state{};
    VFBitmap src{}, dst{};
    std::vector<uint8_t> srcBuffer, dstBuffer;

    bool Load() {
        library = dlopen(SR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!library) return false;
        moduleInit = reinterpret_cast<FilterModuleInitProc>(dlsym(library, "VirtualdubFilterModuleInit2"));
        moduleDeinit = reinterpret_cast<FilterModuleDeinitProc>(dlsym(library, "VirtualdubFilterModuleDeinit"));
        return moduleInit && moduleDeinit;
    }

    bool Register() {
        functions.addFilter = Registry::Add;
        functions.removeFilter = Registry::Remove;
        int version = 0, compatible = 0;
        if (moduleInit(&module, &functions, &version, &compatible) != 0) return false;
        definition = &Registry::copy;
        return version == 8 && compatible == 4;
    }

    void CreateInstance() {
        instance = std::calloc(1, (size_t)definition->inst_data_size);
        activation.filter = definition;
        activation.filter_data = instance;
        activation.src = &src;
        activation.dst = &dst;
        activation.pfsi = &state;
        srcBuffer.assign((size_t)(kPitch * kHeight), 0);
        src.data = reinterpret_cast<uint32_t *>(srcBuffer.data());
        src.w = kWidth;
        src.h = kHeight;
        src.depth = 32;
        src.pitch = kPitch;
        src.modulo = kPadding;
        src.size = kPitch * kHeight;
    }

    // The host sizes the output buffer from the layout paramProc gives it.
    VDLong PrepareOutput() {
        const VDLong flags = definition->paramProc(&activation, &functions);
        dst.w = kWidth;
        dst.h = kHeight;
        dst.depth = 32;
        dst.size = dst.pitch * kHeight;
        dstBuffer.assign((size_t)dst.size, 0xCC);
        dst.data = reinterpret_cast<uint32_t *>(dstBuffer.data());
        return flags;
    }

    const ScriptFunctionDef *ScriptFunction(const char *name) const {
        for (const ScriptFunctionDef *f = definition->script_obj->func_list; f && f->name; ++f)
            if (std::strcmp(f->name, name) == 0) return f;
        return nullptr;
    }

    void RunConfig(IScriptInterpreter &interpreter, int mode, const char *directory, int depth, int power,
                   int interlaced, int aspect, int radius) {
        const ScriptFunctionDef *config = ScriptFunction("Config");
        ASSERT_NE(config, nullptr);
        ASSERT_STREQ(config->arg_list, "0isiiiii");
        // The host hands string arguments as a pointer to its own character pointer.
        std::string text = directory;
        char *textPointer = &text[0];
        CScriptValue args[7]{};
        const int values[7] = {mode, 0, depth, power, interlaced, aspect, radius};
        for (int i = 0; i < 7; ++i) {
            args[i].type = SCRIPT_INT;
            args[i].u.i = values[i];
        }
        args[1].type = SCRIPT_STRING;
        args[1].u.s = &textPointer;
        config->func_ptr(&interpreter, &activation, args, 7);
    }

    std::string SavedLine(int length = 1024) {
        std::vector<char> buffer((size_t)length, '\x7f');
        if (!definition->fssProc(&activation, &functions, buffer.data(), length)) return "<refused>";
        return buffer.data();
    }

    std::vector<uint8_t> Render(int32_t frameNumber) {
        state.lCurrentSourceFrame = frameNumber;
        state.lCurrentFrame = frameNumber;
        srcBuffer = SourceFrame(frameNumber);
        src.data = reinterpret_cast<uint32_t *>(srcBuffer.data());
        std::fill(dstBuffer.begin(), dstBuffer.end(), 0xCC);
        EXPECT_EQ(definition->runProc(&activation, &functions), 0);
        return dstBuffer;
    }

    void Destroy() {
        if (instance) {
            definition->deinitProc(&activation, &functions);
            std::free(instance);
            instance = nullptr;
        }
        if (definition) {
            moduleDeinit(&module, &functions);
            definition = nullptr;
        }
        if (library) {
            dlclose(library);
            library = nullptr;
        }
    }
    ~FakeHost() { Destroy(); }
};

::testing::AssertionResult FramesEqual(const std::vector<uint8_t> &actual, const std::vector<uint8_t> &expected) {
    if (actual.size() != expected.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (size_t i = 0; i < actual.size(); i += 4) {
        uint32_t a, e;
        std::memcpy(&a, actual.data() + i, 4);
        std::memcpy(&e, expected.data() + i, 4);
        if (a != e) {
            char text[96];
            std::snprintf(text, sizeof(text), "row %zu byte %zu: got 0x%08x, expected 0x%08x", i / (size_t)kPitch,
                          i % (size_t)kPitch, a, e);
            return ::testing::AssertionFailure() << text;
        }
    }
    return ::testing::AssertionSuccess();
}

// Guards the binary contract as a host uses it: layouts, callbacks, script call and frames.
TEST(PluginInterface, ConfiguredByScriptTheModuleRemovesSubtitlesFrameByFrame) {
    Fixture fixture;
    BoxAnswers boxes;
    boxes.index = fixture.index.c_str();
    SetOpenFileHandler(BoxAnswers::OpenFile, &boxes);
    SetMessageBoxHandler(BoxAnswers::Message, &boxes);

    FakeHost host;
    ASSERT_TRUE(host.Load()) << dlerror();
    ASSERT_TRUE(host.Register());
    ASSERT_EQ(Registry::added, 1);
    host.CreateInstance();
    ASSERT_EQ(host.definition->initProc(&host.activation, &host.functions), 0);
    EXPECT_EQ(host.SavedLine(), "Config(0, \"\", 15, 40, 0, 0, 5)");

    CountingInterpreter interpreter;
    host.RunConfig(interpreter, 2, "C:/ignored", 10, 40, 0, 0, 0);
    EXPECT_EQ(interpreter.errors, 0);
    EXPECT_EQ(boxes.openFileCalls, 1);

    // The saved line names the chosen index's folder, with forward slashes.
    const std::string line = host.SavedLine();
    EXPECT_EQ(line, "Config(2, \"" + fixture.ModuleFolder('/') + "\", 10, 40, 0, 0, 0)");

    ASSERT_EQ(host.PrepareOutput(), FILTERPARAM_SWAP_BUFFERS);
    EXPECT_EQ(host.dst.pitch, kPitch);
    EXPECT_EQ(host.dst.modulo, kPadding);
    host.state.lCurrentSourceFrame = 0;
    ASSERT_EQ(host.definition->startProc(&host.activation, &host.functions), 0);

    // Frames 0, 1 and 5 have no subtitle; 2 and 3 show subtitle 0, 4 shows subtitle 1.
    for (int32_t frame = 0; frame <= 5; ++frame) {
        const std::vector<uint8_t> out = host.Render(frame);
        EXPECT_TRUE(FramesEqual(out, ExpectedFrame(frame, host.srcBuffer))) << "frame " << frame;
    }
    EXPECT_EQ(boxes.messageBoxes, 0);

    // The line read back through the script function gives the same settings and frames.
    int mode, depth, power, interlaced, aspect, radius;
    char directory[260];
    ASSERT_EQ(std::sscanf(line.c_str(), "Config(%d, \"%259[^\"]\", %d, %d, %d, %d, %d)", &mode, directory, &depth,
                          &power, &interlaced, &aspect, &radius),
              7);
    boxes.index = nullptr;  // cancelled: the directory of the line stays, no subtitles
    host.RunConfig(interpreter, mode, directory, depth, power, interlaced, aspect, radius);
    EXPECT_EQ(host.SavedLine(), line);
    EXPECT_TRUE(FramesEqual(host.Render(3), host.srcBuffer));  // nothing to remove without an index

    boxes.index = fixture.index.c_str();
    host.RunConfig(interpreter, mode, directory, depth, power, interlaced, aspect, radius);
    EXPECT_EQ(host.SavedLine(), line);
    for (int32_t frame : {4, 2, 5, 3}) {
        const std::vector<uint8_t> out = host.Render(frame);
        EXPECT_TRUE(FramesEqual(out, ExpectedFrame(frame, host.srcBuffer))) << "frame " << frame;
    }
    EXPECT_EQ(interpreter.errors, 0);
    EXPECT_EQ(boxes.openFileCalls, 3);
    EXPECT_EQ(boxes.messageBoxes, 0);

    ASSERT_EQ(host.definition->endProc(&host.activation, &host.functions), 0);
    host.Destroy();
    EXPECT_EQ(Registry::removed, &Registry::copy);
    SetOpenFileHandler(nullptr, nullptr);
    SetMessageBoxHandler(nullptr, nullptr);
}

// Guards the title suffix and the range error as reached through the definition's pointers.
TEST(PluginInterface, TitleSuffixAndScriptRangeErrorThroughTheDefinition) {
    SetOpenFileHandler(nullptr, nullptr);
    FakeHost host;
    ASSERT_TRUE(host.Load()) << dlerror();
    ASSERT_TRUE(host.Register());
    host.CreateInstance();
    host.definition->initProc(&host.activation, &host.functions);
    char suffix[32];
    host.definition->stringProc(&host.activation, &host.functions, suffix);
    EXPECT_STREQ(suffix, " (Original)");
    CountingInterpreter interpreter;
    host.RunConfig(interpreter, 1, "", 9, 40, 0, 0, 11);
    EXPECT_EQ(interpreter.errors, 1);
    host.definition->stringProc(&host.activation, &host.functions, suffix);
    EXPECT_STREQ(suffix, " (Mask only)");
    EXPECT_EQ(host.SavedLine(), "Config(1, \"\", 9, 40, 0, 0, 11)");
}

}  // namespace
