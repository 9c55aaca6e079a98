// Hides the edge of a fill: where the background brought from another picture is brighter,
// darker or of another tint than the picture around the hole (a light change, a fade, a camera's
// exposure), the difference is measured on the ring of visible samples around the hole and spread
// smoothly over the hole (push-pull, see push_pull.h), then added to the fill. The result matches
// the picture on the ring and changes gently inside; detail of the fill is kept.
//
// Cost per plane: one pass over the fill samples, and a push-pull over their bounding box.
#pragma once

#include <cstdint>
#include <vector>

#include "temporal/hole.h"
#include "temporal/planes.h"
#include "temporal/push_pull.h"

namespace temporal {

class SeamCorrector {
public:
    // `values` and `valid` are per fill sample of `ph` (hole samples, then ring samples); ring
    // samples with a valid value measure the offset, hole samples with a valid value get it.
    // `picture` is the plane being filled.
    void Correct(const PlaneRef &picture, const PlaneHole &ph, float *values, const uint8_t *valid);

private:
    PushPullFill fill_;
    std::vector<float> field_;
    std::vector<float> weights_;
};

}  // namespace temporal
