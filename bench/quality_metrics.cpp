// Removal quality against ground truth: compares films with the clean footage they were made from,
// on the pixels a burnt-in subtitle damaged.
//
//   quality_metrics --clean CLEAN --truth TRUTH [--index BMS] [--margin 8] [--burnt NAME] NAME=FILM...
//
// CLEAN is the footage before the subtitles were burnt in, TRUTH a grey film whose non-zero
// pixels are the damaged ones (glyph, outline and shadow: the subtitles' alpha), every FILM the same
// footage after burning (and removal). All are read with libavformat/libavcodec; only the luma
// plane is compared (8-bit formats whose first plane is luma: yuv*, yuvj*, gray). For every FILM,
// pooled over all frames that carry a subtitle, one line:
//   psnr_damaged   PSNR of luma over the damaged pixels;
//   psnr_box       PSNR of luma over each frame's box: the bounding rectangle of its damaged pixels
//                  grown by MARGIN pixels on every side;
//   flicker        mean |(out[t] - out[t-1]) - (clean[t] - clean[t-1])| over the box, for each
//                  pair of consecutive frames that both carry the same box (the same subtitle);
//   changed_outside_damage, changed_outside_box   luma pixels of the whole film that differ from
//                  CLEAN outside the damage and outside the boxes (0 for a faithful burn);
//   damaged_untouched   with --burnt NAME (one of the FILMs, the film before removal): damaged
//                  pixels whose luma is still the burnt film's, mostly those outside the hole a
//                  fill repaints, which no fill of that hole can improve.
// With --index the recognition tool's files are checked against the truth: the frames the index
// covers must be exactly the frames with damage, and every graymap pixel (image_K.pgm beside the
// index, K counted from 0) must land on damaged pixels in each of its frames.
// Cost: one decode of every film, and O(pixels) per frame and film; memory is two luma planes a film.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "host/instance.h"
#include "subtitles/index_parse.h"

namespace {

[[noreturn]] void Fail(const std::string &message) {
    std::fprintf(stderr, "quality_metrics: %s\n", message.c_str());
    std::exit(1);
}

// A film's video decoded frame by frame into its luma plane.
class LumaReader {
public:
    explicit LumaReader(const std::string &path) : path_(path) {
        if (avformat_open_input(&format_, path.c_str(), nullptr, nullptr) < 0) Fail("cannot open " + path);
        if (avformat_find_stream_info(format_, nullptr) < 0) Fail("cannot read " + path);
        const AVCodec *codec = nullptr;
        stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (stream_ < 0 || !codec) Fail("no video stream in " + path);
        codec_ = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(codec_, format_->streams[stream_]->codecpar);
        codec_->thread_count = 0;  // any threading: frames still come in order
        if (avcodec_open2(codec_, codec, nullptr) < 0) Fail("cannot decode " + path);
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~LumaReader() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&codec_);
        avformat_close_input(&format_);
    }
    LumaReader(const LumaReader &) = delete;
    LumaReader &operator=(const LumaReader &) = delete;

    // The next frame's luma, width * height bytes, into `luma`; false at the end of the film.
    bool Next(std::vector<uint8_t> &luma, int &width, int &height) {
        while (true) {
            int got = avcodec_receive_frame(codec_, frame_);
            if (got == 0) break;
            if (got == AVERROR_EOF) return false;
            if (got != AVERROR(EAGAIN)) Fail("decoding error in " + path_);
            if (draining_) return false;
            if (av_read_frame(format_, packet_) < 0) {
                draining_ = true;
                avcodec_send_packet(codec_, nullptr);
                continue;
            }
            if (packet_->stream_index == stream_ && avcodec_send_packet(codec_, packet_) < 0)
                Fail("decoding error in " + path_);
            av_packet_unref(packet_);
        }
        const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame_->format));
        // Luma alone: the first plane must hold it, one byte a sample.
        if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) || desc->comp[0].plane != 0 ||
            desc->comp[0].depth != 8 || desc->comp[0].step != 1)
            Fail(path_ + ": pixel format " + (desc ? desc->name : "?") + " has no 8-bit luma plane");
        width = frame_->width;
        height = frame_->height;
        luma.resize(static_cast<size_t>(width) * height);
        for (int row = 0; row < height; ++row)
            std::memcpy(&luma[static_cast<size_t>(row) * width], frame_->data[0] + static_cast<ptrdiff_t>(row) * frame_->linesize[0],
                        width);
        av_frame_unref(frame_);
        return true;
    }

