// End-to-end tests of the subremove binary: small inputs made here (raw pixels turned into PNG
// sequences or FFV1 files by the ffmpeg tool), subremove run as a separate process, and its
// outputs read back with the ffmpeg tool and checked against values worked out here.
#include <gtest/gtest.h>

#include "subremove_support.h"

using namespace subremove_test;

namespace {

class SubremoveTest : public ::testing::Test {
protected:
    Scratch s;
};

// ---------------------------------------------------------------------------------------------
// PNG sequences in the three modes

// Guards: frames re-encoded (or colour-converted) when nothing was asked of them.
TEST_F(SubremoveTest, OriginalModePngToPngReturnsTheInputFilesByteForByte) {
    std::vector<Picture> film = SubtitledFilm();
    for (int f = 0; f < kFrames; ++f)  // noise, so that any conversion would show
        for (size_t i = 0; i < film[f].px.size(); ++i) film[f].px[i] = Rgb{(uint8_t)(i * 7 + f), (uint8_t)(i * 13), (uint8_t)(i * 29 + 3 * f)};
    WritePngSequence(s, "in", film);
    WriteSubtitleIndex(s);
    Shell("mkdir -p '" + s.Path("out") + "'");
    Result r = RunSubremove(s.dir, {"--mode", "original", "-x", "subs/film.bms", "in/%03d.png", "out/%03d.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (int f = 0; f < kFrames; ++f) {
        char name[16];
        std::snprintf(name, sizeof(name), "/%03d.png", f);
        const std::string in = ReadFile(s.Path("in") + name), out = ReadFile(s.Path("out") + name);
        EXPECT_TRUE(!in.empty() && in == out) << "frame " << f << ": " << in.size() << " bytes in, " << out.size() << " out";
    }
    EXPECT_EQ(ListDir(s.Path("out")).size(), (size_t)kFrames) << "no temporary files are left";
}

// Guards: subtitle pixels left in place, wrong frame numbering, or repaint leaking past the region.
TEST_F(SubremoveTest, FinalModeRepaintsSubtitleFramesWithTheSurroundingColourAndLeavesTheRest) {
    WritePngSequence(s, "in", SubtitledFilm());
    WriteSubtitleIndex(s);
    Shell("mkdir -p '" + s.Path("out") + "'");
    Result r = RunSubremove(s.dir, {"-x", "subs/film.bms", "in/%03d.png", "out/%03d.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Picture> out = ReadFrames(s, s.Path("out/%03d.png"), kW, kH);
    ASSERT_EQ(out.size(), (size_t)kFrames);
    for (int f = 0; f < kFrames; ++f) {
        // The surround of the block is one flat colour, so every weighted average is that colour.
        Picture expected(kW, kH, Background(f));
        if (!Subtitled(f)) expected = SubtitledFilm()[f];
        int wrong = 0;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) wrong += !(out[f].At(x, y) == expected.At(x, y));
        EXPECT_EQ(wrong, 0) << "frame " << f << ", e.g. the block's corner is " << out[f].At(kSubX, kSubY);
    }
    EXPECT_NE(r.err.find("6 frames, 3 with a subtitle, 3 repainted"), std::string::npos) << r.err;
}

// Guards: mask mode showing the picture, the mask at the wrong place, or upside down.
TEST_F(SubremoveTest, MaskModeShowsTheWidenedMaskInRedOnBlack) {
    WritePngSequence(s, "in", SubtitledFilm());
    WriteSubtitleIndex(s);
    Shell("mkdir -p '" + s.Path("out") + "'");
    Result r = RunSubremove(s.dir, {"--mode", "mask", "--radius", "2", "-x", "subs/film.bms", "in/%03d.png", "out/%03d.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Picture> out = ReadFrames(s, s.Path("out/%03d.png"), kW, kH);
    ASSERT_EQ(out.size(), (size_t)kFrames);
    const Rgb red{255, 0, 0}, black{0, 0, 0}, yellow{255, 255, 0};
    for (int f = 2; f <= 4; ++f) {
        int notRed = 0, yellowSeen = 0, farNotBlack = 0;
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                const Rgb c = out[f].At(x, y);
                if (InsideSubtitle(x, y)) notRed += !(c == red);
                yellowSeen += c == yellow;
                // Beyond radius 2 plus the 1.5-pixel sample band nothing is marked.
                const bool far = x < kSubX - 5 || x >= kSubX + kSubW + 5 || y < kSubY - 5 || y >= kSubY + kSubH + 5;
                if (far) farNotBlack += !(c == black);
            }
        }
        EXPECT_EQ(notRed, 0) << "frame " << f;
        EXPECT_GT(yellowSeen, 0) << "frame " << f << ": border samples are shown in yellow";
        EXPECT_EQ(farNotBlack, 0) << "frame " << f;
        // Widened by 2: two pixels left of the block are still mask.
        EXPECT_EQ(out[f].At(kSubX - 2, kSubY + 1), red) << "frame " << f;
        EXPECT_EQ(out[f].At(kSubX + kSubW + 1, kSubY + 1), red) << "frame " << f;
    }
}

// ---------------------------------------------------------------------------------------------
// A film file: FFV1 in Matroska with an audio stream

class FilmFileTest : public SubremoveTest {
protected:
    void MakeFilm(const std::string &pixelFormat) {
        WritePngSequence(s, "src", SubtitledFilm());
        WriteSubtitleIndex(s);
        // 6 frames at 12 frames/s with 0.5 s of a 440 Hz tone.
        const std::string cmd = std::string(SR_FFMPEG) + " -v error -y -framerate 12 -start_number 0 -i '" + s.Path("src/%03d.png") +
                                "' -f lavfi -i sine=frequency=440:sample_rate=48000:duration=0.5 -c:v ffv1 -pix_fmt " + pixelFormat +
                                " -c:a flac -map 0:v -map 1:a '" + s.Path("film.mkv") + "'";
        ASSERT_EQ(Shell(cmd), 0) << cmd;
    }
    // Per-packet checksums with timestamps of one stream, as the ffmpeg tool lists them.
    std::string PacketList(const std::string &file, const std::string &stream) {
        return Tool(std::string(SR_FFMPEG) + " -v error -i '" + file + "' -map 0:" + stream + " -c copy -f framemd5 -", s);
    }
    std::string DecodedList(const std::string &file) {
        return Tool(std::string(SR_FFMPEG) + " -v error -i '" + file + "' -map 0:v -f framemd5 -", s);
    }
    std::string Probe(const std::string &file, const std::string &entries) {
        return Tool(std::string(SR_FFPROBE) + " -v error -show_entries " + entries + " -of compact '" + file + "'", s);
    }
};

// Guards: audio dropped or re-timed, video timestamps or duration changed, lossy re-encoding.
TEST_F(FilmFileTest, OriginalModeKeepsAudioTimestampsDurationAndPixels) {
    MakeFilm("yuv420p");
    Result r = RunSubremove(s.dir, {"--mode", "original", "-x", "subs/film.bms", "film.mkv", "clean.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(PacketList(s.Path("clean.mkv"), "a"), PacketList(s.Path("film.mkv"), "a"));
    EXPECT_EQ(DecodedList(s.Path("clean.mkv")), DecodedList(s.Path("film.mkv")));
    EXPECT_EQ(Probe(s.Path("clean.mkv"), "format=duration"), Probe(s.Path("film.mkv"), "format=duration"));
    EXPECT_EQ(Probe(s.Path("clean.mkv"), "stream=codec_name,pix_fmt"), "stream|codec_name=ffv1|pix_fmt=yuv420p\nstream|codec_name=flac\n");
    EXPECT_FALSE(Exists(s.Path("clean.mkv.part")));
}

// Guards: a colour round trip degrading pixels the filter did not touch.
TEST_F(FilmFileTest, FinalModeLeavesYuvSamplesOutsideTheRepaintedBlocksUntouched) {
    MakeFilm("yuv420p");
    Result r = RunSubremove(s.dir, {"-x", "subs/film.bms", "--radius", "1", "film.mkv", "clean.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto yuv = [&](const std::string &file) {
        Shell(std::string(SR_FFMPEG) + " -v error -y -i '" + s.Path(file) + "' -f rawvideo -pix_fmt yuv420p '" + s.Path(file + ".yuv") + "'");
        return ReadFile(s.Path(file + ".yuv"));
    };
    const std::string in = yuv("film.mkv"), out = yuv("clean.mkv");
    const size_t frameSize = kW * kH * 3 / 2;
    ASSERT_EQ(in.size(), frameSize * kFrames);
    ASSERT_EQ(out.size(), in.size());
    // Repainting may reach the mask widened by 1 and rounded out to 2x2 chroma blocks.
    const int x0 = (kSubX - 1) & ~1, y0 = (kSubY - 1) & ~1, x1 = kSubX + kSubW + 2, y1 = kSubY + kSubH + 2;
    int differentOutside = 0, differentInside = 0;
    for (int f = 0; f < kFrames; ++f) {
        const size_t base = f * frameSize;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const bool near = x >= x0 && x < x1 && y >= y0 && y < y1;
                const bool same = in[base + y * kW + x] == out[base + y * kW + x];
                (near ? differentInside : differentOutside) += !same;
            }
        for (int plane = 0; plane < 2; ++plane)
            for (int y = 0; y < kH / 2; ++y)
                for (int x = 0; x < kW / 2; ++x) {
                    const size_t at = base + kW * kH + plane * (kW * kH / 4) + y * (kW / 2) + x;
                    const bool near = 2 * x >= x0 && 2 * x < x1 && 2 * y >= y0 && 2 * y < y1;
                    if (!near) differentOutside += in[at] != out[at];
                }
    }
    EXPECT_EQ(differentOutside, 0);
    EXPECT_GT(differentInside, 0) << "the white block was repainted";
}

// ---------------------------------------------------------------------------------------------
// Preview and script line

// Guards: the preview taken from the wrong frame, panels in the wrong order, or the wrong size.
TEST_F(SubremoveTest, PreviewShowsOriginalMaskAndFinalOfTheChosenFrameSideBySide) {
    WritePngSequence(s, "in", SubtitledFilm());
    WriteSubtitleIndex(s);
    Result r = RunSubremove(s.dir, {"-x", "subs/film.bms", "--preview", "3", "preview.png", "in/%03d.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Picture> preview = ReadFrames(s, s.Path("preview.png"), 3 * kW, kH);
    ASSERT_EQ(preview.size(), 1u);
    const Picture film = SubtitledFilm()[3];
    int originalWrong = 0, finalWrong = 0, maskWrong = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            originalWrong += !(preview[0].At(x, y) == film.At(x, y));
            if (InsideSubtitle(x, y)) maskWrong += !(preview[0].At(kW + x, y) == Rgb{255, 0, 0});
            finalWrong += !(preview[0].At(2 * kW + x, y) == Background(3));
        }
    EXPECT_EQ(originalWrong, 0);
    EXPECT_EQ(maskWrong, 0);
    EXPECT_EQ(finalWrong, 0);
}

// Guards: settings lost or reordered between the flags, the module's script line and --config.
TEST_F(SubremoveTest, PrintConfigRoundTripsThroughTheConfigOption) {
    Result first = RunSubremove(s.dir, {"--print-config", "--mode", "final", "--depth", "20", "--power", "35", "--interlaced",
                                        "--aspect", "-30", "--radius", "3"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "Config(2, \"\", 20, 35, 1, -30, 3)\n");

    const std::string line = first.out.substr(0, first.out.size() - 1);
    Result again = RunSubremove(s.dir, {"--print-config", "-c", "VirtualDub.video.filters.instance[3]." + line + ";"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, first.out);

    // A flag after the line wins over the line's value.
    Result changed = RunSubremove(s.dir, {"--print-config", "-c", line, "--radius", "7", "--mode", "mask"});
    ASSERT_EQ(changed.status, 0) << changed.err;
    EXPECT_EQ(changed.out, "Config(1, \"\", 20, 35, 1, -30, 7)\n");
}

// Guards: the index's folder not reaching the module through the open-file box.
TEST_F(SubremoveTest, PrintConfigNamesTheIndexFolderInTheModulesForm) {
    WriteSubtitleIndex(s);
    Result r = RunSubremove(s.dir, {"--print-config", "-x", "subs/film.bms"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Config(2, \"Z:" + s.dir + "/subs\", 15, 40, 0, 0, 5)\n");
}

// ---------------------------------------------------------------------------------------------
// Errors: status and message

// Guards: failures reported with the wrong status, a crash, or no clear first word.
TEST_F(SubremoveTest, RunFailuresSayErrorAndExitWithOne) {
    WritePngSequence(s, "in", SubtitledFilm());
    WriteSubtitleIndex(s);
    WriteFile(s.Path("junk.mkv"), std::string(5000, '\x5a'));
    WriteFile(s.Path("text.so"), "not a module");
    const std::vector<std::vector<std::string>> cases = {
        {"missing.mkv", "out.mkv"},
        {"junk.mkv", "out.mkv"},
        {"-x", "subs/missing.bms", "in/%03d.png", "out.mkv"},
        {"-x", "subs", "in/%03d.png", "out.mkv"},
        {"--module", "missing.so", "in/%03d.png", "out.mkv"},
        {"--module", "text.so", "in/%03d.png", "out.mkv"},
        {"--codec", "no-such-codec", "in/%03d.png", "out.mkv"},
        {"in/%03d.png", "no-such-folder/out.mkv"},
    };
    for (const auto &args : cases) {
        Result r = RunSubremove(s.dir, args);
        EXPECT_EQ(r.status, 1) << args[0] << " " << args[1] << ": " << r.err;
        EXPECT_EQ(r.err.rfind("subremove: error: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
        EXPECT_FALSE(Exists(s.Path("out.mkv")));
    }
}

// Guards: bad command lines accepted, or rejected without the usage line and status 2.
TEST_F(SubremoveTest, BadOptionsPrintTheUsageLineAndExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"--no-such-flag", "a.mkv", "b.mkv"}, {"a.mkv"}, {"--mode", "best", "a.mkv", "b.mkv"},
        {"--radius", "x", "a.mkv", "b.mkv"},  {"--preview", "3"}, {"-c", "Config(2, 15)", "a.mkv", "b.mkv"},
        {"a.mkv", "b.mkv", "c.mkv"},
    };
    for (const auto &args : cases) {
        Result r = RunSubremove(s.dir, args);
        EXPECT_EQ(r.status, 2) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find("usage: subremove [OPTIONS] INPUT OUTPUT"), std::string::npos) << r.err;
    }
}

// Guards: an out-of-range flag reaching the module, or a message that does not say which flag.
TEST_F(SubremoveTest, OutOfRangeFlagsAreNamedBeforeTheModuleRuns) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--radius", "11"}, {"--depth", "9"}, {"--depth", "81"}, {"--power", "161"}, {"--aspect", "-121"}, {"--power", "-1"}};
    for (const auto &c : cases) {
        Result r = RunSubremove(s.dir, {c.first, c.second, "--module", "missing.so", "a.mkv", "b.mkv"});
        EXPECT_EQ(r.status, 2) << c.first << " " << c.second;
        EXPECT_NE(r.err.find(c.first + " " + c.second + " is out of range"), std::string::npos) << r.err;
    }
}

// Guards: the module's ScriptError ignored, or reported without naming the setting.
TEST_F(SubremoveTest, ConfigLineOutOfRangeIsReportedByTheModuleAndNamed) {
    Result r = RunSubremove(s.dir, {"--print-config", "-c", "Config(2, \"\", 9, 40, 0, 0, 11)"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "subremove: error: in the --config line: depth 9 is out of range (10..80), radius 11 is out of range (0..10)\n");
}

// Guards: a graymap failure stopping the run instead of warning and going on.
TEST_F(SubremoveTest, AMissingGraymapIsAWarningAndTheRunGoesOn) {
    WritePngSequence(s, "in", SubtitledFilm());
    WriteSubtitleIndex(s);
    std::remove(s.Path("subs/image_0.pgm").c_str());
    Shell("mkdir -p '" + s.Path("out") + "'");
    Result r = RunSubremove(s.dir, {"-x", "subs/film.bms", "in/%03d.png", "out/%03d.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("subremove: warning: Graymap file not found: " + s.dir + "/subs/image_0.pgm"), std::string::npos) << r.err;
    EXPECT_EQ(ListDir(s.Path("out")).size(), (size_t)kFrames);
}

// Guards: a run that fails part-way leaving a complete-looking output behind.
TEST_F(SubremoveTest, AFailedRunLeavesNoOutput) {
    // The last frame has another size, which subremove refuses after writing the others.
    std::vector<Picture> film = SubtitledFilm();
    WritePngSequence(s, "in", film);
    Picture small(kW / 2, kH / 2, Rgb{1, 2, 3});
    WritePngSequence(s, "tmp", {small});
    Shell("mv '" + s.Path("tmp/000.png") + "' '" + s.Path("in/006.png") + "'");
    Shell("mkdir -p '" + s.Path("out") + "'");
    for (const std::string &output : {std::string("out/%03d.png"), std::string("out/film.mkv")}) {
        Result r = RunSubremove(s.dir, {"--mode", "original", "in/%03d.png", output});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err.rfind("subremove: error: ", 0), 0u) << r.err;
        EXPECT_TRUE(ListDir(s.Path("out")).empty()) << "left behind in out/: " << ListDir(s.Path("out")).size();
    }
}

// ---------------------------------------------------------------------------------------------
// Several filter instances in parallel

// Guards: runs cut inside a subtitle, frames written out of order, or results that depend on
// the number of threads.
TEST_F(SubremoveTest, ThreadsGiveTheSameFilesAsOneThread) {
    // 60 frames; subtitles on 10..30 and 31..50 (touching) and 52..59, at three places.
    struct Sub { int first, last, x, y; };
    const Sub subs[] = {{10, 30, 4, 4}, {31, 50, 20, 20}, {52, 59, 30, 10}};
    std::vector<Picture> film;
    for (int f = 0; f < 60; ++f) {
        Picture p(kW, kH, Background(f % 9));
        for (const Sub &sub : subs)
            if (f >= sub.first && f <= sub.last) p.Fill(sub.x, sub.y, sub.x + 8, sub.y + 3, kWhite);
        film.push_back(p);
    }
    WritePngSequence(s, "in", film);
    Shell("mkdir -p '" + s.Path("subs") + "' '" + s.Path("one") + "' '" + s.Path("three") + "'");
    std::string bms = "3\n";
    for (int i = 0; i < 3; ++i) {
        bms += std::to_string(i + 1) + "," + std::to_string(subs[i].first) + "," + std::to_string(subs[i].last) + "," +
               std::to_string(subs[i].x) + "," + std::to_string(subs[i].y) + "\n";
        WriteGraymap(s, i, 8, 3, std::vector<uint8_t>(24, 200));
    }
    WriteFile(s.Path("subs/film.bms"), bms);
    Result one = RunSubremove(s.dir, {"--threads", "1", "-x", "subs/film.bms", "in/%03d.png", "one/%03d.png"});
    Result three = RunSubremove(s.dir, {"--threads", "3", "-x", "subs/film.bms", "in/%03d.png", "three/%03d.png"});
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(three.status, 0) << three.err;
    int different = 0, notFlat = 0;
    for (int f = 0; f < 60; ++f) {
        char name[16];
        std::snprintf(name, sizeof(name), "/%03d.png", f);
        const std::string a = ReadFile(s.Path("one") + name), b = ReadFile(s.Path("three") + name);
        different += a.empty() || a != b;
    }
    // Every subtitle sits on a flat frame, so a correct repaint leaves each frame one colour.
    std::vector<Picture> out = ReadFrames(s, s.Path("three/%03d.png"), kW, kH);
    ASSERT_EQ(out.size(), 60u);
    for (int f = 0; f < 60; ++f)
        for (const Rgb &c : out[f].px) notFlat += !(c == Background(f % 9));
    EXPECT_EQ(different, 0);
    EXPECT_EQ(notFlat, 0);
    EXPECT_NE(three.err.find("60 frames, 49 with a subtitle, 49 repainted"), std::string::npos) << three.err;
}

// Guards: FFV1 files that change with --threads: a slice layout that followed the threads, or
// encoder contexts that code frames outside whole key-frame groups (several contexts code the
// film side by side), or container ids drawn at random so that no two runs match.
TEST_F(SubremoveTest, FfvOneFilesDoNotDependOnTheThreadCount) {
    // Large enough for the fixed four-slice layout; 40 frames are four key-frame groups.
    const int w = 160, h = 128;
    std::vector<Picture> film;
    for (int f = 0; f < 40; ++f) {
        Picture p(w, h, Background(f % 9));
        p.Fill(40, 100, 120, 110, kWhite);
        p.Fill(f, 20, f + 30, 40, Background((f + 4) % 9));
        film.push_back(p);
    }
    WritePngSequence(s, "in", film);
    Shell("mkdir -p '" + s.Path("subs") + "'");
    WriteGraymap(s, 0, 80, 10, std::vector<uint8_t>(800, 255));
    WriteFile(s.Path("subs/film.bms"), "1\n1,0,39,40,18\n");
    Result one = RunSubremove(s.dir, {"--threads", "1", "-x", "subs/film.bms", "in/%03d.png", "one.mkv"});
    Result three = RunSubremove(s.dir, {"--threads", "3", "-x", "subs/film.bms", "in/%03d.png", "three.mkv"});
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(three.status, 0) << three.err;
    const std::string a = ReadFile(s.Path("one.mkv"));
    ASSERT_GT(a.size(), 1000u);
    EXPECT_TRUE(a == ReadFile(s.Path("three.mkv"))) << "the two files differ";
    // Every frame is there and decodes to what one thread wrote.
    const std::string frames = Tool(std::string(SR_FFMPEG) + " -v error -i '" + s.Path("three.mkv") + "' -f framemd5 -", s);
    int pictures = 0;
    for (size_t at = 0; at < frames.size(); at = frames.find('\n', at) + 1) {
        pictures += frames[at] != '#';
        if (frames.find('\n', at) == std::string::npos) break;
    }
    EXPECT_EQ(pictures, 40) << frames;
    EXPECT_EQ(frames, Tool(std::string(SR_FFMPEG) + " -v error -i '" + s.Path("one.mkv") + "' -f framemd5 -", s));
}

// ---------------------------------------------------------------------------------------------
// Progress display and summary

// Guards: progress lines written into pipes and logs, or a summary missing.
TEST_F(SubremoveTest, NoProgressLineWhenStandardErrorIsNotATerminal) {
    WritePngSequence(s, "in", SubtitledFilm());
    Shell("mkdir -p '" + s.Path("out") + "'");
    Result r = RunSubremove(s.dir, {"--mode", "original", "in/%03d.png", "out/%03d.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
    EXPECT_EQ(r.err, "subremove: 6 frames, 0 with a subtitle, 0 repainted" + r.err.substr(r.err.find(", 0 repainted") + 13));
    Result quiet = RunSubremove(s.dir, {"-q", "-y", "--mode", "original", "in/%03d.png", "out/%03d.png"});
    ASSERT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
}

// Guards: the progress line missing on a terminal, or left without frame count and rate.
TEST_F(SubremoveTest, ProgressLineOnATerminal) {
    WritePngSequence(s, "in", SubtitledFilm());
    Shell("mkdir -p '" + s.Path("out") + "'");
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(s.dir.c_str()) != 0) _exit(127);
        execl(SUBREMOVE_PATH, SUBREMOVE_PATH, "--mode", "original", "in/%03d.png", "out/%03d.png", (char *)nullptr);
        _exit(127);
    }
    std::string seen;
    char buffer[512];
    for (;;) {
        ssize_t n = read(master, buffer, sizeof(buffer));
        if (n <= 0) break;  // EIO once the child has closed the terminal
        seen.append(buffer, (size_t)n);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_NE(seen.find("\rsubremove: frame 1/6"), std::string::npos) << seen;
    EXPECT_NE(seen.find(" fps"), std::string::npos) << seen;
    EXPECT_NE(seen.find("subremove: 6 frames, 0 with a subtitle"), std::string::npos) << seen;
}

}  // namespace
