// Tidying Tesseract's line text (see text_cleanup.h).
#include "cli/ocr/text_cleanup.h"

#include <cctype>
#include <vector>

namespace {

std::u32string Decode(const std::string &text) {
    std::u32string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = (unsigned char)text[i];
        const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        size_t j = i + 1;
        for (; j < text.size() && j <= i + (size_t)extra && ((unsigned char)text[j] & 0xC0) == 0x80; ++j)
            cp = (cp << 6) | ((unsigned char)text[j] & 0x3F);
        out += cp;
        i = j;
    }
    return out;
}

std::string Encode(const std::u32string &text) {
    std::string out;
    for (char32_t cp : text) {
        if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | (cp >> 6));
            out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | (cp >> 12));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        } else {
            out += (char)(0xF0 | (cp >> 18));
            out += (char)(0x80 | ((cp >> 12) & 0x3F));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// Ideographs, kana, and CJK and full-width punctuation.
bool Cjk(char32_t c) {
    return (c >= 0x3000 && c <= 0x30FF) || (c >= 0x3400 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFF00 && c <= 0xFFEF) || (c >= 0x20000 && c <= 0x2FFFF);
}

// Quotation marks Chinese text shares with English.
bool CurlyQuote(char32_t c) { return c >= 0x2018 && c <= 0x201D; }

bool Letter(char32_t c) { return c >= 0x80 ? !Cjk(c) && !CurlyQuote(c) : std::isalpha((int)c) != 0; }

char32_t FullWidth(char32_t c) {
    switch (c) {
    case ',': return 0xFF0C;
    case '!': return 0xFF01;
    case '?': return 0xFF1F;
    case ':': return 0xFF1A;
    case ';': return 0xFF1B;
    case ')': return 0xFF09;
    default: return c;
    }
}

// One space between words, none at the ends.
std::u32string SingleSpaces(const std::u32string &text) {
    std::u32string out;
    for (char32_t c : text) {
        const bool space = c == ' ' || c == '\t' || c == 0x3000;
        if (space && (out.empty() || out.back() == ' ')) continue;
        out += space ? U' ' : c;
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

std::string TidyLine(const std::string &text) {
    std::u32string s = SingleSpaces(Decode(text));
    std::u32string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        const char32_t before = out.empty() ? 0 : out.back();
        const char32_t after = i + 1 < s.size() ? s[i + 1] : 0;
        if (c == ' ' && Cjk(before) && (Cjk(after) || CurlyQuote(after))) continue;
        if (c == ' ' && CurlyQuote(before) && Cjk(after)) continue;
        if (Cjk(before)) c = FullWidth(c);
        if (c == '|') c = Letter(before) ? U'l' : U'I';
        out += c;
    }
    return Encode(out);
}