private:
    std::string path_;
    AVFormatContext *format_ = nullptr;
    AVCodecContext *codec_ = nullptr;
    AVPacket *packet_ = nullptr;
    AVFrame *frame_ = nullptr;
    int stream_ = -1;
    bool draining_ = false;
};

struct Box {
    int left = 0, top = 0, right = -1, bottom = -1;  // inclusive; empty when right < left
    bool Empty() const { return right < left; }
    bool operator==(const Box &o) const {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
};

// The bounding rectangle of the damaged pixels grown by `margin`, clipped to the picture.
Box DamageBox(const std::vector<uint8_t> &truth, int width, int height, int margin) {
    Box box{width, height, -1, -1};
    for (int y = 0; y < height; ++y) {
        const uint8_t *row = &truth[static_cast<size_t>(y) * width];
        for (int x = 0; x < width; ++x) {
            if (!row[x]) continue;
            if (x < box.left) box.left = x;
            if (x > box.right) box.right = x;
            if (y < box.top) box.top = y;
            box.bottom = y;
        }
    }
    if (box.Empty()) return Box{};
    box.left = std::max(0, box.left - margin);
    box.top = std::max(0, box.top - margin);
    box.right = std::min(width - 1, box.right + margin);
    box.bottom = std::min(height - 1, box.bottom + margin);
    return box;
}

// Sums for one film, pooled over the subtitle frames.
struct Tally {
    std::string name, path;
    std::unique_ptr<LumaReader> reader;
    std::vector<uint8_t> luma, previous;
    double damagedError = 0, boxError = 0, flickerSum = 0;
    uint64_t damagedCount = 0, boxCount = 0, flickerCount = 0, flickerPairs = 0;
    uint64_t changedOutsideDamage = 0, changedOutsideBox = 0, damagedUntouched = 0;
    int64_t frames = 0;
};

// One frame of one film against the clean frame. `previousBox` is the box of the frame before, or
// an empty box when that frame carried none; flicker needs the same box on both. `burnt` is the
// burnt film's frame, or null.
void AddFrame(Tally &t, const std::vector<uint8_t> &clean, const std::vector<uint8_t> &cleanBefore,
              const std::vector<uint8_t> &truth, const uint8_t *burnt, int width, int height, const Box &box,
              const Box &previousBox) {
    const bool pair = !box.Empty() && box == previousBox;
    for (int y = 0; y < height; ++y) {
        const bool rowInBox = !box.Empty() && y >= box.top && y <= box.bottom;
        for (int x = 0; x < width; ++x) {
            const size_t i = static_cast<size_t>(y) * width + x;
            const int diff = int(t.luma[i]) - int(clean[i]);
            if (truth[i]) {
                t.damagedError += double(diff) * diff;
                ++t.damagedCount;
                if (burnt && t.luma[i] == burnt[i]) ++t.damagedUntouched;
            } else if (diff) {
                ++t.changedOutsideDamage;
            }
            if (!rowInBox || x < box.left || x > box.right) {
                if (diff) ++t.changedOutsideBox;
                continue;
            }
            t.boxError += double(diff) * diff;
            ++t.boxCount;
            if (pair) {
                const int change = (int(t.luma[i]) - int(t.previous[i])) - (int(clean[i]) - int(cleanBefore[i]));
                t.flickerSum += std::abs(change);
                ++t.flickerCount;
            }
        }
    }
    if (pair) ++t.flickerPairs;
}

std::string Psnr(double error, uint64_t count) {
    if (count == 0) return "nan";
    if (error == 0) return "inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", 10.0 * std::log10(255.0 * 255.0 * count / error));
    return text;
}

