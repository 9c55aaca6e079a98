// End-to-end tests of the flags subremove shares with FFmpeg's habits: a part of a film (-ss, -t,
// --frames), previews found by seeking, encoder options (--codec-opt, --codec same) and -q reaching
// the encoder's own log. Films are made with the ffmpeg tool and read back with it.
#include <gtest/gtest.h>

#include "subremove_support.h"

using namespace subremove_test;

namespace {

class FfmpegFlags : public ::testing::Test {
protected:
    Scratch s;
    // 40 frames of a moving test picture at 10 frames/s, H.264 main profile with B-frames and a
    // key frame every 10 frames, so that most frames lie past a key frame; and a subtitle index
    // for frames 12..15.
    void MakeLongGopFilm() {
        const std::string cmd = std::string(SR_FFMPEG) +
                                " -v error -y -f lavfi -i testsrc=size=96x64:rate=10 -frames:v 40 -pix_fmt yuv420p"
                                " -c:v libx264 -profile:v main -g 10 -bf 2 '" + s.Path("long.mkv") + "'";
        ASSERT_EQ(Shell(cmd), 0) << cmd;
        Shell("mkdir -p '" + s.Path("subs") + "'");
        WriteFile(s.Path("subs/film.bms"), "1\n1,12,15,20,20\n");
        WriteGraymap(s, 0, 10, 4, std::vector<uint8_t>(40, 255));
    }
    // The decoded pictures' checksums, one line a frame, without the timestamps.
    std::vector<std::string> FrameHashes(const std::string &file) {
        std::istringstream in(Tool(std::string(SR_FFMPEG) + " -v error -i '" + s.Path(file) + "' -map 0:v -f framemd5 -", s));
        std::vector<std::string> hashes;
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line[0] != '#') hashes.push_back(line.substr(line.find_last_of(',') + 1));
        return hashes;
    }
    std::string Probe(const std::string &file, const std::string &entries) {
        return Tool(std::string(SR_FFPROBE) + " -v error -select_streams v -show_entries " + entries + " -of compact '" +
                        s.Path(file) + "'", s);
    }
};

// Guards: a part numbered from its own start (the index would then repaint the wrong frames), a
// frame lost or added at either edge, or a part that starts inside a subtitle cleaned otherwise
// than in a whole run; on the sample film with its index, cut at 1 s, inside its first subtitle.
TEST_F(FfmpegFlags, APartEqualsTheSameFramesOfAWholeRun) {
    Shell("cp -r '" SR_SOURCE_DIR "/samples/sample' '" + s.Path("film") + "'");
    const std::string index = "film/subs/sample.bms";
    ASSERT_EQ(RunSubremove(s.dir, {"-q", "-x", index, "-i", "film/sample.mkv", "whole.mkv"}).status, 0);
    Result part = RunSubremove(s.dir, {"-q", "--threads", "2", "-x", index, "-ss", "1", "-t", "2", "-i", "film/sample.mkv", "part.mkv"});
    ASSERT_EQ(part.status, 0) << part.err;
    Result counted = RunSubremove(s.dir, {"-q", "-x", index, "-ss", "0:01.6", "--frames", "7", "film/sample.mkv", "counted.mkv"});
    ASSERT_EQ(counted.status, 0) << counted.err;
    const std::vector<std::string> whole = FrameHashes("whole.mkv");
    ASSERT_EQ(whole.size(), 100u);
    // 25 frames/s: 1 s is frame 25, 2 s later frame 75; 1.6 s is frame 40.
    EXPECT_EQ(FrameHashes("part.mkv"), std::vector<std::string>(whole.begin() + 25, whole.begin() + 75));
    EXPECT_EQ(FrameHashes("counted.mkv"), std::vector<std::string>(whole.begin() + 40, whole.begin() + 47));
    EXPECT_NE(whole[25], FrameHashes("film/sample.mkv").at(25)) << "frame 25 should carry a subtitle the run removes";
}

// Guards: a seek that lands on the key frame and returns it as the asked frame, a count off by
// one past it (B-frames come out of order), a time read as a frame number, strips overwriting
// each other, or no word that a frame shows no subtitle. The reference is an intra-only lossless
// copy that the ffmpeg tool decoded from the start.
TEST_F(FfmpegFlags, ASeekingPreviewGivesThePictureOfDecodingFromTheStart) {
    MakeLongGopFilm();
    const std::string copy = std::string(SR_FFMPEG) + " -v error -y -i '" + s.Path("long.mkv") + "' -c:v ffv1 -g 1 '" + s.Path("intra.mkv") + "'";
    ASSERT_EQ(Shell(copy), 0);
    Result seeking = RunSubremove(s.dir, {"-x", "subs/film.bms", "--preview", "13,2.3", "a.png", "-i", "long.mkv"});
    ASSERT_EQ(seeking.status, 0) << seeking.err;
    ASSERT_EQ(RunSubremove(s.dir, {"-q", "-x", "subs/film.bms", "--preview", "13,23", "b.png", "intra.mkv"}).status, 0);
    EXPECT_EQ(ReadFile(s.Path("a-13.png")), ReadFile(s.Path("b-13.png")));
    EXPECT_EQ(ReadFile(s.Path("a-23.png")), ReadFile(s.Path("b-23.png")));
    EXPECT_NE(ReadFile(s.Path("a-13.png")), ReadFile(s.Path("a-23.png")));
    EXPECT_EQ(seeking.err, "subremove: frame 13 as original | mask | final written to a-13.png\n"
                           "subremove: frame 23 as original | mask | final written to a-23.png; the index shows no subtitle in it\n");
}

