// Tesseract's language names (eng, chi_sim, chi_sim+eng): checking a --ocr list, the Debian
// package that holds each language's data, and the ISO 639-2 code a subtitle stream is tagged with.
#pragma once

#include <string>
#include <vector>

// The languages of a --ocr list such as "chi_sim+eng", in order. Throws HostError(EXIT_USAGE)
// for an empty list or a name that is not letters, digits and '_'.
std::vector<std::string> SplitLanguages(const std::string &list);

// The Debian package of a language's data: tesseract-ocr-<name with '_' as '-'>, lower case
// (chi_sim: tesseract-ocr-chi-sim).
std::string LanguagePackage(const std::string &language);

// Chinese, Japanese and Korean: the languages whose models also read Latin words, and report
// them as their own.
bool CjkLanguage(const std::string &language);

// The ISO 639-2 code of a Tesseract language: its part before '_' (chi_sim: chi), in the
// bibliographic form (chi, ger, fre: what Matroska takes) or the terminology form (zho, deu, fra:
// what MP4 takes); "und" for data that is no language (osd, equ, scripts).
std::string LanguageTag(const std::string &language, bool terminology);
