// Fuzzes subremove's command line: the script-line parser with any text, and the whole option
// parser with any words. A line the parser accepts must read back the same after being written
// out again with its string escaped, and a refused line must come with a reason; the option
// parser may only refuse with its own usage error, never crash or throw anything else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/errors.h"
#include "cli/options.h"
#include "host/params.h"

namespace {

std::string Quote(const std::string &text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string Line(const FilterSettings &s) {
    return "Config(" + std::to_string(s.mode) + ", " + Quote(s.directory) + ", " + std::to_string(s.depth) + ", " +
           std::to_string(s.power) + ", " + std::to_string(s.interlaced) + ", " + std::to_string(s.pixelAspect) + ", " +
           std::to_string(s.radius) + ")";
}

bool Same(const FilterSettings &a, const FilterSettings &b) {
    return a.mode == b.mode && a.directory == b.directory && a.depth == b.depth && a.power == b.power &&
           a.interlaced == b.interlaced && a.pixelAspect == b.pixelAspect && a.radius == b.radius;
}

void CheckScriptLine(const std::string &line) {
    std::string why;
    std::optional<FilterSettings> parsed = ParseScriptLine(line, &why);
    if (!parsed) {
        if (why.empty()) std::abort();  // a refusal must say why
        return;
    }
    std::string again;
    std::optional<FilterSettings> reparsed = ParseScriptLine(Line(*parsed), &again);
    if (!reparsed || !Same(*parsed, *reparsed)) std::abort();
}

// The input as words split at zero bytes, after the program name: the option parser's argv.
void CheckCommandLine(const std::string &text) {
    std::vector<std::string> words = {"subremove"};
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\0') {
            words.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    try {
        const Options o = ParseCommandLine((int)words.size(), argv.data());
        // Single flags are range-checked here; only a --config line leaves ranges to the module.
        if (!o.configGiven && !o.help && !o.version) {
            const FilterSettings &s = o.settings;
            if (!ParameterInRange(PARAM_DEPTH, s.depth) || !ParameterInRange(PARAM_POWER, s.power) ||
                !ParameterInRange(PARAM_PIXEL_ASPECT, s.pixelAspect) || !ParameterInRange(PARAM_RADIUS, s.radius)) {
                std::abort();
            }
        }
    } catch (const HostError &e) {
        if (e.status != EXIT_USAGE) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the parser, so one corpus serves both.
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (data[0] & 1) CheckCommandLine(text);
    else CheckScriptLine(text);
    return 0;
}
