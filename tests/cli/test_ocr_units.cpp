// The pieces of --ocr that need no Tesseract and no film: cutting a graymap into line images,
// tidying the text read, language names and tags, the frame clock, SRT times and the ASS text the
// stream's encoders take.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/errors.h"
#include "cli/ocr/frame_clock.h"
#include "cli/ocr/glyph_fill.h"
#include "cli/ocr/language_names.h"
#include "cli/ocr/line_images.h"
#include "cli/ocr/srt_text.h"
#include "cli/ocr/text_cleanup.h"
#include "cli/output/text_track.h"

namespace {

// A graymap of `w` x `h` with ink (255) in the rectangles given as {x0, y0, x1, y1}.
Graymap Drawn(int w, int h, const std::vector<std::vector<int>> &boxes) {
    Graymap g;
    g.width = w;
    g.height = h;
    g.cells.assign((size_t)w * h, 0);
    for (const auto &b : boxes)
        for (int y = b[1]; y < b[3]; ++y)
            for (int x = b[0]; x < b[2]; ++x) g.cells[(size_t)y * w + x] = 255;
    return g;
}

// "Glyphs": vertical strokes 3 wide and `height` high from row `top`, every 8 columns.
std::vector<std::vector<int>> Strokes(int top, int height, int count) {
    std::vector<std::vector<int>> boxes;
    for (int i = 0; i < count; ++i) boxes.push_back({4 + 8 * i, top, 7 + 8 * i, top + height});
    return boxes;
}

// Guards: two lines read as one (Tesseract's single-line mode then reads neither), or one line
// cut at a blank row inside it (the dots of i, the strokes of 二 and 三).
TEST(OcrLineImages, SplitAtBlankRowsBetweenLinesOnly) {
    std::vector<std::vector<int>> two = Strokes(0, 26, 10), second = Strokes(36, 26, 6);
    two.insert(two.end(), second.begin(), second.end());
    const std::vector<LineImage> lines = TextLines(Drawn(90, 62, two));
    ASSERT_EQ(lines.size(), 2u);
    // Cropped to each line's ink, framed in white: 10 strokes span 75 columns, 6 span 43.
    EXPECT_EQ(lines[0].width, 75 + 2 * kLineBorder);
    EXPECT_EQ(lines[1].width, 43 + 2 * kLineBorder);
    EXPECT_EQ(lines[1].height, 26 + 2 * kLineBorder);
    EXPECT_EQ(lines[0].pixels.front(), 255);
    // A line under 24 rows is scaled to 36.
    const std::vector<LineImage> small = TextLines(Drawn(90, 20, Strokes(0, 20, 10)));
    ASSERT_EQ(small.size(), 1u);
    EXPECT_EQ(small[0].height, 36 + 2 * kLineBorder);
    EXPECT_EQ(small[0].width, 135 + 2 * kLineBorder);

    // Dots above a line: one line.
    std::vector<std::vector<int>> dotted = Strokes(6, 26, 10);
    dotted.push_back({4, 0, 7, 3});
    dotted.push_back({28, 0, 31, 3});
    EXPECT_EQ(TextLines(Drawn(90, 32, dotted)).size(), 1u);
    // Three flat strokes one above another (三): one line, 26 rows high.
    const std::vector<LineImage> bars = TextLines(Drawn(40, 30, {{2, 2, 38, 5}, {6, 13, 34, 16}, {0, 25, 40, 28}}));
    ASSERT_EQ(bars.size(), 1u);
    EXPECT_EQ(bars[0].width, 40 + 2 * kLineBorder);
    // Nothing inked: no line.
    EXPECT_TRUE(TextLines(Drawn(20, 10, {})).empty());
}

// Guards: a large line scaled (reading costs grow with it), or ink not dark on white.
TEST(OcrLineImages, LargeLinesKeepTheirSizeDarkOnWhite) {
    const std::vector<LineImage> lines = TextLines(Drawn(60, 40, Strokes(0, 40, 7)));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].height, 40 + 2 * kLineBorder);
    EXPECT_EQ(lines[0].pixels[(size_t)(kLineBorder + 10) * lines[0].width + kLineBorder], 0);
    EXPECT_EQ(lines[0].pixels[(size_t)(kLineBorder + 10) * lines[0].width + kLineBorder + 4], 255);
}

