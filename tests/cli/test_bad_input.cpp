// Bad input through the subremove binary, table by table: corrupt, truncated, empty, huge-header
// and wrong-type files as the index, the graymaps and the video, and broken script lines. Every
// case states the whole of standard error (with -q nothing else is written there), the exit
// status, and what must be left in the output's place: nothing at all, or every frame.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "subremove_support.h"

using namespace subremove_test;

namespace {

const std::string kUsage = "usage: subremove [OPTIONS] INPUT OUTPUT   (subremove --help for the options)\n";

enum class Output {
    kNone,       // failed: no output file, no temporary file, nothing in out/
    kUnchanged,  // warned and went on: every frame written, equal to the input
    kRepainted,  // went on: every frame written, the subtitle repainted
};

struct BadCase {
    const char *name;
    std::function<void(const Scratch &)> spoil;  // changes the good set-up into the bad one
    std::vector<std::string> args;
    int status;
    std::string err;  // the whole of standard error; {dir} stands for the scratch folder
    Output output;
};

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
    return text;
}

uint32_t Crc32(const std::string &bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string BigEndian(uint32_t v) { return std::string{(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v}; }

// The PNG with the picture size in its header changed (and the header's checksum made right), so
// that only decoding the pixels could tell.
std::string PngClaiming(const std::string &png, uint32_t width, uint32_t height) {
    std::string header = png.substr(12, 17);  // "IHDR" and its 13 bytes
    header.replace(4, 8, BigEndian(width) + BigEndian(height));
    return png.substr(0, 12) + header + BigEndian(Crc32(header)) + png.substr(33);
}

// One second of silence as 8 kHz 16-bit mono WAV: a film without a picture.
std::string SilentWav() {
    auto le = [](uint32_t v, int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += (char)(v >> (8 * i));
        return s;
    };
    const uint32_t bytes = 16000;
    return "RIFF" + le(36 + bytes, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) + le(8000, 4) + le(16000, 4) + le(2, 2) +
           le(16, 2) + "data" + le(bytes, 4) + std::string(bytes, '\0');
}

void Write(const Scratch &s, const std::string &name, const std::string &bytes) { WriteFile(s.Path(name), bytes); }

class BadInputTest : public ::testing::Test {
protected:
    // The good set-up, made once: the subtitled film as in/%03d.png, its index and graymap in
    // subs/, an empty out/ folder, and the same film as FFV1 in film.mkv.
    static void SetUpTestSuite() {
        good_ = new Scratch;
        WritePngSequence(*good_, "in", SubtitledFilm());
        WriteSubtitleIndex(*good_);
        Shell("mkdir -p '" + good_->Path("out") + "'");
        Shell(std::string(SR_FFMPEG) + " -v error -y -i '" + good_->Path("in/%03d.png") + "' -c:v ffv1 '" + good_->Path("film.mkv") + "'");
    }
    static void TearDownTestSuite() {
        delete good_;
        good_ = nullptr;
    }
    static void Prepare(const Scratch &s) {
        ASSERT_EQ(Shell("cp -a '" + good_->dir + "/.' '" + s.dir + "'"), 0);
        ASSERT_TRUE(Exists(s.Path("film.mkv")));
    }

    static Scratch *good_;

    void RunTable(const std::vector<BadCase> &cases) {
        for (const BadCase &c : cases) {
            SCOPED_TRACE(c.name);
            Scratch s;
            Prepare(s);
            c.spoil(s);
            Result r = RunSubremove(s.dir, c.args);
            EXPECT_EQ(r.status, c.status) << r.err;
            EXPECT_EQ(r.err, Replace(c.err, "{dir}", s.dir));
            CheckOutput(s, c.output);
        }
    }

    void CheckOutput(const Scratch &s, Output expected) {
        // Wherever the output could be: the sequence folder, the film file, the preview picture,
        // their temporary names, and a leftover temporary folder.
        std::vector<std::string> left = ListDir(s.Path("out"));
        for (const char *name : {"out.mkv", "out.mkv.part", "p.png", "p.png.part"}) {
            if (Exists(s.Path(name))) left.push_back(name);
        }
        for (const std::string &name : ListDir(s.dir)) {
            if (name.rfind(".subremove-", 0) == 0) left.push_back(name);
        }
        if (expected == Output::kNone) {
            EXPECT_TRUE(left.empty()) << "left behind: " << (left.empty() ? "" : left[0]);
            return;
        }
        const std::vector<Picture> film = SubtitledFilm();
        const std::vector<Picture> written = ReadFrames(s, s.Path("out/%03d.png"), kW, kH);
        ASSERT_EQ(written.size(), film.size());
        for (int f = 0; f < kFrames; ++f) {
            if (expected == Output::kUnchanged || !Subtitled(f)) {
                EXPECT_TRUE(written[f].px == film[f].px) << "frame " << f << " changed";
            } else {
                EXPECT_FALSE(written[f].At(kSubX + kSubW / 2, kSubY + kSubH / 2) == kWhite) << "frame " << f << " not repainted";
            }
        }
    }
};

Scratch *BadInputTest::good_ = nullptr;

const std::vector<std::string> kIndexRun = {"-q", "-x", "subs/film.bms", "in/%03d.png", "out/%03d.png"};

std::string NoUsableSubtitle() {
    return "subremove: warning: the index subs/film.bms lists no usable subtitle: the frames pass through unchanged\n";
}

// Guards: an index the module cannot use passing silently (the film comes out unchanged with no
// word why), a summary counting subtitles the module never read, a huge declared count costing
// memory, and a cut-short index losing the entries before the cut.
TEST_F(BadInputTest, Index) {
    auto index = [](const std::string &bytes) { return [bytes](const Scratch &s) { Write(s, "subs/film.bms", bytes); }; };
    const std::string entry = "1,2,4," + std::to_string(kSubX) + "," + std::to_string(kSubY);
    const std::string longIndex = "subs/" + std::string(240, 'd') + "/film.bms";
    const std::string tooMany = "subremove: warning: the index subs/film.bms declares 2147483647 subtitles, more than the "
                                "1048576 the filter reads, so it reads none: the frames pass through unchanged\n";
    RunTable({
        {"empty file", index(""), kIndexRun, 0, NoUsableSubtitle(), Output::kUnchanged},
        {"only white space", index(" \r\n\t\n"), kIndexRun, 0, NoUsableSubtitle(), Output::kUnchanged},
        {"a count of zero", index("0\n" + entry + "\n"), kIndexRun, 0, NoUsableSubtitle(), Output::kUnchanged},
        {"a count that is not a number", index("abc\n" + entry + "\n"), kIndexRun, 0, NoUsableSubtitle(), Output::kUnchanged},
        {"a negative count", index("-3\n" + entry + "\n"), kIndexRun, 0, NoUsableSubtitle(), Output::kUnchanged},
        {"2^31-1 entries declared", index("2147483647\n" + entry + "\n"), kIndexRun, 0, tooMany, Output::kUnchanged},
        {"a count too long for any integer", index("99999999999999999999\n" + entry + "\n"), kIndexRun, 0, tooMany, Output::kUnchanged},
        {"one past the largest count", index("1048577\n" + entry + "\n"), kIndexRun, 0,
         Replace(tooMany, "2147483647", "1048577"), Output::kUnchanged},
        {"the largest count, one entry present", index("1048576\n" + entry + "\n"), kIndexRun, 0, "", Output::kRepainted},
        {"entry cut short", index("1\n1,2,4,20"), kIndexRun, 0, NoUsableSubtitle(), Output::kUnchanged},
        {"file cut inside the second entry", index("2\n" + entry + "\n2,5"), kIndexRun, 0, "", Output::kRepainted},
        {"over-long entry", index("1\n" + entry + std::string(5000, '7') + "\n"), kIndexRun, 0, NoUsableSubtitle(), Output::kUnchanged},
        {"a picture as the index", [](const Scratch &s) { Shell("cp '" + s.Path("in/000.png") + "' '" + s.Path("subs/film.bms") + "'"); },
         kIndexRun, 0, NoUsableSubtitle(), Output::kUnchanged},
        {"missing", [](const Scratch &) {}, {"-q", "-x", "subs/missing.bms", "in/%03d.png", "out/%03d.png"}, 1,
         "subremove: error: cannot read the index subs/missing.bms: No such file or directory\n", Output::kNone},
        {"a folder", [](const Scratch &) {}, {"-q", "-x", "subs", "in/%03d.png", "out/%03d.png"}, 1,
         "subremove: error: cannot read the index subs: not a file\n", Output::kNone},
        // Read as a file, a FIFO without a writer would hang the run.
        {"a FIFO", [](const Scratch &s) { Shell("mkfifo '" + s.Path("subs/fifo.bms") + "'"); },
         {"-q", "--index", "subs/fifo.bms", "in/%03d.png", "out/%03d.png"}, 1,
         "subremove: error: cannot read the index subs/fifo.bms: not a file\n", Output::kNone},
        // The module's open-file box refuses a path past 259 characters; the module would take that
        // as no index at all.
        {"a path too long for the module", [longIndex](const Scratch &s) {
             Shell("mkdir -p '" + s.Path(longIndex.substr(0, longIndex.rfind('/'))) + "'");
             Shell("cp '" + s.Path("subs/film.bms") + "' '" + s.Path(longIndex) + "'");
         },
         {"-q", "-x", longIndex, "in/%03d.png", "out/%03d.png"}, 1,
         "subremove: error: cannot hand the index " + longIndex + " to the filter: its full path is longer than 259 characters\n",
         Output::kNone},
    });
}

// Guards: a broken graymap stopping the run (it is the module's message box: a warning, and the
// film goes on unchanged where that subtitle was), a warning without the file's name, or a huge
// claimed raster costing memory or time.
TEST_F(BadInputTest, Graymap) {
    auto graymap = [](const std::string &bytes) { return [bytes](const Scratch &s) { Write(s, "subs/image_0.pgm", bytes); }; };
    const std::string corrupt = "subremove: warning: Selected file is corrupted or it is not a graymap file: {dir}/subs/image_0.pgm\n";
    const std::string unreadable = "subremove: warning: Error reading graymap file: {dir}/subs/image_0.pgm\n";
    const std::string notFound = "subremove: warning: Graymap file not found: {dir}/subs/image_0.pgm\n";
    const std::string fourRows = std::string((size_t)kSubW * kSubH, '\xff');
    RunTable({
        {"missing", [](const Scratch &s) { std::remove(s.Path("subs/image_0.pgm").c_str()); }, kIndexRun, 0, notFound, Output::kUnchanged},
        {"empty file", graymap(""), kIndexRun, 0, corrupt, Output::kUnchanged},
        {"header cut after the width", graymap("P5\n10"), kIndexRun, 0, corrupt, Output::kUnchanged},
        {"raster cut short", graymap("P5\n10 4\n255\n" + fourRows.substr(0, 25)), kIndexRun, 0, unreadable, Output::kUnchanged},
        {"2^31-1 by 2^31-1 claimed", graymap("P5\n2147483647 2147483647\n255\n" + fourRows), kIndexRun, 0, unreadable,
         Output::kUnchanged},
        {"no pixels claimed", graymap("P5\n0 0\n255\n"), kIndexRun, 0, corrupt, Output::kUnchanged},
        {"text graymap (P2)", graymap("P2\n10 4\n255\n" + std::string(40 * 2, ' ')), kIndexRun, 0, corrupt, Output::kUnchanged},
        {"a PNG picture", [](const Scratch &s) { Shell("cp '" + s.Path("in/000.png") + "' '" + s.Path("subs/image_0.pgm") + "'"); },
         kIndexRun, 0, corrupt, Output::kUnchanged},
        {"a folder", [](const Scratch &s) {
             std::remove(s.Path("subs/image_0.pgm").c_str());
             Shell("mkdir '" + s.Path("subs/image_0.pgm") + "'");
         },
         kIndexRun, 0, notFound, Output::kUnchanged},
        // Neither may reach the module: a FIFO without a writer blocks its open, /dev/zero never ends.
        {"a FIFO", [](const Scratch &s) {
             std::remove(s.Path("subs/image_0.pgm").c_str());
             Shell("mkfifo '" + s.Path("subs/image_0.pgm") + "'");
         },
         kIndexRun, 1, "subremove: error: cannot read the graymap subs/image_0.pgm: not a regular file\n", Output::kNone},
        {"a link to /dev/zero", [](const Scratch &s) {
             std::remove(s.Path("subs/image_0.pgm").c_str());
             Shell("ln -s /dev/zero '" + s.Path("subs/image_0.pgm") + "'");
         },
         kIndexRun, 1, "subremove: error: cannot read the graymap subs/image_0.pgm: not a regular file\n", Output::kNone},
        // The loader passes over the 2^31-33 bytes of each row past the picture with a seek: twelve
        // rows lie in the picture, within the file, and the raster is all zero.
        {"2^31-1 by 2^31-1 in front of a 200 GB sparse file", [](const Scratch &s) {
             Write(s, "subs/image_0.pgm", "P5\n2147483647 2147483647\n255\n");
             Shell("truncate -s 200G '" + s.Path("subs/image_0.pgm") + "'");
         },
         kIndexRun, 0, "", Output::kUnchanged},
    });
}

// Guards: a bad input crashing, leaving a partial film or sequence behind, a damaged frame
// silently dropped (every later frame would be renumbered against the index), a header's
// enormous picture size allocated before a pixel is read, and a cut-short film passing unnoticed.
TEST_F(BadInputTest, Video) {
    auto input = [](const std::string &name, const std::string &bytes) {
        return [name, bytes](const Scratch &s) { Write(s, name, bytes); };
    };
    auto run = [](const std::string &in, const std::string &out = "out.mkv") {
        return std::vector<std::string>{"-q", "-x", "subs/film.bms", in, out};
    };
    auto cutFilm = [](size_t bytes) {
        return [bytes](const Scratch &s) { Write(s, "cut.mkv", ReadFile(s.Path("film.mkv")).substr(0, bytes)); };
    };
    auto damageFrame3 = [](const Scratch &s) { Write(s, "in/003.png", ReadFile(s.Path("in/003.png")).substr(0, 100)); };
    auto hugeFirstFrame = [](uint32_t w, uint32_t h) {
        return [w, h](const Scratch &s) { Write(s, "in/000.png", PngClaiming(ReadFile(s.Path("in/000.png")), w, h)); };
    };
    const std::string damaged = "subremove: error: frame 3 of in/%03d.png cannot be decoded (Invalid data found when processing "
                                "input); skipping it would shift the frame numbers of the index\n";
    const std::string tooBig = "subremove: error: the input in/%03d.png is 16000x16000 pixels; subremove takes at most 33554432 "
                               "pixels and 16384 on a side\n";
    RunTable({
        {"empty file", input("empty.mkv", ""), run("empty.mkv"), 1,
         "subremove: error: cannot read the input empty.mkv: Invalid data found when processing input\n", Output::kNone},
        {"film cut inside its header", cutFilm(300), run("cut.mkv"), 1,
         "subremove: error: cannot read the input cut.mkv: Input/output error\n", Output::kNone},
        {"bytes of no format", input("junk.mkv", std::string(5000, '\x5a')), run("junk.mkv"), 1,
         "subremove: error: cannot read the input junk.mkv: Invalid data found when processing input\n", Output::kNone},
        {"the index as the film", [](const Scratch &) {}, run("subs/film.bms"), 1,
         "subremove: error: cannot read the input subs/film.bms: Invalid data found when processing input\n", Output::kNone},
        {"sound without a picture", input("sound.wav", SilentWav()), run("sound.wav"), 1,
         "subremove: error: the input sound.wav has no video stream\n", Output::kNone},
        {"a folder", [](const Scratch &) {}, run("in"), 1, "subremove: error: cannot read the input in: Is a directory\n", Output::kNone},
        {"missing", [](const Scratch &) {}, run("missing.mkv"), 1,
         "subremove: error: cannot read the input missing.mkv: No such file or directory\n", Output::kNone},
        {"damaged frame, into a film", damageFrame3, run("in/%03d.png"), 1, damaged, Output::kNone},
        {"damaged frame, into a sequence", damageFrame3, run("in/%03d.png", "out/%03d.png"), 1, damaged, Output::kNone},
        // Several filter and encoder threads waiting on frames that never come must stop too.
        {"damaged frame, into a film, three threads", damageFrame3,
         {"-q", "--threads", "3", "-x", "subs/film.bms", "in/%03d.png", "out.mkv"}, 1, damaged, Output::kNone},
        {"damaged frame, into a sequence, three threads", damageFrame3,
         {"-q", "--threads", "3", "-x", "subs/film.bms", "in/%03d.png", "out/%03d.png"}, 1, damaged, Output::kNone},
        // The seek lands on the damaged frame itself; decoding from the start then names it.
        {"damaged frame, preview of it", damageFrame3, {"-q", "-x", "subs/film.bms", "--preview", "3", "p.png", "in/%03d.png"}, 1,
         damaged, Output::kNone},
        {"16000x16000 claimed", hugeFirstFrame(16000, 16000), run("in/%03d.png"), 1, tooBig, Output::kNone},
        {"16000x16000 claimed, preview", hugeFirstFrame(16000, 16000), {"-q", "--preview", "0", "p.png", "in/%03d.png"}, 1, tooBig,
         Output::kNone},
        {"a size FFmpeg refuses", hugeFirstFrame(100000, 100000), run("in/%03d.png"), 1,
         Replace(damaged, "frame 3", "frame 0"), Output::kNone},
        {"preview of frame 2^31-1 of six", [](const Scratch &) {}, {"-q", "--preview", "2147483647", "p.png", "in/%03d.png"}, 1,
         "subremove: error: --preview 2147483647 is past the end of in/%03d.png (6 frames)\n", Output::kNone},
    });
}

// Guards: a film cut short (it ends like a whole one) coming out without a word. AVI declares
// its frame count in the header, which survives the cut; Matroska declares none.
TEST_F(BadInputTest, FilmCutShortIsWrittenWithAWarning) {
    Scratch s;
    Prepare(s);
    ASSERT_EQ(Shell(std::string(SR_FFMPEG) + " -v error -i '" + s.Path("in/%03d.png") + "' -c:v ffv1 '" + s.Path("film.avi") + "'"), 0);
    const std::string film = ReadFile(s.Path("film.avi"));
    // Half the frames' chunks go; the header before them is most of so small a file.
    const size_t frames = film.find("movi"), index = film.rfind("idx1");
    ASSERT_TRUE(frames != std::string::npos && index != std::string::npos && frames < index);
    Write(s, "cut.avi", film.substr(0, frames + (index - frames) / 2));
    Result r = RunSubremove(s.dir, {"-q", "-x", "subs/film.bms", "cut.avi", "out/%03d.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t written = ListDir(s.Path("out")).size();
    ASSERT_GT(written, 0u);
    ASSERT_LT(written, (size_t)kFrames);
    EXPECT_EQ(r.err, "subremove: warning: cut.avi ends after " + std::to_string(written) + " of the 6 frames it announces: it may be cut short\n");
}

// Guards: a broken --config line reaching the module, read as something else, or refused without
// the reason and the usage line.
TEST_F(BadInputTest, ScriptLine) {
    auto config = [](const std::string &line) { return std::vector<std::string>{"-q", "-c", line, "in/%03d.png", "out.mkv"}; };
    auto refused = [](const std::string &why) { return "subremove: cannot read the --config line: " + why + "\n" + kUsage; };
    auto none = [](const Scratch &) {};
    RunTable({
        {"empty", none, config(""), 2, refused("the line is not a Config(...) call"), Output::kNone},
        {"another call", none, config("Configure(2, \"\", 15, 40, 0, 0, 5)"), 2, refused("'(' expected after Config"), Output::kNone},
        {"three values", none, config("Config(2, \"\", 15)"), 2, refused("Config takes 7 values separated by commas"), Output::kNone},
        {"unterminated string", none, config("Config(2, \"C:\\subs, 15, 40, 0, 0, 5)"), 2,
         refused("the string value has no closing double quote"), Output::kNone},
        {"a word for a number", none, config("Config(final, \"\", 15, 40, 0, 0, 5)"), 2, refused("value 1 is not a whole number"),
         Output::kNone},
        {"a number past int32", none, config("Config(2, \"\", 99999999999, 40, 0, 0, 5)"), 2,
         refused("value 3 is not a whole number"), Output::kNone},
        {"a number with a space inside", none, config("Config(2, \"\", 1 5, 40, 0, 0, 5)"), 2,
         refused("Config takes 7 values separated by commas"), Output::kNone},
        {"no closing parenthesis", none, config("Config(2, \"\", 15, 40, 0, 0, 5"), 2, refused("')' expected after the 7 values"),
         Output::kNone},
        {"text after the call", none, config("Config(2, \"\", 15, 40, 0, 0, 5); Config(0, \"\", 15, 40, 0, 0, 5)"), 2,
         refused("unexpected text after the Config call"), Output::kNone},
        {"a broken host prefix", none, config("VirtualDub.video.filters.instance[x].Config(2, \"\", 15, 40, 0, 0, 5)"), 2,
         refused("the instance prefix is not 'VirtualDub.video.filters.instance[N].'"), Output::kNone},
        {"values out of range", none, config("Config(2, \"\", 9, 40, 0, 0, 11)"), 2,
         "subremove: error: in the --config line: depth 9 is out of range (10..80), radius 11 is out of range (0..10)\n", Output::kNone},
    });
}

}  // namespace
