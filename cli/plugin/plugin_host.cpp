// Loading the filter module and driving its callbacks through the plug-in interface only.
// Nothing of the module is linked: every call goes through the definition it registers.
#include "cli/plugin/plugin_host.h"

#include <dlfcn.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/errors.h"
#include "cli/front/warnings.h"
#include "platform/linux/shim.h"

namespace {

// addFilter is a plain function pointer without context; one module per process is all we need.
FilterDefinition *g_registered = nullptr;

// The host's interpreter throws from ScriptError; ours records the code and returns, so the
// module's Config finishes and we report the error ourselves.
class RecordingInterpreter : public IScriptInterpreter {
public:
    int errorCode = 0;
    void Destroy() override {}
    void SetRootHandler(void *, void *) override {}
    void ExecuteLine(char *) override {}
    void ScriptError(int code) override {
        if (errorCode == 0) errorCode = code;
    }
    char *TranslateScriptError(void *) override { return nullptr; }
    char **AllocTempString(VDLong) override { return nullptr; }
    void *LookupObjectMember(void *, void *, char *) override { return nullptr; }
};

std::string g_indexPath;
std::atomic<int> g_messageBoxes{0};  // boxes come from every worker thread

const char *AnswerOpenFile(void *, const OPENFILENAMEA *) {
    return g_indexPath.empty() ? nullptr : g_indexPath.c_str();
}

// Paths in the module's boxes are in Windows form; show them as the user wrote them.
std::string LocalText(const char *text) {
    if (!text) return std::string();
    if ((text[0] == 'Z' || text[0] == 'z') && text[1] == ':' && text[2] == '\\') {
        char local[PATH_MAX * 2];
        if (ModulePathToLocalPath(text, local, sizeof(local))) return local;
    }
    return text;
}

int ReportMessageBox(void *, HWND, const char *text, const char *caption, UINT) {
    ++g_messageBoxes;
    // Every box the filter shows is a graymap it could not load: that subtitle stays in the film.
    Warn(WarningKind::kNotCleaned, std::string(caption ? caption : "") + ": " + LocalText(text));
    return 1;  // IDOK: the run goes on
}

constexpr ptrdiff_t kRowAlignment = 32;

}  // namespace

void InstallWindowHandlers(const std::string &indexPath) {
    g_indexPath = indexPath;
    SetOpenFileHandler(AnswerOpenFile, nullptr);
    SetMessageBoxHandler(ReportMessageBox, nullptr);
}

std::string AnswerIndexWith(const std::string &indexPath) {
    std::string before = std::move(g_indexPath);
    g_indexPath = indexPath;
    return before;
}

int MessageBoxCount() { return g_messageBoxes; }

FilterDefinition *FilterModuleHandle::AddFilter(FilterModule *, FilterDefinition *definition, int size) {
    // A definition smaller than the one we read would leave us reading past its end.
    if (!definition || size < (int)sizeof(FilterDefinition) || g_registered) return nullptr;
    g_registered = definition;
    return definition;
}

void FilterModuleHandle::RemoveFilter(FilterDefinition *registered) {
    if (registered == g_registered) g_registered = nullptr;
}

FilterModuleHandle::FilterModuleHandle(const std::string &path) {
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library_) {
        const char *why = dlerror();
        throw HostError(EXIT_FAILURE_RUN, "cannot load the filter module " + path + ": " + (why ? why : "unknown reason"));
    }
    auto init = reinterpret_cast<FilterModuleInitProc>(dlsym(library_, "VirtualdubFilterModuleInit2"));
    deinit_ = reinterpret_cast<FilterModuleDeinitProc>(dlsym(library_, "VirtualdubFilterModuleDeinit"));
    if (!init || !deinit_) {
        dlclose(library_);
        throw HostError(EXIT_FAILURE_RUN, path + " is not a filter module (no VirtualdubFilterModuleInit2)");
    }
    functions_.addFilter = AddFilter;
    functions_.removeFilter = RemoveFilter;
    module_.hInstModule = reinterpret_cast<HMODULE>(library_);
    module_.initProc = init;
    module_.deinitProc = deinit_;
    int version = 0, compatible = 0;
    g_registered = nullptr;
    if (init(&module_, &functions_, &version, &compatible) != 0 || !g_registered) {
        dlclose(library_);
        throw HostError(EXIT_FAILURE_RUN, "the filter module " + path + " registered no filter");
    }
    definition_ = g_registered;
    if (!definition_->initProc || !definition_->runProc || definition_->inst_data_size <= 0) {
        deinit_(&module_, &functions_);
        dlclose(library_);
        throw HostError(EXIT_FAILURE_RUN, "the filter module " + path + " registered an incomplete filter");
    }
}

FilterModuleHandle::~FilterModuleHandle() {
    deinit_(&module_, &functions_);
    // The module is left mapped: sanitizer leak reports need its symbols, and the process ends next.
}