// Guards: --codec-opt not reaching the encoder, or put before subremove's own options (which then
// win); an option the encoder does not take dropped in silence; --codec same losing the input's
// profile to the encoder's default (High for libx264); x265's info lines printed under -q.
TEST_F(FfmpegFlags, EncoderOptionsProfileAndQuietReachTheEncoder) {
    MakeLongGopFilm();
    ASSERT_EQ(RunSubremove(s.dir, {"-q", "--codec", "libx264", "--codec-opt", "preset=ultrafast", "long.mkv", "fast.mp4"}).status, 0);
    EXPECT_NE(ReadFile(s.Path("fast.mp4")).find("cabac=0"), std::string::npos) << "ultrafast turns CABAC off";
    Result refused = RunSubremove(s.dir, {"-q", "--codec-opt", "nosuchkey=1", "long.mkv", "refused.mkv"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "subremove: error: the ffv1 encoder has no option nosuchkey\n");
    EXPECT_FALSE(Exists(s.Path("refused.mkv")));
    ASSERT_EQ(RunSubremove(s.dir, {"-q", "--codec", "same", "long.mkv", "same.mkv"}).status, 0);
    EXPECT_EQ(Probe("same.mkv", "stream=codec_name,profile"), "stream|codec_name=h264|profile=Main\n");
    Result quiet = RunSubremove(s.dir, {"-q", "--codec", "libx265", "long.mkv", "h265.mkv"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
}

}  // namespace

// Guards: standard input or output that is read or written as a file named "-", a stream that
// gets another encoder than the same container as a file would (it has no extension to go by),
// and a container that needs seeking sent to a pipe.
TEST_F(FfmpegFlags, StandardInputAndOutputCarryTheSameFilm) {
    Shell("cp -r '" SR_SOURCE_DIR "/samples/sample' '" + s.Path("film") + "'");
    const std::string index = "film/subs/sample.bms";
    ASSERT_EQ(RunSubremove(s.dir, {"-q", "-x", index, "film/sample.mkv", "file.mkv"}).status, 0);
    const std::string sub = std::string(SUBREMOVE_PATH) + " -q -x '" + s.Path(index) + "'";
    ASSERT_EQ(Shell(sub + " - -f matroska - < '" + s.Path("film/sample.mkv") + "' > '" + s.Path("piped.mkv") + "'"), 0);
    ASSERT_EQ(Shell("cat '" + s.Path("film/sample.mkv") + "' | " + sub + " -f nut - - > '" + s.Path("piped.nut") + "'"), 0);
    const std::vector<std::string> file = FrameHashes("file.mkv");
    ASSERT_EQ(file.size(), 100u);
    EXPECT_EQ(FrameHashes("piped.mkv"), file);
    EXPECT_EQ(FrameHashes("piped.nut"), file);
    EXPECT_NE(Probe("piped.mkv", "stream=codec_name").find("ffv1"), std::string::npos);
    // No container: refused before anything is read; MP4 cannot be written front to back.
    Result bare = RunSubremove(s.dir, {"-q", "film/sample.mkv", "-"});
    EXPECT_EQ(bare.status, 2);
    EXPECT_NE(bare.err.find("-f"), std::string::npos) << bare.err;
    Result mp4 = RunSubremove(s.dir, {"-q", "-f", "mp4", "film/sample.mkv", "-"});
    EXPECT_EQ(mp4.status, 2);
    EXPECT_NE(mp4.err.find("without seeking"), std::string::npos) << mp4.err;
    // The film and the progress blocks cannot share standard output.
    EXPECT_EQ(RunSubremove(s.dir, {"-q", "--progress", "-", "-f", "nut", "film/sample.mkv", "-"}).status, 2);
}

// Guards a preview that replaced an existing file without -y, or wrote through a predictable
// temporary name (a planted "strip.png.part" link would have been followed).
TEST_F(FfmpegFlags, APreviewKeepsAnExistingFileUnlessToldOtherwise) {
    Shell("cp -r '" SR_SOURCE_DIR "/samples/sample' '" + s.Path("film") + "'");
    WriteFile(s.Path("strip.png"), "keep");
    WriteFile(s.Path("other.txt"), "other");
    Shell("ln -s other.txt '" + s.Path("strip.png.part") + "'");
    const std::vector<std::string> args = {"-q", "-x", "film/subs/sample.bms", "--preview", "20", "strip.png", "film/sample.mkv"};
    Result kept = RunSubremove(s.dir, args);
    EXPECT_EQ(kept.status, 1);
    EXPECT_NE(kept.err.find("-y"), std::string::npos) << kept.err;
    EXPECT_EQ(ReadFile(s.Path("strip.png")), "keep");
    std::vector<std::string> replace = args;
    replace.insert(replace.begin(), "-y");
    ASSERT_EQ(RunSubremove(s.dir, replace).status, 0);
    EXPECT_EQ(ReadFile(s.Path("strip.png")).substr(1, 3), "PNG");
    EXPECT_EQ(ReadFile(s.Path("other.txt")), "other");
}
