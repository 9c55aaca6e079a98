// Text line proposals from a learned detector: PP-OCRv4's text detection network (DBNet, trained
// on scene and document text in many scripts), run by OpenCV's dnn module on one frame at a time.
// It finds lines of any script, light or dark, over any background, and knows nothing of time:
// the caller runs it on sampled frames and tells subtitles from scene text by what they do.
// scripts/setup_model.sh fetches and prepares the model; LocateTextModel finds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The prepared model's path: `explicitPath` when not empty, else $SUBREMOVE_TEXT_MODEL when set
// and not empty, else ${XDG_CACHE_HOME:-$HOME/.cache}/subremove/text_det.onnx. Returns the path
// when that file can be read; otherwise an empty string, with `error` (when given) set to one
// line that names the path tried and how to get the model.
std::string LocateTextModel(const std::string &explicitPath, std::string *error);

// Turns OpenCV's worker threads off for the whole process (cv::setNumThreads(0)): each network
// then runs whole on the thread that calls it, as TextLineWorker's threads want (OpenCV's would
// only compete with them). It cannot be undone (see TextLineFinder::Find). The lines found are
// the same either way.
void UseOneThreadPerNetwork();

struct TextLineSettings {
    // The network's input: the frame scaled so that its longer side is at most `longSide` (never
    // enlarged), each side then rounded to a multiple of 32. Cost grows with its area.
    int longSide = 960;
    float threshold = 0.3f;     // a map pixel is text at this probability or more
    float minScore = 0.6f;      // a line's mean probability over its map pixels
    int minSide = 3;            // map pixels: the shorter side of a line's (shrunk) core
};

struct TextLine {
    int x = 0, y = 0, width = 0, height = 0;  // in the frame, clipped to it
    float score = 0;  // the mean probability over the line's map pixels (at least minScore)
};

// The network's last output, one float per input pixel, row after row.
struct TextProbabilityMap {
    const float *probability = nullptr;
    int width = 0, height = 0;
    // Map pixel = frame pixel * scale, per axis.
    double scaleX = 1, scaleY = 1;
};

class TextLineFinder {
public:
    // Loads `modelPath` for frames of `frameWidth` x `frameHeight`; the input size is fixed here
    // for the finder's lifetime (OpenCV 4.6 keeps a network's first input shape). Throws
    // std::runtime_error with one line when the model cannot be loaded.
    TextLineFinder(const std::string &modelPath, int frameWidth, int frameHeight,
                   const TextLineSettings &settings = TextLineSettings());
    ~TextLineFinder();
    TextLineFinder(const TextLineFinder &) = delete;
    TextLineFinder &operator=(const TextLineFinder &) = delete;

    // The network's input size.
    int InputWidth() const;
    int InputHeight() const;

    // The lines in one frame: 8-bit interleaved RGB (red first; `bgr` for blue first), the size
    // given at construction, `stride` bytes a row. Ordered top to bottom, then left to right. The
    // result stays valid until the next call.
    //
    // The network runs on OpenCV's worker threads, as many as the process has set
    // (cv::setNumThreads; by default one per core). That count is the process's: subremove's
    // flow sets 0, which runs everything on the calling thread. It cannot be saved and restored
    // around a call: under Debian's build (TBB), cv::getNumThreads() reports the cores after
    // cv::setNumThreads(0), and setting that back turns the workers on again.
    const std::vector<TextLine> &Find(const uint8_t *pixels, std::ptrdiff_t stride, bool bgr = false);

    // The probability map of the last Find (empty before the first).
    TextProbabilityMap Probability() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Runs the search for lines on threads of their own, so that the network (most of detection's
// time) works while the caller decodes and tracks other frames. Each thread has its own search
// and takes the oldest sample not yet taken by another; the lines are taken in the order the
// samples were given, each when the caller asks (waiting for the search when it is late): the
// caller decides where the lines go in, so nothing depends on how fast any side ran. Cost: one
// frame buffer per sample given and not yet taken.
class TextLineWorker {
public:
    // Searches one sample's pixels, on a worker thread; an exception it throws comes back from
    // Take as std::runtime_error with its first line.
    using Search = std::function<std::vector<TextLine>(const uint8_t *pixels)>;

    // One thread for each of `searches` (at least one). Buffers of `frameBytes` bytes.
    // `whileWaiting` (may be empty) is called on the caller's thread about every 50 ms that Take
    // waits: an exception from it (an interrupt) leaves the wait. Throws std::system_error when
    // no thread can be started.
    TextLineWorker(std::vector<Search> searches, size_t frameBytes, std::function<void()> whileWaiting = {});
    // Waits for the searches under way (one network run each at most); samples not yet searched
    // are dropped. Never throws.
    ~TextLineWorker();
    TextLineWorker(const TextLineWorker &) = delete;
    TextLineWorker &operator=(const TextLineWorker &) = delete;

    // The buffer to put the next sample's pixels in before Submit; a buffer is used again once
    // its sample's lines have been taken.
    uint8_t *NextBuffer();
    // The buffer now holds frame `frame`, later than every frame submitted before.
    void Submit(int64_t frame);
    // Samples submitted and not yet taken.
    size_t Pending() const;
    // The lines of the oldest sample not yet taken, which must be frame `frame` (else
    // std::logic_error), once searched. Throws std::runtime_error when its search failed.
    std::vector<TextLine> Take(int64_t frame);

private:
    struct State;
    std::unique_ptr<State> state_;
};
