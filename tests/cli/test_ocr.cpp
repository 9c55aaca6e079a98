// --ocr end to end: Latin and simplified Chinese lines burnt into a panned photograph by libass at
// known frames, read by subremove with Tesseract into a subtitle stream (and an SRT), and the
// stream read back with libavformat: its place after the streams kept, its codec and language,
// and each cue's text and times (the first frame's start, the last frame's end, to the
// millisecond). With the recognition tool's files (-x, graymaps of the fill rendered alone) and,
// where the text detection model is there, with the subtitles subremove finds itself.
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "subremove_support.h"

using namespace subremove_test;

namespace {

const char kPhoto[] = "/usr/share/backgrounds/mate/nature/Storm.jpg";
const char kCjkFont[] = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc";
constexpr int kWidth = 720, kHeight = 576, kRate = 25, kLength = 215;

struct Line {
    int first, last;  // frames shown, inclusive
    bool cjk;
    std::string text;  // lines joined by '\n'
};

const std::vector<Line> kLines = {
    {10, 49, false, "The river keeps its secrets."},
    {60, 99, true, "今天晚上我们一起去看电影"},
    {110, 154, false, "Where are you going, Anna?\nIt's late, and the road is closed."},
    {165, 204, true, "他说明天见。\n我不知道为什么。"},
};

// The subtitles as libass draws them: white with a dark outline and shadow, or the fill alone.
std::string Ass(bool fillOnly) {
    const std::string outline = fillOnly ? "&HFF000000" : "&H00101010", shadow = fillOnly ? "&HFF000000" : "&H80000000";
    std::string ass = "[Script Info]\nScriptType: v4.00+\nPlayResX: 720\nPlayResY: 576\n\n[V4+ Styles]\n"
                      "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, "
                      "Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, "
                      "MarginR, MarginV, Encoding\n";
    for (const char *style : {"Lat,DejaVu Sans,30", "Cjk,Noto Sans CJK SC,34"})
        ass += std::string("Style: ") + style + ",&H00FFFFFF,&H00FFFFFF," + outline + "," + shadow + ",0,0,0,0,100,100,0,0,1,2,1,2,20,20,30,1\n";
    ass += "\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";
    for (const Line &l : kLines) {
        std::string text = l.text;
        for (size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "\\N");
        ass += "Dialogue: 0," + AssTime(l.first) + "," + AssTime(l.last + 1) + "," + (l.cjk ? "Cjk" : "Lat") + ",,0,0,0,," + text + "\n";
    }
    return ass;
}

// Each subtitle's fill at its middle frame, cropped to its ink: image_N.pgm and the index line.
bool WriteTrueFiles(const Scratch &s) {
    std::string select;
    for (const Line &l : kLines) select += (select.empty() ? "" : "+") + std::string("eq(n\\,") + std::to_string((l.first + l.last) / 2) + ")";
    const std::string raw = s.Path("fill.gray");
    const std::string cmd = std::string(SR_FFMPEG) + " -nostdin -v error -y -f lavfi -i color=black:s=720x576:r=25:d=9 -vf \"ass=" +
                            s.Path("fill.ass") + ":fontsdir=/usr/share/fonts,select='" + select +
                            "',format=gray\" -fps_mode passthrough -f rawvideo '" + raw + "'";
    if (Shell(cmd) != 0) return false;
    const std::string planes = ReadFile(raw);
    if (planes.size() != kLines.size() * kWidth * kHeight) return false;
    Shell("mkdir -p '" + s.Path("subs") + "'");
    std::string index = std::to_string(kLines.size()) + "\n";
    for (size_t i = 0; i < kLines.size(); ++i) {
        const char *plane = planes.data() + i * kWidth * kHeight;
        int x0 = kWidth, x1 = 0, y0 = kHeight, y1 = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                if (plane[y * kWidth + x]) x0 = std::min(x0, x), x1 = std::max(x1, x + 1), y0 = std::min(y0, y), y1 = std::max(y1, y + 1);
        if (x1 <= x0) return false;
        std::vector<uint8_t> cells;
        for (int y = y0; y < y1; ++y) cells.insert(cells.end(), plane + y * kWidth + x0, plane + y * kWidth + x1);
        WriteGraymap(s, (int)i, x1 - x0, y1 - y0, cells);
        index += std::to_string(i + 1) + "," + std::to_string(kLines[i].first) + "," + std::to_string(kLines[i].last) + "," +
                 std::to_string(x0) + "," + std::to_string(y0) + "\n";
    }
    WriteFile(s.Path("subs/film.bms"), index);
    return true;
}

// burnt.mkv: H.264 with the subtitles burnt in, a silent audio stream and a soft SRT stream of its
// own (which the output keeps, before the text read).
bool MakeFilm(const Scratch &s) {
    WriteFile(s.Path("burn.ass"), Ass(false));
    WriteFile(s.Path("fill.ass"), Ass(true));
    WriteFile(s.Path("soft.srt"), "1\n00:00:01,000 --> 00:00:02,000\nA soft subtitle\n\n");
    const std::string make = std::string(SR_FFMPEG) + " -nostdin -v error -y -loop 1 -framerate 25 -i " + kPhoto +
                             " -f lavfi -i anullsrc=r=48000:cl=mono -i '" + s.Path("soft.srt") +
                             "' -filter_complex \"[0:v]scale=1000:700,crop=720:576:x='0.3*n':y='70+0.1*n',setsar=1,format=yuv420p,ass=" +
                             s.Path("burn.ass") + ":fontsdir=/usr/share/fonts[v]\" -map '[v]' -map 1:a -map 2:s -frames:v " +
                             std::to_string(kLength) + " -t 8.6 -c:v libx264 -crf 16 -preset fast -c:a aac -c:s srt '" +
                             s.Path("burnt.mkv") + "'";
    return Shell(make) == 0 && WriteTrueFiles(s);
}

struct Cue {
    int64_t startMs, endMs;
    std::string text;
};

struct TextStream {
    int index = -1, streams = 0;
    int64_t videoStartMs = 0;  // the film's first picture: the cues count from the same origin
    std::string codec, language;
    std::vector<Cue> cues;
};

// The text of a subtitle packet: SubRip's as it is, timed text's after its two length bytes.
std::string PacketText(const AVCodecParameters *par, const AVPacket *p) {
    std::string text(reinterpret_cast<const char *>(p->data), (size_t)p->size);
    if (par->codec_id == AV_CODEC_ID_MOV_TEXT && p->size >= 2) text = text.substr(2, ((size_t)p->data[0] << 8) | p->data[1]);
    std::string clean;
    for (char c : text)
        if (c != '\r') clean += c;
    while (!clean.empty() && clean.back() == '\n') clean.pop_back();
    return clean;
}

// The last stream of `path`, read with libavformat, when it is a subtitle stream.
TextStream ReadLastStream(const std::string &path) {
    TextStream t;
    AVFormatContext *f = nullptr;
    if (avformat_open_input(&f, path.c_str(), nullptr, nullptr) != 0) return t;
    if (avformat_find_stream_info(f, nullptr) >= 0 && f->nb_streams > 0) {
        t.streams = (int)f->nb_streams;
        const AVStream *video = f->streams[0];
        if (video->start_time != AV_NOPTS_VALUE) t.videoStartMs = av_rescale_q(video->start_time, video->time_base, AVRational{1, 1000});
        const AVStream *st = f->streams[f->nb_streams - 1];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) {
            t.index = st->index;
            t.codec = avcodec_get_name(st->codecpar->codec_id);
            const AVDictionaryEntry *lang = av_dict_get(st->metadata, "language", nullptr, 0);
            t.language = lang ? lang->value : "";
            AVPacket *p = av_packet_alloc();
            while (av_read_frame(f, p) >= 0) {
                // MP4's timed text fills the gaps between cues with empty samples.
                if (p->stream_index == st->index && !PacketText(st->codecpar, p).empty()) {
                    const int64_t start = av_rescale_q(p->pts, st->time_base, AVRational{1, 1000}) - t.videoStartMs;
                    t.cues.push_back({start, start + av_rescale_q(p->duration, st->time_base, AVRational{1, 1000}), PacketText(st->codecpar, p)});
                }
                av_packet_unref(p);
            }
            av_packet_free(&p);
        }
    }
    avformat_close_input(&f);
    return t;
}

