// Tesseract language names, their Debian packages and ISO 639-2 codes (see language_names.h).
#include "cli/ocr/language_names.h"

#include <cctype>
#include <cstring>

#include "cli/errors.h"

namespace {

// The ISO 639-2 languages whose bibliographic and terminology codes differ. Tesseract names most
// by the terminology code (deu, fra) and Chinese by the bibliographic one (chi_sim).
constexpr const char *kTwoCodes[][2] = {
    {"alb", "sqi"}, {"arm", "hye"}, {"baq", "eus"}, {"bur", "mya"}, {"chi", "zho"}, {"cze", "ces"}, {"dut", "nld"},
    {"fre", "fra"}, {"geo", "kat"}, {"ger", "deu"}, {"gre", "ell"}, {"ice", "isl"}, {"mac", "mkd"}, {"mao", "mri"},
    {"may", "msa"}, {"per", "fas"}, {"rum", "ron"}, {"slo", "slk"}, {"tib", "bod"}, {"wel", "cym"},
};

bool ValidName(const std::string &name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!std::isalnum((unsigned char)c) && c != '_') return false;
    return true;
}

}  // namespace

std::vector<std::string> SplitLanguages(const std::string &list) {
    std::vector<std::string> names;
    size_t from = 0;
    for (;;) {
        const size_t plus = list.find('+', from);
        const std::string name = list.substr(from, plus == std::string::npos ? std::string::npos : plus - from);
        if (!ValidName(name)) {
            throw HostError(EXIT_USAGE, "--ocr needs Tesseract language names joined by '+', such as eng or chi_sim+eng, not '" +
                                            list + "'");
        }
        names.push_back(name);
        if (plus == std::string::npos) return names;
        from = plus + 1;
    }
}

std::string LanguagePackage(const std::string &language) {
    std::string package = "tesseract-ocr-";
    for (char c : language) package += c == '_' ? '-' : (char)std::tolower((unsigned char)c);
    return package;
}

std::string LanguageTag(const std::string &language, bool terminology) {
    std::string code = language.substr(0, language.find('_'));
    for (char &c : code) c = (char)std::tolower((unsigned char)c);
    // Fraktur is German in an old typeface; the rest without a language code are not languages.
    if (code == "frk") code = "deu";
    if (code.size() != 3 || code == "osd" || code == "equ") return "und";
    for (const auto &pair : kTwoCodes) {
        if (code == pair[0] || code == pair[1]) return pair[terminology ? 1 : 0];
    }
    return code;
}

bool CjkLanguage(const std::string &language) {
    const std::string code = language.substr(0, language.find('_'));
    return code == "chi" || code == "jpn" || code == "kor";
}
