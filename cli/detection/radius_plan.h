// --radius auto: which widening each frame gets.
//
// The module takes one radius per filter instance, so subremove runs one instance per widening in
// use and hands each frame to the instance of the widening of the subtitle the module shows in it
// (the first index entry that holds the frame). A widening that grows the graymaps first reads a
// grown copy of the index (grown_graymaps.h). Which instance filters a frame depends only on the
// index, never on threads, so output stays the same for any --threads. The plan paints the
// entries in index order onto disjoint pieces of the frame line (O(n log n) for n entries); a
// lookup is a map search.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/plugin/filter_settings.h"
#include "cli/detection/grown_graymaps.h"
#include "cli/plugin/index_summary.h"
#include "detect/widening.h"

class FilterInstance;

class RadiusPlan {
public:
    // `widenings[i]`: entry i's widening (missing or unmeasured ones take the radius `fallback`).
    RadiusPlan(const IndexSummary &index, const std::vector<Widening> &widenings, int fallback);
    // The widening of the subtitle shown at `frame`; the fallback where none is.
    Widening At(int64_t frame) const;
    // Every widening a frame may get, the fallback included, smallest first.
    std::vector<Widening> InUse() const;
    // The most pixels any of them reaches past a graymap's own rectangle.
    int Outward() const;

    // Writes the grown copies of the index at `indexPath` that the widenings in use need.
    void PrepareGraymaps(const std::string &indexPath, const IndexSummary &index, int width, int height);
    // The copy of the index grown by `grow` (PrepareGraymaps first); null when there is none.
    const std::string *GrownIndex(int grow) const;

private:
    std::map<int64_t, std::pair<int64_t, Widening>> pieces_;  // first frame -> (last frame, widening), disjoint
    Widening fallback_;
    std::unique_ptr<GrownGraymaps> grown_;
};

// The widening frame `frame` gets: the plan's, or the radius `radius` as it is without a plan.
inline Widening WideningAt(const RadiusPlan *plan, int64_t frame, int radius) {
    return plan ? plan->At(frame) : Widening{radius, 0};
}

// Configures `instance` with `settings` at widening `w`: its radius, and the plan's grown index
// when `w` grows the graymaps.
void ConfigureWidened(FilterInstance &instance, FilterSettings settings, bool fromConfigLine, const RadiusPlan *plan,
                      const Widening &w);