// A raw PGM (P5, 8-bit) graymap, or an empty plane when the file cannot be read.
struct Graymap {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
};

Graymap ReadGraymap(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    Graymap map;
    std::string magic;
    int maxValue = 0;
    file >> magic >> map.width >> map.height >> maxValue;
    if (!file || magic != "P5" || maxValue != 255 || map.width <= 0 || map.height <= 0) return Graymap{};
    file.get();  // the single white-space character before the samples
    map.pixels.resize(static_cast<size_t>(map.width) * map.height);
    if (!file.read(reinterpret_cast<char *>(map.pixels.data()), static_cast<std::streamsize>(map.pixels.size())))
        return Graymap{};
    return map;
}

// The index and its graymaps, checked frame by frame against the truth.
struct IndexCheck {
    std::vector<SubtitleEntry> entries;
    std::vector<Graymap> graymaps;
    int64_t coverageMismatches = 0, firstMismatch = -1, graymapPixelsOff = 0;
};

IndexCheck LoadIndex(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) Fail("cannot read the index " + path);
    std::stringstream bytes;
    bytes << file.rdbuf();
    const std::string text = bytes.str();
    SubtitleList list{};
    ParseSubtitleIndex(text.data(), text.size(), &list);
    IndexCheck check;
    const std::string folder = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
    for (int32_t k = 0; k < list.count; ++k) {
        check.entries.push_back(list.entries[k]);
        check.graymaps.push_back(ReadGraymap(folder + "/image_" + std::to_string(k) + ".pgm"));
        if (check.graymaps.back().pixels.empty()) Fail("cannot read graymap " + std::to_string(k) + " of " + path);
    }
    ReleaseSubtitleList(&list);
    if (check.entries.empty()) Fail("no subtitle in the index " + path);
    return check;
}

void CheckIndexFrame(IndexCheck &check, int64_t frame, const std::vector<uint8_t> &truth, int width, int height,
                     bool damaged) {
    bool covered = false;
    for (size_t k = 0; k < check.entries.size(); ++k) {
        const SubtitleEntry &e = check.entries[k];
        if (frame < e.startFrame || frame > e.endFrame) continue;
        covered = true;
        const Graymap &map = check.graymaps[k];
        for (int y = 0; y < map.height; ++y)
            for (int x = 0; x < map.width; ++x) {
                if (!map.pixels[static_cast<size_t>(y) * map.width + x]) continue;
                const int px = e.x + x, py = e.y + y;
                if (px < 0 || py < 0 || px >= width || py >= height || !truth[static_cast<size_t>(py) * width + px])
                    ++check.graymapPixelsOff;
            }
    }
    if (covered != damaged) {
        if (check.firstMismatch < 0) check.firstMismatch = frame;
        ++check.coverageMismatches;
    }
}

struct Options {
    std::string clean, truth, index, burnt;
    int margin = 8;
    std::vector<std::pair<std::string, std::string>> films;  // name, path
};

[[noreturn]] void Usage() {
    std::fprintf(stderr, "usage: quality_metrics --clean CLEAN --truth TRUTH [--index BMS] [--margin N] [--burnt NAME] NAME=FILM...\n");
    std::exit(2);
}

Options ParseOptions(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--clean" && hasValue) o.clean = argv[++i];
        else if (arg == "--truth" && hasValue) o.truth = argv[++i];
        else if (arg == "--index" && hasValue) o.index = argv[++i];
        else if (arg == "--margin" && hasValue) o.margin = std::atoi(argv[++i]);
        else if (arg == "--burnt" && hasValue) o.burnt = argv[++i];
        else if (arg.size() > 2 && arg[0] != '-' && arg.find('=') != std::string::npos && arg.find('=') > 0)
            o.films.emplace_back(arg.substr(0, arg.find('=')), arg.substr(arg.find('=') + 1));
        else Usage();
    }
    if (o.clean.empty() || o.truth.empty() || o.films.empty() || o.margin < 0) Usage();
    return o;
}