// Guards: letters run together where the graymap holds the outline too; a graymap of the glyphs
// alone (one tone) thinned.
TEST(OcrGlyphFill, GlyphsApartFromTheirOutline) {
    // A 4-pixel-wide bar of light glyph inside a 3-pixel dark outline, the mask covering both.
    Graymap mask = Drawn(16, 20, {{3, 3, 13, 17}});
    LumaCrop picture;
    picture.width = 16;
    picture.height = 20;
    picture.luma.assign(16 * 20, 90);  // the picture around
    for (int y = 3; y < 17; ++y)
        for (int x = 3; x < 13; ++x) picture.luma[(size_t)y * 16 + x] = x >= 6 && x < 10 && y >= 6 && y < 14 ? 235 : 20;
    const Graymap glyphs = GlyphFill(mask, picture);
    int inked = 0;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 16; ++x) {
            const bool glyph = x >= 6 && x < 10 && y >= 6 && y < 14;
            EXPECT_EQ(glyphs.cells[(size_t)y * 16 + x], glyph ? 255 : 0) << x << "," << y;
            inked += glyphs.cells[(size_t)y * 16 + x] != 0;
        }
    EXPECT_EQ(inked, 32);
    // Dark text on a light box: the box's tone is the edge's, the text the other.
    for (uint8_t &v : picture.luma) v = (uint8_t)(255 - v);
    EXPECT_EQ(GlyphFill(mask, picture).cells, glyphs.cells);
    // One tone under the mask (the glyphs alone, anti-aliased): kept as it is.
    Graymap fill = Drawn(16, 20, {{6, 6, 10, 14}});
    for (int x = 6; x < 10; ++x) picture.luma[6 * 16 + x] = 200;
    EXPECT_EQ(GlyphFill(fill, picture).cells, fill.cells);
}

// Guards: "|" left for I; spaces inside Chinese; narrow punctuation after Chinese; spaces between
// Chinese and Latin words (kept as written) removed.
TEST(OcrTextCleanup, TidiesWhatTesseractReads) {
    EXPECT_EQ(TidyLine("| think it's |'m"), "I think it's I'm");
    EXPECT_EQ(TidyLine("wi|| go"), "will go");
    EXPECT_EQ(TidyLine("  two   spaces  "), "two spaces");
    EXPECT_EQ(TidyLine("你好， 世界! 这是第一次。"), "你好，世界！这是第一次。");
    EXPECT_EQ(TidyLine("“你去哪儿? ”她问。"), "“你去哪儿？”她问。");
    EXPECT_EQ(TidyLine("我 喜欢 Python 语言"), "我喜欢 Python 语言");
    EXPECT_EQ(TidyLine("Yes, at 10:45 p.m. (maybe)!"), "Yes, at 10:45 p.m. (maybe)!");
}

// Guards: the wrong package named for a missing language; Matroska and MP4 given each other's
// codes; malformed lists reaching Tesseract.
TEST(OcrLanguageNames, PackagesTagsAndLists) {
    EXPECT_EQ(LanguagePackage("chi_sim"), "tesseract-ocr-chi-sim");
    EXPECT_EQ(LanguagePackage("eng"), "tesseract-ocr-eng");
    EXPECT_EQ(LanguageTag("chi_sim", false), "chi");
    EXPECT_EQ(LanguageTag("chi_tra", true), "zho");
    EXPECT_EQ(LanguageTag("deu", false), "ger");
    EXPECT_EQ(LanguageTag("fra", true), "fra");
    EXPECT_EQ(LanguageTag("eng", false), "eng");
    EXPECT_EQ(LanguageTag("frk", false), "ger");
    EXPECT_EQ(LanguageTag("osd", true), "und");
    EXPECT_TRUE(CjkLanguage("chi_sim") && CjkLanguage("jpn") && !CjkLanguage("eng"));
    EXPECT_EQ(SplitLanguages("chi_sim+eng"), (std::vector<std::string>{"chi_sim", "eng"}));
    for (const char *bad : {"", "eng+", "+eng", "eng fra", "eng;fra", "../eng"}) {
        EXPECT_THROW(SplitLanguages(bad), HostError) << bad;
    }
}

// Guards: cues on a nominal grid where the film's frames say otherwise; a frame not read yet
// placed anywhere but after the last one read.
TEST(OcrFrameClock, NotedTimesAndPredictions) {
    FrameClock clock(AVRational{1, 1000}, 40, 100);
    clock.Want(10);
    clock.Want(20);
    for (int n = 0; n <= 5; ++n) clock.Note(n, 100 + n * 40, 40);
    EXPECT_EQ(clock.FirstNoted(), 0);
    EXPECT_EQ(clock.LastNoted(), 5);
    EXPECT_EQ(clock.StartOf(10), 100 + 10 * 40);  // from frame 5 at the nominal rate
    // The film slows down: frames 6..10 last 50 ms.
    for (int n = 6; n <= 10; ++n) clock.Note(n, 300 + (n - 5) * 50, 50);
    EXPECT_EQ(clock.StartOf(10), 550);
    EXPECT_EQ(clock.EndOf(10), 600);
    EXPECT_EQ(clock.StartOf(20), 550 + 10 * 40);  // from the kept frame 10
    EXPECT_EQ(clock.Microseconds(550), 450000);   // from the film's start, 100
}

// Guards: SRT times rounded the wrong way or past 59 minutes; line breaks and backslashes
// reaching the encoders as ASS codes.
TEST(OcrTextFormats, SrtTimesAndAssText) {
    EXPECT_EQ(SrtTime(0), "00:00:00,000");
    EXPECT_EQ(SrtTime(3723456789), "01:02:03,457");
    EXPECT_EQ(SrtTime(-5), "00:00:00,000");
    EXPECT_EQ(AssEventText("one\ntwo\\N"), "one\\Ntwo\xE2\xA7\xB5N");
}

}  // namespace
