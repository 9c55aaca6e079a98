// The thread that reads the subtitles' text beside the film's run: it loads Tesseract's
// languages as soon as it starts, then reads the graymaps in the order given, one after another,
// at a lower priority than the film's own threads. Whoever needs a text waits for it.
#pragma once

#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/ocr/subtitle_text.h"

struct OcrJob {
    std::string graymap;  // the PGM to read
    std::string which;    // how warnings name it: "subtitle 4 (frames 120-180)"
};

class OcrWorker {
public:
    // Starts the thread, which loads `languages` (a --ocr list).
    explicit OcrWorker(const std::string &languages);
    // Stops after the line being read.
    ~OcrWorker();
    OcrWorker(const OcrWorker &) = delete;
    OcrWorker &operator=(const OcrWorker &) = delete;

    // Waits for the languages to load; throws the loading's error (a missing language pack).
    void WaitLoaded();
    // The graymaps to read, in this order; given once. Each waits for its sample of the picture
    // in `samples` (when given). Each one not fully read is warned of (a kNotCleaned warning: an
    // error under --strict). With `languageProbe`, the first that many graymaps are read alone
    // first, for the languages of their characters (ProbedLanguages), which need no frame read.
    void Read(std::vector<OcrJob> jobs, GlyphSamples *samples, size_t languageProbe);
    size_t Count() const;
    // Characters read in each language by the probe; waits for it.
    std::map<std::string, size_t> ProbedLanguages();
    // Stops after the line being read and joins the thread (whoever it waits for must have been
    // released: GlyphSamples::GiveUpAll).
    void Stop();
    // The text of job `job`, once read; throws the reading's error, or HostError when the run is
    // interrupted meanwhile.
    const SubtitleText &Wait(size_t job);
    // Job `job` is not read (its subtitle lies outside the part of the film written): its text is
    // empty, and no warning is given.
    void Skip(size_t job);

private:
    void Main(const std::string &languages);
    void Probe();
    void ReadAll();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<TextReader> reader_;
    std::exception_ptr error_;
    bool loaded_ = false;
    bool given_ = false;
    bool stop_ = false;
    std::vector<OcrJob> jobs_;
    GlyphSamples *samples_ = nullptr;
    size_t probe_ = 0;
    bool probed_ = false;
    std::map<std::string, size_t> probedLanguages_;
    std::vector<SubtitleText> probedTexts_;  // the probe's readings, which stand where the pictures change nothing
    std::vector<SubtitleText> texts_;
    std::vector<char> skipped_;
    size_t done_ = 0;
    std::thread thread_;  // last: it starts once everything above is made
};
