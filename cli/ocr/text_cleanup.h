// What Tesseract's line text needs before it is a subtitle's: spaces as a subtitle has them, and
// the two shapes it reads one way where the script tells which was meant.
#pragma once

#include <string>

// One line of UTF-8 text from Tesseract, tidied:
// - runs of spaces become one, none at either end;
// - no space between two Chinese or Japanese characters (Tesseract puts one between "words");
// - , ! ? : ; ) after such a character become their full-width forms (，！？：；）), as Chinese
//   text sets them and Tesseract reads them as the narrow ones;
// - '|', which no subtitle uses, is the capital I it was read from at the start of a word
//   ("| think" and "|'m"), and an l inside one.
std::string TidyLine(const std::string &text);
