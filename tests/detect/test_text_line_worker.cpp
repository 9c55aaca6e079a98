// TextLineWorker, the threads that run the text detector beside the decoding, with stand-in
// searches (no model): each sample's lines come from its own pixels and in order, whatever the
// searches' speed and number; failures and interrupts reach the caller; shutdown waits for the
// searches under way only.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "detect/text_lines.h"

namespace {

constexpr size_t kBytes = 4096;

// A search that reads its sample back from the pixels: the first byte is the frame (mod 251),
// every byte must be the same (a buffer overwritten while searched is not), and the line's width
// counts the bytes that are.
std::vector<TextLine> ReadBack(const uint8_t *pixels) {
    TextLine line;
    line.x = pixels[0];
    for (size_t i = 0; i < kBytes; ++i) line.width += pixels[i] == pixels[0];
    return {line};
}

void Fill(TextLineWorker &worker, int64_t frame) { std::memset(worker.NextBuffer(), (int)(frame % 251), kBytes); }

struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

}  // namespace

namespace {

// Submits samples every 9 frames, three ahead of the one taken, as detection keeps one or two
// per thread, and checks that each sample's lines read back its own frame from intact pixels.
void TakeInOrder(int threads, int delayMs) {
    SCOPED_TRACE(std::to_string(threads) + " threads, searches of up to " + std::to_string(2 * delayMs) + " ms");
    std::vector<TextLineWorker::Search> searches;
    for (int i = 0; i < threads; ++i)
        searches.push_back([delayMs](const uint8_t *pixels) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs * (pixels[0] % 3)));
            return ReadBack(pixels);
        });
    TextLineWorker worker(std::move(searches), kBytes);
    int64_t next = 0;
    for (; next < 3 * 9; next += 9) {
        Fill(worker, next);
        worker.Submit(next);
    }
    for (int64_t taken = 0; taken < 300; taken += 9, next += 9) {
        Fill(worker, next);
        worker.Submit(next);
        const std::vector<TextLine> lines = worker.Take(taken);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].x, taken % 251) << "frame " << taken;
        EXPECT_EQ(lines[0].width, (int)kBytes) << "frame " << taken << ": its pixels changed while searched";
    }
    EXPECT_EQ(worker.Pending(), 3u);
}

}  // namespace

// Guards: lines handed to the wrong sample (a later search that ends first, on another thread),
// or a buffer filled again while a worker still reads it, whatever the searches' speed.
TEST(TextLineWorker, EachSampleGetsTheLinesOfItsOwnPixelsInOrderAtAnySpeed) {
    for (const int threads : {1, 3})
        for (const int delayMs : {0, 3, 20}) TakeInOrder(threads, delayMs);
}

// Guards: taking another sample's lines than the oldest (lines given to the wrong frame), and
// samples submitted out of order.
TEST(TextLineWorker, RefusesTakingOutOfOrderAndSubmittingBackwards) {
    TextLineWorker worker({ReadBack}, kBytes);
    EXPECT_THROW(worker.Take(0), std::logic_error);
    for (int64_t f : {0, 8}) {
        Fill(worker, f);
        worker.Submit(f);
    }
    EXPECT_THROW(worker.Submit(8), std::logic_error);
    EXPECT_THROW(worker.Take(8), std::logic_error);
    EXPECT_EQ(worker.Take(0)[0].x, 0);
    EXPECT_EQ(worker.Take(8)[0].x, 8);
    EXPECT_EQ(worker.Pending(), 0u);
}

// Guards: an exception escaping the worker thread (std::terminate), a failure lost or given to
// another sample, and a worker that stops searching after one failure.
TEST(TextLineWorker, ASearchFailureIsOneLineFromTakeAndLaterSamplesStillRun) {
    const TextLineWorker::Search failing = [](const uint8_t *pixels) -> std::vector<TextLine> {
        if (pixels[0] == 1) throw std::runtime_error("out of memory\nwith a second line");
        if (pixels[0] == 2) throw 7;
        return ReadBack(pixels);
    };
    TextLineWorker worker({failing, failing}, kBytes);
    for (int64_t f = 0; f < 4; ++f) {
        Fill(worker, f);
        worker.Submit(f);
    }
    EXPECT_EQ(worker.Take(0)[0].x, 0);
    try {
        worker.Take(1);
        ADD_FAILURE() << "the failure of frame 1 was lost";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "the text detector failed: out of memory");
    }
    try {
        worker.Take(2);
        ADD_FAILURE() << "the failure of frame 2 was lost";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "the text detector failed");
    }
    EXPECT_EQ(worker.Take(3)[0].x, 3);
}

// Guards: an interrupt unnoticed for as long as the network runs, and a shutdown that waits for
// every queued search (or never returns, or leaves a thread running) when the caller leaves with
// samples in flight.
TEST(TextLineWorker, AnInterruptLeavesTheWaitAndShutdownWaitsOnlyForSearchesUnderWay) {
    constexpr auto kSearch = std::chrono::milliseconds(400);
    std::atomic<int> searches{0};
    std::atomic<int> waits{0};
    const auto start = std::chrono::steady_clock::now();
    const TextLineWorker::Search slow = [&](const uint8_t *pixels) {
        ++searches;
        std::this_thread::sleep_for(kSearch);
        return ReadBack(pixels);
    };
    // Two threads: each waits out its own search, neither starts another.
    auto worker = std::make_unique<TextLineWorker>(std::vector<TextLineWorker::Search>{slow, slow}, kBytes, [&] {
        if (++waits == 2) throw Interrupted();
    });
    for (int64_t f = 0; f < 6; ++f) {
        Fill(*worker, f);
        worker->Submit(f);
    }
    EXPECT_THROW(worker->Take(0), Interrupted);
    const auto left = std::chrono::steady_clock::now() - start;
    EXPECT_LT(left, kSearch) << "the wait went on after the interrupt";
    worker.reset();
    const auto stopped = std::chrono::steady_clock::now() - start;
    EXPECT_LT(stopped, 2 * kSearch + std::chrono::milliseconds(150)) << "shutdown ran the queued searches";
    EXPECT_LE(searches.load(), 2);
}
