// Questions about the index's frame ranges that subremove asks once per frame: may a run of
// frames be cut before this one, and how many frames of the film have a subtitle. The ranges are
// sorted and merged once (O(n log n)); each question is then a binary search, so an index of a
// million entries costs no more per frame than one of ten.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

using FrameRange = std::pair<int64_t, int64_t>;  // first and last frame, both included

// Sorted, merged ranges; empty ones (first > last) dropped. Ranges that touch merge too.
inline std::vector<FrameRange> MergeFrameRanges(std::vector<FrameRange> ranges) {
    ranges.erase(std::remove_if(ranges.begin(), ranges.end(), [](const FrameRange &r) { return r.first > r.second; }), ranges.end());
    std::sort(ranges.begin(), ranges.end());
    std::vector<FrameRange> merged;
    for (const FrameRange &r : ranges) {
        if (!merged.empty() && r.first <= merged.back().second + 1) merged.back().second = std::max(merged.back().second, r.second);
        else merged.push_back(r);
    }
    return merged;
}

// True when `frame` lies in one of the merged ranges.
inline bool InMergedRanges(const std::vector<FrameRange> &merged, int64_t frame) {
    auto after = std::upper_bound(merged.begin(), merged.end(), frame, [](int64_t f, const FrameRange &r) { return f < r.first; });
    return after != merged.begin() && frame <= std::prev(after)->second;
}

// Where a run may end: before `frame` only when no single range holds both frame - 1 and frame,
// that is when `frame` is in no range's [first + 1, last].
class CutRule {
public:
    explicit CutRule(const std::vector<FrameRange> &ranges) {
        std::vector<FrameRange> spans;
        for (const FrameRange &r : ranges) {
            if (r.first < r.second) spans.emplace_back(r.first + 1, r.second);
        }
        forbidden_ = MergeFrameRanges(std::move(spans));
    }
    bool Allowed(int64_t frame) const { return !InMergedRanges(forbidden_, frame); }

private:
    std::vector<FrameRange> forbidden_;
};

// Frames 0 .. frames - 1 that some range holds.
inline int64_t FramesWithSubtitle(const std::vector<FrameRange> &ranges, int64_t frames) {
    int64_t count = 0;
    for (const FrameRange &r : MergeFrameRanges(ranges)) {
        const int64_t first = std::max<int64_t>(r.first, 0), last = std::min<int64_t>(r.second, frames - 1);
        if (first <= last) count += last - first + 1;
    }
    return count;
}

// The subtitle the module shows at a frame: the first entry, in index order, whose range holds
// it, or -1. Entries are sorted by first frame once, with the largest last frame up to each; a
// question then costs a binary search and a walk back over the entries that can still hold the
// frame (one or two for an index whose ranges do not overlap).
class EntryLookup {
public:
    explicit EntryLookup(const std::vector<FrameRange> &ranges) {
        for (size_t i = 0; i < ranges.size(); ++i)
            if (ranges[i].first <= ranges[i].second) byStart_.push_back({ranges[i], (int)i});
        std::sort(byStart_.begin(), byStart_.end(), [](const Item &a, const Item &b) { return a.range.first < b.range.first; });
        int64_t reach = INT64_MIN;
        for (const Item &item : byStart_) reachUpTo_.push_back(reach = std::max(reach, item.range.second));
    }
    int At(int64_t frame) const {
        auto after = std::upper_bound(byStart_.begin(), byStart_.end(), frame,
                                      [](int64_t f, const Item &item) { return f < item.range.first; });
        int best = -1;
        for (size_t k = (size_t)(after - byStart_.begin()); k-- > 0 && reachUpTo_[k] >= frame;) {
            if (byStart_[k].range.second >= frame && (best < 0 || byStart_[k].index < best)) best = byStart_[k].index;
        }
        return best;
    }

private:
    struct Item {
        FrameRange range;
        int index;
    };
    std::vector<Item> byStart_;
    std::vector<int64_t> reachUpTo_;
};
