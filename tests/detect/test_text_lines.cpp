// The learned text detector with the real model, on frames that ffmpeg's libass renders now:
// subtitles in the styles films use over photographs (Debian's mate-backgrounds), each also
// rendered without its subtitle, so that the pixels the subtitle changed are the truth. Skipped,
// with one line, when the model has not been prepared (scripts/setup_model.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "detect/text_lines.h"

namespace {

const std::string kPhotos = "/usr/share/backgrounds/mate/nature/";
// Light grass: busy texture of strokes; the model finds nothing in it alone.
const char *const kGrass = "GreenMeadow.jpg";
const char *const kSky = "Storm.jpg";  // clouds: large soft shapes, also textless

struct Frame {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    int Right() const { return x + width; }
    int Bottom() const { return y + height; }
    bool Contains(int px, int py) const { return px >= x && px < Right() && py >= y && py < Bottom(); }
    bool Overlaps(const Rect &o) const { return x < o.Right() && o.x < Right() && y < o.Bottom() && o.y < Bottom(); }
};

Rect Box(const TextLine &line) { return Rect{line.x, line.y, line.width, line.height}; }

// Styles as films and fansubs use them, sized for a 720-line script (libass scales them).
const char *const kStyles =
    "[V4+ Styles]\n"
    "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, "
    "Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, "
    "MarginR, MarginV, Encoding\n"
    "Style: Outline,DejaVu Sans,46,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,3,0,2,40,40,"
    "40,1\n"
    "Style: Cjk,Noto Sans CJK SC,48,&H00FFFFFF,&H00FFFFFF,&H00000000,&H80000000,0,0,0,0,100,100,0,0,1,0,2,2,40,40,"
    "60,1\n"
    "Style: Soft,DejaVu Sans,46,&H00F0F0F0,&H00F0F0F0,&H00000000,&H40000000,0,0,0,0,100,100,0,0,1,0,4,2,40,40,50,"
    "1\n"
    "Style: Dark,DejaVu Sans,44,&H00202020,&H00202020,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,0,0,7,40,40,30,"
    "1\n\n";

// A whole script for a width x height frame: 720 script lines high, as wide as the frame's shape.
std::string Script(int width, int height, const std::string &events) {
    return "[Script Info]\nScriptType: v4.00+\nPlayResX: " + std::to_string(720 * width / height) +
           "\nPlayResY: 720\nWrapStyle: 2\nScaledBorderAndShadow: yes\n\n" + kStyles +
           "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n" + events;
}

std::string Event(const char *style, const std::string &text, int layer = 0) {
    return "Dialogue: " + std::to_string(layer) + ",0:00:00.00,0:00:05.00," + style + ",,0,0,0,," + text + "\n";
}

// One frame of `photo` scaled to width x height, with `events` burnt in when given; empty when
// ffmpeg or the photo is missing.
Frame Render(const std::string &photo, int width, int height, const std::string &events) {
    Frame frame;
    std::string filter = "scale=" + std::to_string(width) + ":" + std::to_string(height);
    std::string assPath;
    if (!events.empty()) {
        char name[] = "/tmp/test_text_lines_XXXXXX.ass";
        const int fd = mkstemps(name, 4);
        if (fd < 0) return frame;
        assPath = name;
        const std::string script = Script(width, height, events);
        const bool written = write(fd, script.data(), script.size()) == (ssize_t)script.size();
        close(fd);
        if (!written) {
            unlink(name);
            return frame;
        }
        filter += ",ass=" + assPath;
    }
    const std::string command = "ffmpeg -v error -nostdin -i '" + kPhotos + photo + "' -vf " + filter +
                                " -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null";
    std::vector<uint8_t> pixels((size_t)width * height * 3);
    if (FILE *pipe = popen(command.c_str(), "r")) {
        const size_t got = fread(pixels.data(), 1, pixels.size(), pipe);
        if (pclose(pipe) == 0 && got == pixels.size()) {
            frame.width = width;
            frame.height = height;
            frame.rgb.swap(pixels);
        }
    }
    if (!assPath.empty()) unlink(assPath.c_str());
    return frame;
}

// What a subtitle changed: the pixels where some channel moved by more than 24 levels (the
// faintest edge of a soft shadow is not text to find), and their bounds.
struct Truth {
    std::vector<uint8_t> changed;  // 1 per changed pixel, row after row
    Rect bounds;
    int count = 0;
};

Truth Changed(const Frame &clean, const Frame &burnt) {
    Truth t;
    t.changed.assign((size_t)clean.width * clean.height, 0);
    int left = clean.width, top = clean.height, right = -1, bottom = -1;
    for (int y = 0; y < clean.height; ++y)
        for (int x = 0; x < clean.width; ++x) {
            const size_t i = (size_t)y * clean.width + x;
            int d = 0;
            for (int c = 0; c < 3; ++c) d = std::max(d, std::abs(clean.rgb[i * 3 + c] - burnt.rgb[i * 3 + c]));
            if (d <= 24) continue;
            t.changed[i] = 1;
            ++t.count;
            left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
        }
    if (right >= 0) t.bounds = Rect{left, top, right - left + 1, bottom - top + 1};
    return t;
}

// The share of the truth's changed pixels that lie in one of `boxes`.
double Covered(const Truth &truth, int width, const std::vector<Rect> &boxes) {
    int in = 0;
    for (size_t i = 0; i < truth.changed.size(); ++i) {
        if (!truth.changed[i]) continue;
        const int x = (int)(i % width), y = (int)(i / width);
        for (const Rect &b : boxes)
            if (b.Contains(x, y)) {
                ++in;
                break;
            }
    }
    return truth.count ? (double)in / truth.count : 0;
}

std::string Describe(const std::vector<TextLine> &lines) {
    std::string s;
    for (const TextLine &l : lines)
        s += " [" + std::to_string(l.x) + "," + std::to_string(l.y) + " " + std::to_string(l.width) + "x" +
             std::to_string(l.height) + " " + std::to_string(l.score).substr(0, 4) + "]";
    return s.empty() ? " none" : s;
}

// The line a subtitle is found as: one box holds nearly all its changed pixels, and reaches no
// further past them than a third of the line's height (a box scaled or placed wrongly does one
// or the other).
void ExpectFoundAsOneLine(const std::vector<TextLine> &lines, const Truth &truth, int width, const std::string &what) {
    SCOPED_TRACE(what + ": truth " + std::to_string(truth.bounds.x) + "," + std::to_string(truth.bounds.y) + " " +
                 std::to_string(truth.bounds.width) + "x" + std::to_string(truth.bounds.height) + ", found" +
                 Describe(lines));
    ASSERT_GT(truth.count, 100) << "libass drew nothing";
    std::vector<Rect> overlapping;
    for (const TextLine &l : lines)
        if (Box(l).Overlaps(truth.bounds)) overlapping.push_back(Box(l));
    ASSERT_EQ(overlapping.size(), 1u);
    const Rect &box = overlapping[0];
    EXPECT_GE(Covered(truth, width, overlapping), 0.97);
    const int slack = std::max(4, truth.bounds.height / 3);
    EXPECT_GE(box.x, truth.bounds.x - slack);
    EXPECT_GE(box.y, truth.bounds.y - slack);
    EXPECT_LE(box.Right(), truth.bounds.Right() + slack);
    EXPECT_LE(box.Bottom(), truth.bounds.Bottom() + slack);
}

// One finder per frame size for the whole program: loading and the first run take a while.
class TextLines : public testing::Test {
protected:
    static std::string model_, missing_;
    static void SetUpTestSuite() { model_ = LocateTextModel("", &missing_); }
    void SetUp() override {
        if (model_.empty()) GTEST_SKIP() << missing_;
        if (access((kPhotos + kGrass).c_str(), R_OK) != 0) GTEST_SKIP() << "no photographs: install mate-backgrounds";
    }
    static TextLineFinder &Finder(int width, int height) {
        static std::vector<std::unique_ptr<TextLineFinder>> finders;
        static std::vector<std::pair<int, int>> sizes;
        for (size_t i = 0; i < sizes.size(); ++i)
            if (sizes[i] == std::make_pair(width, height)) return *finders[i];
        finders.emplace_back(new TextLineFinder(model_, width, height));
        sizes.emplace_back(width, height);
        return *finders.back();
    }
};
std::string TextLines::model_, TextLines::missing_;

}  // namespace

