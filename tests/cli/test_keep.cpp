// What subremove keeps besides the pictures, through the binary into mkv and mp4: chapters, tags,
// dispositions, rotation, HDR10 metadata, field order and soft subtitles; and the cut-short
// warning only where a container declares a frame count. Clips are a few 64x48 frames.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/mastering_display_metadata.h>
}

#include <cstring>
#include <string>
#include <vector>

#include "subremove_support.h"

using namespace subremove_test;

namespace {

const std::string kFfmpeg = std::string(SR_FFMPEG) + " -v error -y -nostdin ";
const std::string kClip = "-f lavfi -i testsrc=size=64x48:rate=25:duration=0.4 ";
const std::string kYuv = "-pix_fmt yuv420p ";

std::string Probe(const Scratch &s, const std::string &file, const std::string &what) {
    return Tool(std::string(SR_FFPROBE) + " -v error " + what + " '" + s.Path(file) + "'", s);
}

bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

struct SideData {
    AVPacketSideDataType type;
    std::string bytes;
};

// Remuxes `from` into `to` with `added` on its video stream: the ffmpeg tool of FFmpeg 5.1 has no
// way to write stream side data of its own.
bool RemuxWithSideData(const std::string &from, const std::string &to, const std::vector<SideData> &added) {
    AVFormatContext *in = nullptr, *out = nullptr;
    bool ok = avformat_open_input(&in, from.c_str(), nullptr, nullptr) == 0 && avformat_find_stream_info(in, nullptr) >= 0 &&
              avformat_alloc_output_context2(&out, nullptr, nullptr, to.c_str()) >= 0;
    for (unsigned i = 0; ok && i < in->nb_streams; ++i) {
        AVStream *st = avformat_new_stream(out, nullptr);
        ok = st && avcodec_parameters_copy(st->codecpar, in->streams[i]->codecpar) >= 0;
        if (!ok || in->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        st->codecpar->codec_tag = 0;
        for (const SideData &sd : added) {
            uint8_t *data = av_stream_new_side_data(st, sd.type, sd.bytes.size());
            ok = ok && data;
            if (data) std::memcpy(data, sd.bytes.data(), sd.bytes.size());
        }
    }
    ok = ok && avio_open(&out->pb, to.c_str(), AVIO_FLAG_WRITE) >= 0 && avformat_write_header(out, nullptr) >= 0;
    AVPacket *p = av_packet_alloc();
    while (ok && av_read_frame(in, p) >= 0) {
        av_packet_rescale_ts(p, in->streams[p->stream_index]->time_base, out->streams[p->stream_index]->time_base);
        ok = av_interleaved_write_frame(out, p) >= 0;
    }
    av_packet_free(&p);
    if (ok) ok = av_write_trailer(out) >= 0;
    if (out && out->pb) avio_closep(&out->pb);
    avformat_free_context(out);
    avformat_close_input(&in);
    return ok;
}

template <typename T>
std::string Bytes(const T &value) {
    return std::string(reinterpret_cast<const char *>(&value), sizeof(value));
}

SideData Rotation(double degrees) {
    int32_t matrix[9];
    av_display_rotation_set(matrix, degrees);
    return {AV_PKT_DATA_DISPLAYMATRIX, std::string(reinterpret_cast<const char *>(matrix), sizeof(matrix))};
}

SideData Mastering() {
    AVMasteringDisplayMetadata m{};
    const int primaries[3][2] = {{35400, 14600}, {8500, 39850}, {6550, 2300}};  // BT.2020 red, green, blue
    for (int c = 0; c < 3; ++c) {
        for (int xy = 0; xy < 2; ++xy) m.display_primaries[c][xy] = AVRational{primaries[c][xy], 50000};
    }
    m.white_point[0] = AVRational{15635, 50000};
    m.white_point[1] = AVRational{16450, 50000};
    m.max_luminance = AVRational{1000, 1};
    m.min_luminance = AVRational{50, 10000};
    m.has_primaries = m.has_luminance = 1;
    return {AV_PKT_DATA_MASTERING_DISPLAY_METADATA, Bytes(m)};
}

SideData LightLevel() {
    AVContentLightMetadata l{};
    l.MaxCLL = 800;
    l.MaxFALL = 400;
    return {AV_PKT_DATA_CONTENT_LIGHT_LEVEL, Bytes(l)};
}

// The film with chapters, a titled French video stream and a forced English SRT stream.
void WriteTaggedFilm(const Scratch &s) {
    WriteFile(s.Path("chapters.txt"), ";FFMETADATA1\ntitle=Film\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=200\ntitle=One\n"
                                      "[CHAPTER]\nTIMEBASE=1/1000\nSTART=200\nEND=400\ntitle=Two\n");
    WriteFile(s.Path("cues.srt"), "1\n00:00:00,040 --> 00:00:00,200\nHello there\n\n2\n00:00:00,240 --> 00:00:00,360\nBye\n\n");
    ASSERT_EQ(Shell(kFfmpeg + kClip + "-i '" + s.Path("chapters.txt") + "' -i '" + s.Path("cues.srt") +
                    "' " + kYuv + "-map 0:v -map 2 -map_metadata 1 -map_chapters 1 -c:v ffv1 -c:s srt -metadata:s:v title=Pictures "
                    "-metadata:s:v language=fra -metadata:s:s language=eng -disposition:s forced '" +
                    s.Path("tagged.mkv") + "'"),
              0);
}

class KeepTest : public ::testing::TestWithParam<const char *> {};

}  // namespace

// Guards: chapters, the film's title, stream tags and dispositions lost on the way, and the input
// encoder's name and length tags carried onto the re-encoded stream.
TEST_P(KeepTest, ChaptersTagsAndDispositions) {
    Scratch s;
    WriteTaggedFilm(s);
    const std::string out = std::string("out.") + GetParam();
    Result r = RunSubremove(s.dir, {"-q", "tagged.mkv", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Probe(s, out, "-show_entries chapter=start_time,end_time:chapter_tags=title -of csv=p=0"),
              "0.000000,0.200000,One\n0.200000,0.400000,Two\n");
    EXPECT_TRUE(Has(Probe(s, out, "-show_entries format_tags=title"), "title=Film"));
    const std::string video = Probe(s, out, "-select_streams v -show_entries stream_tags");
    EXPECT_TRUE(Has(video, "language=fra")) << video;
    EXPECT_FALSE(Has(video, "ENCODER=")) << video;
    const std::string subtitles =
        Probe(s, out, "-select_streams s:0 -show_entries stream_disposition=forced:stream_tags=language");
    EXPECT_TRUE(Has(subtitles, "forced=1")) << subtitles;
    EXPECT_TRUE(Has(subtitles, "language=eng")) << subtitles;
}

// Guards: text cues dropped by a container that cannot hold their format (SRT in mp4, timed text
// in mkv), or moved in time on the way.
TEST_P(KeepTest, SoftSubtitlesKeepTheirTextAndTimes) {
    Scratch s;
    WriteTaggedFilm(s);
    ASSERT_EQ(Shell(kFfmpeg + "-i '" + s.Path("tagged.mkv") + "' -map 0 -c:v libx264 -c:s mov_text '" + s.Path("tagged.mp4") + "'"), 0);
    const std::string out = std::string("out.") + GetParam();
    for (const char *film : {"tagged.mkv", "tagged.mp4"}) {
        SCOPED_TRACE(film);
        Result r = RunSubremove(s.dir, {"-q", "-y", film, out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Tool(std::string(SR_FFMPEG) + " -v error -i '" + s.Path(out) + "' -map 0:s:0 -f srt -", s),
                  ReadFile(s.Path("cues.srt")));
    }
}

// Guards: the rotation and HDR10 metadata of the video stream left behind in the container.
TEST_P(KeepTest, RotationAndHdrStreamSideData) {
    Scratch s;
    ASSERT_EQ(Shell(kFfmpeg + kClip + kYuv + "-c:v libx264 '" + s.Path("plain.mp4") + "'"), 0);
    ASSERT_TRUE(RemuxWithSideData(s.Path("plain.mp4"), s.Path("marked.mp4"), {Rotation(90), Mastering(), LightLevel()}));
    const std::string out = std::string("out.") + GetParam();
    Result r = RunSubremove(s.dir, {"-q", "marked.mp4", out});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string in = Probe(s, "marked.mp4", "-select_streams v -show_streams");
    const std::string written = Probe(s, out, "-select_streams v -show_streams");
    // Each kind is checked where this FFmpeg's muxer can store it: Matroska holds no rotation.
    const bool mkv = std::string(GetParam()) == "mkv";
    for (const char *kind : {"Display Matrix", "Mastering display metadata", "Content light level metadata"}) {
        if (mkv && std::strcmp(kind, "Display Matrix") == 0) continue;
        ASSERT_TRUE(Has(in, kind)) << "the test clip lacks " << kind;
        EXPECT_TRUE(Has(written, kind)) << written;
    }
    if (!mkv) {
        EXPECT_TRUE(Has(written, "rotation=-90")) << written;
    }
    EXPECT_TRUE(Has(written, "max_content=800\nmax_average=400")) << written;
}

// Guards: interlaced pictures coded as progressive ones, or their field order lost.
TEST_P(KeepTest, InterlacedFilmStaysInterlaced) {
    Scratch s;
    ASSERT_EQ(Shell(kFfmpeg + kClip + kYuv + "-vf setfield=tff -field_order tt -c:v ffv1 '" + s.Path("fields.mkv") + "'"), 0);
    const std::string out = std::string("out.") + GetParam();
    Result r = RunSubremove(s.dir, {"-q", "fields.mkv", out});
    ASSERT_EQ(r.status, 0) << r.err;
    // In mp4 the order is read from the H.264 stream itself, so it shows the coding too.
    EXPECT_EQ(Probe(s, out, "-select_streams v -show_entries stream=field_order -of csv=p=0"), "tt\n");
}

INSTANTIATE_TEST_SUITE_P(Containers, KeepTest, ::testing::Values("mkv", "mp4"));

// Guards: HDR10 metadata that reaches the container but not the HEVC stream's own SEI messages.
TEST(KeepHdr, X265CodesTheMasteringDisplayAndLightLevel) {
    if (!avcodec_find_encoder_by_name("libx265")) GTEST_SKIP() << "this FFmpeg has no libx265";
    Scratch s;
    ASSERT_EQ(Shell(kFfmpeg + "-f lavfi -i testsrc=size=64x48:rate=25:duration=0.12 -pix_fmt yuv420p10le -c:v ffv1 '" +
                    s.Path("plain.mkv") + "'"),
              0);
    ASSERT_TRUE(RemuxWithSideData(s.Path("plain.mkv"), s.Path("hdr.mkv"), {Mastering(), LightLevel()}));
    Result r = RunSubremove(s.dir, {"-q", "--codec", "libx265", "hdr.mkv", "out.mkv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string frame = Probe(s, "out.mkv", "-select_streams v -read_intervals %+#1 -show_frames");
    EXPECT_TRUE(Has(frame, "red_x=35400/50000\nred_y=14600/50000\ngreen_x=8500/50000")) << frame;
    EXPECT_TRUE(Has(frame, "min_luminance=50/10000\nmax_luminance=10000000/10000")) << frame;
    EXPECT_TRUE(Has(frame, "max_content=800\nmax_average=400")) << frame;
}

// Guards: a stream the output cannot hold dropped without a word, or warned about without its name.
TEST(KeepWarnings, EachStreamLeftOutIsNamed) {
    Scratch s;
    WriteTaggedFilm(s);
    Result r = RunSubremove(s.dir, {"-q", "tagged.mkv", "out.avi"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "subremove: warning: stream 1 (subrip, language eng) left out: avi cannot hold it\n");
}

// Guards: "may be cut short" raised from durations, which variable frame rates and a video stream
// that starts after the audio make disagree with the frames there are.
TEST(KeepWarnings, NoCutShortWarningWithoutADeclaredCount) {
    Scratch s;
    // Ten frames, 40 ms apart and then 160 ms: the 1.48 s film would be 37 frames at the guessed
    // 25 frames/s. The late one's 1 s of audio would make 25.
    ASSERT_EQ(Shell(kFfmpeg + kClip + kYuv + "-vf \"setpts='N*10*(1+3*gt(N\\,1))/TB/250'\" -fps_mode vfr -c:v ffv1 '" +
                    s.Path("vfr.mkv") + "'"),
              0);
    ASSERT_EQ(Shell(kFfmpeg + "-f lavfi -i sine=duration=1 -itsoffset 0.6 " + kClip + kYuv + "-map 0:a -map 1:v -c:v ffv1 -c:a flac '" +
                    s.Path("late.mkv") + "'"),
              0);
    for (const char *film : {"vfr.mkv", "late.mkv"}) {
        SCOPED_TRACE(film);
        Result r = RunSubremove(s.dir, {"-q", "-y", film, "out.mkv"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}
