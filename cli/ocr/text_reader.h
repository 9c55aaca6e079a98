// Reading one line of text with libtesseract: the languages loaded once, each line read in
// Tesseract's single-line mode with its LSTM engine.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/ocr/line_images.h"

namespace tesseract {
class TessBaseAPI;
}

struct LineReading {
    std::string text;                         // UTF-8, without the trailing newline
    int confidence = 0;                       // Tesseract's mean word confidence, 0..100
    // Characters read in each language. A word of ASCII alone counts to the list's first language
    // that is not Chinese, Japanese or Korean, where there is one: chi_sim reads English words
    // as well, and calls them its own.
    std::map<std::string, size_t> languages;
};

class TextReader {
public:
    // Loads the languages of a --ocr list. Throws HostError (status 1) with one line naming the
    // Debian package of the first language whose data is missing.
    explicit TextReader(const std::string &languages);
    ~TextReader();
    TextReader(const TextReader &) = delete;
    TextReader &operator=(const TextReader &) = delete;

    // Not safe on two threads at once; one reader may move between threads.
    LineReading Read(const LineImage &line);

private:
    std::string WordLanguage(const char *word, const char *recognised) const;

    std::unique_ptr<tesseract::TessBaseAPI> api_;
    std::string latinLanguage_;  // the first language of the list that is not Chinese, Japanese or Korean
};