// Fault: input not normalised (no line), cores not grown back (boxes too small), 960x544 mapped wrongly to 1280x720.
TEST_F(TextLines, FindsEachStyleWhereLibassDrewIt) {
    const int w = 1280, h = 720;
    const Frame clean = Render(kGrass, w, h, "");
    ASSERT_EQ(clean.width, w) << "ffmpeg could not render the photograph";
    const struct {
        const char *what;
        std::string events;
    } cases[] = {
        {"white, black outline", Event("Outline", "Where were you last night?")},
        {"CJK, light shadow", Event("Cjk", "我们明天早上再出发吧")},
        // The shadow alone, blurred, under the crisp fill: libass blurs the fill too otherwise.
        {"soft shadow, no outline",
         Event("Soft", "{\\1a&HFF&\\blur4}The river is rising fast") + Event("Soft", "{\\shad0}The river is rising fast", 1)},
        {"dark, top left", Event("Dark", "Keep your voice down")},
    };
    ASSERT_EQ(system("fc-list -q 'Noto Sans CJK SC'"), 0) << "no CJK font: install fonts-noto-cjk (scripts/setup_model.sh does)";
    TextLineFinder &finder = Finder(w, h);
    EXPECT_EQ(finder.InputWidth(), 960);
    EXPECT_EQ(finder.InputHeight(), 544);
    for (const auto &c : cases) {
        const Frame burnt = Render(kGrass, w, h, c.events);
        ASSERT_EQ(burnt.width, w) << c.what << ": ffmpeg could not render the subtitle";
        const std::vector<TextLine> &lines = finder.Find(burnt.rgb.data(), w * 3);
        const Truth truth = Changed(clean, burnt);
        ExpectFoundAsOneLine(lines, truth, w, c.what);
        // Nothing else: the grass alone raises no line.
        for (const TextLine &l : lines) EXPECT_TRUE(Box(l).Overlaps(truth.bounds)) << c.what << Describe(lines);
    }
}

