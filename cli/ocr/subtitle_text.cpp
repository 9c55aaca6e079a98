// Reading a subtitle's graymap line by line (see subtitle_text.h).
#include "cli/ocr/subtitle_text.h"

#include "cli/ocr/glyph_fill.h"
#include "cli/ocr/line_images.h"
#include "cli/ocr/text_cleanup.h"
#include "cli/plugin/graymap_files.h"

namespace {

SubtitleText ReadLines(TextReader &reader, const Graymap &graymap) {
    SubtitleText result;
    for (const LineImage &line : TextLines(graymap)) {
        ++result.lines;
        const LineReading reading = reader.Read(line);
        const std::string text = TidyLine(reading.text);
        if (text.empty() || reading.confidence < kMinLineConfidence) {
            ++result.unreadable;
            continue;
        }
        if (!result.text.empty()) result.text += '\n';
        result.text += text;
        for (const auto &[language, characters] : reading.languages) result.languages[language] += characters;
    }
    return result;
}

}  // namespace

SubtitleText ReadSubtitleText(TextReader &reader, const std::string &path, const LumaCrop *picture, const SubtitleText *earlier) {
    Graymap graymap;
    if (!ReadGraymap(path, &graymap)) {
        SubtitleText none;
        none.noGraymap = true;
        return none;
    }
    if (picture) {
        Graymap glyphs = GlyphFill(graymap, *picture);
        if (glyphs.cells != graymap.cells) return ReadLines(reader, glyphs);
    }
    return earlier ? *earlier : ReadLines(reader, graymap);
}

std::string UnreadWarning(const SubtitleText &text, const std::string &which) {
    if (text.noGraymap) return "the graymap of " + which + " cannot be read: its cue is empty";
    if (text.lines == 0) return which + " has no ink in its graymap: its cue is empty";
    if (text.unreadable == 0) return "";
    if (text.text.empty()) return "the text of " + which + " could not be read: its cue is empty";
    return std::to_string(text.unreadable) + " of the " + std::to_string(text.lines) + " lines of " + which +
           " could not be read and are left out of its cue";
}