int64_t FrameMs(int frame) { return (int64_t)frame * 1000 / kRate; }

// Every subtitle of kLines, exactly: text and both ends.
void ExpectExactCues(const std::vector<Cue> &cues) {
    ASSERT_EQ(cues.size(), kLines.size());
    for (size_t i = 0; i < kLines.size(); ++i) {
        EXPECT_EQ(cues[i].text, kLines[i].text) << "subtitle " << i;
        EXPECT_EQ(cues[i].startMs, FrameMs(kLines[i].first)) << "subtitle " << i;
        EXPECT_EQ(cues[i].endMs, FrameMs(kLines[i].last + 1)) << "subtitle " << i;
    }
}

// The cues of an SRT file.
std::vector<Cue> ReadSrt(const std::string &path) {
    std::vector<Cue> cues;
    const std::string text = ReadFile(path);
    size_t at = 0;
    while ((at = text.find(" --> ", at)) != std::string::npos) {
        auto ms = [&](size_t from) {
            int h = 0, m = 0, sec = 0, milli = 0;
            std::sscanf(text.c_str() + from, "%d:%d:%d,%d", &h, &m, &sec, &milli);
            return ((int64_t)(h * 60 + m) * 60 + sec) * 1000 + milli;
        };
        const size_t lineEnd = text.find('\n', at);
        Cue cue{ms(at - 12), ms(at + 5), ""};
        const size_t blank = text.find("\n\n", lineEnd);
        if (blank != lineEnd) cue.text = text.substr(lineEnd + 1, blank == std::string::npos ? std::string::npos : blank - lineEnd - 1);
        cues.push_back(cue);
        at = lineEnd;
    }
    return cues;
}

