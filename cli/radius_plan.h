// --radius auto: which radius each frame gets.
//
// The module takes one radius per filter instance, so subremove runs one instance per radius in
// use and hands each frame to the instance of the radius of the subtitle the module shows in it
// (the first index entry that holds the frame). Which instance filters a frame depends only on
// the index, never on threads, so output stays the same for any --threads. The plan paints the
// entries in index order onto disjoint pieces of the frame line (O(n log n) for n entries); a
// lookup is a map search.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "cli/index_summary.h"
class RadiusPlan {
public:
    // `radii[i]`: entry i's radius (missing or negative ones take `fallback`).
    RadiusPlan(const IndexSummary &index, const std::vector<int> &radii, int fallback);
    // The radius of the subtitle shown at `frame`; the fallback where none is.
    int RadiusAt(int64_t frame) const;
    // Every radius a frame may get, the fallback included, smallest first.
    std::vector<int> Radii() const;
    int Largest() const;

private:
    std::map<int64_t, std::pair<int64_t, int>> pieces_;  // first frame -> (last frame, radius), disjoint
    int fallback_;
};

