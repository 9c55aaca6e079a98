// Fuzzes the script function and the script line writer with any arguments: the directory never
// overflows, the line never runs past the host's buffer and is always terminated, and the title
// suffix is one of the four.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/script.h"

namespace {
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

const char *CancelBox(void *, const OPENFILENAMEA *) { return nullptr; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ByteReader in{data, size};
    int32_t ints[6];
    for (int32_t &v : ints) v = (in.Byte() & 1) ? in.Int32() : (int8_t)in.Byte() * 2;
    size_t bufferLength = in.Byte() + 1;
    std::vector<char> text(in.data, in.data + in.size);
    text.push_back('\0');
    char *textPointer = text.data();

    SetOpenFileHandler(CancelBox, nullptr);
    FuzzHost host(4, 4);
    CScriptValue args[7] = {};
    args[0].type = SCRIPT_INT;
    args[0].u.i = ints[0];
    args[1].type = SCRIPT_STRING;
    args[1].u.s = &textPointer;
    for (int i = 2; i < 7; ++i) {
        args[i].type = SCRIPT_INT;
        args[i].u.i = ints[i - 1];
    }
    CountingInterpreter interpreter;
    Config(&interpreter, &host.activation, args, 7);
    if (interpreter.errors > 1) std::abort();
    if (std::memchr(host.instance.directory, 0, sizeof(host.instance.directory)) == nullptr) std::abort();

    // An exact-size heap buffer: AddressSanitizer reports any write past it.
    char *line = new char[bufferLength];
    bool fits = fssProc(&host.activation, nullptr, line, (int)bufferLength);
    if (std::memchr(line, 0, bufferLength) == nullptr) std::abort();
    if (fits && std::strncmp(line, "Config(", bufferLength < 7 ? bufferLength : 7) != 0) std::abort();
    delete[] line;

    char suffix[15];
    stringProc(&host.activation, nullptr, suffix);
    if (std::strlen(suffix) > 14 || suffix[0] != ' ') std::abort();
    return 0;
}