FilterInstance::FilterInstance(const FilterModuleHandle &module, int32_t width, int32_t height)
    : module_(module), width_(width), height_(height) {
    // Rows padded to 32 bytes, and never flush: a filter that ignores `modulo` or `pitch` shows
    // its fault on every run, whatever the width.
    const ptrdiff_t pitch = ((ptrdiff_t)width * 4 + kRowAlignment) / kRowAlignment * kRowAlignment;
    srcBuffer_.assign((size_t)(pitch * height), 0);
    src_.data = reinterpret_cast<uint32_t *>(srcBuffer_.data());
    src_.depth = 32;
    src_.w = width;
    src_.h = height;
    src_.pitch = pitch;
    src_.modulo = pitch - (ptrdiff_t)width * 4;
    src_.size = pitch * height;
    src_.offset = 0;
    dst_ = src_;
    dst_.data = nullptr;
    dst_.pitch = dst_.modulo = dst_.offset = 0;

    instanceData_.assign((size_t)module.definition()->inst_data_size, 0);
    activation_.filter = module.definition();
    activation_.filter_data = instanceData_.data();
    activation_.src = &src_;
    activation_.dst = &dst_;
    activation_.last = &src_;
    activation_.x2 = (uint32_t)width;
    activation_.y2 = (uint32_t)height;
    activation_.pfsi = &state_;

    FilterDefinition *def = module.definition();
    def->initProc(&activation_, module.functions());
    initialised_ = true;

    // The module decides the output layout; the host then owns a buffer of that shape.
    if (def->paramProc) {
        def->paramProc(&activation_, module.functions());
    } else {
        dst_.pitch = src_.pitch;
        dst_.modulo = src_.modulo;
        dst_.offset = src_.offset;
    }
    if (dst_.pitch < (ptrdiff_t)width * 4 || dst_.offset != 0) {
        if (def->deinitProc) def->deinitProc(&activation_, module.functions());
        initialised_ = false;
        throw HostError(EXIT_FAILURE_RUN, "the filter module asked for an output frame layout subremove cannot give");
    }
    dst_.size = dst_.pitch * height;
    dst_.modulo = dst_.pitch - (ptrdiff_t)width * 4;
    dstBuffer_.assign((size_t)dst_.size, 0);
    dst_.data = reinterpret_cast<uint32_t *>(dstBuffer_.data());
}

FilterInstance::~FilterInstance() {
    if (started_) End();
    if (initialised_ && module_.definition()->deinitProc) module_.definition()->deinitProc(&activation_, module_.functions());
}

int FilterInstance::Configure(const FilterSettings &settings) {
    const CScriptObject *object = module_.definition()->script_obj;
    const ScriptFunctionDef *config = nullptr;
    for (const ScriptFunctionDef *f = object ? object->func_list : nullptr; f && f->func_ptr; ++f) {
        if (f->name && std::strcmp(f->name, "Config") == 0) config = f;
    }
    static constexpr ScriptArgumentList kArguments = ConfigArgumentList();
    if (!config || !config->arg_list || std::strcmp(config->arg_list, kArguments.text) != 0) {
        std::string types;
        for (const char *type = kArguments.text + 1; *type; ++type) types += std::string(types.empty() ? "" : ", ") + (*type == 's' ? "string" : "int");
        throw HostError(EXIT_FAILURE_RUN, "the filter module declares no Config(" + types + ") script function");
    }
    // The interpreter owns string arguments and frees them after the call, as the host does.
    char *directory = static_cast<char *>(std::malloc(settings.directory.size() + 1));
    if (!directory) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    std::memcpy(directory, settings.directory.c_str(), settings.directory.size() + 1);

    CScriptValue args[kScriptArgumentCount] = {};
    for (int position = 0; position < kScriptArgumentCount; ++position) {
        if (position == kScriptDirectoryArgument) {
            args[position].type = SCRIPT_STRING;
            args[position].u.s = &directory;
        } else {
            args[position].type = SCRIPT_INT;
            args[position].u.i = settings.*SettingField(ParameterAtScriptArgument(position));
        }
    }

    RecordingInterpreter interpreter;
    config->func_ptr(&interpreter, &activation_, args, kScriptArgumentCount);
    std::free(directory);
    return interpreter.errorCode;
}

std::string FilterInstance::ScriptLine() {
    FilterScriptStrProc fss = module_.definition()->fssProc;
    if (!fss) return std::string();
    std::vector<char> buffer(1024, 0);
    if (!fss(&activation_, module_.functions(), buffer.data(), (int)buffer.size())) return std::string();
    buffer.back() = '\0';
    return buffer.data();
}

void FilterInstance::Start(int32_t firstFrame) {
    state_ = FilterStateInfo{};
    state_.lCurrentFrame = firstFrame;
    state_.lCurrentSourceFrame = firstFrame;
    if (module_.definition()->startProc) module_.definition()->startProc(&activation_, module_.functions());
    started_ = true;
}

void FilterInstance::Run(int32_t frame, int64_t microsecondsPerFrame) {
    state_.lCurrentFrame = frame;
    state_.lCurrentSourceFrame = frame;
    state_.lMicrosecsPerFrame = (VDLong)microsecondsPerFrame;
    state_.lMicrosecsPerSrcFrame = (VDLong)microsecondsPerFrame;
    state_.lSourceFrameMS = (VDLong)(frame * microsecondsPerFrame / 1000);
    state_.lDestFrameMS = state_.lSourceFrameMS;
    module_.definition()->runProc(&activation_, module_.functions());
}

void FilterInstance::End() {
    started_ = false;
    if (module_.definition()->endProc) module_.definition()->endProc(&activation_, module_.functions());
}

uint32_t *FilterInstance::SourceRow(int32_t pictureRow) {
    return reinterpret_cast<uint32_t *>(srcBuffer_.data() + (height_ - 1 - pictureRow) * src_.pitch);
}

const uint32_t *FilterInstance::SourceRow(int32_t pictureRow) const {
    return reinterpret_cast<const uint32_t *>(srcBuffer_.data() + (height_ - 1 - pictureRow) * src_.pitch);
}

const uint32_t *FilterInstance::DestinationRow(int32_t pictureRow) const {
    return reinterpret_cast<const uint32_t *>(dstBuffer_.data() + (height_ - 1 - pictureRow) * dst_.pitch);
}