// Characters of a UTF-8 string.
std::u32string CodePoints(const std::string &text) {
    std::u32string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = (unsigned char)text[i];
        const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < text.size(); ++k) cp = (cp << 6) | ((unsigned char)text[i + k] & 0x3F);
        out += cp;
        i += (size_t)extra + 1;
    }
    return out;
}

// Edits (Levenshtein) between two texts over their characters.
size_t Edits(const std::string &truth, const std::string &read) {
    const std::u32string a = CodePoints(truth), b = CodePoints(read);
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// One film for every test: made once, it takes a few seconds.
class Ocr : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        struct stat st{};
        if (stat(kPhoto, &st) != 0 || stat(kCjkFont, &st) != 0) return;
        film_ = new Scratch();
        made_ = MakeFilm(*film_);
    }
    static void TearDownTestSuite() {
        delete film_;
        film_ = nullptr;
    }
    void SetUp() override {
        struct stat st{};
        if (stat(kPhoto, &st) != 0) GTEST_SKIP() << kPhoto << " is missing (mate-backgrounds)";
        if (stat(kCjkFont, &st) != 0) GTEST_SKIP() << kCjkFont << " is missing (fonts-noto-cjk)";
        ASSERT_TRUE(made_) << "the film could not be made";
        ASSERT_EQ(Shell("cp -r '" + film_->Path("burnt.mkv") + "' '" + film_->Path("subs") + "' '" + s.dir + "/'"), 0);
    }
    Result Run(std::vector<std::string> args) { return RunSubremove(s.dir, std::move(args)); }
    Scratch s;
    static Scratch *film_;
    static bool made_;
};
Scratch *Ocr::film_ = nullptr;
bool Ocr::made_ = false;

