// The detection pass of subremove: decodes the film, hands each frame's luma to the detector,
// and writes the index and graymaps. Each file goes through the output checks and a temporary
// name, as a film does, so an existing subs.bms is kept unless -y is given.
#include "cli/detection/detect_run.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <thread>

#include "cli/errors.h"
#include "cli/plugin/graymap_files.h"
#include "cli/input/input.h"
#include "cli/front/interrupt.h"
#include "cli/output/output_target.h"
#include "cli/front/warnings.h"
#include "detect/detector.h"
#include "detect/text_lines.h"
#include "detect/timeline.h"

namespace {

// The luma of a decoded frame: its first plane when that is 8-bit luma, else converted.
class LumaReader {
public:
    LumaReader(int width, int height) : width_(width), height_(height), plane_((size_t)width * height) {}
    ~LumaReader() { sws_freeContext(scaler_); }
    const uint8_t *Read(const AVFrame *frame, std::ptrdiff_t *stride) {
        const AVPixFmtDescriptor *d = av_pix_fmt_desc_get((AVPixelFormat)frame->format);
        const bool planarLuma = d && !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) && d->comp[0].plane == 0 &&
                                d->comp[0].depth == 8 && d->comp[0].step == 1;
        if (planarLuma) {
            *stride = frame->linesize[0];
            return frame->data[0];
        }
        scaler_ = sws_getCachedContext(scaler_, width_, height_, (AVPixelFormat)frame->format, width_, height_,
                                       AV_PIX_FMT_GRAY8, SWS_POINT, nullptr, nullptr, nullptr);
        if (!scaler_) throw HostError(EXIT_FAILURE_RUN, "cannot read the luma of the film's pictures");
        uint8_t *out[4] = {plane_.data(), nullptr, nullptr, nullptr};
        int lines[4] = {width_, 0, 0, 0};
        sws_scale(scaler_, frame->data, frame->linesize, 0, height_, out, lines);
        *stride = width_;
        return plane_.data();
    }

private:
    int width_, height_;
    std::vector<uint8_t> plane_;
    SwsContext *scaler_ = nullptr;
};

// The learned text detector on every `interval`-th frame, on a thread of its own, with the
// detector kept `interval` frames behind the decoding: a sample goes to the network as soon as it
// is decoded, and the frames before it are tracked while the network runs. Each sample's lines
// still go in right after its own frame, before the next, exactly as if the network ran in line:
// when the lines come changes what the tracker finds (a subtitle that ended meanwhile would no
// longer hold its line), so this is the one order, whatever the timing. With several threads,
// as many samples are searched at once, and the detector is kept that many intervals behind. The
// network (about 300 ms of CPU a sample at 960x544, under half that at 640x352) then costs wall
// time only where it is slower than decoding and tracking. Memory: threads x interval + 1 luma
// planes, and threads + 2 RGB frames.
class LineProposals {
public:
    // The network's input: subtitles are large text, so the frame may be halved, down to a long
    // side of 640. At 1280x720 the network then runs at 640x352 rather than 960x544, for less than
    // half its cost: on the real-footage benchmark it found the same subtitles with the same ends
    // and no false one (detection of a 1296x720 clip took 3.3 s rather than 6 to 8 s, alternating
    // on busy cores). Never more than halved: a 1080-line film runs at 960.
    static int LongSide(int width, int height) { return std::max(640, (std::max(width, height) + 1) / 2); }

    LineProposals(const std::string &model, int width, int height, int interval, int threads)
        : width_(width), height_(height), interval_(interval), threads_(threads) {
        std::vector<TextLineWorker::Search> searches;
        for (int i = 0; i < threads; ++i) {
            TextLineSettings settings;
            settings.longSide = LongSide(width, height);
            finders_.push_back(std::make_unique<TextLineFinder>(model, width, height, settings));
            TextLineFinder *finder = finders_.back().get();
            searches.push_back([finder, width](const uint8_t *rgb) { return finder->Find(rgb, 3 * width); });
        }
        worker_ = std::make_unique<TextLineWorker>(std::move(searches), (size_t)width * height * 3, ThrowIfInterrupted);
    }
    ~LineProposals() { sws_freeContext(scaler_); }
    int interval() const { return interval_; }

    // Frame `frame`, just decoded: its luma is kept for the detector, and a sample goes to the
    // network. Then the detector gets the frames more than `interval` behind.
    void Read(int64_t frame, const AVFrame *picture, const uint8_t *luma, std::ptrdiff_t stride, SubtitleDetector &detector) {
        Keep(frame, luma, stride);
        if (frame % interval_ == 0) Submit(frame, picture);
        while (held_.size() > (size_t)(threads_ * interval_)) GiveOldest(detector);
    }
    // The film ended: the detector gets every frame held.
    void Finish(SubtitleDetector &detector) {
        while (!held_.empty()) GiveOldest(detector);
    }

private:
    struct Held {
        int64_t frame;
        std::vector<uint8_t> luma;
    };

