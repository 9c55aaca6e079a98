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
#include "cli/front/options.h"
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
    std::string line = "Config(";
    for (int position = 0; position < kScriptArgumentCount; ++position) {
        if (position > 0) line += ", ";
        const ParameterId id = ParameterAtScriptArgument(position);
        line += id == PARAM_COUNT ? Quote(s.directory) : std::to_string(s.*SettingField(id));
    }
    return line + ")";
}

bool Same(const FilterSettings &a, const FilterSettings &b) {
    for (int id = 0; id < PARAM_COUNT; ++id)
        if (a.*SettingField((ParameterId)id) != b.*SettingField((ParameterId)id)) return false;
    return a.directory == b.directory;
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
        // Start values and single flags are within range; only a --config line leaves ranges to
        // the module.
        if (!o.configGiven && !o.help && !o.version) {
            for (int id = 0; id < PARAM_COUNT; ++id)
                if (!ParameterInRange((ParameterId)id, o.settings.*SettingField((ParameterId)id))) std::abort();
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
