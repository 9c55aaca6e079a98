// Text lines from PP-OCRv4's detection network (DBNet) through OpenCV's dnn module.
//
// Per frame:
// 1. The frame is scaled (area averaging) to the network's input, fixed at construction: the
//    longer side at most 960 (never enlarged), each side a multiple of 32, so the two axes scale
//    by slightly different factors: 1280x720 runs at 960x544 (0.7 % taller), PAL's 720x576 at
//    736x576 (2 % wider). PaddleOCR resizes the same way; the network sees text of any shape.
// 2. Normalised as the network was trained: each channel / 255, less ImageNet's mean, over its
//    deviation, in planes blue, green, red; three tables of 256 floats, one pass, written
//    straight into the NCHW blob. (Left in 0..255 the input gives no line at all.)
// 3. The network gives, for every input pixel, the probability that it lies in the shrunk core
//    of a text line. Pixels at `threshold` or more are joined into 8-connected components: one
//    per line, since the cores of neighbouring lines stay apart where the lines touch.
// 4. A component is a line when its mean probability reaches `minScore` and its box's shorter
//    side is at least `minSide` map pixels (PaddleOCR's own limits). Its bounding box is grown
//    back by what training shrank it by, as PaddleOCR's post-processing does ("unclip"): by
//    1.5 area / perimeter on each side, then mapped to the frame. The boxes hug the glyphs'
//    body: brackets and the tops of CJK glyphs may stick out by a few pixels.
// Cost: the network, 300 to 450 ms of CPU per frame at 960x544 (measured with other work on the
// same two cores), 155 ms of wall time at best on two threads (bench/text_lines_bench.cpp); the
// scaling from 1280x720 adds 6 ms of CPU, the rest (tables, one labelling, one pass summing each
// component's probability) less.
// Every buffer is made at construction by one run on a blank input; a frame allocates only
// when it has more components than any before (their small tables) and what OpenCV's forward
// pass allocates itself.
// TextLineWorker runs searches on threads of their own, oldest sample first; the caller takes
// each sample's lines in order when it chooses, so where they go in never depends on the timing.
#include "detect/text_lines.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// The network's training normalisation, per input plane: ImageNet's statistics, which PaddleOCR
// lists red first but applies to the planes of pictures that OpenCV decoded, blue first. So the
// planes are blue, green, red, each with the statistics of its place in this list. (Red first
// finds the same lines, within a hundredth in score, on the tests' frames; on textless photos
// each order raises different false lines.)
constexpr float kMean[3] = {0.485f, 0.456f, 0.406f};
constexpr float kDeviation[3] = {0.229f, 0.224f, 0.225f};
// DBNet's training shrank each line's polygon; PaddleOCR's inference grows the found core back
// by this ratio of its area to its perimeter.
constexpr double kUnclipRatio = 1.5;

int RoundTo32(double side) { return std::max(32, (int)std::lround(side / 32) * 32); }

std::string FirstLine(const std::string &text) {
    const size_t end = text.find('\n');
    return end == std::string::npos ? text : text.substr(0, end);
}

}  // namespace

std::string LocateTextModel(const std::string &explicitPath, std::string *error) {
    std::string path = explicitPath, from = "given";
    if (path.empty()) {
        const char *env = std::getenv("SUBREMOVE_TEXT_MODEL");
        if (env && *env) {
            path = env;
            from = "named by SUBREMOVE_TEXT_MODEL";
        }
    }
    if (path.empty()) {
        const char *cache = std::getenv("XDG_CACHE_HOME"), *home = std::getenv("HOME");
        if (cache && *cache)
            path = std::string(cache) + "/subremove/text_det.onnx";
        else if (home && *home)
            path = std::string(home) + "/.cache/subremove/text_det.onnx";
        from = "in the cache";
    }
    if (!path.empty() && access(path.c_str(), R_OK) == 0) return path;
    if (error) {
        *error = path.empty() ? "no text detection model: neither XDG_CACHE_HOME nor HOME is set to find its cache"
                              : "no text detection model " + from + " (" + path + ")";
        *error += ": scripts/setup.sh (or scripts/setup_model.sh alone) in subremove's source tree fetches and prepares it";
    }
    return std::string();
}

void UseOneThreadPerNetwork() { cv::setNumThreads(0); }

struct TextLineFinder::State {
    int width, height;  // the frame's
    TextLineSettings settings;
    cv::Size input;
    cv::dnn::Net net;
    cv::Mat scaled, blob;
    std::vector<cv::Mat> outputs;
    cv::Mat map, mask, labels, stats, centroids;
    float table[3][256];
    std::vector<double> sums;
    std::vector<TextLine> lines;
    bool ran = false;

    void Normalise(const cv::Mat &rgb, bool bgr);
    void Run();
    void CollectLines();
};