// Fault: one axis's scale used for both (720x576 runs at 736x576, 640x360 at 640x352, 1920x1080 at 960x544).
// The lines sit in opposite corners, where a wrong scale or offset shows most.
TEST_F(TextLines, BoxesLandOnTheLineAtEveryFrameSize) {
    const std::string events = Event("Dark", "{\\an9}Keep your voice down") + Event("Outline", "{\\an1}Where were you?");
    for (const auto &size : {std::make_pair(720, 576), std::make_pair(640, 360), std::make_pair(1920, 1080)}) {
        const int w = size.first, h = size.second;
        const std::string what = std::to_string(w) + "x" + std::to_string(h);
        const Frame clean = Render(kGrass, w, h, "");
        const Frame top = Render(kGrass, w, h, Event("Dark", "{\\an9}Keep your voice down"));
        const Frame bottom = Render(kGrass, w, h, Event("Outline", "{\\an1}Where were you?"));
        const Frame both = Render(kGrass, w, h, events);
        ASSERT_TRUE(clean.width && top.width && bottom.width && both.width) << what << ": ffmpeg failed";
        TextLineFinder &finder = Finder(w, h);
        EXPECT_LE(std::max(finder.InputWidth(), finder.InputHeight()), 960) << what;
        EXPECT_TRUE(finder.InputWidth() % 32 == 0 && finder.InputHeight() % 32 == 0) << what;
        const std::vector<TextLine> &lines = finder.Find(both.rgb.data(), w * 3);
        ExpectFoundAsOneLine(lines, Changed(clean, top), w, what + ", top right");
        ExpectFoundAsOneLine(lines, Changed(clean, bottom), w, what + ", bottom left");
        EXPECT_EQ(lines.size(), 2u) << what << Describe(lines);
    }
}

// Fault: the two lines of one subtitle joined into one box twice as tall.
TEST_F(TextLines, TwoLinesOfOneSubtitleAreTwoBoxes) {
    const int w = 1280, h = 720;
    const std::string upper = Event("Outline", "{\\pos(640,612)}I told you not to wait for me");
    const std::string lower = Event("Outline", "{\\pos(640,668)}but you never listen");
    const Frame clean = Render(kGrass, w, h, "");
    const Frame first = Render(kGrass, w, h, upper), second = Render(kGrass, w, h, lower);
    const Frame both = Render(kGrass, w, h, upper + lower);
    ASSERT_TRUE(clean.width && first.width && second.width && both.width) << "ffmpeg failed";
    const std::vector<TextLine> &lines = Finder(w, h).Find(both.rgb.data(), w * 3);
    ExpectFoundAsOneLine(lines, Changed(clean, first), w, "upper line");
    ExpectFoundAsOneLine(lines, Changed(clean, second), w, "lower line");
    EXPECT_EQ(lines.size(), 2u) << Describe(lines);
}

// Fault: lines or component sums left over from the frame before (or raised by the picture itself).
TEST_F(TextLines, TextlessFramesGiveNothingAndCallsAreIndependent) {
    const int w = 1280, h = 720;
    const Frame text = Render(kGrass, w, h, Event("Outline", "Where were you last night?"));
    const Frame grass = Render(kGrass, w, h, ""), sky = Render(kSky, w, h, "");
    ASSERT_TRUE(text.width && grass.width && sky.width) << "ffmpeg failed";
    TextLineFinder &finder = Finder(w, h);
    const std::vector<TextLine> first = finder.Find(text.rgb.data(), w * 3);
    ASSERT_EQ(first.size(), 1u) << Describe(first);
    EXPECT_TRUE(finder.Find(grass.rgb.data(), w * 3).empty()) << "grass:" << Describe(finder.Find(grass.rgb.data(), w * 3));
    EXPECT_TRUE(finder.Find(sky.rgb.data(), w * 3).empty()) << "clouds:" << Describe(finder.Find(sky.rgb.data(), w * 3));
    const std::vector<TextLine> again = finder.Find(text.rgb.data(), w * 3);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(std::memcmp(&again[0], &first[0], sizeof(TextLine)), 0) << Describe(first) << " then" << Describe(again);
}

