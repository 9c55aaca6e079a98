// The frame-to-widening plan of --radius auto (see radius_plan.h).
#include "cli/detection/radius_plan.h"

#include <iterator>
#include <set>

#include "cli/errors.h"
#include "cli/plugin/plugin_host.h"

RadiusPlan::RadiusPlan(const IndexSummary &index, const std::vector<Widening> &widenings, int fallback)
    : fallback_{fallback, 0} {
    for (size_t i = 0; i < index.entries.size(); ++i) {
        const IndexEntry &e = index.entries[i];
        if (!e.matches) continue;
        const Widening widening = i < widenings.size() && widenings[i].Measured() ? widenings[i] : fallback_;
        // The parts of [first, last] no earlier entry holds.
        int64_t from = e.firstFrame;
        auto it = pieces_.upper_bound(from);
        if (it != pieces_.begin() && std::prev(it)->second.first >= from) from = std::prev(it)->second.first + 1;
        while (from <= e.lastFrame) {
            it = pieces_.lower_bound(from);
            const int64_t to = it == pieces_.end() ? e.lastFrame : std::min<int64_t>(e.lastFrame, it->first - 1);
            if (from <= to) pieces_[from] = {to, widening};
            if (it == pieces_.end()) break;
            from = it->second.first + 1;
        }
    }
}

Widening RadiusPlan::At(int64_t frame) const {
    auto it = pieces_.upper_bound(frame);
    if (it == pieces_.begin()) return fallback_;
    --it;
    return frame <= it->second.first ? it->second.second : fallback_;
}

std::vector<Widening> RadiusPlan::InUse() const {
    std::set<Widening> used{fallback_};
    for (const auto &piece : pieces_) used.insert(piece.second.second);
    return std::vector<Widening>(used.begin(), used.end());
}

int RadiusPlan::Outward() const {
    int outward = 0;
    for (const Widening &w : InUse()) outward = std::max(outward, w.Outward());
    return outward;
}

void RadiusPlan::PrepareGraymaps(const std::string &indexPath, const IndexSummary &index, int width, int height) {
    std::set<int> grows;
    for (const Widening &w : InUse())
        if (w.grow > 0) grows.insert(w.grow);
    grown_ = std::make_unique<GrownGraymaps>(indexPath, index, std::vector<int>(grows.begin(), grows.end()), width, height);
}

const std::string *RadiusPlan::GrownIndex(int grow) const { return grown_ ? grown_->IndexFor(grow) : nullptr; }

void ConfigureWidened(FilterInstance &instance, FilterSettings settings, bool fromConfigLine, const RadiusPlan *plan,
                      const Widening &w) {
    settings.radius = w.radius;
    if (w.grow == 0) {
        ConfigureInstance(instance, settings, fromConfigLine);
        return;
    }
    const std::string *grown = plan ? plan->GrownIndex(w.grow) : nullptr;
    if (!grown) throw HostError(EXIT_FAILURE_RUN, "internal error: the grown graymaps were not prepared");
    const std::string before = AnswerIndexWith(*grown);
    try {
        ConfigureInstance(instance, settings, fromConfigLine);
    } catch (...) {
        AnswerIndexWith(before);
        throw;
    }
    AnswerIndexWith(before);
}