TextLineFinder::TextLineFinder(const std::string &modelPath, int frameWidth, int frameHeight,
                               const TextLineSettings &settings)
    : state_(new State) {
    State &s = *state_;
    if (frameWidth < 1 || frameHeight < 1) throw std::runtime_error("text lines: the frame has no pixels");
    s.width = frameWidth;
    s.height = frameHeight;
    s.settings = settings;
    const double scale = std::min(1.0, (double)settings.longSide / std::max(frameWidth, frameHeight));
    s.input = cv::Size(RoundTo32(frameWidth * scale), RoundTo32(frameHeight * scale));
    try {
        s.net = cv::dnn::readNetFromONNX(modelPath);
    } catch (const cv::Exception &e) {
        throw std::runtime_error("cannot load the text detection model " + modelPath + ": " + FirstLine(e.msg));
    }
    if (s.net.empty()) throw std::runtime_error("cannot load the text detection model " + modelPath);
    s.net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    s.net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v) s.table[c][v] = (v / 255.0f - kMean[c]) / kDeviation[c];
    s.scaled.create(s.input, CV_8UC3);
    const int shape[4] = {1, 3, s.input.height, s.input.width};
    s.blob.create(4, shape, CV_32F);
    s.blob.setTo(0);
    // The first run fixes the network's input shape and makes every buffer; it also tells a
    // model that is not a detection network (another output shape) now rather than per frame.
    s.Run();
    const cv::Mat &out = s.outputs.at(0);
    if (out.dims != 4 || out.size[1] != 1 || out.size[2] != s.input.height || out.size[3] != s.input.width)
        throw std::runtime_error("text lines: " + modelPath + " does not give one probability map per input pixel");
    s.mask.create(s.input, CV_8U);
    s.labels.create(s.input, CV_32S);
}

TextLineFinder::~TextLineFinder() = default;

int TextLineFinder::InputWidth() const { return state_->input.width; }
int TextLineFinder::InputHeight() const { return state_->input.height; }

void TextLineFinder::State::Normalise(const cv::Mat &rgb, bool bgr) {
    const cv::Mat *source = &rgb;
    if (rgb.size() != input) {
        cv::resize(rgb, scaled, input, 0, 0, cv::INTER_AREA);
        source = &scaled;
    }
    // The byte of a pixel that each plane takes: blue, green, red.
    const int from0 = bgr ? 0 : 2, from2 = 2 - from0;
    const size_t plane = (size_t)input.width * input.height;
    float *const out = blob.ptr<float>();
    for (int y = 0; y < input.height; ++y) {
        const uint8_t *p = source->ptr<uint8_t>(y);
        float *p0 = out + (size_t)y * input.width, *p1 = p0 + plane, *p2 = p1 + plane;
        for (int x = 0; x < input.width; ++x, p += 3) {
            p0[x] = table[0][p[from0]];
            p1[x] = table[1][p[1]];
            p2[x] = table[2][p[from2]];
        }
    }
}

void TextLineFinder::State::Run() {
    net.setInput(blob);
    // The outputs are the network's own buffers, shared, not copies: valid until the next run.
    net.forward(outputs);
    map = cv::Mat(input, CV_32F, outputs.at(0).ptr<float>());
}

void TextLineFinder::State::CollectLines() {
    lines.clear();
    cv::compare(map, settings.threshold, mask, cv::CMP_GE);
    const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    sums.assign(count, 0.0);
    for (int y = 0; y < input.height; ++y) {
        const int *label = labels.ptr<int>(y);
        const float *p = map.ptr<float>(y);
        for (int x = 0; x < input.width; ++x) sums[label[x]] += p[x];
    }
    const double toFrameX = (double)width / input.width, toFrameY = (double)height / input.height;
    for (int i = 1; i < count; ++i) {
        const int *st = stats.ptr<int>(i);
        const int w = st[cv::CC_STAT_WIDTH], h = st[cv::CC_STAT_HEIGHT], area = st[cv::CC_STAT_AREA];
        const float score = (float)(sums[i] / area);
        if (score < settings.minScore || std::min(w, h) < settings.minSide) continue;
        const double grow = kUnclipRatio * area / (2.0 * (w + h));
        const double left = (st[cv::CC_STAT_LEFT] - grow) * toFrameX, right = (st[cv::CC_STAT_LEFT] + w + grow) * toFrameX;
        const double top = (st[cv::CC_STAT_TOP] - grow) * toFrameY, bottom = (st[cv::CC_STAT_TOP] + h + grow) * toFrameY;
        TextLine line;
        line.x = std::max(0, (int)std::floor(left));
        line.y = std::max(0, (int)std::floor(top));
        line.width = std::min(width, (int)std::ceil(right)) - line.x;
        line.height = std::min(height, (int)std::ceil(bottom)) - line.y;
        line.score = score;
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end(), [](const TextLine &a, const TextLine &b) {
        return a.y != b.y ? a.y < b.y : a.x < b.x;
    });
}

