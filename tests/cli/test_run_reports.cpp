// What subremove reports to scripts: --strict turning "not fully cleaned" warnings into errors,
// warnings printed once whatever --threads, and the key=value blocks of --progress.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

#include "subremove_support.h"

using namespace subremove_test;

namespace {

class RunReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        WritePngSequence(s, "in", SubtitledFilm());
        WriteSubtitleIndex(s);
        Shell("mkdir -p '" + s.Path("out") + "'");
    }
    // Nothing in out/ and no film, finished or temporary.
    void ExpectNothingWritten() {
        EXPECT_TRUE(ListDir(s.Path("out")).empty());
        EXPECT_FALSE(Exists(s.Path("out.mkv")));
        EXPECT_FALSE(Exists(s.Path("out.mkv.part")));
    }
    Scratch s;
};

size_t Count(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Guards: a film that was not fully cleaned published under --strict, or --strict refusing
// one that warned of nothing worse than without it.
TEST_F(RunReportTest, StrictRefusesEveryFilmThatWasNotFullyCleaned) {
    struct Case {
        const char *name;
        std::function<void()> spoil;
        std::vector<std::string> args;  // without --strict
        std::string warning;            // {dir} stands for the scratch folder
    };
    const std::vector<std::string> run = {"-q", "--index", "subs/film.bms", "in/%03d.png", "out/%03d.png"};
    const std::vector<Case> cases = {
        {"missing graymap", [&] { std::remove(s.Path("subs/image_0.pgm").c_str()); }, run,
         "Graymap file not found: {dir}/subs/image_0.pgm"},
        {"corrupt graymap", [&] { WriteFile(s.Path("subs/image_0.pgm"), "P2\n1 1\n255\n1\n"); }, run,
         "Selected file is corrupted or it is not a graymap file: {dir}/subs/image_0.pgm"},
        {"no usable subtitle", [&] { WriteFile(s.Path("subs/film.bms"), "1\n1,9,2,0,0\n"); }, run,
         "the index subs/film.bms lists no usable subtitle: the frames pass through unchanged"},
        {"sound left out of an image sequence",
         [&] {
             Shell(std::string(SR_FFMPEG) + " -v error -y -i '" + s.Path("in/%03d.png") +
                   "' -f lavfi -i sine=duration=0.24 -shortest -c:v ffv1 -c:a pcm_s16le '" + s.Path("sound.mkv") + "'");
         },
         {"-q", "--index", "subs/film.bms", "sound.mkv", "out/%03d.png"},
         "stream 1 (pcm_s16le) left out: an image sequence cannot hold it"},
        // Ten bytes flipped an eighth into an H.264 film: the decoder conceals the damage.
        {"frames decoded with errors concealed",
         [&] {
             Shell(std::string(SR_FFMPEG) + " -v error -y -f lavfi -i testsrc=size=320x240:rate=25:duration=2 -c:v libx264 "
                   "-threads 1 -g 25 -bf 0 -pix_fmt yuv420p '" + s.Path("damaged.mkv") + "'");
             std::string film = ReadFile(s.Path("damaged.mkv"));
             for (size_t i = 0; i < 40 && !film.empty(); i += 4) film[film.size() / 8 + i] ^= '\xff';
             WriteFile(s.Path("damaged.mkv"), film);
         },
         {"-q", "--mode", "original", "damaged.mkv", "out.mkv"},
         "1 frame(s) of damaged.mkv were decoded with errors concealed: they may show damage"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Shell("rm -rf '" + s.Path("out") + "'/* '" + s.Path("out.mkv") + "'");
        WriteSubtitleIndex(s);
        c.spoil();
        std::string warning = c.warning;
        if (warning.find("{dir}") != std::string::npos) warning.replace(warning.find("{dir}"), 5, s.dir);
        // -q hides the no-index warning; --strict still sees it.
        Result plain = RunSubremove(s.dir, c.args);
        EXPECT_EQ(plain.status, 0) << plain.err;
        if (std::string(c.name) != "no index") {
            EXPECT_EQ(plain.err, "subremove: warning: " + warning + "\n");
        }
        Shell("rm -rf '" + s.Path("out") + "'/* '" + s.Path("out.mkv") + "'");
        std::vector<std::string> strict = c.args;
        strict.insert(strict.begin(), "--strict");
        Result refused = RunSubremove(s.dir, strict);
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err, "subremove: error: " + warning + " (--strict)\n");
        ExpectNothingWritten();
    }
    // A film with nothing to warn of passes --strict.
    Shell("rm -rf '" + s.Path("out") + "'/*");
    WriteSubtitleIndex(s);
    Result clean = RunSubremove(s.dir, {"-q", "--strict", "--index", "subs/film.bms", "in/%03d.png", "out/%03d.png"});
    EXPECT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(clean.err, "");
    EXPECT_EQ(ListDir(s.Path("out")).size(), (size_t)kFrames);
}

// Guards: one bad graymap reported by every filter instance that meets it, so the warnings
// would follow --threads.
TEST_F(RunReportTest, AWarningAboutOneSubtitlePrintsOnceWhateverTheThreads) {
    // 96 frames, eight subtitles of which graymaps 0 and 5 are missing. Every instance selects
    // frame 0's subtitle when it starts; the others fall to whichever worker takes their run.
    std::vector<Picture> film;
    for (int f = 0; f < 96; ++f) film.push_back(Picture(kW, kH, Background(f % 6)));
    Shell("rm -rf '" + s.Path("in") + "'");
    WritePngSequence(s, "in", film);
    std::string index = "8\n";
    for (int i = 0; i < 8; ++i) index += "1," + std::to_string(12 * i) + "," + std::to_string(12 * i + 9) + ",20,20\n";
    WriteFile(s.Path("subs/film.bms"), index);
    for (int i = 0; i < 8; ++i) WriteGraymap(s, i, kSubW, kSubH, std::vector<uint8_t>((size_t)kSubW * kSubH, 255));
    std::remove(s.Path("subs/image_0.pgm").c_str());
    std::remove(s.Path("subs/image_5.pgm").c_str());
    for (const char *threads : {"1", "3"}) {
        SCOPED_TRACE(threads);
        Result r = RunSubremove(s.dir, {"-q", "--threads", threads, "--index", "subs/film.bms", "in/%03d.png", "out.mkv"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Count(r.err, "subremove: warning: "), 2u) << r.err;
        EXPECT_EQ(Count(r.err, "/subs/image_0.pgm\n"), 1u) << r.err;
        EXPECT_EQ(Count(r.err, "/subs/image_5.pgm\n"), 1u) << r.err;
        std::remove(s.Path("out.mkv").c_str());
    }
}

// The blocks of a --progress file: each a map of its keys, in order.
std::vector<std::map<std::string, std::string>> ParseProgress(const std::string &text, std::string *fault) {
    std::vector<std::map<std::string, std::string>> blocks(1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) {
            *fault = "not key=value: '" + line + "'";
            return {};
        }
        blocks.back()[line.substr(0, eq)] = line.substr(eq + 1);
        if (line.rfind("progress=", 0) == 0) blocks.emplace_back();
    }
    if (!blocks.back().empty()) *fault = "text after the last progress= line";
    blocks.pop_back();
    return blocks;
}

// Guards: progress output a script cannot parse, a last block that is not progress=end, frame
// and time figures that do not match the film, or a size that is not the file's.
TEST_F(RunReportTest, ProgressBlocksParseAndEndWithTheWholeFilm) {
    for (const std::string &to : {std::string("progress.txt"), std::string("-")}) {
        SCOPED_TRACE(to);
        std::remove(s.Path("out.mkv").c_str());
        Result r = RunSubremove(s.dir, {"-q", "--progress", to, "--index", "subs/film.bms", "in/%03d.png", "out.mkv"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string fault;
        const auto blocks = ParseProgress(to == "-" ? r.out : ReadFile(s.Path(to)), &fault);
        ASSERT_EQ(fault, "");
        ASSERT_FALSE(blocks.empty());
        for (size_t i = 0; i + 1 < blocks.size(); ++i) EXPECT_EQ(blocks[i].at("progress"), "continue");
        const auto &last = blocks.back();
        EXPECT_EQ(last.at("progress"), "end");
        EXPECT_EQ(last.at("frame"), std::to_string(kFrames));
        // The PNG sequence runs at ffmpeg's default 25 frames a second: 40 ms a frame.
        EXPECT_EQ(last.at("out_time_us"), std::to_string(kFrames * 40000));
        EXPECT_EQ(last.at("out_time"), "00:00:00.240000");
        EXPECT_EQ(last.at("total_size"), std::to_string(ReadFile(s.Path("out.mkv")).size()));
        for (const char *key : {"fps", "speed"}) EXPECT_EQ(last.count(key), 1u) << key;
    }
}

}  // namespace
