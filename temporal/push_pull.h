// Fills the unknown entries of a field from the known ones around them, smoothly: the flow inside
// a hole from the flow around it, and a brightness offset inside a hole from its border ring.
//
// How: push-pull on a pyramid. Going down, each level holds the weighted sums and weights of 2x2
// cells of the level above (weights capped at 1). Going up, an entry keeps its own average in
// proportion to its weight and takes the rest from the coarser level, interpolated bilinearly.
// Known entries with weight 1 come out unchanged; an unknown entry gets the known values nearest
// to it, blended over a scale that grows with the distance to them, so a hole between two
// different borders gets a smooth ramp. Cost: about 4/3 of the field's entries, a few operations
// each, per channel; the scratch is kept between calls, so a steady size allocates nothing.
#pragma once

#include <vector>

namespace temporal {

class PushPullFill {
public:
    // `values` holds `channels` interleaved floats per entry, `weights` one float in [0, 1] per
    // entry. Entries of weight 1 stay; the others are replaced as above. A field without any
    // known entry is left as it is and the call returns false.
    bool Fill(float *values, const float *weights, int width, int height, int channels);

private:
    struct Level {
        int width = 0;
        int height = 0;
        std::vector<float> sums;     // weighted sums, `channels` per entry
        std::vector<float> weights;  // capped at 1
    };
    void Push(int channels);
    void Pull(int channels);
    std::vector<Level> levels_;
};

}  // namespace temporal