// Guards: text not read, or read into the wrong place (before the streams kept, or replacing one);
// cues off by a frame; two lines run into one; the SRT differing from the stream; the language
// tag not the language most characters were read in (here English: 95 Latin characters, 20 CJK).
TEST_F(Ocr, TrueFilesGiveAMatroskaStreamAndAnSrt) {
    const Result r = Run({"--ocr", "chi_sim+eng", "--srt", "film.srt", "--fill", "spatial", "-x", "subs/film.bms", "burnt.mkv", "out.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    const TextStream t = ReadLastStream(s.Path("out.mkv"));
    EXPECT_EQ(t.streams, 4);  // video, audio, the soft subtitles kept, the text read
    EXPECT_EQ(t.index, 3);
    EXPECT_EQ(t.codec, "subrip");
    EXPECT_EQ(t.language, "eng");
    ExpectExactCues(t.cues);
    ExpectExactCues(ReadSrt(s.Path("film.srt")));
    // The kept soft subtitle is still the input's.
    EXPECT_NE(Tool(std::string(SR_FFMPEG) + " -v error -i '" + s.Path("out.mkv") + "' -map 0:s:0 -f srt -", s).find("A soft subtitle"),
              std::string::npos);
}

// Guards: MP4 without a text stream, or one in a format it cannot hold; the language in
// Matroska's form (chi) rather than MP4's (zho).
TEST_F(Ocr, Mp4GetsTimedTextTaggedWithTheLanguageRead) {
    const Result r = Run({"-q", "--ocr", "chi_sim", "--fill", "spatial", "-x", "subs/film.bms", "burnt.mkv", "out.mp4"});
    ASSERT_EQ(r.status, 0) << r.err;
    const TextStream t = ReadLastStream(s.Path("out.mp4"));
    EXPECT_EQ(t.codec, "mov_text");
    EXPECT_EQ(t.language, "zho");
    ASSERT_EQ(t.cues.size(), kLines.size());
    for (size_t i : {1u, 3u}) EXPECT_EQ(t.cues[i].text, kLines[i].text);
    for (size_t i = 0; i < kLines.size(); ++i) {
        EXPECT_EQ(t.cues[i].startMs, FrameMs(kLines[i].first)) << i;
        EXPECT_EQ(t.cues[i].endMs, FrameMs(kLines[i].last + 1)) << i;
    }
}

// Guards: a part's cues on the whole film's clock, or cues outside the part written.
TEST_F(Ocr, APartTimesItsCuesFromItsStart) {
    const Result r = Run({"-q", "--ocr", "chi_sim+eng", "--fill", "spatial", "-x", "subs/film.bms", "-ss", "2.8", "-t", "3.2", "burnt.mkv",
                          "part.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Frames 70..149: the second subtitle from the part's start, the third cut at the part's end.
    const TextStream t = ReadLastStream(s.Path("part.mkv"));
    ASSERT_EQ(t.cues.size(), 2u);
    EXPECT_EQ(t.cues[0].text, kLines[1].text);
    EXPECT_EQ(t.cues[0].startMs, 0);
    EXPECT_EQ(t.cues[0].endMs, FrameMs(100 - 70));
    EXPECT_EQ(t.cues[1].text, kLines[2].text);
    EXPECT_EQ(t.cues[1].startMs, FrameMs(110 - 70));
    EXPECT_EQ(t.cues[1].endMs, FrameMs(150 - 70));
}

// Guards: --srt needing a film; the packets' clock disagreeing with the run's.
TEST_F(Ocr, SrtAloneFromTheIndex) {
    const Result r = Run({"-q", "--ocr", "chi_sim+eng", "--srt", "only.srt", "-x", "subs/film.bms", "burnt.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectExactCues(ReadSrt(s.Path("only.srt")));
    EXPECT_FALSE(Exists(s.Path("out.mkv")));
}

// Guards: a guess where nothing can be read; the run going on under --strict; a warning per line.
TEST_F(Ocr, UnreadableGraymapGivesAnEmptyCueAndAWarning) {
    std::vector<uint8_t> noise(200 * 40);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = (i * 2654435761u >> 13) % 3 == 0 ? 255 : 0;
    WriteGraymap(s, 2, 200, 40, noise);
    Result r = Run({"--ocr", "chi_sim+eng", "--srt", "film.srt", "--fill", "spatial", "-x", "subs/film.bms", "burnt.mkv", "out.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: the text of subtitle 3 (frames 110-154) could not be read: its cue is empty"), std::string::npos)
        << r.err;
    const std::vector<Cue> cues = ReadSrt(s.Path("film.srt"));
    ASSERT_EQ(cues.size(), kLines.size());
    EXPECT_EQ(cues[2].text, "");
    EXPECT_EQ(cues[2].startMs, FrameMs(110));
    // The stream holds the subtitles read; an empty cue shows nothing.
    EXPECT_EQ(ReadLastStream(s.Path("out.mkv")).cues.size(), kLines.size() - 1);

    r = Run({"--strict", "-y", "--ocr", "chi_sim+eng", "--srt", "strict.srt", "--fill", "spatial", "-x", "subs/film.bms", "burnt.mkv", "strict.mkv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("could not be read"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(s.Path("strict.mkv")));
    EXPECT_FALSE(Exists(s.Path("strict.srt")));
}

// Guards: a missing language pack found only after the film was read, or told in Tesseract's own
// lines rather than one naming the package.
TEST_F(Ocr, MissingLanguagePackIsOneLineNamingThePackage) {
    const Result r = Run({"--ocr", "eng+zz_test", "-x", "subs/film.bms", "burnt.mkv", "out.mkv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "subremove: error: no Tesseract data for the language zz_test: install the Debian package tesseract-ocr-zz-test "
                     "(or set TESSDATA_PREFIX to where zz_test.traineddata is)\n");
    EXPECT_FALSE(Exists(s.Path("out.mkv")));
}

// Guards: --ocr and --srt accepted where they cannot work.
TEST_F(Ocr, UsageErrors) {
    EXPECT_EQ(Run({"--srt", "a.srt", "burnt.mkv", "out.mkv"}).status, 2);
    EXPECT_EQ(Run({"--ocr", "eng", "--detect", "found", "burnt.mkv"}).status, 2);
    EXPECT_EQ(Run({"--ocr", "eng;fra", "burnt.mkv", "out.mkv"}).status, 2);
    EXPECT_EQ(Run({"--ocr", "eng", "--srt", "burnt.mkv", "burnt.mkv"}).status, 2);
    EXPECT_EQ(Run({"--ocr", "eng", "--preview", "10", "p.png", "burnt.mkv"}).status, 2);
}

// The one command: no index, the subtitles found by subremove, their text read. Guards: the text
// stream missing from the one-command path; cues not at the frames found; Chinese unreadable from
// graymaps that hold the outline too. The graymaps found are not the fill rendered alone (a small
// 。 or the dot of an i may be lost): each text within two characters.
TEST_F(Ocr, OneCommandFindsAndReadsTheSubtitles) {
    struct stat st{};
    if (stat(TextModel().c_str(), &st) != 0) GTEST_SKIP() << "no text detection model at " << TextModel() << " (scripts/setup_model.sh)";
    // The spatial fill: the fill is not what this test is about, and it is the faster.
    const Result r = Run({"-q", "--fill", "spatial", "--ocr", "chi_sim+eng", "burnt.mkv", "out.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const TextStream t = ReadLastStream(s.Path("out.mkv"));
    EXPECT_EQ(t.index, 3);
    for (const Line &l : kLines) {
        const Cue *found = nullptr;
        for (const Cue &c : t.cues)
            if (c.startMs < FrameMs(l.last + 1) && c.endMs > FrameMs(l.first) && (!found || c.text == l.text)) found = &c;
        ASSERT_NE(found, nullptr) << l.text;
        EXPECT_LE(Edits(l.text, found->text), 2u) << l.text << " read as " << found->text;
        EXPECT_NEAR((double)found->startMs, (double)FrameMs(l.first), 1000.0 / kRate) << l.text;
        EXPECT_NEAR((double)found->endMs, (double)FrameMs(l.last + 1), 1000.0 / kRate) << l.text;
    }
}

}  // namespace
