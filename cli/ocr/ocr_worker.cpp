// The reading thread (see ocr_worker.h).
#include "cli/ocr/ocr_worker.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "cli/errors.h"
#include "cli/front/interrupt.h"
#include "cli/front/warnings.h"

namespace {

// Niceness of the reading thread over the film's: it reads while they wait, and the film's run,
// which waits for a text only when it is behind, takes the cores first.
constexpr int kLowerPriority = 5;

void LowerThisThread() {
    const pid_t thread = (pid_t)syscall(SYS_gettid);
    setpriority(PRIO_PROCESS, (id_t)thread, getpriority(PRIO_PROCESS, (id_t)thread) + kLowerPriority);
}

}  // namespace

OcrWorker::OcrWorker(const std::string &languages) : thread_([this, languages] { Main(languages); }) {}

OcrWorker::~OcrWorker() { Stop(); }

void OcrWorker::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void OcrWorker::Main(const std::string &languages) {
    LowerThisThread();
    try {
        auto reader = std::make_unique<TextReader>(languages);
        std::lock_guard<std::mutex> lock(mutex_);
        reader_ = std::move(reader);
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = std::current_exception();
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        loaded_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return given_ || stop_; });
        if (stop_ || error_) return;
    }
    try {
        Probe();
        ReadAll();
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = std::current_exception();
        changed_.notify_all();
    }
}

// The languages of the first graymaps, read alone: the film's header, which carries the text
// stream's language, is written before any frame is read.
void OcrWorker::Probe() {
    std::map<std::string, size_t> languages;
    std::vector<SubtitleText> texts;
    for (size_t i = 0; i < std::min(probe_, jobs_.size()); ++i) {
        texts.push_back(ReadSubtitleText(*reader_, jobs_[i].graymap));
        for (const auto &[language, n] : texts.back().languages) languages[language] += n;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    probedTexts_ = std::move(texts);
    probedLanguages_ = std::move(languages);
    probed_ = true;
    changed_.notify_all();
}

std::map<std::string, size_t> OcrWorker::ProbedLanguages() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (error_) std::rethrow_exception(error_);
        if (probed_) return probedLanguages_;
        changed_.wait_for(lock, std::chrono::milliseconds(100));
        ThrowIfInterrupted();
    }
}

void OcrWorker::ReadAll() {
    for (size_t i = 0; i < jobs_.size(); ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
        }
        const LumaCrop *picture = samples_ ? samples_->Wait(i) : nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (skipped_[i]) {
                done_ = i + 1;
                changed_.notify_all();
                continue;
            }
        }
        SubtitleText text = ReadSubtitleText(*reader_, jobs_[i].graymap, picture, i < probedTexts_.size() ? &probedTexts_[i] : nullptr);
        const std::string warning = UnreadWarning(text, jobs_[i].which);
        if (!warning.empty()) Warn(WarningKind::kNotCleaned, warning);
        std::lock_guard<std::mutex> lock(mutex_);
        texts_[i] = std::move(text);
        done_ = i + 1;
        changed_.notify_all();
    }
}

void OcrWorker::WaitLoaded() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!loaded_) {
        changed_.wait_for(lock, std::chrono::milliseconds(100));
        ThrowIfInterrupted();
    }
    if (error_) std::rethrow_exception(error_);
}

void OcrWorker::Read(std::vector<OcrJob> jobs, GlyphSamples *samples, size_t languageProbe) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_ = std::move(jobs);
        samples_ = samples;
        probe_ = languageProbe;
        texts_.assign(jobs_.size(), SubtitleText{});
        skipped_.assign(jobs_.size(), 0);
        given_ = true;
    }
    changed_.notify_all();
}

void OcrWorker::Skip(size_t job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (job < skipped_.size()) skipped_[job] = 1;
}

size_t OcrWorker::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_.size();
}

const SubtitleText &OcrWorker::Wait(size_t job) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (error_) std::rethrow_exception(error_);
        if (done_ > job) return texts_[job];
        changed_.wait_for(lock, std::chrono::milliseconds(100));
        ThrowIfInterrupted();
    }
}
