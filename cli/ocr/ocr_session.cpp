// The reading of a run (see ocr_session.h).
#include "cli/ocr/ocr_session.h"

#include <algorithm>
#include <cstdio>

#include "cli/errors.h"
#include "cli/front/interrupt.h"
#include "cli/front/warnings.h"
#include "cli/input/input.h"
#include "cli/ocr/language_names.h"
#include "cli/ocr/srt_text.h"
#include "cli/output/output_target.h"
#include "cli/plugin/graymap_files.h"

OcrSession::OcrSession(const std::string &languages) : languages_(languages), worker_(languages) {}

OcrSession::~OcrSession() {
    // The reading thread may wait for a sample: release it before it is stopped.
    if (samples_) samples_->GiveUpAll();
    worker_.Stop();
}

std::vector<CueFrames> IndexCues(const std::string &indexPath, const IndexSummary &index, std::vector<OcrJob> *jobs) {
    std::vector<CueFrames> cues;
    for (size_t i = 0; i < index.entries.size(); ++i) {
        const IndexEntry &e = index.entries[i];
        if (!e.matches || e.lastFrame < e.firstFrame) continue;
        cues.push_back(CueFrames{e.firstFrame, e.lastFrame, i, i});
    }
    std::stable_sort(cues.begin(), cues.end(), [](const CueFrames &a, const CueFrames &b) { return a.first < b.first; });
    for (CueFrames &cue : cues) {
        const std::string which = "subtitle " + std::to_string(cue.entry + 1) + " (frames " + std::to_string(cue.first) + "-" +
                                  std::to_string(cue.last) + ")";
        jobs->push_back(OcrJob{GraymapPath(indexPath, cue.entry), which});
        cue.job = jobs->size() - 1;
    }
    return cues;
}

namespace {

// Where each subtitle's picture is taken: its graymap's rectangle, in its middle frame.
std::vector<SamplePlace> SamplePlaces(const IndexSummary &index, const std::vector<CueFrames> &cues, const std::vector<OcrJob> &jobs) {
    std::vector<SamplePlace> places;
    for (const CueFrames &cue : cues) {
        const IndexEntry &entry = index.entries[cue.entry];
        Graymap g;
        if (!ReadGraymap(jobs[cue.job].graymap, &g)) g.width = g.height = 0;
        places.push_back(SamplePlace{SampleFrame(cue), entry.x, entry.y, g.width, g.height});
    }
    return places;
}

}  // namespace

void OcrSession::Begin(const std::string &indexPath, const IndexSummary &index, std::unique_ptr<FrameClock> clock) {
    std::vector<OcrJob> jobs;
    std::vector<CueFrames> cues = IndexCues(indexPath, index, &jobs);
    clock_ = std::move(clock);
    for (const CueFrames &cue : cues) {
        clock_->Want(cue.first);
        clock_->Want(cue.last);
    }
    samples_ = std::make_unique<GlyphSamples>(SamplePlaces(index, cues, jobs));
    frames_ = cues;
    cues_ = std::make_unique<CueSchedule>(std::move(cues), worker_, *clock_,
                                          [samples = samples_.get()](size_t job) { samples->GiveUpThrough(job); });
    const size_t probe = SplitLanguages(languages_).size() > 1 ? kLanguageSample : 0;
    worker_.Read(std::move(jobs), samples_.get(), probe);
}

void OcrSession::FrameRead(int64_t number, const AVFrame *frame, int64_t pts, int64_t duration) {
    // Subtitles that end before the part written are not read.
    if (clock_->FirstNoted() < 0)
        for (const CueFrames &cue : frames_)
            if (cue.last < number) worker_.Skip(cue.job);
    // The sample before the clock: a frame the clock has is one whose sample was taken.
    samples_->Offer(number, frame);
    clock_->Note(number, pts, duration);
}

void OcrSession::FilmRead() {
    // Nor those that start after it.
    for (const CueFrames &cue : frames_)
        if (cue.first > clock_->LastNoted()) worker_.Skip(cue.job);
    samples_->GiveUpAll();
}

std::string OcrSession::StreamLanguage() {
    const std::vector<std::string> asked = SplitLanguages(languages_);
    if (asked.size() == 1) return asked.front();  // nothing to wait for
    std::string best;
    size_t most = 0;
    for (const auto &[language, n] : worker_.ProbedLanguages())
        if (n > most) best = language, most = n;
    return best.empty() ? asked.front() : best;
}

void OcrSession::WaitAllRead() {
    if (worker_.Count() > 0) worker_.Wait(worker_.Count() - 1);
}

void OcrSession::OpenSrt(const std::string &path, const std::string &input, bool overwrite) {
    TargetRules rules;
    rules.overwrite = overwrite;
    if (input != "-") rules.inputFiles = {input};
    srt_ = std::make_unique<OutputTarget>(path, false, rules);
    srtPath_ = path;
}

void OcrSession::WriteSrt() {
    if (!srt_) return;
    const std::string text = SrtText(cues_->Given(), *clock_);
    AVIOContext *writer = srt_->OpenWriter();
    avio_write(writer, reinterpret_cast<const unsigned char *>(text.data()), (int)text.size());
    if (CloseWriter(&writer) < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + srtPath_);
}

void OcrSession::PublishSrt() {
    if (srt_) srt_->Publish();
}

std::string OcrSession::Summary() const {
    const std::vector<TimedCue> given = cues_->Given();
    const size_t empty = (size_t)std::count_if(given.begin(), given.end(), [](const TimedCue &c) { return c.text.empty(); });
    std::string line = std::to_string(given.size()) + " cue(s) read";
    if (empty > 0) line += ", " + std::to_string(empty) + " of them empty";
    return line + (srt_ ? "; SRT written to " + srtPath_ : "");
}

void WriteSubtitleTextOnly(OcrSession &ocr, const std::string &input, const std::string &indexPath, const IndexSummary &index,
                           bool quiet) {
    VideoInput film(input, 2);
    const AVStream *stream = film.stream();
    const int64_t nominal = film.NominalFrameDuration();
    ocr.Begin(indexPath, index,
              std::make_unique<FrameClock>(stream->time_base, nominal, stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time));
    int64_t number = 0;
    for (const AVFrame *frame; (frame = film.NextFrame()); ++number) {
        ThrowIfInterrupted();
        const int64_t ts = frame->best_effort_timestamp, duration = FrameDuration(frame);
        ocr.FrameRead(number, frame, ts != AV_NOPTS_VALUE ? ts : number * nominal, duration > 0 ? duration : nominal);
    }
    ocr.FilmRead();
    while (ocr.cues().NextAtEnd()) {
    }
    ThrowIfStrictFailed();
    ocr.WriteSrt();
    ocr.PublishSrt();
    if (!quiet) std::fprintf(stderr, "subremove: %s\n", ocr.Summary().c_str());
}
