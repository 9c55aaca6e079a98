// The threading of subremove in four small parts that share one lock:
//
// - RunControl: the run's one mutex and condition variable, and its first failure. A failure on
//   any thread wakes every waiter, and every blocking call then returns false, so one error stops
//   the whole run without a second mechanism.
// - BoundedQueue<T>: first in, first out, at most `capacity` items; Push waits while full, Pop
//   while empty; Close ends the stream.
// - OrderedBuffer<T>: items by frame number, taken in any order; Put waits while the number is a
//   window or more past the lowest one not yet taken, which bounds the frames held in memory.
// - Stage<T>: N worker threads taking items from a BoundedQueue and handing each to a handler
//   with the worker's number (which names the filter instance or encoder context it owns). The
//   filter workers and the encoder workers are both Stages.
//
// One lock for everything keeps the reasoning simple and costs little: the work between two
// lock operations is a whole frame's filtering or encoding.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

class RunControl {
public:
    // Keeps the first failure and wakes every waiter.
    void Fail(std::exception_ptr error) {
        Update([&] {
            if (!error_) error_ = error;
        });
    }
    void RethrowIfFailed() {
        std::exception_ptr e;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            e = error_;
        }
        if (e) std::rethrow_exception(e);
    }
    // Waits under `lock` until `ready()` holds; false when the run failed first.
    template <class Ready>
    bool Wait(std::unique_lock<std::mutex> &lock, Ready ready) {
        changed_.wait(lock, [&] { return error_ != nullptr || ready(); });
        return error_ == nullptr;
    }
    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }
    // Under the lock: whether the run has failed.
    bool Failed(const std::unique_lock<std::mutex> &) const { return error_ != nullptr; }
    void Notify() { changed_.notify_all(); }
    // Runs `change` under the lock, then wakes every waiter.
    template <class Change>
    void Update(Change change) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            change();
        }
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::exception_ptr error_;
};

template <class T>
class BoundedQueue {
public:
    BoundedQueue(RunControl &control, size_t capacity) : control_(control), capacity_(capacity ? capacity : 1) {}

    // False when the run failed; the item is dropped then.
    bool Push(T item) {
        auto lock = control_.Lock();
        if (!control_.Wait(lock, [&] { return items_.size() < capacity_; })) return false;
        items_.push_back(std::move(item));
        lock.unlock();
        control_.Notify();
        return true;
    }
    // False at the end of a closed queue, or when the run failed.
    bool Pop(T &item) {
        auto lock = control_.Lock();
        if (!control_.Wait(lock, [&] { return !items_.empty() || closed_; })) return false;
        if (items_.empty()) return false;
        item = std::move(items_.front());
        items_.pop_front();
        lock.unlock();
        control_.Notify();
        return true;
    }
    void Close() {
        control_.Update([&] { closed_ = true; });
    }
    // True when Pop would not wait: an item waits, the queue is closed or the run failed.
    bool Ready() {
        auto lock = control_.Lock();
        return !items_.empty() || closed_ || control_.Failed(lock);
    }

private:
    RunControl &control_;
    size_t capacity_;
    std::deque<T> items_;
    bool closed_ = false;
};

template <class T>
class OrderedBuffer {
public:
    OrderedBuffer(RunControl &control, int64_t window) : control_(control), window_(window > 0 ? window : 1) {}

    bool Put(int64_t index, T item) {
        auto lock = control_.Lock();
        if (!control_.Wait(lock, [&] { return index < lowest_ + window_; })) return false;
        items_.emplace(index, std::move(item));
        lock.unlock();
        control_.Notify();
        return true;
    }
    // Waits for item `index`; false when the film ends before it, or the run failed.
    bool Take(int64_t index, T &item) {
        auto lock = control_.Lock();
        if (!control_.Wait(lock, [&] { return items_.count(index) != 0 || index >= end_; })) return false;
        auto found = items_.find(index);
        if (found == items_.end()) return false;
        item = std::move(found->second);
        items_.erase(found);
        takenAhead_.insert(index);
        while (takenAhead_.count(lowest_)) takenAhead_.erase(lowest_++);
        lock.unlock();
        control_.Notify();
        return true;
    }
    // No item at `end` or after will come.
    void SetEnd(int64_t end) {
        control_.Update([&] { end_ = end; });
    }

private:
    RunControl &control_;
    int64_t window_;
    int64_t lowest_ = 0;  // the lowest index not yet taken
    int64_t end_ = INT64_MAX;
    std::map<int64_t, T> items_;
    std::set<int64_t> takenAhead_;
};

template <class T>
class Stage {
public:
    using Handler = std::function<void(T &item, int worker)>;

    Stage(RunControl &control, int workers, size_t capacity, Handler handler)
        : control_(control), queue_(control, capacity), handler_(std::move(handler)) {
        for (int w = 0; w < workers; ++w) threads_.emplace_back([this, w] { Work(w); });
    }
    ~Stage() { Finish(); }
    Stage(const Stage &) = delete;
    Stage &operator=(const Stage &) = delete;

    bool Push(T item) { return queue_.Push(std::move(item)); }
    // No more items: the workers finish what is queued and end. Waits for them.
    void Finish() {
        queue_.Close();
        for (std::thread &t : threads_) {
            if (t.joinable()) t.join();
        }
    }

private:
    void Work(int worker) {
        try {
            T item;
            while (queue_.Pop(item)) {
                handler_(item, worker);
                item = T();
            }
        } catch (...) {
            control_.Fail(std::current_exception());
        }
    }

    RunControl &control_;
    BoundedQueue<T> queue_;
    Handler handler_;
    std::vector<std::thread> threads_;
};