void Report(const Tally &t, int64_t subtitleFrames, bool withBurnt) {
    std::printf("quality_metrics: name=%s frames=%lld subtitle_frames=%lld damaged_pixels=%llu psnr_damaged=%s "
                "psnr_box=%s flicker=%.4f flicker_pairs=%llu changed_outside_damage=%llu changed_outside_box=%llu",
                t.name.c_str(), (long long)t.frames, (long long)subtitleFrames, (unsigned long long)t.damagedCount,
                Psnr(t.damagedError, t.damagedCount).c_str(), Psnr(t.boxError, t.boxCount).c_str(),
                t.flickerCount ? t.flickerSum / t.flickerCount : 0.0, (unsigned long long)t.flickerPairs,
                (unsigned long long)t.changedOutsideDamage, (unsigned long long)t.changedOutsideBox);
    if (withBurnt) std::printf(" damaged_untouched=%llu", (unsigned long long)t.damagedUntouched);
    std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
    av_log_set_level(AV_LOG_ERROR);
    const Options options = ParseOptions(argc, argv);
    LumaReader cleanReader(options.clean), truthReader(options.truth);
    std::vector<Tally> tallies(options.films.size());
    for (size_t k = 0; k < tallies.size(); ++k) {
        tallies[k].name = options.films[k].first;
        tallies[k].path = options.films[k].second;
        tallies[k].reader = std::make_unique<LumaReader>(tallies[k].path);
    }
    IndexCheck index;
    if (!options.index.empty()) index = LoadIndex(options.index);
    const Tally *burnt = nullptr;
    for (const Tally &t : tallies)
        if (t.name == options.burnt) burnt = &t;
    if (!options.burnt.empty() && !burnt) Fail("--burnt " + options.burnt + " names none of the films");

    std::vector<uint8_t> clean, cleanBefore, truth;
    int width = 0, height = 0, w = 0, h = 0;
    Box previousBox;
    int64_t frame = 0, subtitleFrames = 0;
    for (; cleanReader.Next(clean, width, height); ++frame) {
        if (!truthReader.Next(truth, w, h) || w != width || h != height)
            Fail("the truth film does not match the clean film's frames at frame " + std::to_string(frame));
        const Box box = DamageBox(truth, width, height, options.margin);
        if (!box.Empty()) ++subtitleFrames;
        if (!options.index.empty()) CheckIndexFrame(index, frame, truth, width, height, !box.Empty());
        for (Tally &t : tallies)
            if (!t.reader->Next(t.luma, w, h) || w != width || h != height)
                Fail(t.path + " does not match the clean film's frames at frame " + std::to_string(frame));
        // Every film's frame is read before any is tallied, since each is compared with the burnt one.
        for (Tally &t : tallies)
            AddFrame(t, clean, cleanBefore, truth, burnt ? burnt->luma.data() : nullptr, width, height, box, previousBox);
        for (Tally &t : tallies) {
            t.previous.swap(t.luma);
            ++t.frames;
        }
        cleanBefore.swap(clean);
        previousBox = box;
    }
    if (frame == 0) Fail("no frame in " + options.clean);
    if (truthReader.Next(truth, w, h)) Fail("the truth film is longer than the clean film");
    for (Tally &t : tallies)
        if (t.reader->Next(t.luma, w, h)) Fail(t.path + " is longer than the clean film");
    if (!options.index.empty()) {
        std::printf("quality_metrics: index entries=%zu coverage_mismatches=%lld first_mismatch=%lld "
                    "graymap_pixels_off_damage=%lld\n", index.entries.size(), (long long)index.coverageMismatches,
                    (long long)index.firstMismatch, (long long)index.graymapPixelsOff);
    }
    for (const Tally &t : tallies) Report(t, subtitleFrames, burnt != nullptr);
    return 0;
}