    void Keep(int64_t frame, const uint8_t *luma, std::ptrdiff_t stride) {
        std::vector<uint8_t> plane;
        if (!spare_.empty()) {
            plane = std::move(spare_.back());
            spare_.pop_back();
        }
        plane.resize((size_t)width_ * height_);
        for (int r = 0; r < height_; ++r) std::copy_n(luma + r * stride, width_, plane.begin() + (size_t)r * width_);
        held_.push_back(Held{frame, std::move(plane)});
    }
    void Submit(int64_t frame, const AVFrame *picture) {
        scaler_ = sws_getCachedContext(scaler_, width_, height_, (AVPixelFormat)picture->format, width_, height_,
                                       AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr);
        if (!scaler_) throw HostError(EXIT_FAILURE_RUN, "cannot convert the film's pictures for the text detector");
        uint8_t *out[4] = {worker_->NextBuffer(), nullptr, nullptr, nullptr};
        int lines[4] = {3 * width_, 0, 0, 0};
        sws_scale(scaler_, picture->data, picture->linesize, 0, height_, out, lines);
        worker_->Submit(frame);
    }
    // The oldest frame held, and after a sample its lines: the network's failure is the run's
    // one-line error.
    void GiveOldest(SubtitleDetector &detector) {
        Held h = std::move(held_.front());
        held_.pop_front();
        detector.AddFrame(h.luma.data(), width_);
        if (h.frame % interval_ == 0) {
            std::vector<TextLine> found;
            try {
                found = worker_->Take(h.frame);
            } catch (const HostError &) {
                throw;  // interrupted while waiting
            } catch (const std::runtime_error &e) {
                throw HostError(EXIT_FAILURE_RUN, e.what());
            }
            std::vector<SubtitleDetector::Box> boxes;
            for (const TextLine &l : found) boxes.push_back({l.x, l.y, l.width, l.height});
            detector.AddTextLines(h.frame, boxes);
        }
        spare_.push_back(std::move(h.luma));
    }

    int width_, height_, interval_, threads_;
    // The finders before the worker, which searches with them: the worker stops first.
    std::vector<std::unique_ptr<TextLineFinder>> finders_;
    std::unique_ptr<TextLineWorker> worker_;
    SwsContext *scaler_ = nullptr;
    std::deque<Held> held_;  // decoded, not yet given to the detector, in frame order
    std::vector<std::vector<uint8_t>> spare_;
};

// The proposals, or none (with a warning that says how to get the model) when it is missing.
// `threads`: --threads (0: one per core).
std::unique_ptr<LineProposals> MakeProposals(int width, int height, double fps, int threads) {
    std::string why;
    const std::string model = LocateTextModel("", &why);
    if (model.empty()) {
        Warn(WarningKind::kNotCleaned, why + ": only outlined subtitles and dark text on a light box are found");
        return nullptr;
    }
    // The line pass finds a subtitle that two samples in a row show: the interval is the longest
    // that puts two samples in every run of frames as long as the shortest subtitle, half of it
    // rounded down: 7 frames at 23.976, 24 and 25 frames/s, 9 at 29.97 and 30. (Three times a
    // second, 8 at 25, missed each 15-frame subtitle that began one frame after a sample; 12 at
    // 29.97 found 5 of 9 subtitles of 0.6 to 0.8 s.) A sample costs about 300 ms of CPU.
    const double shortest = DetectSettings().minSeconds * (fps > 0 ? fps : 25);
    const int interval = std::clamp((int)std::ceil(shortest - 1e-9) / 2, 2, 24);
    // One network per thread, each run whole on its thread (OpenCV's own threads off). 300 frames
    // of 1280x720 on two nearly free cores, 5 alternating rounds: two such threads took a median
    // 0.77 of the time of the network run in line on OpenCV's two threads (whose many short
    // parallel steps leave cores waiting), one worker on OpenCV's threads 0.95; about the same
    // time where others keep the cores busy. A finder holds about 150 MB at 960x544: 4 at most.
    const int searches = std::clamp(threads > 0 ? threads : (int)std::thread::hardware_concurrency(), 1, 4);
    UseOneThreadPerNetwork();
    try {
        return std::make_unique<LineProposals>(model, width, height, interval, searches);
    } catch (const std::exception &e) {
        throw HostError(EXIT_FAILURE_RUN, std::string("cannot load the text detection model: ") + e.what());
    }
}