// Fault: blue-first pixels normalised with the wrong channel's statistics or into the wrong plane.
TEST_F(TextLines, BlueFirstPixelsGiveTheSameMap) {
    const int w = 640, h = 360;
    const Frame rgb = Render(kGrass, w, h, Event("Outline", "Where were you last night?"));
    ASSERT_EQ(rgb.width, w) << "ffmpeg failed";
    std::vector<uint8_t> bgr(rgb.rgb);
    for (size_t i = 0; i < bgr.size(); i += 3) std::swap(bgr[i], bgr[i + 2]);
    TextLineFinder &finder = Finder(w, h);
    const size_t found = finder.Find(rgb.rgb.data(), w * 3).size();
    const TextProbabilityMap map = finder.Probability();
    const std::vector<float> fromRgb(map.probability, map.probability + (size_t)map.width * map.height);
    EXPECT_EQ(found, 1u);
    EXPECT_EQ(finder.Find(bgr.data(), w * 3, true).size(), found);
    EXPECT_EQ(std::memcmp(finder.Probability().probability, fromRgb.data(), fromRgb.size() * sizeof(float)), 0);
    EXPECT_DOUBLE_EQ(map.scaleX, 1.0);
    EXPECT_DOUBLE_EQ(map.scaleY, 352.0 / 360);
}

// Fault: a file that is no model crashes or dumps OpenCV's multi-line message on the user.
TEST(TextLinesModel, AFileThatIsNoModelIsOneLineOfError) {
    char name[] = "/tmp/test_text_lines_XXXXXX.onnx";
    const int fd = mkstemps(name, 5);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "not a network\n", 14), 14);
    close(fd);
    try {
        TextLineFinder finder(name, 640, 360);
        ADD_FAILURE() << "a text file loaded as a model";
    } catch (const std::runtime_error &e) {
        const std::string message = e.what();
        EXPECT_NE(message.find(name), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
    unlink(name);
}

// Fault: the places searched in the wrong order, or a missing model without a way to get it.
TEST(TextLinesModel, LocatesByArgumentThenEnvironmentThenCache) {
    char dir[] = "/tmp/test_text_lines_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string root = dir, given = root + "/given.onnx", named = root + "/named.onnx";
    const std::string cached = root + "/subremove/text_det.onnx";
    ASSERT_EQ(system(("mkdir -p " + root + "/subremove && touch " + given + " " + named + " " + cached).c_str()), 0);
    struct Saved {
        const char *name;
        bool had;
        std::string value;
    } saved[] = {{"SUBREMOVE_TEXT_MODEL", false, ""}, {"XDG_CACHE_HOME", false, ""}};
    for (Saved &s : saved)
        if (const char *v = getenv(s.name)) s.had = true, s.value = v;

    setenv("SUBREMOVE_TEXT_MODEL", named.c_str(), 1);
    setenv("XDG_CACHE_HOME", root.c_str(), 1);
    std::string error;
    EXPECT_EQ(LocateTextModel(given, &error), given);
    EXPECT_EQ(LocateTextModel("", &error), named);
    setenv("SUBREMOVE_TEXT_MODEL", "", 1);  // set but empty: as if unset
    EXPECT_EQ(LocateTextModel("", &error), cached);
    unlink(cached.c_str());
    EXPECT_EQ(LocateTextModel("", &error), "");
    EXPECT_NE(error.find(cached), std::string::npos) << error;
    EXPECT_NE(error.find("scripts/setup.sh"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    // A named model that is missing is an error, not a reason to fall back to the cache.
    ASSERT_EQ(system(("touch " + cached).c_str()), 0);
    setenv("SUBREMOVE_TEXT_MODEL", (root + "/gone.onnx").c_str(), 1);
    EXPECT_EQ(LocateTextModel("", &error), "");
    EXPECT_NE(error.find("SUBREMOVE_TEXT_MODEL"), std::string::npos) << error;

    for (const Saved &s : saved) s.had ? (void)setenv(s.name, s.value.c_str(), 1) : (void)unsetenv(s.name);
    ASSERT_EQ(system(("rm -r " + root).c_str()), 0);
}
