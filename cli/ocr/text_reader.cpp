// The Tesseract reader (see text_reader.h).
#include "cli/ocr/text_reader.h"

#include <dlfcn.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <algorithm>

#include "cli/errors.h"
#include "cli/ocr/language_names.h"

namespace {

// Debian builds Tesseract with OpenMP, and its LSTM spreads every step over four threads. Beside
// a run that keeps the cores busy, that costs far more than it gives: a subtitle took 0.15 to
// 0.75 s so against 0.03 to 0.12 s on one thread. No parallel region may start more threads from
// here on (libgomp reads OMP_THREAD_LIMIT before main, too early to set; this is its run-time
// equivalent, for the whole process, where nothing else uses OpenMP). Looked up in the process
// rather than linked: a Tesseract built without OpenMP brings no libgomp, and needs nothing.
void OneOpenMpThread() {
    using SetLevels = void (*)(int);
    if (auto set = reinterpret_cast<SetLevels>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"))) set(0);
}

// The languages asked for that Tesseract did not load: it loads what it finds and only says so
// on its log, which goes nowhere.
std::vector<std::string> MissingLanguages(const tesseract::TessBaseAPI &api, const std::vector<std::string> &asked) {
    std::vector<std::string> loaded, missing;
    api.GetLoadedLanguagesAsVector(&loaded);
    for (const std::string &name : asked)
        if (std::find(loaded.begin(), loaded.end(), name) == loaded.end()) missing.push_back(name);
    return missing;
}

[[noreturn]] void MissingPack(const std::string &language) {
    throw HostError(EXIT_FAILURE_RUN, "no Tesseract data for the language " + language + ": install the Debian package " +
                                          LanguagePackage(language) + " (or set TESSDATA_PREFIX to where " + language +
                                          ".traineddata is)");
}

// Characters in a UTF-8 string (its bytes that start a character).
size_t Characters(const char *text) {
    size_t n = 0;
    for (const char *p = text; *p; ++p) n += ((unsigned char)*p & 0xC0) != 0x80 && *p != ' ';
    return n;
}

}  // namespace

TextReader::TextReader(const std::string &languages) : api_(std::make_unique<tesseract::TessBaseAPI>()) {
    OneOpenMpThread();
    const std::vector<std::string> asked = SplitLanguages(languages);
    // Tesseract's own messages (a missing file, an estimated resolution) would add lines of their
    // own to ours.
    api_->SetVariable("debug_file", "/dev/null");
    if (api_->Init(nullptr, languages.c_str(), tesseract::OEM_LSTM_ONLY) != 0) MissingPack(asked.front());
    const std::vector<std::string> missing = MissingLanguages(*api_, asked);
    if (!missing.empty()) MissingPack(missing.front());
    api_->SetPageSegMode(tesseract::PSM_SINGLE_LINE);
    for (const std::string &name : asked)
        if (latinLanguage_.empty() && !CjkLanguage(name)) latinLanguage_ = name;
}

std::string TextReader::WordLanguage(const char *word, const char *recognised) const {
    bool ascii = true;
    for (const char *p = word; *p && ascii; ++p) ascii = (unsigned char)*p < 0x80;
    return ascii && !latinLanguage_.empty() && CjkLanguage(recognised) ? latinLanguage_ : recognised;
}

TextReader::~TextReader() {
    if (api_) api_->End();
}

LineReading TextReader::Read(const LineImage &line) {
    LineReading reading;
    api_->SetImage(line.pixels.data(), line.width, line.height, 1, line.width);
    api_->SetSourceResolution(70);
    if (api_->Recognize(nullptr) != 0) return reading;
    std::unique_ptr<char[]> text(api_->GetUTF8Text());
    reading.text = text ? text.get() : "";
    while (!reading.text.empty() && (reading.text.back() == '\n' || reading.text.back() == ' ')) reading.text.pop_back();
    reading.confidence = api_->MeanTextConf();
    std::unique_ptr<tesseract::ResultIterator> words(api_->GetIterator());
    if (words && !words->Empty(tesseract::RIL_WORD)) {
        do {
            std::unique_ptr<char[]> word(words->GetUTF8Text(tesseract::RIL_WORD));
            const char *language = words->WordRecognitionLanguage();
            if (word && language) reading.languages[WordLanguage(word.get(), language)] += Characters(word.get());
        } while (words->Next(tesseract::RIL_WORD));
    }
    return reading;
}
