// --ocr for a run: the reading thread, the cues it reads from an index's graymaps, the clock that
// times them, and the SRT of --srt. What main does with text, in one place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/ocr/cue_schedule.h"
#include "cli/ocr/frame_clock.h"
#include "cli/ocr/glyph_samples.h"
#include "cli/ocr/ocr_worker.h"
#include "cli/plugin/index_summary.h"

class OutputTarget;

// Subtitles the stream's language is judged from: the first ones, read before the film's header
// (which carries the language) is written.
constexpr size_t kLanguageSample = 8;

class OcrSession {
public:
    // Starts loading the languages of `languages` (a --ocr list) on the reading thread.
    explicit OcrSession(const std::string &languages);
    ~OcrSession();
    OcrSession(const OcrSession &) = delete;
    OcrSession &operator=(const OcrSession &) = delete;

    // Throws the loading's error: a one-line error naming a missing language's package.
    void WaitLoaded() { worker_.WaitLoaded(); }
    // Starts reading every subtitle of the index at `indexPath` that can match a frame, in the
    // order of their first frames, timed by `clock`; each waits for the picture under it in its
    // middle frame (FrameRead).
    void Begin(const std::string &indexPath, const IndexSummary &index, std::unique_ptr<FrameClock> clock);
    // Each frame as the run reads it, in order: its number, picture, timestamp and duration.
    // On the run's reading thread.
    void FrameRead(int64_t number, const AVFrame *frame, int64_t pts, int64_t duration);
    // The run has read every frame it will: no sample is waited for any more.
    void FilmRead();
    CueSchedule &cues() { return *cues_; }
    // The Tesseract language the stream is tagged with: the one of the list most characters of
    // the first subtitles were read in (their graymaps read alone, before any frame is), or the
    // list's first when nothing was read.
    std::string StreamLanguage();
    // Waits until every subtitle is read (its warnings given).
    void WaitAllRead();

    // --srt: refuses the file as the film's output is refused (the input, an existing file without
    // -y, not a regular file) before anything is read; then writes the cues given under a
    // temporary name (WriteSrt) and moves it into place (PublishSrt).
    void OpenSrt(const std::string &path, const std::string &input, bool overwrite);
    void WriteSrt();
    void PublishSrt();
    // One line for the run's summary: how many cues, how many empty, and the language.
    std::string Summary() const;

private:
    std::string languages_;
    OcrWorker worker_;
    std::unique_ptr<FrameClock> clock_;
    std::unique_ptr<GlyphSamples> samples_;
    std::unique_ptr<CueSchedule> cues_;
    std::vector<CueFrames> frames_;  // the cues' frames, by job
    std::unique_ptr<OutputTarget> srt_;
    std::string srtPath_;
};

// The cues of an index: its entries that can match a frame, by first frame, as jobs for the worker.
std::vector<CueFrames> IndexCues(const std::string &indexPath, const IndexSummary &index, std::vector<OcrJob> *jobs);

// --srt without an output film: decodes the film for the cues' times and the pictures under the
// subtitles, reads every subtitle of the index and writes the SRT.
void WriteSubtitleTextOnly(OcrSession &ocr, const std::string &input, const std::string &indexPath, const IndexSummary &index,
                           bool quiet);
