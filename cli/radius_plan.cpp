// The frame-to-radius plan of --radius auto (see radius_plan.h).
#include "cli/radius_plan.h"

#include <iterator>
#include <set>

RadiusPlan::RadiusPlan(const IndexSummary &index, const std::vector<int> &radii, int fallback) : fallback_(fallback) {
    for (size_t i = 0; i < index.entries.size(); ++i) {
        const IndexEntry &e = index.entries[i];
        if (!e.matches) continue;
        const int radius = i < radii.size() && radii[i] >= 0 ? radii[i] : fallback;
        // The parts of [first, last] no earlier entry holds.
        int64_t from = e.firstFrame;
        auto it = pieces_.upper_bound(from);
        if (it != pieces_.begin() && std::prev(it)->second.first >= from) from = std::prev(it)->second.first + 1;
        while (from <= e.lastFrame) {
            it = pieces_.lower_bound(from);
            const int64_t to = it == pieces_.end() ? e.lastFrame : std::min<int64_t>(e.lastFrame, it->first - 1);
            if (from <= to) pieces_[from] = {to, radius};
            if (it == pieces_.end()) break;
            from = it->second.first + 1;
        }
    }
}

int RadiusPlan::RadiusAt(int64_t frame) const {
    auto it = pieces_.upper_bound(frame);
    if (it == pieces_.begin()) return fallback_;
    --it;
    return frame <= it->second.first ? it->second.second : fallback_;
}

std::vector<int> RadiusPlan::Radii() const {
    std::set<int> radii{fallback_};
    for (const auto &piece : pieces_) radii.insert(piece.second.second);
    return std::vector<int>(radii.begin(), radii.end());
}

int RadiusPlan::Largest() const { return Radii().back(); }