const std::vector<TextLine> &TextLineFinder::Find(const uint8_t *pixels, std::ptrdiff_t stride, bool bgr) {
    State &s = *state_;
    const cv::Mat frame(s.height, s.width, CV_8UC3, const_cast<uint8_t *>(pixels), (size_t)stride);
    s.Normalise(frame, bgr);
    s.Run();
    s.CollectLines();
    s.ran = true;
    return s.lines;
}

TextProbabilityMap TextLineFinder::Probability() const {
    const State &s = *state_;
    TextProbabilityMap out;
    if (!s.ran) return out;
    out.probability = s.map.ptr<float>();
    out.width = s.input.width;
    out.height = s.input.height;
    out.scaleX = (double)s.input.width / s.width;
    out.scaleY = (double)s.input.height / s.height;
    return out;
}

// The workers: the caller alone adds and removes samples (under the lock); a worker marks the
// oldest sample not yet taken as its own and, once searched, writes its results (under the
// lock); nobody else touches a sample's pixels meanwhile. The caller removes a sample only once
// searched, and a deque keeps every sample in place while others come and go.
struct TextLineWorker::State {
    struct Sample {
        int64_t frame = 0;
        std::vector<uint8_t> pixels;
        std::vector<TextLine> lines;
        std::string error;
        bool done = false;
    };

    size_t frameBytes = 0;
    std::function<void()> whileWaiting;
    mutable std::mutex mutex;
    std::condition_variable queued, finished;
    std::deque<Sample> samples;  // in frame order: the taken by a worker, then `unsearched` more
    size_t unsearched = 0;
    bool stop = false;
    std::vector<uint8_t> next;                // the buffer NextBuffer gave (the caller's)
    std::vector<std::vector<uint8_t>> spare;  // buffers whose lines were taken (the caller's)
    std::vector<std::thread> threads;

    void Work(const Search &search);
    void Stop();
};

void TextLineWorker::State::Work(const Search &search) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        queued.wait(lock, [this] { return stop || unsearched > 0; });
        if (stop) return;
        Sample &sample = samples[samples.size() - unsearched];
        --unsearched;
        lock.unlock();
        std::vector<TextLine> lines;
        std::string error;
        // Nothing may leave the thread: a failure goes to the caller with its sample.
        try {
            lines = search(sample.pixels.data());
        } catch (const std::exception &e) {
            error = "the text detector failed: " + FirstLine(e.what());
        } catch (...) {
            error = "the text detector failed";
        }
        lock.lock();
        sample.lines = std::move(lines);
        sample.error = std::move(error);
        sample.done = true;
        finished.notify_all();
    }
}

TextLineWorker::TextLineWorker(std::vector<Search> searches, size_t frameBytes, std::function<void()> whileWaiting)
    : state_(new State) {
    State &s = *state_;
    if (searches.empty()) throw std::invalid_argument("text lines: a worker needs a search");
    s.frameBytes = frameBytes;
    s.whileWaiting = std::move(whileWaiting);
    try {
        for (Search &search : searches) s.threads.emplace_back([&s, search = std::move(search)] { s.Work(search); });
    } catch (...) {
        s.Stop();  // a running thread must not outlive the state it reads
        throw;
    }
}

void TextLineWorker::State::Stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    queued.notify_all();
    for (std::thread &t : threads)
        if (t.joinable()) t.join();
}

TextLineWorker::~TextLineWorker() { state_->Stop(); }

uint8_t *TextLineWorker::NextBuffer() {
    State &s = *state_;
    if (s.next.size() != s.frameBytes) {
        if (s.spare.empty()) {
            s.next.assign(s.frameBytes, 0);
        } else {
            s.next = std::move(s.spare.back());
            s.spare.pop_back();
        }
    }
    return s.next.data();
}

void TextLineWorker::Submit(int64_t frame) {
    State &s = *state_;
    NextBuffer();
    State::Sample sample;
    sample.frame = frame;
    sample.pixels = std::move(s.next);
    s.next.clear();
    {
        const std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.samples.empty() && s.samples.back().frame >= frame)
            throw std::logic_error("text lines: samples must be submitted in frame order");
        s.samples.push_back(std::move(sample));
        ++s.unsearched;
    }
    s.queued.notify_one();
}

size_t TextLineWorker::Pending() const {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->samples.size();
}

std::vector<TextLine> TextLineWorker::Take(int64_t frame) {
    State &s = *state_;
    State::Sample sample;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        if (s.samples.empty() || s.samples.front().frame != frame)
            throw std::logic_error("text lines: frame " + std::to_string(frame) + " is not the oldest sample");
        while (!s.finished.wait_for(lock, std::chrono::milliseconds(50), [&s] { return s.samples.front().done; })) {
            if (!s.whileWaiting) continue;
            lock.unlock();
            s.whileWaiting();
            lock.lock();
        }
        sample = std::move(s.samples.front());
        s.samples.pop_front();
    }
    s.spare.push_back(std::move(sample.pixels));
    if (!sample.error.empty()) throw std::runtime_error(sample.error);
    return std::move(sample.lines);
}