void MakeFolder(const std::string &dir) {
    if (mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) {
        struct stat st{};
        if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
        throw HostError(EXIT_FAILURE_RUN, "--detect " + dir + " is not a folder");
    }
    throw HostError(EXIT_FAILURE_RUN, "cannot make the folder " + dir + ": " + std::strerror(errno));
}

// Every file is checked (an existing one needs -y, the input is never one) and written under a
// temporary name before any is moved into place, so a refused run leaves the folder as it was.
void WriteFound(const std::string &dir, const std::vector<FoundSubtitle> &found, const TargetRules &rules) {
    std::vector<std::pair<std::string, std::string>> files;
    std::string index = std::to_string(found.size()) + "\n";
    for (size_t i = 0; i < found.size(); ++i) {
        const FoundSubtitle &f = found[i];
        index += std::to_string(i + 1) + "," + std::to_string(f.first) + "," + std::to_string(f.last) + "," +
                 std::to_string(f.shape.x) + "," + std::to_string(f.shape.y) + "\n";
        const SubtitleShape &s = f.shape;
        files.emplace_back(dir + "/image_" + std::to_string(i) + ".pgm", PgmBytes(s.width, s.height, s.graymap.data(), s.width));
    }
    files.emplace_back(dir + "/subs.bms", std::move(index));
    std::vector<std::unique_ptr<OutputTarget>> targets;
    for (const auto &file : files) targets.push_back(std::make_unique<OutputTarget>(file.first, false, rules));
    for (size_t i = 0; i < files.size(); ++i) {
        AVIOContext *writer = targets[i]->OpenWriter();
        avio_write(writer, reinterpret_cast<const unsigned char *>(files[i].second.data()), (int)files[i].second.size());
        const int error = CloseWriter(&writer);
        if (error < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + files[i].first + ": " + AvError(error));
    }
    for (auto &target : targets) target->Publish();
}

}  // namespace

DetectedFilm DetectFilm(const Options &o) {
    const auto start = std::chrono::steady_clock::now();
    MakeFolder(o.detectDir);
    VideoInput input(o.input, 2);
    DetectSettings settings;
    if (!o.detectColour.empty()) ApplyDetectColour(o.detectColour, &settings.fill.lightLow, &settings.fill.lightHigh);
    if (!o.detectRegion.empty()) ApplyDetectRegion(o.detectRegion, &settings.regionTop, &settings.regionBottom);
    settings.framesPerSecond = av_q2d(input.frameRate());
    std::unique_ptr<LineProposals> proposals = MakeProposals(input.width(), input.height(), settings.framesPerSecond, o.threads);
    if (proposals) settings.proposalInterval = proposals->interval();
    SubtitleDetector detector(input.width(), input.height(), settings);
    LumaReader luma(input.width(), input.height());
    DetectedFilm film;
    while (AVFrame *frame = input.NextFrame()) {
        ThrowIfInterrupted();
        if (frame->width != input.width() || frame->height != input.height()) {
            throw HostError(EXIT_FAILURE_RUN, "the picture size changes within the film; subremove needs one size");
        }
        std::ptrdiff_t stride = 0;
        const uint8_t *plane = luma.Read(frame, &stride);
        if (proposals)
            proposals->Read(film.frames, frame, plane, stride, detector);
        else
            detector.AddFrame(plane, stride);
        ++film.frames;
    }
    if (proposals) proposals->Finish(detector);
    const std::vector<FoundSubtitle> found = OneSubtitlePerFrame(detector.Finish());
    film.index = o.detectDir + "/subs.bms";
    TargetRules rules;
    rules.overwrite = o.overwrite;
    rules.inputFiles = input.Files();
    WriteFound(o.detectDir, found, rules);
    for (const FoundSubtitle &f : found) film.widenings.push_back(f.shape.widening);
    film.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Without --detect the run's own summary says how many frames had a subtitle.
    if (!o.quiet && !o.findSubtitles) {
        std::fprintf(stderr, "subremove: %zu subtitle(s) found in %lld frames, %.1f s (%.1f frames/s); written to %s\n",
                     found.size(), (long long)film.frames, film.seconds, film.seconds > 0 ? film.frames / film.seconds : 0.0,
                     film.index.c_str());
    }
    return film;
}

FoundFolder::FoundFolder() {
    const char *root = std::getenv("TMPDIR");
    const std::string parent = root && *root ? root : "/tmp";
    std::string pattern = parent + "/subremove-found-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        throw HostError(EXIT_FAILURE_RUN, "cannot make a folder for the subtitles found in " + parent + ": " + std::strerror(errno));
    }
    path_ = pattern;
}

// Only this run wrote into the folder (mkdtemp made it private): everything in it is ours.
FoundFolder::~FoundFolder() {
    if (DIR *dir = opendir(path_.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") unlink((path_ + "/" + name).c_str());
        }
        closedir(dir);
    }
    rmdir(path_.c_str());
}
